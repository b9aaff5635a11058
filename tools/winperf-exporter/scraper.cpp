#include "scraper.h"

#include <cstring>

#include "exposition.h"
#include "status_page.h"

namespace exporter {

Scraper::Scraper(const winperf_loader::Api &api, std::chrono::milliseconds min_interval,
                 winperf_names::Decoder decode, std::string version,
                 std::function<Clock::time_point()> now, textfile::Collector *textfiles)
    : api_(api),
      min_interval_(min_interval),
      decode_(std::move(decode)),
      version_(std::move(version)),
      now_(std::move(now)),
      textfiles_(textfiles != nullptr && textfiles->enabled() ? textfiles : nullptr),
      reading_(std::make_unique<winperf_sample::Sample>()) {}

std::string Scraper::metrics() {
  const std::lock_guard<std::mutex> lock(mutex_);
  refresh_locked();
  return text_;
}

std::optional<std::string> Scraper::snapshot() {
  const std::lock_guard<std::mutex> lock(mutex_);
  refresh_locked();
  if (good_ == nullptr) return std::nullopt;
  return std::string(api_.get_snapshot_json());  // copied under the lock: the text is the library's
}

std::string Scraper::status_page(const std::string &host_name, const std::string &telemetry_path) {
  const std::lock_guard<std::mutex> lock(mutex_);
  refresh_locked();
  StatusFacts facts;
  facts.sample = good_.get();
  facts.host_name = host_name;
  facts.version = version_;
  facts.telemetry_path = telemetry_path;
  facts.last_ok = last_ok_;
  facts.last_good_unix_seconds = good_timestamp_seconds_;
  facts.collections = collections_;
  facts.errors = errors_;
  return render_status_page(facts, decode_);
}

void Scraper::refresh_locked() {
  if (collected_ && now_() - last_collect_ < min_interval_) return;
  collect_locked();
  render_locked();
}

// A failed collection or read keeps the last good sample and its times; only the error count
// and the success gauge move.
void Scraper::collect_locked() {
  const auto start = now_();
  if (reading_ == nullptr) reading_ = std::make_unique<winperf_sample::Sample>();
  last_ok_ = api_.collect() == 0 && winperf_sample::read(api_, *reading_);
  const auto end = now_();
  // The operator's own files come with the same collection, whatever the library's did.
  if (textfiles_ != nullptr) textfiles_->collect();
  collected_ = true;
  last_collect_ = end;
  ++collections_;
  if (!last_ok_) {
    ++errors_;
    return;
  }
  good_duration_seconds_ = std::chrono::duration<double>(end - start).count();
  good_timestamp_seconds_ =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::swap(good_, reading_);
}

// Before the first good collection there is no sample to show, and zeros would pass for one.
void Scraper::render_locked() {
  exposition::Writer w;
  if (good_ != nullptr) exposition::write_sample(w, *good_, decode_);
  w.family("winperf_exporter_build_info", "gauge", "The exporter's version; the value is 1.");
  w.sample("version", exposition::label_value(version_), uint64_t{1});
  w.family("winperf_exporter_collections_total", "counter", "Collections made since start.");
  w.sample(collections_);
  w.family("winperf_exporter_collect_errors_total", "counter",
           "Collections that failed since start; their scrapes show the last good sample.");
  w.sample(errors_);
  w.family("winperf_exporter_collect_success", "gauge",
           "1 if the collection behind this scrape succeeded, else 0.");
  w.sample(uint64_t{last_ok_ ? 1u : 0u});
  if (good_ != nullptr) {
    w.family("winperf_exporter_collect_duration_seconds", "gauge",
             "How long the last successful collection took.");
    w.sample(good_duration_seconds_);
    w.family("winperf_exporter_last_collect_timestamp_seconds", "gauge",
             "Unix time of the last successful collection.");
    w.sample(good_timestamp_seconds_);
  }
  text_ = w.take();
  if (textfiles_ != nullptr) text_ += textfiles_->text();
}

}  // namespace exporter
