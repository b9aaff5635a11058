#include "status_page.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <unistd.h>
#endif

namespace exporter {
namespace {

constexpr const char *kStyle =
    "*{box-sizing:border-box}"
    "body{margin:0 auto;max-width:76rem;padding:1rem;font:15px/1.4 system-ui,sans-serif;"
    "color:#1f2328;background:#f6f8fa}"
    "header{margin-bottom:.8rem}header h1{margin:0;font-size:1.6rem;overflow-wrap:anywhere}"
    "header p{margin:.2rem 0;color:#59636e}"
    "main{display:grid;gap:1rem;grid-template-columns:repeat(auto-fit,minmax(min(100%,22rem),1fr))}"
    "section{background:#fff;border:1px solid #d1d9e0;border-radius:6px;padding:.8rem}"
    "section.wide{grid-column:1/-1}h2{margin:0 0 .5rem;font-size:1.1rem}"
    ".meter{display:grid;grid-template-columns:minmax(4rem,10rem) 1fr 4.5rem;gap:.5rem;"
    "align-items:center;margin:.25rem 0}"
    ".meter .label{overflow-wrap:anywhere}.meter "
    ".value{text-align:right;font-variant-numeric:tabular-nums}"
    ".bar{height:.7rem;background:#e6eaef;border-radius:3px;overflow:hidden}"
    ".bar i{display:block;height:100%;background:#1f883d}.bar i.warn{background:#d4a72c}"
    ".bar i.crit{background:#cf222e}"
    ".cores{display:grid;gap:0 1rem;grid-template-columns:repeat(auto-fill,minmax(10rem,1fr))}"
    ".cores .meter{grid-template-columns:3.5rem 1fr 3rem;font-size:.85rem}"
    ".note{color:#59636e;font-size:.85rem;margin:.1rem 0 .4rem}"
    ".scroll{overflow-x:auto}table{border-collapse:collapse;width:100%;font-size:.9rem}"
    "th,td{text-align:left;padding:.25rem .5rem;border-bottom:1px solid #e6eaef;white-space:nowrap}"
    "td.num{text-align:right;font-variant-numeric:tabular-nums}td.name{white-space:normal;"
    "overflow-wrap:anywhere;min-width:8rem}"
    ".up{color:#1f883d}.down{color:#cf222e}"
    "dl{display:grid;grid-template-columns:auto 1fr;gap:.2rem 1rem;margin:0}dd{margin:0;"
    "text-align:right;font-variant-numeric:tabular-nums}"
    "footer{margin-top:1rem;color:#59636e}footer a{margin-right:1rem}";

// Numbers without the locale and fast: the page has a few for each of up to 256 rows.
std::string fixed(double value, int decimals) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  return r.ec == std::errc() ? std::string(buf, r.ptr) : "?";
}

std::string count(uint64_t n) {
  char buf[24];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
}

// Binary units, as Windows shows sizes.
std::string bytes(double n) {
  static constexpr const char *kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  int unit = 0;
  while (n >= 1024 && unit < 5) {
    n /= 1024;
    ++unit;
  }
  return fixed(n, unit == 0 ? 0 : 1) + " " + kUnits[unit];
}

std::string per_second(double n) { return bytes(n) + "/s"; }

// What part is of whole; meter() keeps it within 0 and 1.
double share(double part, double whole) { return whole > 0 ? part / whole : 0.0; }

std::string uptime(uint64_t seconds) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%llu d %02u:%02u:%02u",
                static_cast<unsigned long long>(seconds / 86400),
                static_cast<unsigned>(seconds / 3600 % 24),
                static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60));
  return buf;
}

