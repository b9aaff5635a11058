/* Links the import library and calls the library as a C host does. */
#include <stdio.h>
#include <string.h>
#include <winperf.h>

int main(void) {
  winperf_sys_info_t sys;
  const char *json;
  int ok;
  if (winperf_init() != 0) {
    fprintf(stderr, "winperf_init failed: %s\n", winperf_last_error());
    return 1;
  }
  if (winperf_collect() != 0 || winperf_get_system(&sys) != 0) {
    fprintf(stderr, "sampling failed: %s\n", winperf_last_error());
    return 1;
  }
  json = winperf_get_snapshot_json();
  printf("processes %u, snapshot of %u bytes\n", sys.process_count, (unsigned)strlen(json));
  /* The text is the library's until cleanup: read it before. */
  ok = sys.process_count > 0 && strncmp(json, "{\"timestamp\":", 13) == 0;
  winperf_cleanup();
  return ok ? 0 : 1;
}
