// The configuration file: YAML read into dotted keys, then applied as the flags are, with the
// command line winning; every mistake named by file, line and key.
#include "config_file.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "options.h"

namespace {

using exporter::FileSetting;
using Form = exporter::FileSetting::Form;

std::string describe(const std::vector<FileSetting> &settings) {
  std::string out;
  for (const FileSetting &s : settings) {
    out += std::to_string(s.line) + " " + s.key + (s.form == Form::list ? "=[" : "=");
    for (size_t i = 0; i < s.values.size(); ++i) out += (i ? "," : "") + s.values[i];
    out += s.form == Form::list ? "];" : (s.form == Form::null ? "~;" : ";");
  }
  return out;
}

TEST(ConfigFile, ReadsNestedDottedAndListedKeys) {
  const struct {
    const char *text;
    const char *settings;
  } cases[] = {
      {"", ""},
      {"# only a comment\n", ""},
      {"---\n", ""},
      {"~\n", ""},
      {"web.listen-address: \"127.0.0.1:10182\"\n", "1 web.listen-address=127.0.0.1:10182;"},
      {"web:\n  listen-address: :9000\n  telemetry-path: /m\ncollector: {min-interval: 2s}\n",
       "2 web.listen-address=:9000;3 web.telemetry-path=/m;4 collector.min-interval=2s;"},
      {"collector:\n  textfile:\n    directory: [a, 'b c']\n",
       "3 collector.textfile.directory=[a,b c];"},
      {"dirs:\n  - C:\\x\n  - \"D:\\\\y\"\n", "1 dirs=[C:\\x,D:\\y];"},
      {"a: 40\nb: true\nc: ''\nd: ~\ne:\n", "1 a=40;2 b=true;3 c=;4 d=~;5 e=~;"},
      {"a: 'null'\n", "1 a=null;"},
      {"\xEF\xBB\xBFweb:\r\n  listen-address: :1\r\nlog.file: C:\\l.log\r\n",
       "2 web.listen-address=:1;3 log.file=C:\\l.log;"},
      {"log.file: \"C:\\\\Temp\\\\\xC3\xBC.log\"\n", "1 log.file=C:\\Temp\\\xC3\xBC.log;"},
      // UTF-16 LE with its BOM, as Windows PowerShell writes it: "a: 1\n".
      {"\xFF\xFE"
       "a\0:\0 \0"
       "1\0\n\0",
       "1 a=1;"},
  };
  for (const auto &c : cases) {
    // The UTF-16 case holds NUL bytes: take its length from the array, not strlen.
    const std::string text = c.text[0] == '\xFF' ? std::string(c.text, 12) : std::string(c.text);
    std::vector<FileSetting> out;
    exporter::FileError error;
    ASSERT_TRUE(exporter::parse_config(text, out, error)) << c.text << ": " << error.message;
    EXPECT_EQ(describe(out), c.settings) << c.text;
  }
}

TEST(ConfigFile, RefusesWhatIsNotAMappingOfSettings) {
  const struct {
    const char *text;
    int line;
    const char *key;
    const char *message_part;
  } cases[] = {
      {"just text\n", 1, "", "not a mapping"},
      {"- a\n- b\n", 1, "", "not a mapping"},
      {"a: 1\na: 2\n", 2, "a", "duplicate key"},
      {"web:\n  x: 1\nweb:\n  y: 2\n", 3, "web", "duplicate key"},
      {"web.listen-address: :1\nweb:\n  listen-address: :2\n", 3, "web.listen-address",
       "duplicate key"},
      {"web:\n  listen-address: :2\nweb.listen-address: :1\n", 3, "web.listen-address",
       "duplicate key"},
      {"? [a]\n: 1\n", 1, "", "a key must be a name"},
      {"~: 1\n", 1, "", "a key must be a name"},
      {"'': 1\n", 1, "", "a key must be a name"},
      {"web:\n  \"\": 1\n", 2, "web", "a key must be a name"},
      {"a: [1, [2]]\n", 1, "a", "plain values only"},
      {"a:\n  - x: 1\n", 2, "a", "plain values only"},
      {"a: [1, ~]\n", 1, "a", "plain values only"},
      {"a: &x 1\nb: *x\n", 2, "b", "aliases"},
      {"a: 1\n---\nb: 2\n", 2, "", "more than one document"},
      {"a: b: c\n", 1, "", "invalid YAML: mapping values are not allowed"},
      {"a: [1, 2\n", 2, "", "invalid YAML"},
      {"a: \"unterminated\n", 2, "", "invalid YAML"},
      {"\ta: 1\n", 1, "", "invalid YAML"},
      {"a: 1\nb: \xC3(\n", 2, "", "invalid YAML: invalid trailing UTF-8 octet at byte 9"},
      {"a: 1\nb: \x01\n", 2, "", "invalid YAML: control characters are not allowed at byte 8"},
  };
  for (const auto &c : cases) {
    std::vector<FileSetting> out;
    exporter::FileError error;
    EXPECT_FALSE(exporter::parse_config(c.text, out, error)) << c.text;
    EXPECT_EQ(error.line, c.line) << c.text << ": " << error.message;
    EXPECT_EQ(error.key, c.key) << c.text;
    EXPECT_NE(error.message.find(c.message_part), std::string::npos)
        << c.text << ": " << error.message;
    EXPECT_TRUE(out.empty()) << c.text;
  }
}

TEST(ConfigFile, BoundsDepthAndSize) {
  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "{a: ";
  deep += "1" + std::string(40, '}');
  std::vector<FileSetting> out;
  exporter::FileError error;
  EXPECT_FALSE(exporter::parse_config(deep, out, error));
  EXPECT_EQ(error.message, "nested too deeply");
  EXPECT_FALSE(exporter::parse_config(std::string(exporter::kMaxConfigBytes + 1, '#'), out, error));
  EXPECT_NE(error.message.find("larger than 1 MiB"), std::string::npos);
}

// ---- Applied as settings ----------------------------------------------------------------------

struct Files {
  std::map<std::string, std::string> content;
  bool operator()(const std::string &path, std::string &out, std::string &reason) const {
    const auto it = content.find(path);
    if (it == content.end()) {
      reason = "No such file or directory";
      return false;
    }
    out = it->second;
    return true;
  }
};

exporter::ParseResult parse_with(const std::string &yaml, std::vector<std::string_view> flags,
                                 exporter::Options &o) {
  flags.insert(flags.begin(), "--config.file=C:\\winperf\\exporter.yml");
  return exporter::parse_options(flags, o, Files{{{"C:\\winperf\\exporter.yml", yaml}}});
}

TEST(ConfigSettings, FileGivesEverySettingAndFlagsWin) {
  const std::string yaml =
      "web:\n  listen-address: 127.0.0.1:9999\n  telemetry-path: /m\n"
      "web.max-requests: 7\ncollector: {min-interval: 250ms}\nlog.file: C:\\l.log\n";
  exporter::Options o;
  auto r = parse_with(yaml, {}, o);
  ASSERT_EQ(r.outcome, exporter::ParseResult::run) << r.message;
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port, 9999);
  EXPECT_EQ(o.telemetry_path, "/m");
  EXPECT_EQ(o.max_requests, 7);
  EXPECT_EQ(o.min_interval, std::chrono::milliseconds(250));
  EXPECT_EQ(o.log_file, "C:\\l.log");
  EXPECT_EQ(o.config_file, "C:\\winperf\\exporter.yml");

