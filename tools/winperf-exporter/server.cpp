#include "server.h"

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "guard.h"
#include "status_page.h"
#include "tls_context.h"
#include "web_settings.h"

namespace exporter {
namespace {

using httplib::Request;
using httplib::Response;
using HandlerResponse = httplib::Server::HandlerResponse;

constexpr char kExpositionType[] = "text/plain; version=0.0.4; charset=utf-8";
constexpr char kText[] = "text/plain; charset=utf-8";
constexpr char kAllow[] = "GET, HEAD";
constexpr time_t kRequestDeadlineMs = Server::kRequestSeconds * 1000;
constexpr auto kRequestDeadline = std::chrono::seconds(Server::kRequestSeconds);
// How long a connection whose body was left unread is drained after the answer (see below).
constexpr auto kUnreadBodyLinger = std::chrono::milliseconds(500);

// The threads that serve connections, one crew for the process: started as connections need
// them, up to a bound, and never ended. A thread that ends runs the destructors of cpp-httplib's
// thread-local objects, and with mingw-w64's runtime those crashed the process now and then (a
// worker ended while others served; workers joined at a stop, seen under Wine). A crew that shrank
// and grew again also let memory creep. At the process's end the threads are ended unrun.
class Crew {
 public:
  static Crew &instance() {
    static Crew &crew = *new Crew;  // never destroyed: its threads outlive every server
    return crew;
  }

  bool enqueue(std::function<void()> job) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.size() >= Server::kQueuedConnections) return false;
    if (idle_ <= jobs_.size() && workers_ < static_cast<size_t>(Server::kWorkers)) {
      try {
        std::thread([this] { guarded("a worker", [this] { work(); }); }).detach();
        ++workers_;
      } catch (const std::system_error &) {
        // No thread to be had: the connection waits for a worker there is, or is refused.
        if (workers_ == 0) return false;
      }
    }
    jobs_.push_back(std::move(job));
    ready_.notify_one();
    return true;
  }

 private:
  [[noreturn]] void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      ready_.wait(lock, [this] { return !jobs_.empty(); });
      --idle_;
      std::function<void()> job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  size_t workers_ = 0;
  size_t idle_ = 0;
};

// One server's use of the crew: its shutdown waits for the connections it handed over.
class WorkerPool final : public httplib::TaskQueue {
 public:
  ~WorkerPool() override { shutdown(); }

  bool enqueue(std::function<void()> fn) override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return false;
      ++outstanding_;
    }
    const bool taken = Crew::instance().enqueue([this, fn = std::move(fn)] {
      fn();
      finished();
    });
    if (!taken) finished();
    return taken;
  }

  void shutdown() override {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    done_.wait(lock, [this] { return outstanding_ == 0; });
  }

 private:
  void finished() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (--outstanding_ == 0) done_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable done_;
  size_t outstanding_ = 0;
  bool stopping_ = false;
};

bool has_body(const Request &req) {
  return req.get_header_value_u64("Content-Length") > 0 || req.has_header("Transfer-Encoding");
}

// The client may still be sending a body that was never read; closing with it unread resets the
// connection, and the reset can destroy the answer before the client has read it. So our side
// ends at once (the client sees the end of the stream after the answer), and what still comes
// is read and dropped for a moment before the socket closes.
void close_after_unread_body(socket_t sock) {
#if defined(_WIN32)
  ::shutdown(sock, SD_SEND);
#else
  ::shutdown(sock, SHUT_WR);
#endif
  const auto until = std::chrono::steady_clock::now() + kUnreadBodyLinger;
  char drop[4096];
  while (std::chrono::steady_clock::now() < until &&
         httplib::detail::select_read(sock, 0, 50000) > 0) {
    if (::recv(sock, drop, sizeof drop, 0) <= 0) break;
  }
}

// A TLS session on one connection, over the settings the connection began with: a handshake with
// one deadline for the whole of it (a client that sends a byte now and then cannot hold a worker
// for longer), and the session ended whatever happens.
class TlsSession {
 public:
  TlsSession(const TlsContext &context, socket_t sock) : context_(context) { session_.sock = sock; }
  ~TlsSession() {
    if (handshaken_) httplib::tls::shutdown(&session_, graceful_);
  }
  TlsSession(const TlsSession &) = delete;
  TlsSession &operator=(const TlsSession &) = delete;

