#include "names.h"

namespace winperf_names {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr size_t kLongestCharacter = 4;          // bytes, in any Windows code page

bool is_ascii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

void append_code_point(char32_t cp, std::string &out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_whole_utf16(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

void append_utf8(std::u16string_view text, std::string &out) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      append_code_point(0x10000 + ((char32_t{u} - 0xD800) << 10) + (text[i + 1] - 0xDC00), out);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out += kReplacement;
    } else {
      append_code_point(u, out);
    }
  }
}

std::string to_utf8(std::string_view name, const Decoder &decode) {
  if (is_ascii(name)) return std::string(name);
  std::string out;
  std::u16string wide;
  if (decode(name, wide)) {
    append_utf8(wide, out);
    return out;
  }
  // Something in it does not decode: at each position take the shortest sequence that does,
  // so one bad byte costs one replacement character and no more.
  for (size_t i = 0; i < name.size();) {
    size_t taken = 0;
    for (size_t n = 1; n <= kLongestCharacter && i + n <= name.size(); ++n) {
      if (decode(name.substr(i, n), wide)) {
        taken = n;
        break;
      }
    }
    if (taken == 0) {
      out += kReplacement;
      ++i;
    } else {
      append_utf8(wide, out);
      i += taken;
    }
  }
  return out;
}

}  // namespace winperf_names
