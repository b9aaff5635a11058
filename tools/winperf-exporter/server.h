// The HTTP side: endpoints, limits, and a pool of workers that never exit.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "options.h"
#include "scraper.h"
#include "stop_latch.h"

namespace exporter {

class WebSettings;

class Server {
 public:
  using ErrorLog = std::function<void(const std::string &)>;
  // web: the web configuration (TLS, users, headers), or null for plain HTTP open to all.
  Server(Scraper &scraper, const Options &options, StopLatch &stop, ErrorLog log_error,
         WebSettings *web = nullptr);
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Takes the listening address. Returns false, with error saying why, when it cannot be had.
  bool bind(std::string &error);
  // Serves until a stop is requested of the latch, also one requested before this was called.
  // Returns false when accepting broke down.
  bool serve();

  // Limits that protect the scrapes from slow or hostile clients.
  static constexpr int kWorkers = 128;                // connections served at once
  static constexpr size_t kQueuedConnections = 1024;  // accepted, waiting for a worker
  static constexpr int kRequestSeconds = 10;          // a whole request line and headers
  static constexpr int kIdleSeconds = 5;              // a connection with no request
  static constexpr size_t kMaxBody = 16 * 1024;
  // How often an idle listener wakes to see whether it was stopped.
  static constexpr std::chrono::milliseconds kIdleWake{250};

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace exporter
