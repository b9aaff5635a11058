// One set of TLS settings made ready for handshakes: certificate chain, key, client CAs and the
// options of the web configuration, over mbedTLS. It is never changed once built: new settings
// get a new one, and each connection keeps the one it began with.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <memory>
#include <string>
#include <vector>

#include "web_config.h"

namespace exporter {

// The PEM texts a configuration names, read from its files or given inline.
struct PemTexts {
  std::string cert, key, client_ca;
};

class TlsContext {
 public:
  // nullptr with error set when the PEMs or the options cannot be used.
  static std::shared_ptr<TlsContext> build(const TlsServerConfig &config, const PemTexts &pems,
                                           std::string &error);
  ~TlsContext();
  TlsContext(const TlsContext &) = delete;
  TlsContext &operator=(const TlsContext &) = delete;

  // What a connection's session is set up from; it holds the client's certificate to the
  // policy during the handshake.
  const mbedtls_ssl_config &config() const { return conf_; }

 private:
  TlsContext();
  std::string configure(const TlsServerConfig &config, const PemTexts &pems);
  static int verify(void *self, mbedtls_x509_crt *cert, int depth, uint32_t *flags);
  bool has_allowed_san(const mbedtls_x509_crt &cert) const;

  mbedtls_ssl_config conf_;
  mbedtls_entropy_context entropy_;
  mbedtls_ctr_drbg_context drbg_;
  mbedtls_x509_crt own_cert_;
  mbedtls_pk_context own_key_;
  mbedtls_x509_crt client_cas_;
  std::vector<int> suites_;       // 0-terminated, as mbedTLS keeps a pointer to it
  std::vector<uint16_t> groups_;  // 0-terminated
  ClientAuth client_auth_ = ClientAuth::none;
  std::vector<std::string> allowed_sans_;
  std::vector<std::string> allowed_addresses_;  // each allowed name as address bytes, or empty
};

}  // namespace exporter
