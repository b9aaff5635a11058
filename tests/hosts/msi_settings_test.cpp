// The MSI's service command line: every value comes back whole through Windows' argument rules,
// and a setting without a value leaves its flag out.
#include <gtest/gtest.h>

#include "service_args.h"

namespace {

using msi_settings::quote_argument;

TEST(MsiSettings, ValuesAreQuotedForWindowsArgumentRules) {
  const struct {
    const wchar_t *value, *argument;
  } cases[] = {
      {L":10182", L":10182"},
      {L"C:\\Program Files\\winperf\\a.yml", L"\"C:\\Program Files\\winperf\\a.yml\""},
      // A trailing backslash would escape the closing quote: doubled.
      {L"C:\\Program Files\\winperf\\textfile_inputs\\",
       L"\"C:\\Program Files\\winperf\\textfile_inputs\\\\\""},
      {L"C:\\no_spaces\\", L"C:\\no_spaces\\"},  // unquoted, a backslash is just a backslash
      {L"/m\"x", L"\"/m\\\"x\""},
      {L"a\\\"b c", L"\"a\\\\\\\"b c\""},  // backslashes before a quote doubled, the quote escaped
      {L"tab\there", L"\"tab\there\""},
      {L"", L"\"\""},
  };
  for (const auto &c : cases) EXPECT_EQ(quote_argument(c.value), c.argument);
}

TEST(MsiSettings, EmptySettingsLeaveTheirFlagsOut) {
  EXPECT_EQ(msi_settings::service_arguments({{L"--web.listen-address", L":10182"},
                                             {L"--web.config.file", L""},
                                             {L"--config.file", L"C:\\a b\\c.yml"}},
                                            L"  "),
            L"--web.listen-address=:10182 --config.file=\"C:\\a b\\c.yml\"");
  EXPECT_EQ(msi_settings::service_arguments({{L"--web.config.file", L""}}, L"--log.file=x"),
            L"--log.file=x");
  EXPECT_EQ(msi_settings::service_arguments({}, L""), L"");
}

TEST(MsiSettings, PortsOfListenAddresses) {
  const struct {
    const wchar_t *address, *port;
  } cases[] = {
      {L":10182", L"10182"}, {L"127.0.0.1:9999", L"9999"}, {L"[::1]:443", L"443"}, {L"host", L""},
      {L"host:", L""},       {L"host:12a", L""},           {L"host:123456", L""}};
  for (const auto &c : cases) EXPECT_EQ(msi_settings::listen_port(c.address), c.port) << c.address;
}

TEST(MsiSettings, FirewallRuleCommands) {
  EXPECT_EQ(msi_settings::firewall_delete(),
            L"advfirewall firewall delete rule name=\"winperf exporter\"");
  EXPECT_EQ(msi_settings::firewall_add(L"9999", L""),
            L"advfirewall firewall add rule name=\"winperf exporter\" dir=in action=allow "
            L"protocol=TCP localport=9999");
  EXPECT_EQ(msi_settings::firewall_add(L"10182", L"10.0.0.0/8,LocalSubnet"),
            L"advfirewall firewall add rule name=\"winperf exporter\" dir=in action=allow "
            L"protocol=TCP localport=10182 remoteip=10.0.0.0/8,LocalSubnet");
  // An address without a port is the exporter's default port.
  EXPECT_NE(msi_settings::firewall_add(L"", L"").find(L"localport=10182"), std::wstring::npos);
}

}  // namespace
