// A YAML configuration file read into flat settings: nested mappings become dotted keys
// ("web: {listen-address: x}" is the key "web.listen-address"); a value is one scalar or a list
// of scalars. What the keys mean is the caller's business.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace exporter {

struct FileSetting {
  enum class Form { scalar, list, null } form = Form::scalar;
  std::string key;
  std::vector<std::string> values;  // one for a scalar, none for null
  int line = 0;                     // of the key, from 1
  std::vector<std::string> path;    // the key's names as the file nests them, undotted
};

struct FileError {
  int line = 0;     // from 1; 0 when the error is the file's as a whole
  std::string key;  // the dotted key it concerns, if any
  std::string message;
};

// Files larger than this are refused rather than parsed.
constexpr size_t kMaxConfigBytes = 1 << 20;

// Parses text: UTF-8 with or without a BOM, or UTF-16 with a BOM; any line ends. An empty
// document is an empty configuration. Returns false with error set for anything that is not a
// mapping of unique keys to scalars, lists of scalars or further such mappings.
bool parse_config(std::string_view text, std::vector<FileSetting> &out, FileError &error);

}  // namespace exporter
