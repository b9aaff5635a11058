// Compiled with the real Windows headers: every size and offset that the stand-in declares must
// hold here too.
#include <windows.h>
// after windows.h
#include <iphlpapi.h>
#include <pdh.h>
#include <psapi.h>

#include <cstddef>

#include "winapi_layouts_standin.h"
