#include "textfile.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "exposition.h"
#include "names.h"

namespace textfile {
namespace {

// ---- Encodings ---------------------------------------------------------------------------------

bool fail_at(Error &error, size_t offset, std::string message) {
  error = {0, offset, std::move(message)};
  return false;
}

// The length of the valid UTF-8 sequence at text[i], or 0.
size_t utf8_sequence(std::string_view text, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const auto cont = [&](size_t k) { return i + k < text.size() && (b(k) & 0xC0) == 0x80; };
  const unsigned char c = b(0);
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && b(1) < 0xA0) return 0;   // overlong
    if (c == 0xED && b(1) >= 0xA0) return 0;  // a surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && b(1) < 0x90) return 0;   // overlong
    if (c == 0xF4 && b(1) >= 0x90) return 0;  // beyond U+10FFFF
    return 4;
  }
  return 0;
}

// The offset of the first byte that is not valid UTF-8 text (a NUL counts), or npos.
size_t invalid_utf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t n = text[i] == '\0' ? 0 : utf8_sequence(text, i);
    if (n == 0) return i;
    i += n;
  }
  return std::string_view::npos;
}

bool decode_utf16(std::string_view bytes, size_t start, bool big_endian, std::string &out,
                  Error &error) {
  if ((bytes.size() - start) % 2 != 0) {
    return fail_at(error, bytes.size() - 1, "UTF-16 text of an odd number of bytes");
  }
  const auto unit = [&](size_t at) -> char16_t {
    const auto hi = static_cast<unsigned char>(bytes[big_endian ? at : at + 1]);
    const auto lo = static_cast<unsigned char>(bytes[big_endian ? at + 1 : at]);
    return static_cast<char16_t>((hi << 8) | lo);
  };
  out.reserve((bytes.size() - start) / 2);
  for (size_t at = start; at < bytes.size(); at += 2) {
    const char16_t u = unit(at);
    if (u == 0) return fail_at(error, at, "a NUL character");
    if (u >= 0xDC00 && u <= 0xDFFF) return fail_at(error, at, "an unpaired UTF-16 surrogate");
    if (u >= 0xD800 && u <= 0xDBFF) {
      const char16_t low = at + 3 < bytes.size() ? unit(at + 2) : 0;
      if (low < 0xDC00 || low > 0xDFFF) return fail_at(error, at, "an unpaired UTF-16 surrogate");
      winperf_names::append_code_point(0x10000 + ((char32_t{u} - 0xD800) << 10) + (low - 0xDC00),
                                       out);
      at += 2;
    } else {
      winperf_names::append_code_point(u, out);
    }
  }
  return true;
}

// ---- Lines and tokens --------------------------------------------------------------------------

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_name_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}
bool is_name_char(char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }
bool is_label_start(char c) { return is_name_start(c) && c != ':'; }
bool is_label_char(char c) { return is_name_char(c) && c != ':'; }

// A cursor over one line.
struct Cursor {
  std::string_view line;
  size_t at = 0;
  bool done() const { return at >= line.size(); }
  char peek() const { return done() ? '\0' : line[at]; }
  void skip_blanks() {
    while (!done() && is_blank(line[at])) ++at;
  }
  std::string_view take_while(bool (*ok)(char)) {
    const size_t start = at;
    while (!done() && ok(line[at])) ++at;
    return line.substr(start, at - start);
  }
  std::string_view take_token() {
    const size_t start = at;
    while (!done() && !is_blank(line[at])) ++at;
    return line.substr(start, at - start);
  }
  // A metric name: a first character that may start one, then any that may follow.
  std::string_view take_name() {
    if (done() || !is_name_start(line[at])) return {};
    return take_while(is_name_char);
  }
  std::string_view take_label_name() {
    if (done() || !is_label_start(line[at])) return {};
    return take_while(is_label_char);
  }
};

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text.substr(0, 64)) out += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
  return out + (text.size() > 64 ? "...\"" : "\"");
}

const char *type_name(Type t) {
  switch (t) {
    case Type::counter: return "counter";
    case Type::gauge: return "gauge";
    case Type::summary: return "summary";
    case Type::histogram: return "histogram";
    case Type::untyped: break;
  }
  return "untyped";
}

std::optional<Type> type_of(std::string_view word) {
  std::string lower(word);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  for (const Type t : {Type::counter, Type::gauge, Type::untyped, Type::summary, Type::histogram}) {
    if (lower == type_name(t)) return t;
  }
  return std::nullopt;
}

