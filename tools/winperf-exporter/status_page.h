// The page at "/": the host at a glance, from the collection a scrape would serve. One HTML
// document with its style inline and no script or outside resource, so that it shows the same on
// a server without internet access; every name from the system is escaped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "names.h"
#include "sample.h"

namespace exporter {

// What the page shows besides the sample.
struct StatusFacts {
  const winperf_sample::Sample *sample = nullptr;  // null until a collection has succeeded
  std::string host_name;
  std::string version;
  std::string telemetry_path;
  bool last_ok = false;               // whether the collection behind the page succeeded
  double last_good_unix_seconds = 0;  // when the sample was taken
  uint64_t collections = 0;
  uint64_t errors = 0;
};

std::string render_status_page(const StatusFacts &facts, const winperf_names::Decoder &decode);

// Text for HTML content and attribute values.
std::string html_escaped(std::string_view text);

// This machine's DNS host name as UTF-8 ("" when the system does not say).
std::string this_host_name();

}  // namespace exporter