  // Flags win over the file, wherever they stand on the command line.
  exporter::Options o2;
  r = exporter::parse_options(
      {"--web.max-requests=3", "--config.file", "f.yml", "--web.listen-address=:1"}, o2,
      Files{{{"f.yml", yaml}}});
  ASSERT_EQ(r.outcome, exporter::ParseResult::run) << r.message;
  EXPECT_EQ(o2.max_requests, 3);
  EXPECT_EQ(o2.port, 1);
  EXPECT_EQ(o2.host, "");
  EXPECT_EQ(o2.telemetry_path, "/m");
}

TEST(ConfigSettings, RepeatableFlagsTakeListsAndTheCommandLineReplacesThem) {
  const struct {
    const char *yaml;
    std::vector<std::string_view> flags;
    std::vector<std::string> folders;
  } cases[] = {
      {"", {}, {}},
      {"collector.textfile.directory: C:\\t\n", {}, {"C:\\t"}},
      {"collector:\n  textfile:\n    directory: ['C:\\a', 'D:\\b c']\n", {}, {"C:\\a", "D:\\b c"}},
      {"collector.textfile.directory: [C:\\a]\n",
       {"--collector.textfile.directory=E:\\x", "--collector.textfile.directory", "F:\\y"},
       {"E:\\x", "F:\\y"}},
  };
  for (const auto &c : cases) {
    exporter::Options o;
    const auto r = parse_with(c.yaml, c.flags, o);
    ASSERT_EQ(r.outcome, exporter::ParseResult::run) << c.yaml << r.message;
    EXPECT_EQ(o.textfile_directories, c.folders) << c.yaml;
  }
  exporter::Options o;
  EXPECT_NE(
      parse_with("collector.textfile.directory: ['']\n", {}, o)
          .message.find(
              "exporter.yml:1: collector.textfile.directory: invalid value '': expected a folder"),
      std::string::npos);
  EXPECT_EQ(parse_with("collector.textfile.directory: [[a]]\n", {}, o).outcome,
            exporter::ParseResult::bad_usage);
}

