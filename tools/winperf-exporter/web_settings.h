// The web configuration file while the exporter serves: read at start, where a bad file stops
// the start, and again for every new connection, so that certificates and users change without
// a restart. A file that has turned bad keeps the last good TLS settings for handshakes, and
// its requests are refused (500) until it is mended; each change is logged once.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "basic_auth.h"
#include "options.h"
#include "web_config.h"

namespace exporter {

class TlsContext;

// One good reading of the file.
struct WebState {
  WebConfig config;
  std::shared_ptr<TlsContext> tls;  // null for plain HTTP
};

class WebSettings {
 public:
  using Log = std::function<void(bool failing, const std::string &line)>;
  // read reads the file and the PEM files it names (the exporter's refuses files over 1 MiB).
  WebSettings(std::string path, FileReader read, Log log);
  ~WebSettings();
  WebSettings(const WebSettings &) = delete;
  WebSettings &operator=(const WebSettings &) = delete;

  // The first reading. False with error ("FILE: reason") when the file cannot be used.
  bool load(std::string &error);
  // Reads the file and the files it names again, and takes them when they changed and are good.
  void refresh();

  std::shared_ptr<const WebState> current() const;  // the last good reading
  bool valid() const;                               // whether the file as last read is good
  bool tls() const { return tls_; }                 // chosen at start, for the process's life
  PasswordCheck &passwords() { return passwords_; }

 private:
  struct Reading;
  std::string read(Reading &reading);
  std::shared_ptr<const WebState> state_of(Reading &reading, std::string &problem) const;
  std::string read_pem(const PemSource &source, const char *what, std::string &out) const;

  const std::string path_;
  const FileReader read_file_;
  const Log log_;
  bool tls_ = false;
  PasswordCheck passwords_;
  mutable std::mutex mutex_;
  std::shared_ptr<const WebState> current_;
  bool valid_ = false;
  std::string fingerprint_;  // what the last reading read, to tell a change
};

}  // namespace exporter
