// The package's settings, resolved for each install, upgrade and repair: a property given on the
// command line wins (given empty, its flag is left out), else the value an earlier install
// remembered in the registry, else the package's default. The service's command line is built
// from them, quoted. Windows Installer runs this as an immediate custom action before the
// services are installed; the registry values the package writes remember the result.
#include <windows.h>
// after windows.h
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "service_args.h"

namespace {

constexpr wchar_t kRememberedKey[] = L"SOFTWARE\\winperf\\exporter";
// The package's value of every setting: not given on the command line. An empty value cannot
// stand for that, as it is what "leave the flag out" is given as.
constexpr wchar_t kNotGiven[] = L"<not given>";

enum class Kind { flag, raw_flags, firewall };
struct Setting {
  const wchar_t *property;
  Kind kind;
  const wchar_t *flag = nullptr;
};
constexpr Setting kSettings[] = {
    {L"LISTEN_ADDRESS", Kind::flag, L"--web.listen-address"},
    {L"TELEMETRY_PATH", Kind::flag, L"--web.telemetry-path"},
    {L"MIN_INTERVAL", Kind::flag, L"--collector.min-interval"},
    {L"CONFIG_FILE", Kind::flag, L"--config.file"},
    {L"WEB_CONFIG_FILE", Kind::flag, L"--web.config.file"},
    {L"TEXTFILE_DIRECTORY", Kind::flag, L"--collector.textfile.directory"},
    {L"EXTRA_FLAGS", Kind::raw_flags},
    {L"REMOTE_ADDR", Kind::firewall},  // who the firewall rule lets in
};

// A string from one of Windows Installer's calls that say how long it is when the buffer is too
// small: asked once for the length, then for the text; failed if either fails.
template <typename Call>
std::wstring msi_string(const Call &call, const std::wstring &failed = {}) {
  DWORD size = 0;
  wchar_t none[1] = L"";
  if (call(none, &size) != ERROR_MORE_DATA) return failed;
  std::wstring value(++size, L'\0');
  if (call(value.data(), &size) != ERROR_SUCCESS) return failed;
  value.resize(size);
  return value;
}

std::wstring property(MSIHANDLE install, const std::wstring &name) {
  return msi_string([&](wchar_t *buffer, DWORD *size) {
    return MsiGetPropertyW(install, name.c_str(), buffer, size);
  });
}

// A default such as "[INSTALLDIR]textfile_inputs\", with its properties filled in.
std::wstring formatted(MSIHANDLE install, const std::wstring &text) {
  PMSIHANDLE record = MsiCreateRecord(0);  // closed when it goes
  MsiRecordSetStringW(record, 0, text.c_str());
  return msi_string(
      [&](wchar_t *buffer, DWORD *size) { return MsiFormatRecordW(install, record, buffer, size); },
      text);
}

// Values are remembered as "=" and the value, so that an empty one is remembered too.
bool remembered(const wchar_t *name, std::wstring &value) {
  DWORD bytes = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kRememberedKey, name, RRF_RT_REG_SZ, nullptr, nullptr,
                   &bytes) != ERROR_SUCCESS) {
    return false;
  }
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kRememberedKey, name, RRF_RT_REG_SZ, nullptr, text.data(),
                   &bytes) != ERROR_SUCCESS) {
    return false;
  }
  text.resize(wcsnlen(text.c_str(), text.size()));
  if (text.empty() || text[0] != L'=') return false;
  value = text.substr(1);
  return true;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall ResolveSettings(MSIHANDLE install) {
  std::vector<msi_settings::Flag> flags;
  std::wstring extra, listen, remote;
  for (const Setting &s : kSettings) {
    std::wstring value = property(install, s.property);
    if (value == kNotGiven && !remembered(s.property, value)) {
      value = formatted(install, property(install, std::wstring(L"DEFAULT_") + s.property));
    }
    MsiSetPropertyW(install, s.property, value.c_str());
    switch (s.kind) {
      case Kind::flag: flags.push_back({s.flag, value}); break;
      case Kind::raw_flags: extra = value; break;
      case Kind::firewall: remote = value; break;
    }
    if (std::wstring(s.property) == L"LISTEN_ADDRESS") listen = value;
  }
  MsiSetPropertyW(install, L"SERVICE_ARGS", msi_settings::service_arguments(flags, extra).c_str());
  // What the firewall actions run: the system's netsh, to delete the rule and to add it for
  // this port.
  wchar_t system[MAX_PATH] = L"";
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring netsh = std::wstring(system, length < MAX_PATH ? length : 0) + L"\\netsh.exe";
  MsiSetPropertyW(install, L"NETSH", netsh.c_str());
  MsiSetPropertyW(install, L"FIREWALL_DELETE_ARGS", msi_settings::firewall_delete().c_str());
  MsiSetPropertyW(install, L"FIREWALL_ADD_ARGS",
                  msi_settings::firewall_add(msi_settings::listen_port(listen), remote).c_str());
  return ERROR_SUCCESS;
}