std::string utc_time(double unix_seconds) {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm tm{};
#if defined(_WIN32)
  if (gmtime_s(&tm, &t) != 0) return "?";
#else
  if (gmtime_r(&t, &tm) == nullptr) return "?";
#endif
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

// A labelled bar for a share from 0 to 1, with the share beside it; classes are the element's.
std::string meter(const std::string &label, double ratio, const char *classes = "meter") {
  ratio = ratio > 0 ? std::min(ratio, 1.0) : 0.0;  // NaN too
  const char *level = ratio >= 0.9 ? " class=\"crit\"" : ratio >= 0.8 ? " class=\"warn\"" : "";
  const std::string percent = fixed(ratio * 100, 0);
  std::string out;
  out.reserve(200 + label.size());
  out.append("<div class=\"").append(classes).append("\"><span class=\"label\">").append(label);
  out.append("</span><div class=\"bar\" role=\"img\" aria-label=\"").append(percent);
  out.append(" %\"><i").append(level).append(" style=\"width:").append(fixed(ratio * 100, 1));
  out.append("%\"></i></div><span class=\"value\">").append(percent).append(" %</span></div>");
  return out;
}

std::string processors(const winperf_cpu_info_t &cpu) {
  std::string out = "<section id=\"processors\" class=\"wide\"><h2>Processors</h2>";
  out += meter("All " + count(cpu.core_count), cpu.total_usage_percent / 100);
  out += "<div class=\"cores\">";
  for (uint32_t i = 0; i < cpu.core_count && i < WINPERF_MAX_CORES; ++i) {
    out += meter("core " + count(i), cpu.cores[i].usage_percent / 100, "meter core");
  }
  return out + "</div></section>";
}

std::string memory(const winperf_mem_info_t &m) {
  const double used =
      static_cast<double>(m.total_physical_bytes) -
      static_cast<double>(std::min(m.available_physical_bytes, m.total_physical_bytes));
  std::string out = "<section id=\"memory\"><h2>Memory</h2>";
  out += meter("Physical", share(used, static_cast<double>(m.total_physical_bytes)));
  out += "<p class=\"note\">" + bytes(used) + " used of " +
         bytes(static_cast<double>(m.total_physical_bytes)) + "</p>";
  out += meter("Commit", share(static_cast<double>(m.committed_bytes),
                               static_cast<double>(m.total_commit_bytes)));
  out += "<p class=\"note\">" + bytes(static_cast<double>(m.committed_bytes)) + " of the " +
         bytes(static_cast<double>(m.total_commit_bytes)) + " limit</p>";
  out += "<dl><dt>Paged pool</dt><dd>" + bytes(static_cast<double>(m.pool_paged_bytes)) +
         "</dd><dt>Non-paged pool</dt><dd>" + bytes(static_cast<double>(m.pool_nonpaged_bytes)) +
         "</dd><dt>System cache</dt><dd>" + bytes(static_cast<double>(m.cache_bytes)) +
         "</dd></dl>";
  return out + "</section>";
}

std::string volumes(const winperf_sample::Sample &s, const winperf_names::Decoder &decode) {
  std::string out = "<section id=\"volumes\"><h2>Volumes</h2>";
  for (int i = 0; i < s.disk_count && i < WINPERF_MAX_DISKS; ++i) {
    const winperf_disk_info_t &d = s.disks[i];
    const double total = static_cast<double>(d.total_bytes);
    const double free = static_cast<double>(std::min(d.free_bytes, d.total_bytes));
    const std::string name =
        html_escaped(winperf_names::to_utf8(winperf_names::field_text(d.name), decode));
    out += "<div class=\"volume\">" + meter(name, share(total - free, total)) +
           "<p class=\"note\">" + bytes(free) + " free of " + bytes(total) + "</p></div>";
  }
  if (s.disk_count == 0) out += "<p class=\"note\">No volumes.</p>";
  return out + "</section>";
}

std::string network(const winperf_sample::Sample &s, const winperf_names::Decoder &decode) {
  std::string out =
      "<section id=\"network\" class=\"wide\"><h2>Network</h2><div class=\"scroll\"><table>"
      "<thead><tr><th>Interface</th><th>State</th><th>Received</th><th>Sent</th>"
      "<th>Packets in</th><th>Packets out</th><th>Errors in</th><th>Errors out</th></tr></thead>"
      "<tbody>";
  for (int i = 0; i < s.net_count && i < WINPERF_MAX_NETS; ++i) {
    const winperf_net_info_t &n = s.nets[i];
    out += "<tr class=\"interface\"><td class=\"name\">" +
           html_escaped(winperf_names::to_utf8(winperf_names::field_text(n.name), decode)) +
           "</td><td class=\"" + (n.is_up ? "up\">up" : "down\">down") + "</td><td class=\"num\">" +
           per_second(static_cast<double>(n.bytes_recv_sec)) + "</td><td class=\"num\">" +
           per_second(static_cast<double>(n.bytes_sent_sec)) + "</td><td class=\"num\">" +
           count(n.packets_recv_sec) + "/s</td><td class=\"num\">" + count(n.packets_sent_sec) +
           "/s</td><td class=\"num\">" + count(n.errors_in) + "</td><td class=\"num\">" +
           count(n.errors_out) + "</td></tr>";
  }
  return out + "</tbody></table></div></section>";
}

std::string system_counts(const winperf_sys_info_t &y) {
  return "<section id=\"system\"><h2>System</h2><dl><dt>Processes</dt><dd>" +
         count(y.process_count) + "</dd><dt>Threads</dt><dd>" + count(y.thread_count) +
         "</dd><dt>Handles</dt><dd>" + count(y.handle_count) +
         "</dd><dt>Context switches</dt><dd>" + count(y.context_switches_sec) +
         "/s</dd><dt>System calls</dt><dd>" + count(y.system_calls_sec) + "/s</dd></dl></section>";
}

std::string collection_line(const StatusFacts &f) {
  std::string line = "winperf exporter " + html_escaped(f.version);
  if (f.sample != nullptr) {
    line += " · up " + uptime(f.sample->system.uptime_seconds) + " · collected " +
            utc_time(f.last_good_unix_seconds);
  }
  if (!f.last_ok) {
    line += " · <strong>the last collection failed</strong> (" + count(f.errors) + " of " +
            count(f.collections) + ")";
  }
  return line;
}

}  // namespace

