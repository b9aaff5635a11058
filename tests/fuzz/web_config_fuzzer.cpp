// Drives the web configuration's parser with arbitrary input. Whatever comes in, it returns;
// what it accepts is a configuration the exporter can serve with, and what it refuses it says
// why.
#include <cstdint>
#include <string>
#include <string_view>

#include "invariant.h"
#include "web_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  exporter::WebConfig config;
  std::string error;
  if (!exporter::parse_web_config(text, "C:\\web\\", config, error)) {
    require(!error.empty(), "a refusal without a reason");
    return 0;
  }
  require(error.empty(), "a reason for a file that was taken");
  for (const auto &[user, hash] : config.users) {
    require(exporter::is_bcrypt_hash(hash), "a user without a bcrypt hash");
  }
  for (const auto &[name, value] : config.headers) {
    require(!name.empty(), "a header without a name");
    for (const char c : value) require(c != '\r' && c != '\n', "a header value that splits lines");
  }
  if (config.tls) {
    const exporter::TlsServerConfig &t = *config.tls;
    require(t.cert.given() && t.key.given(), "TLS without a certificate and a key");
    require(t.min_version <= t.max_version, "versions the wrong way round");
    const bool verifies = t.client_auth == exporter::ClientAuth::verify_if_given ||
                          t.client_auth == exporter::ClientAuth::require_and_verify;
    require(!verifies || t.client_ca.given(), "verifying client certificates without a CA");
    for (const auto *source : {&t.cert, &t.key, &t.client_ca}) {
      require(source->file.empty() || source->text.empty(), "a PEM both inline and in a file");
    }
  }
  return 0;
}
