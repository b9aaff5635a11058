#include "config_file.h"

#include <yaml.h>

#include <algorithm>
#include <set>

namespace exporter {
namespace {

// Deeper than this is not a configuration anybody writes; refusing it bounds the recursion.
constexpr int kMaxDepth = 16;

int line_of(const yaml_mark_t &mark) { return static_cast<int>(mark.line) + 1; }

bool is_null(const yaml_event_t &e) {
  if (e.data.scalar.style != YAML_PLAIN_SCALAR_STYLE) return false;
  const std::string_view v(reinterpret_cast<const char *>(e.data.scalar.value),
                           e.data.scalar.length);
  return v.empty() || v == "~" || v == "null" || v == "Null" || v == "NULL";
}

std::string scalar_text(const yaml_event_t &e) {
  return {reinterpret_cast<const char *>(e.data.scalar.value), e.data.scalar.length};
}

// One pass over the events of a document, with the parser and the current event released
// whatever happens.
class Reader {
 public:
  Reader(std::string_view text, FileError &error) : text_(text), error_(error) {
    yaml_parser_initialize(&parser_);
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char *>(text.data()),
                                 text.size());
  }
  ~Reader() {
    release();
    yaml_parser_delete(&parser_);
  }
  Reader(const Reader &) = delete;
  Reader &operator=(const Reader &) = delete;

  bool read(std::vector<FileSetting> &out) {
    if (!next() || !expect(YAML_STREAM_START_EVENT)) return false;
    if (!next()) return false;
    if (event_.type == YAML_STREAM_END_EVENT) return true;  // nothing but comments, or nothing
    if (!expect(YAML_DOCUMENT_START_EVENT) || !next()) return false;
    if (event_.type == YAML_MAPPING_START_EVENT) {
      if (!mapping("", 1, out)) return false;
    } else if (!(event_.type == YAML_SCALAR_EVENT && is_null(event_))) {
      return fail(line_of(event_.start_mark), "", "the document is not a mapping of settings");
    }
    if (!next() || !expect(YAML_DOCUMENT_END_EVENT) || !next()) return false;
    if (event_.type != YAML_STREAM_END_EVENT) {
      return fail(line_of(event_.start_mark), "", "more than one document in the file");
    }
    return true;
  }

 private:
  // At a MAPPING_START: reads up to and including its MAPPING_END.
  bool mapping(const std::string &prefix, int depth, std::vector<FileSetting> &out) {
    if (depth > kMaxDepth) return fail(line_of(event_.start_mark), prefix, "nested too deeply");
    std::set<std::string> keys;
    for (;;) {
      if (!next()) return false;
      if (event_.type == YAML_MAPPING_END_EVENT) return true;
      const int line = line_of(event_.start_mark);
      if (event_.type != YAML_SCALAR_EVENT || is_null(event_) || event_.data.scalar.length == 0) {
        return fail(line, prefix, "a key must be a name");
      }
      const std::string name = scalar_text(event_);
      const std::string key = prefix.empty() ? name : prefix + "." + name;
      if (!keys.insert(name).second || !seen_.insert(key).second) {
        return fail(line, key, "duplicate key");
      }
      if (!next()) return false;
      path_.push_back(name);
      if (!value(key, line, depth, out)) return false;
      path_.pop_back();
    }
  }

  // At the event after a key: its scalar, list or mapping.
  bool value(const std::string &key, int line, int depth, std::vector<FileSetting> &out) {
    switch (event_.type) {
      case YAML_SCALAR_EVENT: {
        FileSetting s{FileSetting::Form::scalar, key, {}, line, path_};
        if (is_null(event_)) {
          s.form = FileSetting::Form::null;
        } else {
          s.values.push_back(scalar_text(event_));
        }
        out.push_back(std::move(s));
        return true;
      }
      case YAML_SEQUENCE_START_EVENT: return list(key, line, out);
      case YAML_MAPPING_START_EVENT:
        // A mapping's own keys may repeat as dotted keys elsewhere; seen_ finds those.
        return mapping(key, depth + 1, out);
      default: return fail(line, key, "aliases are not supported");
    }
  }

  bool list(const std::string &key, int line, std::vector<FileSetting> &out) {
    FileSetting s{FileSetting::Form::list, key, {}, line, path_};
    for (;;) {
      if (!next()) return false;
      if (event_.type == YAML_SEQUENCE_END_EVENT) break;
      if (event_.type != YAML_SCALAR_EVENT || is_null(event_)) {
        return fail(line_of(event_.start_mark), key, "a list holds plain values only");
      }
      s.values.push_back(scalar_text(event_));
    }
    out.push_back(std::move(s));
    return true;
  }

  bool next() {
    release();
    if (!yaml_parser_parse(&parser_, &event_)) return parse_error();
    has_event_ = true;
    return true;
  }

  bool expect(yaml_event_type_t type) {
    if (event_.type == type) return true;
    return fail(line_of(event_.start_mark), "", "unexpected YAML structure");
  }

  void release() {
    if (has_event_) yaml_event_delete(&event_);
    has_event_ = false;
  }

  // libyaml's own words. A reader error (bad encoding, a control character) has a byte offset
  // rather than a position.
  bool parse_error() {
    std::string message = "invalid YAML: ";
    message += parser_.problem != nullptr ? parser_.problem : "cannot be parsed";
    int line = line_of(parser_.problem_mark);
    if (parser_.error == YAML_READER_ERROR) {
      const size_t offset = std::min(parser_.problem_offset, text_.size());
      message += " at byte " + std::to_string(offset);
      line = 1 + static_cast<int>(std::count(text_.begin(), text_.begin() + offset, '\n'));
    } else if (parser_.context != nullptr) {
      message += std::string(" (") + parser_.context + ")";
    }
    return fail(line, "", std::move(message));
  }

  bool fail(int line, std::string key, std::string message) {
    error_ = {line, std::move(key), std::move(message)};
    return false;
  }

  const std::string_view text_;
  FileError &error_;
  yaml_parser_t parser_{};
  yaml_event_t event_{};
  bool has_event_ = false;
  std::set<std::string> seen_;     // every dotted key so far
  std::vector<std::string> path_;  // the names of the keys being read, outermost first
};

}  // namespace

bool parse_config(std::string_view text, std::vector<FileSetting> &out, FileError &error) {
  out.clear();
  if (text.size() > kMaxConfigBytes) {
    error = {0, "", "larger than " + std::to_string(kMaxConfigBytes >> 20) + " MiB"};
    return false;
  }
  Reader reader(text, error);
  if (reader.read(out)) return true;
  out.clear();
  return false;
}

}  // namespace exporter
