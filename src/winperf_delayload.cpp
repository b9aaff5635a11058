// How the DLL reaches pdh.dll and iphlpapi.dll (and the exporter bcrypt.dll and crypt32.dll):
// delay-loaded, from the system directory only. None is a KnownDLL, so an ordinary import would
// be looked for in the host's folder first, where anyone who can write a pdh.dll would run code
// inside the host. A system DLL that cannot be loaded at all turns into failing calls, which the
// sampling layer already degrades on, and the exporter's TLS set-up reports.
#include <windows.h>
// after windows.h
#include <delayimp.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

// Stands in for every function of a DLL that could not be loaded. On x64 one stub serves any
// signature the sampling layer calls: it writes nothing and returns a failing status, so
// PdhOpenQueryW fails (and no other PDH call follows) and GetIfTable fails its size query.
INT_PTR WINAPI unavailable_function() { return ERROR_MOD_NOT_FOUND; }

FARPROC WINAPI before_load(unsigned notify, PDelayLoadInfo info) {
  if (notify != dliNotePreLoadLibrary) return nullptr;
  if (HMODULE system = LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    return reinterpret_cast<FARPROC>(system);
  }
  // Not null: the helper would then try the ordinary search. This module exports none of the
  // functions, so each lookup arrives at the failure hook.
  return reinterpret_cast<FARPROC>(&__ImageBase);
}

FARPROC WINAPI on_failure(unsigned notify, PDelayLoadInfo) {
  return notify == dliFailGetProc ? reinterpret_cast<FARPROC>(unavailable_function) : nullptr;
}

}  // namespace

#if defined(_MSC_VER)
#  define WINPERF_DELAY_HOOK const PfnDliHook
#else
#  define WINPERF_DELAY_HOOK PfnDliHook
#endif

// Declared with C linkage by <delayimp.h>; the helper reads them before and after each load.
WINPERF_DELAY_HOOK __pfnDliNotifyHook2 = before_load;
WINPERF_DELAY_HOOK __pfnDliFailureHook2 = on_failure;