  bool handshake(std::chrono::steady_clock::time_point deadline) {
    mbedtls_ssl_context &ssl = session_.ssl;
    if (mbedtls_ssl_setup(&ssl, &context_.config()) != 0) return false;
    mbedtls_ssl_set_bio(&ssl, &session_.sock, httplib::tls::impl::mbedtls_net_send_cb,
                        httplib::tls::impl::mbedtls_net_recv_cb, nullptr);
    const socket_t sock = session_.sock;
    httplib::detail::set_nonblocking(sock, true);
    int ret = 0;
    while ((ret = mbedtls_ssl_handshake(&ssl)) != 0 && wait_for(ret, sock, deadline)) {
    }
    httplib::detail::set_nonblocking(sock, false);
    handshaken_ = ret == 0;
    return handshaken_;
  }

  httplib::tls::session_t handle() { return &session_; }
  // Whether to say goodbye with close_notify: not to a client that broke off.
  void end_gracefully(bool graceful) { graceful_ = graceful; }

 private:
  static bool wait_for(int ret, socket_t sock, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const auto sec = static_cast<time_t>(left.count() / 1000000);
    const auto usec = static_cast<time_t>(left.count() % 1000000);
    if (ret == MBEDTLS_ERR_SSL_WANT_READ) return httplib::detail::select_read(sock, sec, usec) > 0;
    if (ret == MBEDTLS_ERR_SSL_WANT_WRITE) {
      return httplib::detail::select_write(sock, sec, usec) > 0;
    }
    return false;  // the handshake failed, or was refused
  }

  const TlsContext &context_;
  httplib::tls::impl::MbedTlsSession session_;
  bool handshaken_ = false;
  bool graceful_ = false;
};

// How each connection is served. cpp-httplib bounds each read of a request, not the whole of
// it: a client that sends one byte every few seconds would hold a worker for ever. Here each
// request on a connection gets one deadline for everything it reads. No endpoint takes a body
// or serves ranges: a body is never read (the connection closes after the answer), and a Range
// header is ignored, so every answer is the whole of it.
class BoundedServer final : public httplib::Server {
 public:
  explicit BoundedServer(WebSettings *web) : web_(web) {}

  // Ends every connection at once, so that a stop does not wait for slow clients to reach their
  // deadlines. The socket is closed, not only shut down: that is what ends a wait on it under
  // Wine. Nothing opens sockets any more by then, so its number is not reused under a worker.
  void cut_connections() {
    const std::lock_guard<std::mutex> lock(open_mutex_);
    cut_all_ = true;
    for (auto &[sock, cut] : open_) {
      if (cut) continue;
      httplib::detail::shutdown_socket(sock);
      httplib::detail::close_socket(sock);
      cut = true;
    }
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    bool stopping = false;
    {
      const std::lock_guard<std::mutex> lock(open_mutex_);
      stopping = cut_all_;  // one that waited for a worker past the stop is not served
      open_.emplace(sock, false);
    }
    const bool ok = !stopping && serve_connection(sock);
    const std::lock_guard<std::mutex> lock(open_mutex_);
    if (!open_[sock]) {
      httplib::detail::shutdown_socket(sock);
      httplib::detail::close_socket(sock);
    }
    open_.erase(sock);
    return ok;
  }

  auto plain_stream(socket_t sock) const {
    return [this, sock](std::chrono::steady_clock::time_point start) {
      return std::make_unique<httplib::detail::SocketStream>(
          sock, read_timeout_sec_, read_timeout_usec_, write_timeout_sec_, write_timeout_usec_,
          kRequestDeadlineMs, start);
    };
  }

  bool serve_connection(socket_t sock) {
    if (web_ == nullptr) return serve_requests(sock, plain_stream(sock));
    web_->refresh();  // every new connection sees the file as it is now
    if (!web_->tls()) return serve_requests(sock, plain_stream(sock));
    // The connection keeps the settings it began with, whatever comes after.
    const std::shared_ptr<const WebState> state = web_->current();
    TlsSession session(*state->tls, sock);
    if (!session.handshake(std::chrono::steady_clock::now() + kRequestDeadline)) return false;
    const bool ok = serve_requests(sock, [&](std::chrono::steady_clock::time_point start) {
      return std::make_unique<httplib::detail::SSLSocketStream>(
          sock, session.handle(), read_timeout_sec_, read_timeout_usec_, write_timeout_sec_,
          write_timeout_usec_, kRequestDeadlineMs, start);
    });
    session.end_gracefully(ok);
    return ok;
  }

