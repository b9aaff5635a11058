// What one scrape does: under one lock, collect when the last collection is old enough, read
// the records, and render them with the exporter's own families.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "names.h"
#include "sample.h"
#include "textfile_collector.h"
#include "winperf_api.h"

namespace exporter {

class Scraper {
 public:
  using Clock = std::chrono::steady_clock;

  // api must be initialised. now is the clock that decides whether a collection is due. The
  // textfiles, when given, are read in the same collections.
  Scraper(const winperf_loader::Api &api, std::chrono::milliseconds min_interval,
          winperf_names::Decoder decode, std::string version,
          std::function<Clock::time_point()> now = Clock::now,
          textfile::Collector *textfiles = nullptr);

  // The exposition format of the current collection: the last good sample, or only the
  // exporter's own families until a collection has succeeded.
  std::string metrics();
  // The library's JSON snapshot of the current collection ("{}" when the library cannot render
  // one); nothing until a collection has succeeded.
  std::optional<std::string> snapshot();
  // The status page (HTML) of the current collection.
  std::string status_page(const std::string &host_name, const std::string &telemetry_path);

 private:
  void refresh_locked();
  void collect_locked();
  void render_locked();

  const winperf_loader::Api api_;
  const std::chrono::milliseconds min_interval_;
  const winperf_names::Decoder decode_;
  const std::string version_;
  const std::function<Clock::time_point()> now_;
  textfile::Collector *const textfiles_;

  std::mutex mutex_;  // every library call, and everything below
  bool collected_ = false;
  bool last_ok_ = false;  // whether the latest collection succeeded
  Clock::time_point last_collect_{};
  uint64_t collections_ = 0;
  uint64_t errors_ = 0;
  // Of the last successful collection.
  double good_duration_seconds_ = 0;
  double good_timestamp_seconds_ = 0;
  std::unique_ptr<winperf_sample::Sample> good_;  // null until a sample is read without error
  std::unique_ptr<winperf_sample::Sample> reading_;
  std::string text_;  // the rendering of the current collection
};

}  // namespace exporter
