#include "tls_context.h"

#include <mbedtls/error.h>
#include <mbedtls/x509.h>
#include <psa/crypto.h>

#include <algorithm>
#include <array>

#if defined(_WIN32)
#  include <ws2tcpip.h>
#else
#  include <arpa/inet.h>
#endif

namespace exporter {
namespace {

std::string mbedtls_reason(int code) {
  std::array<char, 160> text{};
  mbedtls_strerror(code, text.data(), text.size());
  return text.data();
}

const unsigned char *bytes(const std::string &text) {
  return reinterpret_cast<const unsigned char *>(text.c_str());
}

// PEM is parsed with its terminating NUL, as mbedTLS tells PEM from DER by it.
std::string parse_certificates(mbedtls_x509_crt &chain, const std::string &pem, const char *what) {
  const int ret = mbedtls_x509_crt_parse(&chain, bytes(pem), pem.size() + 1);
  if (ret < 0) return std::string(what) + ": no certificate in it (" + mbedtls_reason(ret) + ")";
  if (ret > 0)
    return std::string(what) + ": " + std::to_string(ret) + " of its certificates cannot be read";
  return {};
}

mbedtls_ssl_protocol_version protocol(TlsVersion v) {
  return v == TlsVersion::tls13 ? MBEDTLS_SSL_VERSION_TLS1_3 : MBEDTLS_SSL_VERSION_TLS1_2;
}

int authmode(ClientAuth auth, bool names_required) {
  if (auth == ClientAuth::none) return MBEDTLS_SSL_VERIFY_NONE;
  // A certificate must be there to be checked for its names.
  if (names_required) return MBEDTLS_SSL_VERIFY_REQUIRED;
  switch (auth) {
    case ClientAuth::request:
    case ClientAuth::verify_if_given: return MBEDTLS_SSL_VERIFY_OPTIONAL;
    default: return MBEDTLS_SSL_VERIFY_REQUIRED;
  }
}

// The ids of a list the configuration gives, each one the TLS library has, 0-terminated as
// mbedTLS wants them; or what is wrong.
template <typename Id, typename Has, typename Name>
std::string supported(const std::vector<uint16_t> &ids, Has has, Name name, const char *key,
                      std::vector<Id> &out) {
  for (const uint16_t id : ids) {
    if (!has(id)) {
      return std::string(key) + ": " + std::string(name(id)) +
             " is not supported by this exporter's TLS library";
    }
    out.push_back(id);
  }
  return {};
}

std::string san_text(const mbedtls_x509_subject_alternative_name &san) {
  const mbedtls_x509_buf &b = san.san.unstructured_name;
  return {reinterpret_cast<const char *>(b.p), b.len};
}

// An allowed name that is an address, as the bytes a certificate holds it in; empty if none.
std::string address_bytes(const std::string &name) {
  std::array<unsigned char, 16> out{};
  if (inet_pton(AF_INET, name.c_str(), out.data()) == 1) return {out.begin(), out.begin() + 4};
  if (inet_pton(AF_INET6, name.c_str(), out.data()) == 1) return {out.begin(), out.end()};
  return {};
}

}  // namespace

TlsContext::TlsContext() {
  mbedtls_ssl_config_init(&conf_);
  mbedtls_entropy_init(&entropy_);
  mbedtls_ctr_drbg_init(&drbg_);
  mbedtls_x509_crt_init(&own_cert_);
  mbedtls_pk_init(&own_key_);
  mbedtls_x509_crt_init(&client_cas_);
}

TlsContext::~TlsContext() {
  mbedtls_x509_crt_free(&client_cas_);
  mbedtls_pk_free(&own_key_);
  mbedtls_x509_crt_free(&own_cert_);
  mbedtls_ctr_drbg_free(&drbg_);
  mbedtls_entropy_free(&entropy_);
  mbedtls_ssl_config_free(&conf_);
}

std::shared_ptr<TlsContext> TlsContext::build(const TlsServerConfig &config, const PemTexts &pems,
                                              std::string &error) {
  std::shared_ptr<TlsContext> context(new TlsContext);
  error = context->configure(config, pems);
  if (!error.empty()) return nullptr;
  return context;
}

std::string TlsContext::configure(const TlsServerConfig &config, const PemTexts &pems) {
  if (psa_crypto_init() != PSA_SUCCESS) return "the TLS library cannot start";
  static constexpr char kPersonalisation[] = "winperf-exporter";
  mbedtls_ssl_config &conf = conf_;
  int ret = mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_,
                                  reinterpret_cast<const unsigned char *>(kPersonalisation),
                                  sizeof kPersonalisation - 1);
  if (ret != 0) return "the system's random numbers cannot be had: " + mbedtls_reason(ret);
  ret = mbedtls_ssl_config_defaults(&conf, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT);
  if (ret != 0) return "TLS cannot be set up: " + mbedtls_reason(ret);
  mbedtls_ssl_conf_rng(&conf, mbedtls_ctr_drbg_random, &drbg_);

