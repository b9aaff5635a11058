/* Holds a file open for writing with no sharing at all, the way a careless writer does, until a
 * line arrives on stdin (or stdin ends). Prints "locked" once it holds it.
 * Usage: lock_file.exe PATH */
#include <stdio.h>
#include <windows.h>

int wmain(int argc, wchar_t **argv) {
  HANDLE file;
  char line[16];
  if (argc != 2) return 2;
  file = CreateFileW(argv[1], GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "cannot open: error %lu\n", GetLastError());
    return 1;
  }
  printf("locked\n");
  fflush(stdout);
  fgets(line, sizeof line, stdin);
  CloseHandle(file);
  return 0;
}