bool ends_with(std::string_view name, std::string_view suffix) {
  return name.size() > suffix.size() && name.ends_with(suffix);
}

// What a summary's or histogram's name makes of other names.
std::vector<std::string> derived_names(const Family &f) {
  if (f.type == Type::histogram) return {f.name + "_bucket", f.name + "_sum", f.name + "_count"};
  if (f.type == Type::summary) return {f.name + "_sum", f.name + "_count"};
  return {};
}

// ---- The parser --------------------------------------------------------------------------------

class Parser {
 public:
  Parser(std::vector<Family> &families, Error &error) : families_(families), error_(error) {}

  bool line(std::string_view text, size_t number) {
    line_ = number;
    Cursor c{text};
    c.skip_blanks();
    if (c.done()) return true;
    if (c.peek() == '#') return comment(c);
    return sample(c);
  }

  bool finish() {
    if (!every_histogram_has_its_inf_bucket() || !no_name_is_taken_twice()) return false;
    std::erase_if(families_, [](const Family &f) { return f.samples.empty(); });
    return true;
  }

 private:
  struct State {
    bool typed = false;   // a TYPE line was read
    bool closed = false;  // another family's lines came after this one's
  };

  bool fail(std::string message, size_t line = 0) {
    error_ = {line == 0 ? line_ : line, std::nullopt, std::move(message)};
    return false;
  }

  // The family a name belongs to, as Prometheus' own parser finds it: the family of that name,
  // or the summary or histogram whose samples the suffix names; else a new untyped one.
  size_t family_of(std::string_view name) {
    if (const auto it = index_.find(std::string(name)); it != index_.end()) return it->second;
    for (const std::string_view suffix : {"_count", "_sum", "_bucket"}) {
      if (!ends_with(name, suffix)) continue;
      const auto it = index_.find(std::string(name.substr(0, name.size() - suffix.size())));
      if (it == index_.end()) continue;
      const Type t = families_[it->second].type;
      if (t == Type::histogram || (t == Type::summary && suffix != "_bucket")) return it->second;
    }
    families_.push_back(Family{std::string(name), Type::untyped, std::nullopt, {}, line_});
    state_.emplace_back();
    index_.emplace(std::string(name), families_.size() - 1);
    return families_.size() - 1;
  }

  // The lines of a family come together: once another family's line came, it may not resume.
  bool touch(size_t f) {
    if (current_ == f) return true;
    if (state_[f].closed) {
      return fail("the lines of " + families_[f].name + " are split: they began at line " +
                  std::to_string(families_[f].line) + " and another family's came between");
    }
    if (current_ != kNone) state_[current_].closed = true;
    current_ = f;
    return true;
  }

  bool comment(Cursor &c) {
    ++c.at;  // '#'
    c.skip_blanks();
    const std::string_view keyword = c.take_token();
    if (keyword != "HELP" && keyword != "TYPE") return true;  // an ordinary comment
    c.skip_blanks();
    if (c.done()) return true;
    const std::string_view name = c.take_name();
    if (name.empty() || (!c.done() && !is_blank(c.peek()))) {
      return fail("invalid metric name in a " + std::string(keyword) + " line");
    }
    c.skip_blanks();
    if (c.done()) return true;  // nothing said of it, as Prometheus reads it
    const size_t f = family_of(name);
    if (!touch(f)) return false;
    return keyword == "HELP" ? help(c, f) : type(c, f);
  }

  bool help(Cursor &c, size_t f) {
    Family &family = families_[f];
    if (family.help) return fail("a second HELP line for " + family.name);
    std::string text;
    for (; !c.done(); ++c.at) {
      const char ch = c.peek();
      if (ch != '\\') {
        text += ch;
        continue;
      }
      if (++c.at == c.line.size()) return fail("a backslash at the end of the HELP line");
      switch (c.peek()) {
        case '\\': text += '\\'; break;
        case 'n': text += '\n'; break;
        case '"': text += '"'; break;
        default: return fail(std::string("an invalid escape sequence \\") + c.peek() + " in HELP");
      }
    }
    if (invalid_utf8(text) != std::string::npos) return fail("HELP text that is not UTF-8");
    family.help = std::move(text);
    return true;
  }

  bool type(Cursor &c, size_t f) {
    Family &family = families_[f];
    if (state_[f].typed || !family.samples.empty()) {
      return fail("a second TYPE line for " + family.name + ", or a TYPE after its samples");
    }
    std::string_view word = c.line.substr(c.at);
    while (!word.empty() && is_blank(word.back())) word.remove_suffix(1);
    const std::optional<Type> t = type_of(word);
    if (!t) return fail("an unknown metric type " + quoted(word));
    family.type = *t;
    state_[f].typed = true;
    return true;
  }

