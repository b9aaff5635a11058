#include "web_config.h"

#include <algorithm>
#include <array>
#include <functional>

#include "config_file.h"

namespace exporter {
namespace {

struct Named {
  std::string_view name;
  uint16_t id;
};

// Go's names (crypto/tls) with their IANA numbers, the secure and the insecure ones; whether
// the TLS library has a suite is the TLS side's to say. TLS 1.3's suites are accepted and, as in
// Go, not configurable.
constexpr std::array kCipherSuites{
    Named{"TLS_RSA_WITH_RC4_128_SHA", 0x0005},
    Named{"TLS_RSA_WITH_3DES_EDE_CBC_SHA", 0x000a},
    Named{"TLS_RSA_WITH_AES_128_CBC_SHA", 0x002f},
    Named{"TLS_RSA_WITH_AES_256_CBC_SHA", 0x0035},
    Named{"TLS_RSA_WITH_AES_128_CBC_SHA256", 0x003c},
    Named{"TLS_RSA_WITH_AES_128_GCM_SHA256", 0x009c},
    Named{"TLS_RSA_WITH_AES_256_GCM_SHA384", 0x009d},
    Named{"TLS_ECDHE_ECDSA_WITH_RC4_128_SHA", 0xc007},
    Named{"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA", 0xc009},
    Named{"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA", 0xc00a},
    Named{"TLS_ECDHE_RSA_WITH_RC4_128_SHA", 0xc011},
    Named{"TLS_ECDHE_RSA_WITH_3DES_EDE_CBC_SHA", 0xc012},
    Named{"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA", 0xc013},
    Named{"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA", 0xc014},
    Named{"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256", 0xc023},
    Named{"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256", 0xc027},
    Named{"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", 0xc02b},
    Named{"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", 0xc02c},
    Named{"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", 0xc02f},
    Named{"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", 0xc030},
    Named{"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", 0xcca8},
    Named{"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305", 0xcca8},
    Named{"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", 0xcca9},
    Named{"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305", 0xcca9},
};
constexpr std::array kTls13Suites{"TLS_AES_128_GCM_SHA256", "TLS_AES_256_GCM_SHA384",
                                  "TLS_CHACHA20_POLY1305_SHA256"};

constexpr std::array kCurves{
    Named{"CurveP256", 23}, Named{"CurveP384", 24},        Named{"CurveP521", 25},
    Named{"X25519", 29},    Named{"X25519MLKEM768", 4588},
};

constexpr std::array kClientAuths{
    std::pair{"NoClientCert", ClientAuth::none},
    std::pair{"RequestClientCert", ClientAuth::request},
    std::pair{"RequireAnyClientCert", ClientAuth::require_any},
    std::pair{"VerifyClientCertIfGiven", ClientAuth::verify_if_given},
    std::pair{"RequireAndVerifyClientCert", ClientAuth::require_and_verify},
};

constexpr std::array kVersions{
    std::pair{"TLS10", TlsVersion::tls10},
    std::pair{"TLS11", TlsVersion::tls11},
    std::pair{"TLS12", TlsVersion::tls12},
    std::pair{"TLS13", TlsVersion::tls13},
};

// The headers exporter-toolkit lets a web configuration set.
constexpr std::array kHeaders{"Content-Security-Policy", "X-Frame-Options",
                              "X-Content-Type-Options", "X-XSS-Protection",
                              "Strict-Transport-Security"};

bool is_absolute(std::string_view path) {
  if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
  return path.size() >= 2 && path[1] == ':' && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z');
}

// A header value goes into every answer as it is: no line breaks or other control characters.
bool is_header_value(std::string_view v) {
  return std::all_of(v.begin(), v.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u == '\t' || (u >= 0x20 && u != 0x7f);
  });
}

class Builder {
 public:
  Builder(const std::string &folder, WebConfig &out) : folder_(folder), out_(out) {}

  // An empty string, or what is wrong with the setting.
  std::string apply(const FileSetting &s) {
    const std::vector<std::string> &p = s.path;
    if (p.size() == 1 && s.form == FileSetting::Form::null &&
        (p[0] == "tls_server_config" || p[0] == "http_server_config" ||
         p[0] == "basic_auth_users")) {
      return {};
    }
    if (p.size() == 2 && p[0] == "tls_server_config") return tls_setting(p[1], s);
    if (p.size() == 2 && p[0] == "basic_auth_users") return user(p[1], s);
    if (p.size() == 2 && p[0] == "http_server_config" && p[1] == "http2") {
      return boolean(s);
    }
    if (p.size() == 2 && p[0] == "http_server_config" && p[1] == "headers" &&
        s.form == FileSetting::Form::null) {
      return {};
    }
    if (p.size() == 3 && p[0] == "http_server_config" && p[1] == "headers") {
      return header(p[2], s);
    }
    return unknown(p);
  }

