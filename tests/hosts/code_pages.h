// Decoders for real Windows code pages, from iconv, standing in for the system's ANSI code page.
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

#include "names.h"

inline winperf_names::Decoder code_page(const char *name) {
  return [name](std::string_view bytes, std::u16string &out) {
    const iconv_t cd = iconv_open("UTF-16LE", name);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string in(bytes);
    std::u16string buf(bytes.size() * 2 + 4, u'\0');
    char *src = in.data();
    size_t src_left = in.size();
    char *dst = reinterpret_cast<char *>(buf.data());
    size_t dst_left = buf.size() * sizeof(char16_t);
    const size_t r = iconv(cd, &src, &src_left, &dst, &dst_left);
    // Flushing reports a sequence cut short at the end.
    const bool ok = r != static_cast<size_t>(-1) && src_left == 0 &&
                    iconv(cd, nullptr, nullptr, &dst, &dst_left) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (!ok) return false;
    buf.resize(buf.size() - dst_left / sizeof(char16_t));
    out = buf;
    return true;
  };
}
