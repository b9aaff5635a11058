// Certificates made fresh for a test, by the script the Wine tests use too, in a folder that
// is removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class TestCerts {
 public:
  TestCerts() {
    char pattern[] = "/tmp/winperf-certs-XXXXXX";
    dir_ = mkdtemp(pattern);
    const std::string command =
        std::string("bash '") + WINPERF_TEST_CERTS_SCRIPT + "' '" + dir_.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
  }
  ~TestCerts() { std::filesystem::remove_all(dir_); }
  TestCerts(const TestCerts &) = delete;
  TestCerts &operator=(const TestCerts &) = delete;

  std::string path(const std::string &name) const { return (dir_ / name).string(); }
  std::string read(const std::string &name) const {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_TRUE(in) << name;
    return text.str();
  }

 private:
  std::filesystem::path dir_;
};