  bool sample(Cursor &c) {
    Sample s;
    s.line = line_;
    s.name = c.take_name();
    if (s.name.empty()) return fail("invalid metric name");
    c.skip_blanks();
    if (c.peek() == '{' && !labels(c, s)) return false;
    c.skip_blanks();
    const std::string_view value = c.take_token();
    if (value.empty()) return fail("no value for " + s.name);
    const std::optional<double> v = parse_value(value);
    if (!v) return fail("expected a number as the value of " + s.name + ", got " + quoted(value));
    s.value = *v;
    c.skip_blanks();
    if (!c.done()) {
      const std::string_view extra = c.take_token();
      long long stamp = 0;
      const auto r = std::from_chars(extra.data() + (extra.starts_with('+') ? 1 : 0),
                                     extra.data() + extra.size(), stamp);
      if (r.ec == std::errc() && r.ptr == extra.data() + extra.size()) {
        return fail("client-side timestamps are not supported");
      }
      return fail("unexpected text after the value of " + s.name + ": " + quoted(extra));
    }
    const size_t f = family_of(s.name);
    if (!touch(f) || !fits(families_[f], s)) return false;
    if (!keys_.insert(series_key(s)).second) return fail("the same series twice: " + s.name);
    families_[f].samples.push_back(std::move(s));
    return true;
  }

  bool labels(Cursor &c, Sample &s) {
    ++c.at;  // '{'
    for (;;) {
      c.skip_blanks();
      if (c.peek() == '}') break;
      const std::string_view name = c.take_label_name();
      if (name.empty()) return fail("invalid label name in " + s.name);
      if (name == "__name__") return fail("the label name __name__ is reserved");
      for (const auto &[other, value] : s.labels) {
        if (other == name) return fail("the label " + std::string(name) + " twice in " + s.name);
      }
      c.skip_blanks();
      if (c.peek() != '=') return fail("expected = after the label name " + std::string(name));
      ++c.at;
      c.skip_blanks();
      if (c.peek() != '"') return fail("expected \" to start the value of " + std::string(name));
      ++c.at;
      std::string value;
      if (!label_value(c, value)) return false;
      s.labels.emplace_back(name, std::move(value));
      c.skip_blanks();
      if (c.peek() == ',') {
        ++c.at;
        continue;
      }
      if (c.peek() != '}') return fail("expected , or } after the label " + std::string(name));
      break;
    }
    ++c.at;  // '}'
    return true;
  }

  bool label_value(Cursor &c, std::string &value) {
    for (; !c.done(); ++c.at) {
      const char ch = c.peek();
      if (ch == '"') {
        ++c.at;
        if (invalid_utf8(value) != std::string::npos)
          return fail("a label value that is not UTF-8");
        return true;
      }
      if (ch != '\\') {
        value += ch;
        continue;
      }
      if (++c.at == c.line.size()) break;
      switch (c.peek()) {
        case '\\': value += '\\'; break;
        case '"': value += '"'; break;
        case 'n': value += '\n'; break;
        default:
          return fail(std::string("an invalid escape sequence \\") + c.peek() +
                      " in a label value");
      }
    }
    return fail("a label value without its closing \"");
  }

  // A summary's and a histogram's rules for the names and labels of their samples.
  bool fits(const Family &f, const Sample &s) {
    const auto has = [&](std::string_view label) -> const std::string * {
      for (const auto &[name, value] : s.labels) {
        if (name == label) return &value;
      }
      return nullptr;
    };
    const bool sum_or_count = s.name == f.name + "_sum" || s.name == f.name + "_count";
    if (f.type == Type::histogram) {
      const std::string *le = has("le");
      if (s.name == f.name + "_bucket") {
        if (le == nullptr) return fail("the bucket " + s.name + " has no le label");
        if (!parse_value(*le)) return fail("expected a number as le, got " + quoted(*le));
        return true;
      }
      if (!sum_or_count) {
        return fail("a histogram's samples are " + f.name + "_bucket, _sum and _count, not " +
                    s.name);
      }
      if (le != nullptr) return fail("an le label on " + s.name);
      return true;
    }
    if (f.type == Type::summary) {
      const std::string *quantile = has("quantile");
      if (s.name == f.name) {
        if (quantile == nullptr) return fail("the summary " + s.name + " has no quantile label");
        if (!parse_value(*quantile)) {
          return fail("expected a number as quantile, got " + quoted(*quantile));
        }
        return true;
      }
      if (quantile != nullptr) return fail("a quantile label on " + s.name);
    }
    return true;
  }

