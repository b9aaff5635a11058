// Collect + snapshot + cleanup, over and over, against the stand-in: nothing leaks and the heap
// in use stays flat. Run plainly, under the sanitizers (LeakSanitizer checks at exit) and under
// valgrind. Usage: soak_test [CYCLES]
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "winapi_fake.h"
#include "winperf_internal.h"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (g++ ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
static size_t heap_in_use() { return __sanitizer_get_current_allocated_bytes(); }
#else
#  include <malloc.h>
static size_t heap_in_use() { return mallinfo2().uordblks; }
#endif
#include <valgrind/valgrind.h>

namespace {

void script_machine() {
  winapi_fake::reset();
  winapi_fake::set_call_log(false);
  winapi_fake::Machine &m = winapi_fake::machine();
  m.processors = 8;
  m.mhz = 3000;
  m.counters[L"\\Processor(_Total)\\% Processor Time"] = {ERROR_SUCCESS, 42.0, 0};
  m.counters[L"\\System\\Context Switches/sec"] = {ERROR_SUCCESS, 0, 1000};
  winapi_fake::set_drives({{L'C', DRIVE_FIXED}, {L'D', DRIVE_FIXED}});
  m.disk_sizes[L"C:\\"] = {true, 1, 100, 50};
  m.disk_sizes[L"D:\\"] = {true, 1, 200, 20};
  m.if_rows = {winapi_fake::if_row("Ethernet \"1\""), winapi_fake::if_row("Wi-Fi \xe9"),
               winapi_fake::if_row("lo", IF_TYPE_SOFTWARE_LOOPBACK)};
}

bool cycle(uint64_t i) {
  winapi_fake::machine().tick_count = 1000 + i * 10;
  winapi_fake::machine().if_rows[0].dwInOctets = static_cast<DWORD>(i * 1000);
  const bool ok = winperf_collect() == 0 &&
                  std::strncmp(winperf_get_snapshot_json(), "{\"timestamp\":", 13) == 0;
  winperf_cleanup();
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  const long cycles = argc > 1 ? std::atol(argv[1]) : 100000;
  script_machine();
  const long warm_up = cycles / 10;
  long failed = 0;
  for (long i = 0; i < warm_up; ++i) failed += !cycle(static_cast<uint64_t>(i));
  const size_t before = heap_in_use();
  for (long i = warm_up; i < cycles; ++i) failed += !cycle(static_cast<uint64_t>(i));
  const size_t after = heap_in_use();
  std::printf("%ld cycles, %ld failed; heap in use %zu bytes after warm-up, %zu at the end\n",
              cycles, failed, before, after);
  if (failed != 0) return 1;
  // Under valgrind its own leak check decides; the heap figures are its allocator's.
  if (!RUNNING_ON_VALGRIND && (before == 0 || after > before)) {
    std::printf("heap in use grew\n");
    return 1;
  }
  return 0;
}
