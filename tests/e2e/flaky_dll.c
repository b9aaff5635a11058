/* A library with the module name whose collections fail for as long as a file collect.fail lies
 * beside it. Everything else, and the collections once the file is gone, is the real library's,
 * loaded from winperf-real.dll beside it, so that a host shows real figures after the failures.
 * A file names.txt beside it renames the first volume and the first interface to its first and
 * second lines (bytes as they are), for the names no real system gives on demand. */
#define WINPERF_BUILDING_DLL
#include <windows.h>

#include <string.h>

#include "winperf.h"

static HMODULE s_self;
static HMODULE s_real;
static wchar_t s_dir[MAX_PATH];
static char s_error[128];

typedef int (*int_fn)(void);
typedef void (*void_fn)(void);
typedef const char *(*text_fn)(void);
typedef int (*cpu_fn)(winperf_cpu_info_t *);
typedef int (*mem_fn)(winperf_mem_info_t *);
typedef int (*sys_fn)(winperf_sys_info_t *);
typedef int (*disks_fn)(winperf_disk_info_t *, int, int *);
typedef int (*nets_fn)(winperf_net_info_t *, int, int *);

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) s_self = self;
  return TRUE;
}

/* NAME in this DLL's folder. */
static const wchar_t *beside(const wchar_t *name, wchar_t *path) {
  wchar_t *slash;
  if (s_dir[0] == L'\0') {
    const DWORD n = GetModuleFileNameW(s_self, s_dir, MAX_PATH);
    slash = n > 0 && n < MAX_PATH ? wcsrchr(s_dir, L'\\') : NULL;
    if (slash == NULL) ExitProcess(99);
    slash[1] = L'\0';
  }
  if (wcslen(s_dir) + wcslen(name) >= MAX_PATH) ExitProcess(99);
  wcscpy(path, s_dir);
  wcscat(path, name);
  return path;
}

/* The real library's export, the library loaded on first use (never in DllMain). */
static FARPROC real(const char *name) {
  wchar_t path[MAX_PATH];
  FARPROC fn;
  if (s_real == NULL) s_real = LoadLibraryExW(beside(L"winperf-real.dll", path), NULL, 0);
  fn = s_real != NULL ? GetProcAddress(s_real, name) : NULL;
  if (fn == NULL) ExitProcess(99); /* a broken fixture, never a silent pass */
  return fn;
}

static int told_to_fail(void) {
  wchar_t path[MAX_PATH];
  return GetFileAttributesW(beside(L"collect.fail", path)) != INVALID_FILE_ATTRIBUTES;
}

WINPERF_API int winperf_init(void) { return ((int_fn)real("winperf_init"))(); }

WINPERF_API int winperf_collect(void) {
  if (told_to_fail()) {
    lstrcpyA(s_error, "winperf_collect: told to fail");
    return -1;
  }
  s_error[0] = '\0';
  return ((int_fn)real("winperf_collect"))();
}

WINPERF_API void winperf_cleanup(void) { ((void_fn)real("winperf_cleanup"))(); }

WINPERF_API const char *winperf_last_error(void) {
  return s_error[0] != '\0' ? s_error : ((text_fn)real("winperf_last_error"))();
}

WINPERF_API int winperf_get_cpu(winperf_cpu_info_t *info) {
  return ((cpu_fn)real("winperf_get_cpu"))(info);
}

WINPERF_API int winperf_get_memory(winperf_mem_info_t *info) {
  return ((mem_fn)real("winperf_get_memory"))(info);
}

WINPERF_API int winperf_get_system(winperf_sys_info_t *info) {
  return ((sys_fn)real("winperf_get_system"))(info);
}

/* Line `line` (0 or 1) of names.txt into name, which holds size bytes; 0 when there is none. */
static int given_name(int line, char *name, size_t size) {
  wchar_t path[MAX_PATH];
  char text[512];
  DWORD got = 0;
  const char *start = text, *end;
  HANDLE file = CreateFileW(beside(L"names.txt", path), GENERIC_READ, FILE_SHARE_READ, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  ReadFile(file, text, sizeof text - 1, &got, NULL);
  CloseHandle(file);
  text[got] = '\0';
  for (; line > 0 && start != NULL; --line) {
    start = strchr(start, '\n');
    if (start != NULL) ++start;
  }
  if (start == NULL || *start == '\0') return 0;
  end = strpbrk(start, "\r\n");
  if (end == NULL) end = start + strlen(start);
  if ((size_t)(end - start) >= size) end = start + size - 1;
  memcpy(name, start, (size_t)(end - start));
  name[end - start] = '\0';
  return 1;
}

WINPERF_API int winperf_get_disks(winperf_disk_info_t *disks, int max_count, int *count) {
  const int r = ((disks_fn)real("winperf_get_disks"))(disks, max_count, count);
  if (r == 0 && disks != NULL && *count > 0) given_name(0, disks[0].name, sizeof disks[0].name);
  return r;
}

WINPERF_API int winperf_get_network(winperf_net_info_t *nets, int max_count, int *count) {
  const int r = ((nets_fn)real("winperf_get_network"))(nets, max_count, count);
  if (r == 0 && nets != NULL && *count > 0) given_name(1, nets[0].name, sizeof nets[0].name);
  return r;
}

WINPERF_API const char *winperf_get_snapshot_json(void) {
  return ((text_fn)real("winperf_get_snapshot_json"))();
}
