#include "server.h"

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace exporter {
namespace {

constexpr char kExpositionType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kAllow[] = "GET, HEAD";
constexpr time_t kRequestDeadlineMs = Server::kRequestSeconds * 1000;

// Workers are started as connections need them, up to a bound, and never end before the
// server does: a worker that ended while others served crashed the process in a thread-local
// destructor of the request parser, and a pool that shrank and grew again let memory creep.
class WorkerPool final : public httplib::TaskQueue {
 public:
  WorkerPool(size_t max_workers, size_t max_queued)
      : max_workers_(max_workers), max_queued_(max_queued) {}
  ~WorkerPool() override { shutdown(); }

  bool enqueue(std::function<void()> fn) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || jobs_.size() >= max_queued_) return false;
    jobs_.push_back(std::move(fn));
    if (idle_ < jobs_.size() && workers_.size() < max_workers_) {
      workers_.emplace_back([this] { work(); });
    }
    ready_.notify_one();
    return true;
  }

  void shutdown() override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_ && workers_.empty()) return;
      stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread &t : workers_) t.join();
    workers_.clear();
  }

 private:
  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      --idle_;
      if (jobs_.empty()) return;  // stopping, and nothing left to serve
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }

  const size_t max_workers_;
  const size_t max_queued_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> workers_;
  size_t idle_ = 0;
  bool stopping_ = false;
};

// cpp-httplib bounds each read of a request, not the whole of it: a client that sends one byte
// every few seconds would hold a worker for ever. Here each request on a connection gets one
// deadline for everything it reads.
class BoundedServer final : public httplib::Server {
 private:
  bool process_and_close_socket(socket_t sock) override {
    std::string remote_addr, local_addr;
    int remote_port = 0, local_port = 0;
    httplib::detail::get_remote_ip_and_port(sock, remote_addr, remote_port);
    httplib::detail::get_local_ip_and_port(sock, local_addr, local_port);
    bool ok = false;
    for (size_t left = keep_alive_max_count_;
         left > 0 && httplib::detail::keep_alive(svr_sock_, sock, keep_alive_timeout_sec_);
         --left) {
      httplib::detail::SocketStream stream(sock, read_timeout_sec_, read_timeout_usec_,
                                           write_timeout_sec_, write_timeout_usec_,
                                           kRequestDeadlineMs, std::chrono::steady_clock::now());
      bool closed = false;
      ok = process_request(stream, remote_addr, remote_port, local_addr, local_port, left == 1,
                           closed, nullptr);
      if (!ok || closed) break;
    }
    httplib::detail::shutdown_socket(sock);
    httplib::detail::close_socket(sock);
    return ok;
  }
};

// A port stays this process's alone: SO_REUSEADDR on Windows would let a second exporter bind
// the same port and take some of its connections.
void exclusive_address_use(socket_t sock) {
#if defined(_WIN32)
  httplib::set_socket_opt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1);
#else
  httplib::set_socket_opt(sock, SOL_SOCKET, SO_REUSEADDR, 1);
#endif
}

std::string html_escaped(const std::string &text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string landing_page(const std::string &version, const std::string &telemetry_path) {
  const std::string path = html_escaped(telemetry_path);
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>winperf exporter</title>"
         "</head>\n<body><h1>winperf exporter " +
         version + "</h1>\n<p>Windows host metrics for Prometheus.</p>\n<ul>\n<li><a href=\"" +
         path + "\">" + path +
         "</a>: metrics</li>\n<li><a href=\"/snapshot\">/snapshot</a>: the sample as JSON</li>\n"
         "<li><a href=\"/-/healthy\">/-/healthy</a>: health</li>\n</ul></body></html>\n";
}

}  // namespace

struct Server::Impl {
  Impl(Scraper &s, const Options &o, std::string v)
      : scraper(s), options(o), version(std::move(v)) {}

  // Counts a scrape in flight for as long as it lives; ok() is false beyond the limit.
  class InFlight {
   public:
    InFlight(std::atomic<int> &n, int limit) : n_(n), ok_(++n_ <= limit || limit == 0) {}
    ~InFlight() { --n_; }
    bool ok() const { return ok_; }

   private:
    std::atomic<int> &n_;
    const bool ok_;
  };

  httplib::Server::HandlerResponse route(const httplib::Request &req, httplib::Response &res) {
    const bool known = req.path == "/" || req.path == options.telemetry_path ||
                       req.path == "/snapshot" || req.path == "/-/healthy";
    if (!known) {
      res.status = 404;
      res.set_content("404 page not found\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD") {
      res.status = 405;
      res.set_header("Allow", kAllow);
      res.set_content("405 method not allowed\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.get_header_value_u64("Content-Length") > kMaxBody) {
      res.status = 413;
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  void scrape(httplib::Response &res, bool json) {
    const InFlight in_flight(in_flight_scrapes, options.max_requests);
    if (!in_flight.ok()) {
      res.status = 503;
      res.set_content("503 too many scrapes at once\n", "text/plain; charset=utf-8");
      return;
    }
    if (json) {
      std::string text = scraper.snapshot();
      if (text == "{}") res.status = 503;  // the library could not render a sample
      res.set_content(std::move(text), "application/json");
    } else {
      res.set_content(scraper.metrics(), kExpositionType);
    }
  }

  void configure() {
    http.new_task_queue = [] { return new WorkerPool(kWorkers, kQueuedConnections); };
    http.set_socket_options(exclusive_address_use);
    http.set_keep_alive_timeout(kIdleSeconds);
    http.set_read_timeout(kRequestSeconds, 0);
    http.set_write_timeout(kRequestSeconds, 0);
    http.set_payload_max_length(kMaxBody);
    http.set_pre_routing_handler(
        [this](const httplib::Request &req, httplib::Response &res) { return route(req, res); });
    const std::string page = landing_page(version, options.telemetry_path);
    http.Get("/", [page](const httplib::Request &, httplib::Response &res) {
      res.set_content(page, "text/html; charset=utf-8");
    });
    http.Get(options.telemetry_path,
             [this](const httplib::Request &, httplib::Response &res) { scrape(res, false); });
    http.Get("/snapshot",
             [this](const httplib::Request &, httplib::Response &res) { scrape(res, true); });
    http.Get("/-/healthy", [](const httplib::Request &, httplib::Response &res) {
      res.set_content("Healthy\n", "text/plain; charset=utf-8");
    });
  }

  Scraper &scraper;
  const Options options;
  const std::string version;
  BoundedServer http;
  std::atomic<int> in_flight_scrapes{0};
};

Server::Server(Scraper &scraper, const Options &options, std::string version)
    : impl_(std::make_unique<Impl>(scraper, options, std::move(version))) {
  impl_->configure();
}

Server::~Server() = default;

bool Server::bind(std::string &error) {
  const std::string host = impl_->options.host.empty() ? "0.0.0.0" : impl_->options.host;
  if (impl_->http.bind_to_port(host, impl_->options.port)) return true;
  error = "cannot listen on " + host + ":" + std::to_string(impl_->options.port) +
          " (address in use or not available)";
  return false;
}

bool Server::serve() { return impl_->http.listen_after_bind(); }

void Server::stop() { impl_->http.stop(); }

}  // namespace exporter
