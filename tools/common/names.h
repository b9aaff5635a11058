// Names as UTF-8. The system reports drive and interface names as 8-bit text in its ANSI code
// page; a label value must be UTF-8, or Prometheus rejects the whole scrape.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace winperf_names {

// Decodes bytes of one code page into UTF-16. Returns false when the bytes are not a complete,
// valid sequence of that code page.
using Decoder = std::function<bool(std::string_view bytes, std::u16string &out)>;

// The name as UTF-8: decoded with decode, each byte that does not decode written as U+FFFD.
// ASCII is taken as it is.
std::string to_utf8(std::string_view name, const Decoder &decode);

// The text of a NUL-terminated name field: up to the first NUL, or the whole field.
template <size_t Width>
std::string_view field_text(const char (&field)[Width]) {
  size_t n = 0;
  while (n < Width && field[n] != '\0') ++n;
  return {field, n};
}

// One code point (below U+110000) as UTF-8.
void append_code_point(char32_t cp, std::string &out);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
void append_utf8(std::u16string_view text, std::string &out);

// Whether text has no unpaired surrogate, so that it goes to UTF-8 and back unchanged.
bool is_whole_utf16(std::u16string_view text);

#if defined(_WIN32)
// The system's ANSI code page (CP_ACP).
bool decode_ansi(std::string_view bytes, std::u16string &out);

// UTF-8 to UTF-16, for the Windows calls that take a path or a text.
std::wstring widen(std::string_view utf8);
#endif

}  // namespace winperf_names
