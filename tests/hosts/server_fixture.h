// What the tests of the exporter's HTTP side share: a free port on the loopback interface, and
// names that are never decoded.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <string_view>

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
