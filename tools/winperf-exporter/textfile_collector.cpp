#include "textfile_collector.h"

#include <algorithm>

#include "exposition.h"
#include "textfile.h"

namespace textfile {
namespace {

std::string join(const std::string &folder, const std::string &name) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
  return folder + "\\" + name;
}

std::vector<std::string> distinct(std::vector<std::string> folders) {
  std::vector<std::string> out;
  for (std::string &f : folders) {
    if (std::find(out.begin(), out.end(), f) == out.end()) out.push_back(std::move(f));
  }
  return out;
}

void append_file_sample(const char *name, const std::string &file, double v, std::string &out) {
  out += name;
  out += "{file=\"";
  exposition::append_label_value(file, out);
  out += "\"} ";
  append_value(v, out);
  out += '\n';
}

// Why a file's content cannot be served, or empty; its families go to the merger when it can.
std::string take(const std::string &path, const FileContent &file, Merger &merger) {
  if (!file.ok) return file.error;
  if (file.bytes.size() > Collector::kMaxFileBytes) return "larger than 16 MiB";
  std::string text;
  std::vector<Family> families;
  Error error;
  if (!decode(file.bytes, text, error) || !parse(text, families, error) ||
      !merger.add(path, std::move(families), error)) {
    return error.text();
  }
  return {};
}

}  // namespace

Collector::Collector(std::vector<std::string> folders, FolderReader read, Log log)
    : folders_(distinct(std::move(folders))), read_(std::move(read)), log_(std::move(log)) {}

void Collector::collect() {
  Merger merger("winperf_", kMaxSeries);
  std::vector<std::pair<std::string, double>> served;  // path, modification time
  std::map<std::string, std::string> failing;
  for (const std::string &folder : folders_) {
    const Folder listed = read_(folder, kMaxFileBytes);
    if (!listed.ok) {
      failing[folder] = "cannot read the folder: " + listed.error;
      continue;
    }
    for (const FileContent &file : listed.files) {
      const std::string path = join(folder, file.name);
      if (std::string why = take(path, file, merger); !why.empty()) {
        failing[path] = std::move(why);
      } else {
        served.emplace_back(path, file.mtime);
      }
    }
  }
  std::string text;
  merger.render(text);
  text +=
      "# HELP winperf_textfile_mtime_seconds Modification time of each textfile served, as Unix "
      "time.\n# TYPE winperf_textfile_mtime_seconds gauge\n";
  for (const auto &[path, mtime] : served) {
    append_file_sample("winperf_textfile_mtime_seconds", path, mtime, text);
  }
  text +=
      "# HELP winperf_textfile_scrape_error 1 if a textfile or its folder could not be served "
      "in this collection, else 0.\n# TYPE winperf_textfile_scrape_error gauge\n"
      "winperf_textfile_scrape_error ";
  text += failing.empty() ? "0\n" : "1\n";
  if (!failing.empty()) {
    text +=
        "# HELP winperf_textfile_file_error 1 for each textfile or folder that could not be "
        "served in this collection.\n# TYPE winperf_textfile_file_error gauge\n";
    for (const auto &[path, why] : failing)
      append_file_sample("winperf_textfile_file_error", path, 1, text);
  }
  text_ = std::move(text);
  report(failing);
}

void Collector::report(const std::map<std::string, std::string> &failing) {
  for (const auto &[path, why] : failing) {
    const auto it = failing_.find(path);
    if (it == failing_.end() || it->second != why) log_(true, "textfile " + path + ": " + why);
  }
  for (const auto &[path, why] : failing_) {
    if (!failing.contains(path)) log_(false, "textfile " + path + ": served again");
  }
  failing_ = failing;
}

}  // namespace textfile