  // The key a mistake is reported under: the setting's, or the part of it that is unknown.
  const std::string &key_of(const FileSetting &s) const {
    return unknown_key_.empty() ? s.key : unknown_key_;
  }

  // What the settings say together, once all are read.
  std::string finish() {
    if (!tls_used_) {
      out_.tls.reset();
      return {};
    }
    const TlsServerConfig &t = tls_;
    if (t.cert.given() != t.key.given() || !t.cert.given()) {
      return !t.cert.given() ? "tls_server_config: missing cert_file or cert"
                             : "tls_server_config: missing key_file or key";
    }
    const bool verifies = t.client_auth == ClientAuth::verify_if_given ||
                          t.client_auth == ClientAuth::require_and_verify;
    if (t.client_ca.given() && t.client_auth == ClientAuth::none) {
      return "tls_server_config: client CAs are configured without a client_auth_type";
    }
    if (verifies && !t.client_ca.given()) {
      return "tls_server_config: client_auth_type needs client_ca_file or client_ca";
    }
    if (!t.client_allowed_sans.empty() && t.client_auth == ClientAuth::none) {
      return "tls_server_config: client_allowed_sans needs a client_auth_type that asks for "
             "certificates";
    }
    if (t.min_version > t.max_version) {
      return "tls_server_config: min_version is above max_version";
    }
    out_.tls = tls_;
    return {};
  }

 private:
  // Names the first part of path that is not a key of the format.
  std::string unknown(const std::vector<std::string> &path) {
    static const std::vector<std::vector<std::string>> kKnown{{"tls_server_config"},
                                                              {"http_server_config"},
                                                              {"basic_auth_users"},
                                                              {"http_server_config", "headers"}};
    size_t depth = 1;
    for (const auto &known : kKnown) {
      if (known.size() >= depth && path.size() > known.size() &&
          std::equal(known.begin(), known.end(), path.begin())) {
        depth = known.size() + 1;
      }
    }
    for (size_t i = 0; i < depth && i < path.size(); ++i) {
      unknown_key_ += (i == 0 ? "" : ".") + path[i];
    }
    return "unknown key";
  }

  std::string tls_setting(const std::string &name, const FileSetting &s) {
    tls_used_ = true;
    TlsServerConfig &t = tls_;
    if (name == "cert_file") return file(s, t.cert, "cert");
    if (name == "key_file") return file(s, t.key, "key");
    if (name == "client_ca_file") return file(s, t.client_ca, "client_ca");
    if (name == "cert") return inline_pem(s, t.cert, "cert_file");
    if (name == "key") return inline_pem(s, t.key, "key_file");
    if (name == "client_ca") return inline_pem(s, t.client_ca, "client_ca_file");
    if (name == "client_auth_type") return one_of(s, kClientAuths, t.client_auth);
    if (name == "min_version") return one_of(s, kVersions, t.min_version);
    if (name == "max_version") return one_of(s, kVersions, t.max_version);
    if (name == "prefer_server_cipher_suites") {
      return boolean(s);
    }
    if (name == "cipher_suites")
      return each(s, [&](const std::string &v) { return cipher_suite(v); });
    if (name == "curve_preferences")
      return each(s, [&](const std::string &v) -> std::string {
        const std::optional<uint16_t> id = curve_by_name(v);
        if (!id) return "unknown curve " + v;
        t.curves.push_back(*id);
        return {};
      });
    if (name == "client_allowed_sans")
      return each(s, [&](const std::string &v) -> std::string {
        if (v.empty()) return "an empty name";
        t.client_allowed_sans.push_back(v);
        return {};
      });
    return unknown(s.path);
  }

  std::string cipher_suite(const std::string &v) {
    if (std::find(kTls13Suites.begin(), kTls13Suites.end(), v) != kTls13Suites.end()) return {};
    for (const Named &n : kCipherSuites) {
      if (n.name == v) {
        tls_.cipher_suites.push_back(n.id);
        return {};
      }
    }
    return "unknown cipher suite " + v;
  }

  std::string user(const std::string &name, const FileSetting &s) {
    if (s.form != FileSetting::Form::scalar) return "expected a bcrypt hash";
    if (!is_bcrypt_hash(s.values[0])) {
      return "not a bcrypt hash ($2a$, $2b$ or $2y$, cost 04 to 31, 53 characters after it)";
    }
    out_.users[name] = s.values[0];
    return {};
  }

