// The web configuration file of Prometheus exporters (--web.config.file): TLS, client
// certificates, basic-auth users and extra response headers, in exporter-toolkit's format. This
// part only reads the YAML and checks each value's form; the certificates and keys are read and
// checked by the TLS side.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace exporter {

enum class ClientAuth {
  none,                // NoClientCert
  request,             // RequestClientCert: asked for, neither required nor verified
  require_any,         // RequireAnyClientCert: required, not verified
  verify_if_given,     // VerifyClientCertIfGiven
  require_and_verify,  // RequireAndVerifyClientCert
};

// TLS 1.0 and 1.1 are accepted as a minimum and serve TLS 1.2 and up: the TLS library has
// nothing older.
enum class TlsVersion { tls10 = 10, tls11 = 11, tls12 = 12, tls13 = 13 };

// A PEM given inline, or a file holding it (its path resolved against the file's folder).
struct PemSource {
  std::string file;
  std::string text;
  bool given() const { return !file.empty() || !text.empty(); }
};

struct TlsServerConfig {
  PemSource cert, key, client_ca;
  ClientAuth client_auth = ClientAuth::none;
  TlsVersion min_version = TlsVersion::tls12;
  TlsVersion max_version = TlsVersion::tls13;
  std::vector<uint16_t> cipher_suites;  // IANA numbers of TLS 1.2 suites; empty: the defaults
  std::vector<uint16_t> curves;         // IANA group numbers; empty: the defaults
  std::vector<std::string> client_allowed_sans;
};

struct WebConfig {
  std::optional<TlsServerConfig> tls;                        // absent: plain HTTP
  std::vector<std::pair<std::string, std::string>> headers;  // added to every answer
  std::map<std::string, std::string> users;                  // name -> bcrypt hash
};

// Parses the file's text. folder is the file's own folder (UTF-8, with its separator, or
// empty), which relative paths are resolved against. Returns false with error set, as
// "line N: KEY: what is wrong" or the file's problem as a whole.
bool parse_web_config(std::string_view text, const std::string &folder, WebConfig &out,
                      std::string &error);

// Whether hash has bcrypt's form: $2a$, $2b$ or $2y$, a cost from 04 to 31, 53 characters of
// salt and digest.
bool is_bcrypt_hash(std::string_view hash);

// Whether a and b are the same ASCII text, letters compared without case (header names, schemes).
bool equal_ignoring_case(std::string_view a, std::string_view b);

// The folder part of a path, with its separator ("C:\a\b.yml" gives "C:\a\"); empty for none.
std::string folder_of(const std::string &path);

// Go's names of the TLS groups, as curve_preferences takes them, and back.
std::optional<uint16_t> curve_by_name(std::string_view name);
std::string_view curve_name(uint16_t id);
// Go's name of a TLS 1.2 cipher suite.
std::string_view cipher_suite_name(uint16_t id);

}  // namespace exporter
