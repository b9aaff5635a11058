#include "scraper.h"

#include <cstring>

#include "exposition.h"

namespace exporter {

Scraper::Scraper(const winperf_loader::Api &api, std::chrono::milliseconds min_interval,
                 winperf_names::Decoder decode, std::string version,
                 std::function<Clock::time_point()> now)
    : api_(api),
      min_interval_(min_interval),
      decode_(std::move(decode)),
      version_(std::move(version)),
      now_(std::move(now)),
      good_(std::make_unique<winperf_sample::Sample>()),
      reading_(std::make_unique<winperf_sample::Sample>()) {}

std::string Scraper::metrics() {
  const std::lock_guard<std::mutex> lock(mutex_);
  refresh_locked();
  return text_;
}

std::string Scraper::snapshot() {
  const std::lock_guard<std::mutex> lock(mutex_);
  refresh_locked();
  return api_.get_snapshot_json();  // copied before the lock goes: the text is the library's
}

void Scraper::refresh_locked() {
  if (collected_ && now_() - last_collect_ < min_interval_) return;
  collect_locked();
  render_locked();
}

// A failed collection or read keeps the last good sample; only the error count moves.
void Scraper::collect_locked() {
  const auto start = now_();
  const bool ok = api_.collect() == 0 && winperf_sample::read(api_, *reading_);
  const auto end = now_();
  collected_ = true;
  last_collect_ = end;
  ++collections_;
  last_duration_seconds_ = std::chrono::duration<double>(end - start).count();
  last_timestamp_seconds_ =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  if (ok) {
    std::swap(good_, reading_);
  } else {
    ++errors_;
  }
}

void Scraper::render_locked() {
  exposition::Writer w;
  exposition::write_sample(w, *good_, decode_);
  w.family("winperf_exporter_build_info", "gauge", "The exporter's version; the value is 1.");
  w.sample("version", exposition::label_value(version_), uint64_t{1});
  w.family("winperf_exporter_collections_total", "counter", "Collections made since start.");
  w.sample(collections_);
  w.family("winperf_exporter_collect_errors_total", "counter",
           "Collections that failed since start; their scrapes show the last good sample.");
  w.sample(errors_);
  w.family("winperf_exporter_collect_duration_seconds", "gauge",
           "How long the collection behind this scrape took.");
  w.sample(last_duration_seconds_);
  w.family("winperf_exporter_last_collect_timestamp_seconds", "gauge",
           "Unix time of the collection behind this scrape.");
  w.sample(last_timestamp_seconds_);
  text_ = w.take();
}

}  // namespace exporter
