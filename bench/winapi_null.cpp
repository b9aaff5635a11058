#include "winapi_null.h"

#include <iphlpapi.h>
#include <pdh.h>
#include <psapi.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {
uint32_t s_processors = 4;
uint32_t s_interfaces = 4;
uint64_t s_tick = 1000;
int s_query, s_counter, s_key;
constexpr wchar_t kDrives[] = L"C:\\\0D:\\\0";  // and the closing empty string
}  // namespace

void winapi_null::set_processors(uint32_t n) { s_processors = n; }
void winapi_null::set_interfaces(uint32_t n) { s_interfaces = n < 64 ? n : 64; }

extern "C" {

PDH_STATUS WINAPI PdhOpenQueryW(LPCWSTR, DWORD_PTR, PDH_HQUERY *query) {
  *query = &s_query;
  return ERROR_SUCCESS;
}
PDH_STATUS WINAPI PdhAddEnglishCounterW(PDH_HQUERY, LPCWSTR, DWORD_PTR, PDH_HCOUNTER *counter) {
  *counter = &s_counter;
  return ERROR_SUCCESS;
}
PDH_STATUS WINAPI PdhCollectQueryData(PDH_HQUERY) { return ERROR_SUCCESS; }
PDH_STATUS WINAPI PdhGetFormattedCounterValue(PDH_HCOUNTER, DWORD format, LPDWORD,
                                              PPDH_FMT_COUNTERVALUE value) {
  value->CStatus = 0;
  if (format == PDH_FMT_LARGE) {
    value->largeValue = 12345;
  } else {
    value->doubleValue = 37.5;
  }
  return ERROR_SUCCESS;
}
PDH_STATUS WINAPI PdhCloseQuery(PDH_HQUERY) { return ERROR_SUCCESS; }

void WINAPI GetSystemInfo(LPSYSTEM_INFO info) {
  std::memset(info, 0, sizeof *info);
  info->dwNumberOfProcessors = s_processors;
}
BOOL WINAPI GetSystemTimes(PFILETIME idle, PFILETIME kernel, PFILETIME user) {
  const DWORD t = static_cast<DWORD>(s_tick);
  *idle = {t, 0};
  *kernel = {2 * t, 0};
  *user = {t, 0};
  return TRUE;
}
ULONGLONG WINAPI GetTickCount64(void) { return s_tick += 1000; }
BOOL WINAPI GlobalMemoryStatusEx(LPMEMORYSTATUSEX s) {
  s->dwMemoryLoad = 50;
  s->ullTotalPhys = 16ull << 30;
  s->ullAvailPhys = 8ull << 30;
  s->ullTotalPageFile = 24ull << 30;
  s->ullAvailPageFile = 12ull << 30;
  return TRUE;
}
BOOL WINAPI K32GetPerformanceInfo(PPERFORMANCE_INFORMATION p, DWORD) {
  p->PageSize = 4096;
  p->KernelPaged = 100;
  p->KernelNonpaged = 50;
  p->SystemCache = 1000;
  p->ProcessCount = 100;
  p->ThreadCount = 1000;
  p->HandleCount = 10000;
  return TRUE;
}
LSTATUS WINAPI RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY key) {
  *key = reinterpret_cast<HKEY>(&s_key);
  return ERROR_SUCCESS;
}
LSTATUS WINAPI RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE data, LPDWORD size) {
  const DWORD mhz = 3000;
  std::memcpy(data, &mhz, sizeof mhz);
  *size = sizeof mhz;
  return ERROR_SUCCESS;
}
LSTATUS WINAPI RegCloseKey(HKEY) { return ERROR_SUCCESS; }
DWORD WINAPI GetLogicalDriveStringsW(DWORD, LPWSTR buffer) {
  std::memcpy(buffer, kDrives, sizeof kDrives);
  return sizeof kDrives / sizeof kDrives[0] - 1;
}
UINT WINAPI GetDriveTypeW(LPCWSTR) { return DRIVE_FIXED; }
BOOL WINAPI SetThreadErrorMode(DWORD, LPDWORD old_mode) {
  if (old_mode) *old_mode = 0;
  return TRUE;
}

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR, PULARGE_INTEGER available, PULARGE_INTEGER total,
                                PULARGE_INTEGER free) {
  available->QuadPart = 1ull << 30;
  total->QuadPart = 100ull << 30;
  free->QuadPart = 40ull << 30;
  return TRUE;
}
DWORD WINAPI GetIfTable(PMIB_IFTABLE table, PULONG size, BOOL) {
  const ULONG needed = static_cast<ULONG>(offsetof(MIB_IFTABLE, table) +
                                          (s_interfaces ? s_interfaces : 1) * sizeof(MIB_IFROW));
  if (table == nullptr || *size < needed) {
    *size = needed;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  table->dwNumEntries = s_interfaces;
  for (uint32_t i = 0; i < s_interfaces; ++i) {
    MIB_IFROW &row = table->table[i];
    std::memset(&row, 0, sizeof row);
    row.dwType = 6;
    row.dwOperStatus = IF_OPER_STATUS_OPERATIONAL;
    row.dwDescrLen = static_cast<DWORD>(
        std::snprintf(reinterpret_cast<char *>(row.bDescr), sizeof row.bDescr, "Adapter %u", i));
    row.dwInOctets = static_cast<DWORD>(s_tick * (i + 1));
    row.dwOutOctets = static_cast<DWORD>(s_tick);
  }
  return NO_ERROR;
}
}  // extern "C"
