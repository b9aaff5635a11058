// Process status stand-in: the system-wide performance information.
#ifndef WINAPI_STANDIN_PSAPI_H
#define WINAPI_STANDIN_PSAPI_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _PERFORMANCE_INFORMATION {
  DWORD cb;
  SIZE_T CommitTotal;
  SIZE_T CommitLimit;
  SIZE_T CommitPeak;
  SIZE_T PhysicalTotal;
  SIZE_T PhysicalAvailable;
  SIZE_T SystemCache;
  SIZE_T KernelTotal;
  SIZE_T KernelPaged;
  SIZE_T KernelNonpaged;
  SIZE_T PageSize;
  DWORD HandleCount;
  DWORD ProcessCount;
  DWORD ThreadCount;
} PERFORMANCE_INFORMATION, *PPERFORMANCE_INFORMATION;

BOOL WINAPI K32GetPerformanceInfo(PPERFORMANCE_INFORMATION pPerformanceInformation, DWORD cb);

#ifdef __cplusplus
}
#endif

#endif