  if (std::string e = parse_certificates(own_cert_, pems.cert, "cert"); !e.empty()) return e;
  ret = mbedtls_pk_parse_key(&own_key_, bytes(pems.key), pems.key.size() + 1, nullptr, 0,
                             mbedtls_ctr_drbg_random, &drbg_);
  if (ret != 0) return "key: cannot be read (" + mbedtls_reason(ret) + ")";
  ret = mbedtls_pk_check_pair(&own_cert_.pk, &own_key_, mbedtls_ctr_drbg_random, &drbg_);
  if (ret != 0) return "key: does not match the certificate";
  ret = mbedtls_ssl_conf_own_cert(&conf, &own_cert_, &own_key_);
  if (ret != 0) return "cert: cannot be used (" + mbedtls_reason(ret) + ")";

  if (!pems.client_ca.empty()) {
    if (std::string e = parse_certificates(client_cas_, pems.client_ca, "client_ca"); !e.empty()) {
      return e;
    }
    mbedtls_ssl_conf_ca_chain(&conf, &client_cas_, nullptr);
  } else if (config.client_auth != ClientAuth::none) {
    // mbedTLS checks a client's certificate only against some CA, even where any certificate
    // will do (verify() says so): the server's own chain stands in, and is not named to clients.
    mbedtls_ssl_conf_ca_chain(&conf, &own_cert_, nullptr);
    mbedtls_ssl_conf_cert_req_ca_list(&conf, MBEDTLS_SSL_CERT_REQ_CA_LIST_DISABLED);
  }
  client_auth_ = config.client_auth;
  allowed_sans_ = config.client_allowed_sans;
  for (const std::string &name : allowed_sans_) allowed_addresses_.push_back(address_bytes(name));
  mbedtls_ssl_conf_authmode(&conf, authmode(client_auth_, !allowed_sans_.empty()));
  mbedtls_ssl_conf_verify(&conf, &TlsContext::verify, this);

  if (config.max_version < TlsVersion::tls12) {
    return "max_version: below TLS12, the oldest version this exporter serves";
  }
  mbedtls_ssl_conf_min_tls_version(&conf, protocol(config.min_version));
  mbedtls_ssl_conf_max_tls_version(&conf, protocol(config.max_version));

  if (!config.cipher_suites.empty()) {
    const auto has = [](uint16_t id) { return mbedtls_ssl_ciphersuite_from_id(id) != nullptr; };
    if (std::string e =
            supported(config.cipher_suites, has, cipher_suite_name, "cipher_suites", suites_);
        !e.empty()) {
      return e;
    }
    // TLS 1.3's own suites stay as they are, as in Go.
    for (const int *id = mbedtls_ssl_list_ciphersuites(); *id != 0; ++id) {
      if (*id >= 0x1301 && *id <= 0x1305) suites_.push_back(*id);
    }
    suites_.push_back(0);
    mbedtls_ssl_conf_ciphersuites(&conf, suites_.data());
  }
  if (!config.curves.empty()) {
    const auto has = [](uint16_t id) { return mbedtls_ecp_curve_info_from_tls_id(id) != nullptr; };
    if (std::string e = supported(config.curves, has, curve_name, "curve_preferences", groups_);
        !e.empty()) {
      return e;
    }
    groups_.push_back(0);
    mbedtls_ssl_conf_groups(&conf, groups_.data());
  }
  return {};
}

// Called for each certificate of the client's chain, the client's own last (depth 0).
int TlsContext::verify(void *self, mbedtls_x509_crt *cert, int depth, uint32_t *flags) {
  const auto &context = *static_cast<const TlsContext *>(self);
  switch (context.client_auth_) {
    case ClientAuth::request:
    case ClientAuth::require_any: *flags = 0; break;  // any certificate will do
    case ClientAuth::verify_if_given:
      // mbedTLS would carry on with a certificate that failed; the connection must not.
      if (*flags != 0) return MBEDTLS_ERR_X509_FATAL_ERROR;
      break;
    default: break;
  }
  if (depth == 0 && !context.allowed_sans_.empty() && !context.has_allowed_san(*cert)) {
    *flags |= MBEDTLS_X509_BADCERT_OTHER;
    return MBEDTLS_ERR_X509_FATAL_ERROR;
  }
  return 0;
}

// Names as Go's x509 holds them: DNS names, e-mail addresses, URIs and IP addresses.
bool TlsContext::has_allowed_san(const mbedtls_x509_crt &cert) const {
  for (const mbedtls_x509_sequence *cur = &cert.subject_alt_names; cur != nullptr && cur->buf.p;
       cur = cur->next) {
    mbedtls_x509_subject_alternative_name san{};
    if (mbedtls_x509_parse_subject_alt_name(&cur->buf, &san) != 0) continue;
    const bool textual = san.type == MBEDTLS_X509_SAN_DNS_NAME ||
                         san.type == MBEDTLS_X509_SAN_RFC822_NAME ||
                         san.type == MBEDTLS_X509_SAN_UNIFORM_RESOURCE_IDENTIFIER;
    const bool address = san.type == MBEDTLS_X509_SAN_IP_ADDRESS;
    const std::string value = textual || address ? san_text(san) : std::string();
    mbedtls_x509_free_subject_alt_name(&san);
    const std::vector<std::string> &allowed = textual ? allowed_sans_ : allowed_addresses_;
    if ((textual || address) && !value.empty() &&
        std::find(allowed.begin(), allowed.end(), value) != allowed.end()) {
      return true;
    }
  }
  return false;
}

}  // namespace exporter