  // The requests of one connection, each read from a stream of its own with its own deadline.
  template <typename StreamFor>
  bool serve_requests(socket_t sock, const StreamFor &stream_for) {
    std::string remote_addr, local_addr;
    int remote_port = 0, local_port = 0;
    httplib::detail::get_remote_ip_and_port(sock, remote_addr, remote_port);
    httplib::detail::get_local_ip_and_port(sock, local_addr, local_port);
    bool ok = false;
    bool body_unread = false;
    const auto setup = [&body_unread](Request &req) {
      req.ranges.clear();
      req.headers.erase("Range");
      if (has_body(req)) {
        body_unread = true;
        req.body_consumed_ = true;  // not to be drained: the connection ends instead
        req.headers.erase("Connection");
        req.set_header("Connection", "close");
      }
    };
    for (size_t left = keep_alive_max_count_;
         left > 0 && httplib::detail::keep_alive(svr_sock_, sock, keep_alive_timeout_sec_);
         --left) {
      const auto stream = stream_for(std::chrono::steady_clock::now());
      bool closed = false;
      ok = process_request(*stream, remote_addr, remote_port, local_addr, local_port, left == 1,
                           closed, setup);
      if (!ok || closed || body_unread) break;
    }
    if (body_unread) close_after_unread_body(sock);
    return ok;
  }

  WebSettings *const web_;
  std::mutex open_mutex_;
  std::map<socket_t, bool> open_;  // the connections being served; true once cut
  bool cut_all_ = false;
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

void answer(Response &res, int status, const char *text) {
  res.status = status;
  res.set_content(text, kText);
}

}  // namespace

struct Server::Impl {
  Impl(Scraper &s, const Options &o, StopLatch &l, ErrorLog e, WebSettings *w)
      : scraper(s),
        options(o),
        stop(l),
        log_error(std::move(e)),
        host_name(this_host_name()),
        web(w),
        http(w) {}

  enum class Endpoint { none, landing, metrics, snapshot, healthy };

  // Paths are compared as they are, after percent-decoding: never as patterns.
  Endpoint endpoint_of(const std::string &path) const {
    if (path == options.telemetry_path) return Endpoint::metrics;
    if (path == "/") return Endpoint::landing;
    if (path == "/snapshot") return Endpoint::snapshot;
    if (path == "/-/healthy") return Endpoint::healthy;
    return Endpoint::none;
  }

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

  // Every request is answered here; cpp-httplib's own routing is never reached.
  HandlerResponse route(const Request &req, Response &res) {
    if (web != nullptr && !admitted(req, res)) return HandlerResponse::Handled;
    const Endpoint endpoint = endpoint_of(req.path);
    if (endpoint == Endpoint::none) {
      answer(res, 404, "404 page not found\n");
    } else if (req.method != "GET" && req.method != "HEAD") {
      answer(res, 405, "405 method not allowed\n");
      res.set_header("Allow", kAllow);
    } else if (req.get_header_value_u64("Content-Length") > kMaxBody) {
      answer(res, 413, "413 request body too large\n");
    } else {
      serve(endpoint, res);
    }
    return HandlerResponse::Handled;
  }

  // What the web configuration asks of every request, on every path: a file that is good now,
  // and a user's password when it names users.
  bool admitted(const Request &req, Response &res) {
    if (!web->valid()) {
      answer(res, 500, "500 the web configuration is not valid; see the exporter's log\n");
      return false;
    }
    const std::shared_ptr<const WebState> state = web->current();
    if (state->config.users.empty()) return true;
    std::string user, password;
    const bool given =
        parse_basic_authorization(req.get_header_value("Authorization"), user, password);
    switch (given ? web->passwords().check(state->config.users, user, password)
                  : PasswordCheck::Verdict::refused) {
      case PasswordCheck::Verdict::accepted: return true;
      case PasswordCheck::Verdict::busy:
        answer(res, 503, "503 too many password checks at once\n");
        return false;
      case PasswordCheck::Verdict::refused: break;
    }
    answer(res, 401, "401 Unauthorized\n");
    res.set_header("WWW-Authenticate", "Basic");
    return false;
  }