  bool every_histogram_has_its_inf_bucket() {
    for (const Family &f : families_) {
      if (f.type != Type::histogram) continue;
      std::map<std::string, size_t> first_line;  // series without le -> its first line
      std::unordered_set<std::string> with_inf;
      for (const Sample &s : f.samples) {
        Sample base{f.name, {}, 0, 0};
        bool inf = false;
        for (const auto &[name, value] : s.labels) {
          if (name != "le") {
            base.labels.emplace_back(name, value);
          } else if (const auto v = parse_value(value); v && std::isinf(*v) && *v > 0) {
            inf = s.name == f.name + "_bucket";
          }
        }
        const std::string key = series_key(base);
        first_line.emplace(key, s.line);
        if (inf) with_inf.insert(key);
      }
      for (const auto &[key, line] : first_line) {
        if (!with_inf.contains(key))
          return fail("the histogram " + key + " has no +Inf bucket", line);
      }
    }
    return true;
  }

  // A summary or histogram x takes the names x_sum, x_count (and x_bucket): no other family may
  // have them, or the text would not read back the same.
  bool no_name_is_taken_twice() {
    for (const Family &f : families_) {
      for (const std::string &name : derived_names(f)) {
        if (const auto it = index_.find(name);
            it != index_.end() && !families_[it->second].samples.empty()) {
          return fail(
              "the family " + name + " clashes with the " + type_name(f.type) + " " + f.name,
              families_[it->second].line);
        }
      }
    }
    return true;
  }

  static constexpr size_t kNone = static_cast<size_t>(-1);
  std::vector<Family> &families_;
  Error &error_;
  std::vector<State> state_;
  std::unordered_map<std::string, size_t> index_;
  std::unordered_set<std::string> keys_;
  size_t current_ = kNone;
  size_t line_ = 0;
};

void append_help(std::string_view help, std::string &out) {
  for (const char c : help) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

}  // namespace

void append_value(double v, std::string &out) {
  if (std::isnan(v)) {
    out += "NaN";
  } else if (std::isinf(v)) {
    out += v > 0 ? "+Inf" : "-Inf";
  } else {
    char buf[32];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
  }
}

std::string Error::text() const {
  if (offset) return "byte " + std::to_string(*offset) + ": " + message;
  if (line > 0) return "line " + std::to_string(line) + ": " + message;
  return message;
}

bool decode(std::string_view bytes, std::string &utf8, Error &error) {
  utf8.clear();
  if (bytes.starts_with("\xFF\xFE")) return decode_utf16(bytes, 2, false, utf8, error);
  if (bytes.starts_with("\xFE\xFF")) return decode_utf16(bytes, 2, true, utf8, error);
  const size_t start = bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0;
  const std::string_view body = bytes.substr(start);
  if (const size_t bad = invalid_utf8(body); bad != std::string_view::npos) {
    const bool nul = body[bad] == '\0';
    return fail_at(
        error, start + bad,
        nul ? "a NUL byte (UTF-16 needs its byte-order mark)" : "bytes that are not UTF-8");
  }
  utf8.assign(body);
  return true;
}

std::optional<double> parse_value(std::string_view text) {
  std::string_view rest = text;
  const bool negative = rest.starts_with('-');
  const bool sign = negative || rest.starts_with('+');
  if (sign) rest.remove_prefix(1);
  const auto is = [&](std::string_view word) {
    return rest.size() == word.size() &&
           std::equal(rest.begin(), rest.end(), word.begin(),
                      [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a + 32 : a) == b; });
  };
  if (is("inf") || is("infinity")) return negative ? -HUGE_VAL : HUGE_VAL;
  if (is("nan")) return sign ? std::nullopt : std::optional<double>(std::nan(""));
  // Decimal only: Prometheus refuses Go's hexadecimal floats and digit separators.
  size_t i = 0, digits = 0;
  while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') ++i, ++digits;
  if (i < rest.size() && rest[i] == '.') {
    ++i;
    while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < rest.size() && (rest[i] == 'e' || rest[i] == 'E')) {
    ++i;
    if (i < rest.size() && (rest[i] == '+' || rest[i] == '-')) ++i;
    size_t exponent = 0;
    while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') ++i, ++exponent;
    if (exponent == 0) return std::nullopt;
  }
  if (i != rest.size()) return std::nullopt;
  const std::string copy(text);
  errno = 0;
  const double v = std::strtod(copy.c_str(), nullptr);
  if (errno == ERANGE && std::isinf(v)) return std::nullopt;  // Go refuses what overflows
  return v;
}

