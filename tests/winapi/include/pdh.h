// Performance Data Helper stand-in: the query and counter calls the sampling layer uses.
#ifndef WINAPI_STANDIN_PDH_H
#define WINAPI_STANDIN_PDH_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef LONG PDH_STATUS;
typedef HANDLE PDH_HQUERY;
typedef HANDLE PDH_HCOUNTER;

#define PDH_FMT_DOUBLE ((DWORD)0x00000200)
#define PDH_FMT_LARGE ((DWORD)0x00000400)
#define PDH_CSTATUS_NO_OBJECT ((PDH_STATUS)0xC0000BB8L)
#define PDH_CSTATUS_NO_COUNTER ((PDH_STATUS)0xC0000BB9L)
#define PDH_INVALID_DATA ((PDH_STATUS)0xC0000BC6L)
#define PDH_INVALID_HANDLE ((PDH_STATUS)0xC0000BBCL)

typedef struct _PDH_FMT_COUNTERVALUE {
  DWORD CStatus;
  union {
    LONG longValue;
    double doubleValue;
    LONGLONG largeValue;
    LPCSTR AnsiStringValue;
    LPCWSTR WideStringValue;
  };
} PDH_FMT_COUNTERVALUE, *PPDH_FMT_COUNTERVALUE;

PDH_STATUS WINAPI PdhOpenQueryW(LPCWSTR szDataSource, DWORD_PTR dwUserData, PDH_HQUERY *phQuery);
PDH_STATUS WINAPI PdhAddEnglishCounterW(PDH_HQUERY hQuery, LPCWSTR szFullCounterPath,
                                        DWORD_PTR dwUserData, PDH_HCOUNTER *phCounter);
PDH_STATUS WINAPI PdhCollectQueryData(PDH_HQUERY hQuery);
PDH_STATUS WINAPI PdhGetFormattedCounterValue(PDH_HCOUNTER hCounter, DWORD dwFormat,
                                              LPDWORD lpdwType, PPDH_FMT_COUNTERVALUE pValue);
PDH_STATUS WINAPI PdhCloseQuery(PDH_HQUERY hQuery);

#ifdef __cplusplus
}
#endif

#endif