  void serve(Endpoint endpoint, Response &res) {
    switch (endpoint) {
      case Endpoint::landing:
      case Endpoint::metrics:
      case Endpoint::snapshot: scrape(res, endpoint); break;
      case Endpoint::healthy: res.set_content("Healthy\n", kText); break;
      case Endpoint::none: break;
    }
    res.status = res.status == -1 ? 200 : res.status;
  }

  // The three views of a collection; each counts as a scrape, as each may collect.
  void scrape(Response &res, Endpoint endpoint) {
    const InFlight in_flight(in_flight_scrapes, options.max_requests);
    if (!in_flight.ok()) return answer(res, 503, "503 too many scrapes at once\n");
    if (endpoint == Endpoint::metrics) return res.set_content(scraper.metrics(), kExpositionType);
    if (endpoint == Endpoint::landing) {
      return res.set_content(scraper.status_page(host_name, options.telemetry_path),
                             "text/html; charset=utf-8");
    }
    std::optional<std::string> text = scraper.snapshot();
    if (!text) return answer(res, 503, "503 no collection has succeeded yet\n");
    if (*text == "{}") res.status = 503;  // the library could not render a sample
    res.set_content(std::move(*text), "application/json");
  }

  // What cpp-httplib adds on its own, made the same for every method and every encoding; and
  // the headers the web configuration adds to every answer.
  void settle_headers(Response &res) const {
    res.headers.erase("Accept-Ranges");  // HEAD only, and ranges are not served
    res.headers.erase("Vary");           // gzip answers only, and maybe twice
    res.set_header("Vary", "Accept-Encoding");
    if (web == nullptr) return;
    for (const auto &[name, value] : web->current()->config.headers) {
      res.headers.erase(name);
      res.set_header(name, value);
    }
  }

  // A Range header the library cannot parse ends in 416 before any handler runs; it is ignored
  // like any other Range, and the request answered whole.
  HandlerResponse on_error(const Request &req, Response &res) {
    if (res.status != 416 || !req.has_header("Range")) return HandlerResponse::Unhandled;
    res.status = -1;
    return route(req, res);
  }

  void configure() {
    http.new_task_queue = [this] {
      // The listener runs from here on: a stop that came before it could take effect does now.
      if (stop.requested()) stop_listener();
      return new WorkerPool;
    };
    http.set_socket_options(exclusive_address_use);
    http.set_idle_interval(kIdleWake);
    http.set_keep_alive_timeout(kIdleSeconds);
    http.set_read_timeout(kRequestSeconds, 0);
    http.set_write_timeout(kRequestSeconds, 0);
    http.set_payload_max_length(kMaxBody);
    http.set_pre_routing_handler(
        [this](const Request &req, Response &res) { return route(req, res); });
    http.set_post_routing_handler([this](const Request &, Response &res) { settle_headers(res); });
    http.set_error_handler(
        [this](const Request &req, Response &res) { return on_error(req, res); });
    http.set_expect_100_continue_handler([](const Request &req, Response &res) {
      if (req.get_header_value_u64("Content-Length") <= kMaxBody) return 100;
      res.status = 413;
      return 413;
    });
    http.set_exception_handler([this](const Request &, Response &res, std::exception_ptr ep) {
      answer(res, 500, "500 internal error\n");
      try {
        std::rethrow_exception(ep);
      } catch (const std::exception &e) {
        log_error(std::string("answering a request failed: ") + e.what());
      } catch (...) {
        log_error("answering a request failed");
      }
    });
  }

  // Stops the listener once it runs; before that the call would be lost, so it is made only
  // then, and only once.
  void stop_listener() {
    if (http.is_running() && !listener_stopped.exchange(true)) {
      http.stop();
      http.cut_connections();
    }
  }

  Scraper &scraper;
  const Options options;
  StopLatch &stop;
  const ErrorLog log_error;
  const std::string host_name;
  WebSettings *const web;  // none: plain HTTP, open to all
  BoundedServer http;
  std::atomic<int> in_flight_scrapes{0};
  std::atomic<bool> listener_stopped{false};
};

Server::Server(Scraper &scraper, const Options &options, StopLatch &stop, ErrorLog log_error,
               WebSettings *web)
    : impl_(std::make_unique<Impl>(scraper, options, stop, std::move(log_error), web)) {
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

bool Server::serve() {
  const StopLatch::Subscription subscription(impl_->stop, [this] { impl_->stop_listener(); });
  return impl_->http.listen_after_bind() || impl_->stop.requested();
}

}  // namespace exporter
