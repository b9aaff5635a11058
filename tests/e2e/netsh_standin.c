/* Stands in for netsh.exe, which Wine lacks: appends its command line, one line a call, to
   C:\netsh-calls.txt, and fails (exit code 1) while C:\netsh-fail exists. */
#include <stdio.h>
#include <windows.h>

int wmain(void) {
  const wchar_t *line = GetCommandLineW();
  /* The program's own name first, quoted or not: the rest is netsh's arguments. */
  const wchar_t *args = line;
  if (*args == L'"') {
    for (++args; *args && *args != L'"'; ++args) {
    }
    if (*args) ++args;
  } else {
    while (*args && *args != L' ') ++args;
  }
  while (*args == L' ') ++args;
  FILE *log = _wfopen(L"C:\\netsh-calls.txt", L"a, ccs=UTF-8");
  if (log) {
    fwprintf(log, L"%ls\n", args);
    fclose(log);
  }
  return GetFileAttributesW(L"C:\\netsh-fail") == INVALID_FILE_ATTRIBUTES ? 0 : 1;
}