  std::string header(const std::string &name, const FileSetting &s) {
    const auto known = std::find_if(kHeaders.begin(), kHeaders.end(),
                                    [&](const char *h) { return equal_ignoring_case(h, name); });
    if (known == kHeaders.end()) return "this header cannot be set";
    if (s.form != FileSetting::Form::scalar || !is_header_value(s.values[0])) {
      return "expected one line of text";
    }
    const std::string &value = s.values[0];
    if (equal_ignoring_case(name, "X-Content-Type-Options") &&
        !equal_ignoring_case(value, "nosniff")) {
      return "expected nosniff";
    }
    if (equal_ignoring_case(name, "X-Frame-Options") && !equal_ignoring_case(value, "deny") &&
        !equal_ignoring_case(value, "sameorigin")) {
      return "expected deny or sameorigin";
    }
    out_.headers.emplace_back(*known, value);
    return {};
  }

  std::string file(const FileSetting &s, PemSource &target, const char *inline_key) {
    if (s.form != FileSetting::Form::scalar || s.values[0].empty()) return "expected a file name";
    if (!target.text.empty()) return std::string("cannot be given with ") + inline_key;
    const std::string &path = s.values[0];
    target.file = is_absolute(path) ? path : folder_ + path;
    return {};
  }

  static std::string inline_pem(const FileSetting &s, PemSource &target, const char *file_key) {
    if (s.form != FileSetting::Form::scalar || s.values[0].empty()) return "expected PEM text";
    if (!target.file.empty()) return std::string("cannot be given with ") + file_key;
    target.text = s.values[0];
    return {};
  }

  template <typename Table, typename Value>
  static std::string one_of(const FileSetting &s, const Table &table, Value &out) {
    if (s.form == FileSetting::Form::scalar) {
      for (const auto &[name, value] : table) {
        if (s.values[0] == name) {
          out = value;
          return {};
        }
      }
    }
    std::string names;
    for (const auto &entry : table) names += (names.empty() ? "" : ", ") + std::string(entry.first);
    return "expected one of " + names;
  }

  static std::string each(const FileSetting &s,
                          const std::function<std::string(const std::string &)> &take) {
    if (s.form == FileSetting::Form::null) return {};
    for (const std::string &v : s.values) {
      if (std::string e = take(v); !e.empty()) return e;
    }
    return {};
  }

  // Empty when s is a YAML boolean.
  static std::string boolean(const FileSetting &s) {
    static constexpr std::array kBooleans{"true", "false", "True", "False", "TRUE", "FALSE"};
    if (s.form == FileSetting::Form::scalar &&
        std::find(kBooleans.begin(), kBooleans.end(), s.values[0]) != kBooleans.end()) {
      return {};
    }
    return "expected true or false";
  }

  const std::string &folder_;
  WebConfig &out_;
  TlsServerConfig tls_;
  bool tls_used_ = false;
  std::string unknown_key_;
};

bool is_bcrypt_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '/';
}

}  // namespace

std::optional<uint16_t> curve_by_name(std::string_view name) {
  for (const Named &n : kCurves) {
    if (n.name == name) return n.id;
  }
  return std::nullopt;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x | 0x20) == (y | 0x20);
         });
}

std::string_view curve_name(uint16_t id) {
  for (const Named &n : kCurves) {
    if (n.id == id) return n.name;
  }
  return "an unknown curve";
}

std::string_view cipher_suite_name(uint16_t id) {
  for (const Named &n : kCipherSuites) {
    if (n.id == id) return n.name;
  }
  return "an unknown cipher suite";
}

bool is_bcrypt_hash(std::string_view h) {
  if (h.size() != 60 || h.substr(0, 2) != "$2" || h[3] != '$' || h[6] != '$') return false;
  if (h[2] != 'a' && h[2] != 'b' && h[2] != 'y') return false;
  if (h[4] < '0' || h[4] > '3' || h[5] < '0' || h[5] > '9') return false;
  const int cost = (h[4] - '0') * 10 + (h[5] - '0');
  if (cost < 4 || cost > 31) return false;
  return std::all_of(h.begin() + 7, h.end(), is_bcrypt_char);
}

std::string folder_of(const std::string &path) {
  const size_t end = path.find_last_of("/\\");
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

bool parse_web_config(std::string_view text, const std::string &folder, WebConfig &out,
                      std::string &error) {
  out = WebConfig{};
  std::vector<FileSetting> settings;
  FileError fe;
  if (!parse_config(text, settings, fe)) {
    error = (fe.line > 0 ? "line " + std::to_string(fe.line) + ": " : std::string()) +
            (fe.key.empty() ? "" : fe.key + ": ") + fe.message;
    return false;
  }
  Builder builder(folder, out);
  for (const FileSetting &s : settings) {
    if (std::string e = builder.apply(s); !e.empty()) {
      error = "line " + std::to_string(s.line) + ": " + builder.key_of(s) + ": " + e;
      return false;
    }
  }
  if (std::string e = builder.finish(); !e.empty()) {
    error = std::move(e);
    return false;
  }
  return true;
}

}  // namespace exporter
