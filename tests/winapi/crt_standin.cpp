// The Windows C runtime's bounded wide formatting, for the stand-ins.
#include <windows.h>

#include <cstdarg>
#include <cwchar>

extern "C" int _snwprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...) {
  va_list args;
  va_start(args, format);
  const int n = std::vswprintf(buffer, count, format, args);
  va_end(args);
  return n;
}
