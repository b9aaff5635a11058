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

}  // namespace winperf_names
