/* A C99 caller of the public header: it must compile with strict flags and see the same
 * layout and exports as the library. */
#include <stdio.h>
#include <string.h>

#include "winperf.h"

static int failures = 0;

static void expect(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

int main(void) {
  winperf_disk_info_t disks[2];
  int count = -7;

  expect(sizeof(winperf_cpu_info_t) == 7184, "cpu record is 7184 bytes");
  expect(sizeof(winperf_disk_info_t[2]) == 224, "disk stride is 112 bytes");
  expect(sizeof(winperf_net_info_t[2]) == 368, "network stride is 184 bytes");

  expect(winperf_get_cpu(NULL) == -1, "winperf_get_cpu(NULL) fails");
  expect(strcmp(winperf_last_error(), "winperf_get_cpu: NULL pointer provided") == 0,
         "NULL pointer message");
  expect(winperf_get_disks(disks, 0, &count) == -1 && count == -7, "max_count 0 is refused");

  expect(winperf_init() == 0, "init succeeds");
  expect(winperf_last_error()[0] == '\0', "init empties the error text");
  expect(winperf_get_disks(disks, 2, &count) == 0 && count == 0, "empty disk table");
  expect(strncmp(winperf_get_snapshot_json(), "{\"timestamp\":", 13) == 0, "snapshot text");
  winperf_cleanup();

  return failures ? 1 : 0;
}
