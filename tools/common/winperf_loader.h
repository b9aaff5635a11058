// Loads the library the way a host should: from the program's own folder only (then the system
// directory), never from the current directory or PATH, then each export by its name.
#pragma once

#include <windows.h>

#include <string>

#include "winperf_api.h"

namespace winperf_loader {

constexpr wchar_t kModuleName[] = L"quarvel-prometheus-winperf.dll";
constexpr DWORD kSearch = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;

// For everything this process loads from now on, the same two places only. Call it first.
inline void restrict_dll_search() { SetDefaultDllDirectories(kSearch); }

// The library from the program's folder or the system directory.
inline HMODULE load_module() { return LoadLibraryExW(kModuleName, nullptr, kSearch); }

template <typename Fn>
bool resolve(HMODULE module, const char *name, Fn &fn, const char *&missing) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(module, name)));
  if (fn == nullptr && missing == nullptr) missing = name;
  return fn != nullptr;
}

// Fills api from the loaded module. Returns the name of the first export that is missing, or
// nullptr when all ten are there.
inline const char *resolve_all(HMODULE module, Api &api) {
  const char *missing = nullptr;
  resolve(module, "winperf_init", api.init, missing);
  resolve(module, "winperf_collect", api.collect, missing);
  resolve(module, "winperf_cleanup", api.cleanup, missing);
  resolve(module, "winperf_last_error", api.last_error, missing);
  resolve(module, "winperf_get_cpu", api.get_cpu, missing);
  resolve(module, "winperf_get_memory", api.get_memory, missing);
  resolve(module, "winperf_get_disks", api.get_disks, missing);
  resolve(module, "winperf_get_network", api.get_network, missing);
  resolve(module, "winperf_get_system", api.get_system, missing);
  resolve(module, "winperf_get_snapshot_json", api.get_snapshot_json, missing);
  return missing;
}

// The library loaded and resolved, released when this goes. When loading fails, error() says
// why in one line that names the module.
class Library {
 public:
  Library() {
    module_ = load_module();
    if (module_ == nullptr) {
      error_ = "cannot load quarvel-prometheus-winperf.dll (error " +
               std::to_string(GetLastError()) + ")";
      return;
    }
    if (const char *missing = resolve_all(module_, api_)) {
      error_ = std::string("quarvel-prometheus-winperf.dll does not export ") + missing;
    }
  }
  ~Library() {
    if (module_ != nullptr) FreeLibrary(module_);
  }
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;

  bool ok() const { return error_.empty(); }
  const std::string &error() const { return error_; }
  const Api &api() const { return api_; }

 private:
  HMODULE module_ = nullptr;
  Api api_;
  std::string error_;
};

}  // namespace winperf_loader
