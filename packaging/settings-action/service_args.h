// The exporter service's command line from the package's properties: each setting one argument,
// quoted so that Windows' command-line rules (CommandLineToArgvW, the C runtime's argv) give the
// value back exactly; a setting without a value leaves its flag out.
#pragma once

#include <string>
#include <vector>

namespace msi_settings {

// One argument as it must be written for those rules to read value back.
std::wstring quote_argument(const std::wstring &value);

struct Flag {
  std::wstring name;   // "--web.listen-address"
  std::wstring value;  // empty: left out
};

// The flags in order, each "--name=value" quoted as needed, then extra as it is (flags the admin
// wrote out).
std::wstring service_arguments(const std::vector<Flag> &flags, const std::wstring &extra);

// The TCP port of a --web.listen-address value ("[HOST]:PORT"); empty when there is none.
std::wstring listen_port(const std::wstring &address);

// netsh's arguments for the firewall rule "winperf exporter": removed, and added for inbound TCP
// to port, from remote (addresses or ranges as netsh takes them) when it is not empty.
std::wstring firewall_delete();
std::wstring firewall_add(const std::wstring &port, const std::wstring &remote);

}  // namespace msi_settings
