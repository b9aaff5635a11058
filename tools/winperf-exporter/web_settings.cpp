#include "web_settings.h"

#include <tuple>

#include "tls_context.h"

namespace exporter {

// What one pass over the files found.
struct WebSettings::Reading {
  std::string text;
  WebConfig config;
  PemTexts pems;
  std::string fingerprint;
};

WebSettings::WebSettings(std::string path, FileReader read, Log log)
    : path_(std::move(path)), read_file_(std::move(read)), log_(std::move(log)) {}

WebSettings::~WebSettings() = default;

std::string WebSettings::read_pem(const PemSource &source, const char *what,
                                  std::string &out) const {
  if (!source.given()) return {};
  if (source.file.empty()) {
    out = source.text;
    return {};
  }
  std::string reason;
  if (!read_file_(source.file, out, reason)) {
    return std::string(what) + " " + source.file + ": " + reason;
  }
  return {};
}

// Reads the file and what it names; an empty string, or what is wrong. The fingerprint is set
// as far as the reading got, so that a bad file is reported once, not at every connection.
std::string WebSettings::read(Reading &r) {
  std::string reason;
  if (!read_file_(path_, r.text, reason)) {
    r.fingerprint = "unreadable: " + reason;
    return "cannot be read: " + reason;
  }
  r.fingerprint = r.text;
  std::string error;
  if (!parse_web_config(r.text, folder_of(path_), r.config, error)) return error;
  if (r.config.tls) {
    const TlsServerConfig &t = *r.config.tls;
    for (const auto &[source, what, out] :
         {std::tuple{&t.cert, "cert_file", &r.pems.cert},
          std::tuple{&t.key, "key_file", &r.pems.key},
          std::tuple{&t.client_ca, "client_ca_file", &r.pems.client_ca}}) {
      error = read_pem(*source, what, *out);
      r.fingerprint += '\0' + *out;
      if (!error.empty()) return error;
    }
  }
  return {};
}

// The state a good reading makes; null, with problem said, for a bad one.
std::shared_ptr<const WebState> WebSettings::state_of(Reading &r, std::string &problem) const {
  if (!problem.empty()) return nullptr;
  auto state = std::make_shared<WebState>();
  if (r.config.tls) {
    state->tls = TlsContext::build(*r.config.tls, r.pems, problem);
    if (!state->tls) return nullptr;
  }
  state->config = std::move(r.config);
  return state;
}

bool WebSettings::load(std::string &error) {
  Reading r;
  std::string problem = read(r);
  std::shared_ptr<const WebState> state = state_of(r, problem);
  if (!state) {
    error = path_ + ": " + problem;
    return false;
  }
  tls_ = state->tls != nullptr;
  const std::lock_guard<std::mutex> lock(mutex_);
  current_ = std::move(state);
  valid_ = true;
  fingerprint_ = std::move(r.fingerprint);
  return true;
}

void WebSettings::refresh() {
  const std::lock_guard<std::mutex> lock(mutex_);
  Reading r;
  std::string problem = read(r);
  if (r.fingerprint == fingerprint_) return;  // nothing changed since the last reading
  fingerprint_ = r.fingerprint;
  if (problem.empty() && r.config.tls.has_value() != tls_) {
    problem = tls_ ? "TLS cannot be turned off without a restart"
                   : "TLS cannot be turned on without a restart";
  }
  std::shared_ptr<const WebState> state = state_of(r, problem);
  valid_ = state != nullptr;
  if (!state) {
    log_(true, "web configuration " + path_ + ": " + problem +
                   "; requests are refused until it is mended");
    return;
  }
  current_ = std::move(state);
  log_(false, "web configuration " + path_ + ": read again");
}

std::shared_ptr<const WebState> WebSettings::current() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return current_;
}

bool WebSettings::valid() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return valid_;
}

}  // namespace exporter
