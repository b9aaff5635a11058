/* A DLL that must never be loaded: planted where a careless loader would look, it leaves
 * WINPERF_MARK_NAME.mark in %WINPERF_MARK_DIR% as soon as it is. */
#include <stdio.h>
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  char dir[MAX_PATH];
  char path[MAX_PATH];
  DWORD n;
  HANDLE file;
  (void)self;
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  n = GetEnvironmentVariableA("WINPERF_MARK_DIR", dir, sizeof dir);
  if (n == 0 || n >= sizeof dir) return TRUE;
  snprintf(path, sizeof path, "%s\\%s.mark", dir, WINPERF_MARK_NAME);
  file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return TRUE;
}
