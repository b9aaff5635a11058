// The HTTP side: endpoints, limits, and a pool of workers that never exit.
#pragma once

#include <memory>
#include <string>

#include "options.h"
#include "scraper.h"

namespace exporter {

class Server {
 public:
  Server(Scraper &scraper, const Options &options, std::string version);
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Takes the listening address. Returns false, with error saying why, when it cannot be had.
  bool bind(std::string &error);
  // Serves until stop(). Returns false when accepting broke down.
  bool serve();
  // Safe from any thread, also before serve().
  void stop();

  // Limits that protect the scrapes from slow or hostile clients.
  static constexpr int kWorkers = 128;                // connections served at once
  static constexpr size_t kQueuedConnections = 1024;  // accepted, waiting for a worker
  static constexpr int kRequestSeconds = 10;          // a whole request line and headers
  static constexpr int kIdleSeconds = 5;              // a connection with no request
  static constexpr size_t kMaxBody = 16 * 1024;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace exporter