TEST(ConfigSettings, EmptyFileAndWindowsEditorsFile) {
  exporter::Options o;
  EXPECT_EQ(parse_with("", {}, o).outcome, exporter::ParseResult::run);
  EXPECT_EQ(o.port, 10182);
  const auto r =
      parse_with("\xEF\xBB\xBF# written by Notepad\r\nweb:\r\n  listen-address: :7\r\n", {}, o);
  EXPECT_EQ(r.outcome, exporter::ParseResult::run) << r.message;
  EXPECT_EQ(o.port, 7);
}

TEST(ConfigSettings, MistakesNameFileLineAndKey) {
  const struct {
    const char *yaml;
    const char *message;
  } cases[] = {
      {"web.listen-adress: :1\n", "C:\\winperf\\exporter.yml:1: web.listen-adress: unknown key"},
      {"a: 1\nweb:\n  port: 1\n", "C:\\winperf\\exporter.yml:1: a: unknown key"},
      {"web:\n  port: 1\n", "C:\\winperf\\exporter.yml:2: web.port: unknown key"},
      {"config.file: other.yml\n",
       "C:\\winperf\\exporter.yml:1: config.file: cannot be set in a configuration file, only as a "
       "flag"},
      {"version: 1\n", "C:\\winperf\\exporter.yml:1: version: cannot be set"},
      {"help: true\n", "C:\\winperf\\exporter.yml:1: help: cannot be set"},
      {"\n\nweb.listen-address: :0\n",
       "C:\\winperf\\exporter.yml:3: web.listen-address: invalid value ':0': expected [HOST]:PORT"},
      {"web:\n  telemetry-path: /metrics two\n",
       "C:\\winperf\\exporter.yml:2: web.telemetry-path: invalid value '/metrics two': expected "
       "a path"},
      {"collector.min-interval: [1s]\n",
       "C:\\winperf\\exporter.yml:1: collector.min-interval: takes one value, not a list"},
      {"log.file:\n", "C:\\winperf\\exporter.yml:1: log.file: needs a value"},
      {"web: {max-requests: ten}\n",
       "C:\\winperf\\exporter.yml:1: web.max-requests: invalid value"},
      {"web.max-requests: 1\nweb.max-requests: 2\n",
       "C:\\winperf\\exporter.yml:2: web.max-requests: duplicate key"},
      {"[1, 2]\n", "C:\\winperf\\exporter.yml:1: the document is not a mapping of settings"},
      {"a: b: c\n", "C:\\winperf\\exporter.yml:1: invalid YAML: mapping values are not allowed"},
  };
  for (const auto &c : cases) {
    exporter::Options o;
    const auto r = parse_with(c.yaml, {}, o);
    EXPECT_EQ(r.outcome, exporter::ParseResult::bad_usage) << c.yaml;
    EXPECT_EQ(r.message.substr(0, std::string(c.message).size()), c.message) << r.message;
    EXPECT_FALSE(r.show_usage) << c.yaml;
  }
}

TEST(ConfigSettings, AFileThatCannotBeReadCannotRun) {
  exporter::Options o;
  const auto r = exporter::parse_options({"--config.file=missing.yml"}, o, Files{});
  EXPECT_EQ(r.outcome, exporter::ParseResult::cannot_read);
  EXPECT_EQ(r.message, "cannot read the configuration file missing.yml: No such file or directory");
  // A bad flag is still a bad flag, whatever the file.
  const auto bad = exporter::parse_options({"--config.file=missing.yml", "--bogus"}, o, Files{});
  EXPECT_EQ(bad.outcome, exporter::ParseResult::bad_usage);
  EXPECT_EQ(exporter::parse_options({"--config.file="}, o, Files{}).outcome,
            exporter::ParseResult::bad_usage);
}

}  // namespace
