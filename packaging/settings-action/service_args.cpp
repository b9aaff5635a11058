#include "service_args.h"

namespace msi_settings {

std::wstring quote_argument(const std::wstring &value) {
  if (!value.empty() && value.find_first_of(L" \t\"") == std::wstring::npos) return value;
  // Backslashes are plain unless a quote follows them: then each is doubled, and the quote
  // escaped; the closing quote counts as one too.
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : value) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

std::wstring service_arguments(const std::vector<Flag> &flags, const std::wstring &extra) {
  std::wstring args;
  for (const Flag &f : flags) {
    if (f.value.empty()) continue;
    if (!args.empty()) args += L' ';
    args += f.name + L"=" + quote_argument(f.value);
  }
  if (extra.find_first_not_of(L" \t") != std::wstring::npos) {
    if (!args.empty()) args += L' ';
    args += extra;
  }
  return args;
}

std::wstring listen_port(const std::wstring &address) {
  const size_t colon = address.rfind(L':');
  if (colon == std::wstring::npos) return {};
  const std::wstring port = address.substr(colon + 1);
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of(L"0123456789") != std::wstring::npos) {
    return {};
  }
  return port;
}

namespace {
std::wstring rule_command(const wchar_t *verb) {
  return std::wstring(L"advfirewall firewall ") + verb + L" rule name=\"winperf exporter\"";
}
}  // namespace

std::wstring firewall_delete() { return rule_command(L"delete"); }

std::wstring firewall_add(const std::wstring &port, const std::wstring &remote) {
  std::wstring command = rule_command(L"add") + L" dir=in action=allow protocol=TCP localport=" +
                         (port.empty() ? L"10182" : port);
  if (!remote.empty()) command += L" remoteip=" + quote_argument(remote);
  return command;
}

}  // namespace msi_settings
