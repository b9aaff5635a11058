// Names in the system's 8-bit code page become valid UTF-8 label values.
#include "names.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "code_pages.h"
#include "exposition.h"

namespace {

struct NameCase {
  const char *code_page;
  std::string bytes;
  std::string utf8;
};

TEST(Names, DecodeFromTheCodePageAndReplaceWhatDoesNotDecode) {
  const NameCase cases[] = {
      {"CP1252", "Intel(R) Ethernet", "Intel(R) Ethernet"},
      {"CP1252", "Intel\xAE Ethernet", "Intel\xC2\xAE Ethernet"},
      {"CP1252", "Carte r\xE9seau \x80", "Carte r\xC3\xA9seau \xE2\x82\xAC"},
      // Bytes that are UTF-8 are still read in the code page: that is what the system meant.
      {"CP1252", "caf\xC3\xA9", "caf\xC3\x83\xC2\xA9"},
      {"CP1252",
       "bad\x81"
       "byte",
       "bad\xEF\xBF\xBD"
       "byte"},
      {"CP1252", "\x81\x8D\xE9", "\xEF\xBF\xBD\xEF\xBF\xBD\xC3\xA9"},
      {"CP1251", "\xC0\xE4\xE0\xEF\xF2\xE5\xF0",
       "\xD0\x90\xD0\xB4\xD0\xB0\xD0\xBF\xD1\x82\xD0\xB5\xD1\x80"},
      {"CP1251", "\xD1\xE5\xF2\xFC \x98", "\xD0\xA1\xD0\xB5\xD1\x82\xD1\x8C \xEF\xBF\xBD"},
      // A double-byte code page: pairs decode together, a lead byte left alone does not.
      {"CP932", "\x83\x65\x83\x58\x83\x67", "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88"},
      {"CP932", "LAN \x83\x65\x83", "LAN \xE3\x83\x86\xEF\xBF\xBD"},
      {"CP1252", "", ""},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(winperf_names::to_utf8(c.bytes, code_page(c.code_page)), c.utf8)
        << c.code_page << " " << c.bytes;
  }
}

TEST(Names, UnpairedSurrogatesFromADecoderBecomeReplacementCharacters) {
  const winperf_names::Decoder odd = [](std::string_view, std::u16string &out) {
    out =
        u"a\xD800"
        u"b\xDC00\xD83D\xDE00";
    return true;
  };
  EXPECT_EQ(winperf_names::to_utf8("\xFF", odd),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD\xF0\x9F\x98\x80");
}

TEST(Names, AFieldEndsAtItsFirstNulOrItsWidth) {
  char full[4] = {'a', 'b', 'c', 'd'};
  char cut[8] = "ab\0cd";
  EXPECT_EQ(winperf_names::field_text(full), "abcd");
  EXPECT_EQ(winperf_names::field_text(cut), "ab");
}

winperf_sample::Sample sample_with_interfaces(std::initializer_list<const char *> names) {
  winperf_sample::Sample s;
  for (const char *name : names) {
    std::snprintf(s.nets[s.net_count].name, sizeof s.nets[0].name, "%s", name);
    s.nets[s.net_count].is_up = 1;
    ++s.net_count;
  }
  return s;
}

std::string up_series(const winperf_sample::Sample &s, const char *cp) {
  exposition::Writer w;
  exposition::write_sample(w, s, code_page(cp));
  std::string out;
  const std::string text = w.take();
  for (size_t at = text.find("\nwinperf_network_up{"); at != std::string::npos;
       at = text.find("\nwinperf_network_up{", at + 1)) {
    out += text.substr(at + 1, text.find('\n', at + 1) - at - 1) + "\n";
  }
  return out;
}

TEST(Exposition, InterfaceLabelsAreUtf8EscapedAndUnique) {
  // Two raw names that decode alike, a repeated name, and a name that already ends in " #2".
  const auto s = sample_with_interfaces(
      {"Wi-Fi \x81", "Wi-Fi \x8D", "Ethernet", "Ethernet", "Ethernet #2", "Intel \"Pro\"\\\xAE"});
  EXPECT_EQ(up_series(s, "CP1252"),
            "winperf_network_up{interface=\"Wi-Fi \xEF\xBF\xBD\"} 1\n"
            "winperf_network_up{interface=\"Wi-Fi \xEF\xBF\xBD #2\"} 1\n"
            "winperf_network_up{interface=\"Ethernet\"} 1\n"
            "winperf_network_up{interface=\"Ethernet #2\"} 1\n"
            "winperf_network_up{interface=\"Ethernet #2 #2\"} 1\n"
            "winperf_network_up{interface=\"Intel \\\"Pro\\\"\\\\\xC2\xAE\"} 1\n");
}

TEST(Exposition, DriveNamesAreDecodedToo) {
  winperf_sample::Sample s;
  std::strcpy(s.disks[0].name, "\xC4:");  // CP1251: Д
  s.disks[0].total_bytes = 5;
  s.disk_count = 1;
  exposition::Writer w;
  exposition::write_sample(w, s, code_page("CP1251"));
  const std::string text = w.take();
  EXPECT_NE(text.find("winperf_logical_disk_size_bytes{volume=\"\xD0\x94:\"} 5\n"),
            std::string::npos)
      << text;
}

TEST(Exposition, CountsOutsideTheTablesAreNotTrusted) {
  winperf_sample::Sample s;
  s.net_count = 1000;
  s.disk_count = -3;
  s.cpu.core_count = 4000;
  exposition::Writer w;
  exposition::write_sample(w, s, code_page("CP1252"));
  const std::string text = w.take();
  size_t up = 0, cores = 0, disks = 0;
  for (size_t at = 0; (at = text.find("\nwinperf_network_up{", at + 1)) != std::string::npos;) ++up;
  for (size_t at = 0;
       (at = text.find("\nwinperf_cpu_core_usage_ratio{", at + 1)) != std::string::npos;)
    ++cores;
  for (size_t at = 0;
       (at = text.find("\nwinperf_logical_disk_free_bytes{", at + 1)) != std::string::npos;)
    ++disks;
  EXPECT_EQ(up, 64u);
  EXPECT_EQ(cores, 128u);
  EXPECT_EQ(disks, 0u);
}

}  // namespace