bool parse(std::string_view text, std::vector<Family> &families, Error &error) {
  families.clear();
  Parser parser(families, error);
  size_t number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (!parser.line(line, ++number)) {
      families.clear();
      return false;
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  if (!parser.finish()) {
    families.clear();
    return false;
  }
  return true;
}

std::string series_key(const Sample &s) {
  std::vector<std::pair<std::string, std::string>> sorted = s.labels;
  std::sort(sorted.begin(), sorted.end());
  std::string key = s.name;
  for (size_t i = 0; i < sorted.size(); ++i) {
    key += i == 0 ? "{" : ",";
    key += sorted[i].first;
    key += "=\"";
    exposition::append_label_value(sorted[i].second, key);
    key += '"';
  }
  return sorted.empty() ? key : key + "}";
}

bool Merger::check(const std::vector<Family> &families, std::vector<std::string> &keys,
                   Error &error) const {
  const auto fail = [&](size_t line, std::string message) {
    error = {line, std::nullopt, std::move(message)};
    return false;
  };
  size_t added = 0;
  for (const Family &f : families) {
    if (f.name.starts_with(reserved_prefix_)) {
      return fail(f.line,
                  "the name " + f.name + " is the exporter's own (" + reserved_prefix_ + "*)");
    }
    if (const auto it = families_.find(f.name); it != families_.end()) {
      if (it->second.type != f.type) {
        return fail(f.line, f.name + " is a " + type_name(f.type) + " here but a " +
                                type_name(it->second.type) + " in a file before");
      }
    }
    for (const std::string_view suffix : {"_count", "_sum", "_bucket"}) {
      if (!ends_with(f.name, suffix)) continue;
      const auto base = families_.find(f.name.substr(0, f.name.size() - suffix.size()));
      if (base == families_.end()) continue;
      const auto &taken = derived_names(base->second);
      if (std::find(taken.begin(), taken.end(), f.name) != taken.end()) {
        return fail(f.line, "the family " + f.name + " clashes with the " +
                                type_name(base->second.type) + " " + base->first +
                                " of a file before");
      }
    }
    for (const std::string &derived : derived_names(f)) {
      if (families_.contains(derived)) {
        return fail(f.line, "the " + std::string(type_name(f.type)) + " " + f.name +
                                " clashes with the family " + derived + " of a file before");
      }
    }
    for (const Sample &s : f.samples) {
      keys.push_back(series_key(s));
      if (const auto it = series_.find(keys.back()); it != series_.end()) {
        return fail(s.line, "the series " + keys.back() + " is also in " + files_[it->second]);
      }
    }
    added += f.samples.size();
  }
  if (series_.size() + added > max_series_) {
    return fail(0, "more than " + std::to_string(max_series_) + " series over all files");
  }
  return true;
}

bool Merger::add(const std::string &file, std::vector<Family> families, Error &error) {
  std::vector<std::string> keys;
  if (!check(families, keys, error)) return false;
  files_.push_back(file);
  for (std::string &key : keys) series_.emplace(std::move(key), files_.size() - 1);
  for (Family &f : families) {
    const auto [it, fresh] = families_.try_emplace(f.name, std::move(f));
    if (fresh) continue;
    Family &merged = it->second;
    if (!merged.help && f.help) merged.help = std::move(f.help);  // the first file that has one
    std::move(f.samples.begin(), f.samples.end(), std::back_inserter(merged.samples));
  }
  return true;
}

void Merger::render(std::string &out) const {
  for (const auto &[name, f] : families_) {
    if (f.help) {
      out += "# HELP " + name + " ";
      append_help(*f.help, out);
      out += '\n';
    }
    out += "# TYPE " + name + " " + type_name(f.type) + "\n";
    for (const Sample &s : f.samples) {
      out += s.name;
      if (!s.labels.empty()) {
        out += '{';
        for (size_t i = 0; i < s.labels.size(); ++i) {
          if (i > 0) out += ',';
          out += s.labels[i].first;
          out += "=\"";
          exposition::append_label_value(s.labels[i].second, out);
          out += '"';
        }
        out += '}';
      }
      out += ' ';
      append_value(s.value, out);
      out += '\n';
    }
  }
}

}  // namespace textfile
