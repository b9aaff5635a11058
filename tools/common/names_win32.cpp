#include <windows.h>

#include "names.h"

namespace winperf_names {

bool decode_ansi(std::string_view bytes, std::u16string &out) {
  out.clear();
  if (bytes.empty()) return true;
  const int in_len = static_cast<int>(bytes.size());
  const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), in_len, nullptr, 0);
  if (n <= 0) return false;
  out.resize(static_cast<size_t>(n));
  return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(), in_len,
                             reinterpret_cast<wchar_t *>(out.data()), n) == n;
}

std::wstring widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int in_len = static_cast<int>(utf8.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in_len, nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in_len, out.data(), n);
  return out;
}

}  // namespace winperf_names