std::string html_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string render_status_page(const StatusFacts &f, const winperf_names::Decoder &decode) {
  const std::string host = html_escaped(f.host_name.empty() ? "this host" : f.host_name);
  const std::string path = html_escaped(f.telemetry_path);
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
      // No icon to fetch: a browser would ask for /favicon.ico and log the 404.
      "<link rel=\"icon\" href=\"data:,\">"
      "<title>" +
      host + " · winperf exporter</title><style>" + kStyle + "</style></head>\n<body><header><h1>" +
      host + "</h1><p>" + collection_line(f) + "</p></header>\n<main>";
  if (f.sample == nullptr) {
    page +=
        "<section class=\"wide\"><h2>No collection yet</h2><p>No collection has succeeded "
        "yet; the metrics hold only the exporter's own figures.</p></section>";
  } else {
    page += processors(f.sample->cpu) + memory(f.sample->memory) + volumes(*f.sample, decode) +
            system_counts(f.sample->system) + network(*f.sample, decode);
  }
  page += "</main>\n<footer><a href=\"" + path + "\">" + path +
          "</a><a href=\"/snapshot\">/snapshot</a><a href=\"/-/healthy\">/-/healthy</a></footer>"
          "</body></html>\n";
  return page;
}

std::string this_host_name() {
#if defined(_WIN32)
  wchar_t name[256];
  DWORD size = 256;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return "";
  std::string out;
  winperf_names::append_utf8(std::u16string_view(reinterpret_cast<const char16_t *>(name), size),
                             out);
  return out;
#else
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? name : "";
#endif
}

}  // namespace exporter
