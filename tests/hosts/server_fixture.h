// What the tests of the exporter's HTTP side share: a free port on the loopback interface, and a
// scraper over the library against a scripted platform.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <string_view>

#include "options.h"
#include "scraper.h"
#include "scripted_platform.h"
#include "stop_latch.h"
#include "winperf_internal.h"

inline bool ascii(std::string_view, std::u16string &) { return false; }

inline sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

inline int free_port() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  ::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  ::getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
  ::close(s);
  return ntohs(addr.sin_port);
}

class ServedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    winperf_cleanup();
    reset_script();
    ASSERT_EQ(winperf_init(), 0);
    options.host = "127.0.0.1";
    options.port = free_port();
  }
  void TearDown() override {
    winperf_cleanup();
    reset_script();
  }

  exporter::Options options;
  exporter::Scraper scraper{winperf_loader::linked_api(), std::chrono::milliseconds(0), ascii,
                            "9.9.9"};
  exporter::StopLatch stop;
};
