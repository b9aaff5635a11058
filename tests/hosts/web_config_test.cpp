// The web configuration: its YAML read strictly, bcrypt against published vectors and against
// an independent implementation (Python's bcrypt), the password checks, and the TLS settings
// built from real certificates.
#include "web_config.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "basic_auth.h"
#include "test_certs.h"
#include "tls_context.h"

namespace {

using exporter::ClientAuth;
using exporter::TlsVersion;
using exporter::WebConfig;

constexpr char kHash[] = "$2y$04$sYJ7XNb6e6i2ZohdIpxAauJskAh4e1foZ7Iee5.pzWwWAAPPnof/m";

TEST(WebConfig, ReadsEveryKeyOfTheFormat) {
  const std::string text = std::string(R"(
tls_server_config:
  cert_file: server.crt
  key_file: /etc/keys/server.key
  client_auth_type: RequireAndVerifyClientCert
  client_ca_file: 'C:\ca\clients.pem'
  min_version: TLS13
  max_version: TLS13
  cipher_suites: [TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256, TLS_AES_128_GCM_SHA256,
                  TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305]
  prefer_server_cipher_suites: false
  curve_preferences: [X25519, CurveP256]
  client_allowed_sans: [prometheus.example, 10.0.0.7]
http_server_config:
  http2: true
  headers:
    x-frame-options: SAMEORIGIN
    Strict-Transport-Security: max-age=31536000
basic_auth_users:
  alice: )") + kHash +
                           "\n  bob.smith: " + kHash + "\n";
  WebConfig c;
  std::string error;
  ASSERT_TRUE(exporter::parse_web_config(text, "/srv/web/", c, error)) << error;
  ASSERT_TRUE(c.tls);
  EXPECT_EQ(c.tls->cert.file, "/srv/web/server.crt");
  EXPECT_EQ(c.tls->key.file, "/etc/keys/server.key");
  EXPECT_EQ(c.tls->client_ca.file, "C:\\ca\\clients.pem");
  EXPECT_EQ(c.tls->client_auth, ClientAuth::require_and_verify);
  EXPECT_EQ(c.tls->min_version, TlsVersion::tls13);
  EXPECT_EQ(c.tls->cipher_suites, (std::vector<uint16_t>{0xc02f, 0xcca9}));
  EXPECT_EQ(c.tls->curves, (std::vector<uint16_t>{29, 23}));
  EXPECT_EQ(c.tls->client_allowed_sans,
            (std::vector<std::string>{"prometheus.example", "10.0.0.7"}));
  EXPECT_EQ(c.headers, (std::vector<std::pair<std::string, std::string>>{
                           {"X-Frame-Options", "SAMEORIGIN"},
                           {"Strict-Transport-Security", "max-age=31536000"}}));
  EXPECT_EQ(c.users.size(), 2u);
  EXPECT_EQ(c.users.at("bob.smith"), kHash);
}

TEST(WebConfig, WithoutCertificatesItIsPlainHttp) {
  for (const char *text : {"", "basic_auth_users:\n", "tls_server_config:\nhttp_server_config:\n",
                           "http_server_config:\n  headers:\n"}) {
    WebConfig c;
    std::string error;
    EXPECT_TRUE(exporter::parse_web_config(text, "", c, error)) << text << ": " << error;
    EXPECT_FALSE(c.tls) << text;
  }
}

TEST(WebConfig, InlinePemAndDefaults) {
  WebConfig c;
  std::string error;
  ASSERT_TRUE(exporter::parse_web_config(
      "tls_server_config:\n  cert: |\n    -----BEGIN CERTIFICATE-----\n    x\n"
      "  key_file: k.pem\n",
      "dir/", c, error))
      << error;
  EXPECT_EQ(c.tls->cert.text, "-----BEGIN CERTIFICATE-----\nx\n");
  EXPECT_EQ(c.tls->key.file, "dir/k.pem");
  EXPECT_EQ(c.tls->client_auth, ClientAuth::none);
  EXPECT_EQ(c.tls->min_version, TlsVersion::tls12);
  EXPECT_EQ(c.tls->max_version, TlsVersion::tls13);
}

TEST(WebConfig, RefusesWhatExporterToolkitRefuses) {
  const std::string tls = "tls_server_config:\n  cert_file: c\n  key_file: k\n";
  const struct {
    std::string text;
    const char *error;
  } cases[] = {
      {"tls_server_confg:\n  cert_file: c\n", "line 2: tls_server_confg: unknown key"},
      {tls + "  ciphers: [x]\n", "line 4: tls_server_config.ciphers: unknown key"},
      {"tls_server_config:\n  key_file: k\n", "missing cert_file or cert"},
      {"tls_server_config:\n  cert_file: c\n", "missing key_file or key"},
      {"tls_server_config:\n  min_version: TLS12\n", "missing cert_file or cert"},
      {tls + "  cert: x\n", "line 4: tls_server_config.cert: cannot be given with cert_file"},
      {tls + "  client_auth_type: RequireClientCert\n", "expected one of NoClientCert, "},
      {tls + "  client_ca_file: ca\n", "client CAs are configured without a client_auth_type"},
      {tls + "  client_auth_type: RequireAndVerifyClientCert\n",
       "needs client_ca_file or client_ca"},
      {tls + "  client_auth_type: VerifyClientCertIfGiven\n", "needs client_ca_file or client_ca"},
      {tls + "  client_allowed_sans: [a]\n", "client_allowed_sans needs a client_auth_type"},
      {tls + "  min_version: TLS14\n", "expected one of TLS10, TLS11, TLS12, TLS13"},
      {tls + "  min_version: TLS13\n  max_version: TLS12\n", "min_version is above max_version"},
      {tls + "  cipher_suites: [TLS_RSA_WITH_NULL_SHA]\n",
       "unknown cipher suite TLS_RSA_WITH_NULL_SHA"},
      {tls + "  curve_preferences: [P256]\n", "unknown curve P256"},
      {tls + "  prefer_server_cipher_suites: maybe\n", "expected true or false"},
      {tls + "  cert_file: d\n", "duplicate key"},
      {"http_server_config:\n  headers:\n    Server: x\n", "this header cannot be set"},
      {"http_server_config:\n  headers:\n    X-Frame-Options: allow\n", "expected deny or"},
      {"http_server_config:\n  headers:\n    X-Content-Type-Options: sniff\n", "expected nosniff"},
      {"http_server_config:\n  headers:\n    X-XSS-Protection: \"1\\r\\nSet-Cookie: a\"\n",
       "expected one line of text"},
      {"http_server_config:\n  http3: true\n", "http_server_config.http3: unknown key"},
      {"basic_auth_users:\n  alice: secret\n", "line 2: basic_auth_users.alice: not a bcrypt"},
      {"basic_auth_users:\n  alice: [a]\n", "expected a bcrypt hash"},
      {"basic_auth_users:\n  alice:\n    b: c\n", "basic_auth_users.alice: unknown key"},
      {"http_server_config:\n  headers:\n    X-Frame-Options:\n      a: b\n",
       "http_server_config.headers.X-Frame-Options: unknown key"},
      {"basic_auth_users: [alice]\n", "unknown key"},
      {"tls_server_config: [\n", "invalid YAML"},
  };
  for (const auto &c : cases) {
    WebConfig config;
    std::string error;
    EXPECT_FALSE(exporter::parse_web_config(c.text, "", config, error)) << c.text;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.text << "\ngave: " << error;
  }
}

TEST(WebConfig, BcryptHashForms) {
  const struct {
    std::string hash;
    bool valid;
  } cases[] = {
      {kHash, true},
      {"$2a$10$KBEj3TQWAhEK9eiQ1NOl6..yza4/w7zREUEoVe66CBf6FreWZPCui", true},
      {"$2b$31$KBEj3TQWAhEK9eiQ1NOl6..yza4/w7zREUEoVe66CBf6FreWZPCui", true},
      {"$2x$10$KBEj3TQWAhEK9eiQ1NOl6..yza4/w7zREUEoVe66CBf6FreWZPCui", false},  // the buggy kind
      {"$2b$03$KBEj3TQWAhEK9eiQ1NOl6..yza4/w7zREUEoVe66CBf6FreWZPCui", false},
      {"$2b$32$KBEj3TQWAhEK9eiQ1NOl6..yza4/w7zREUEoVe66CBf6FreWZPCui", false},
      {"$2b$10$KBEj3TQWAhEK9eiQ1NOl6..yza4/w7zREUEoVe66CBf6FreWZPCu", false},
      {"$2b$10$KBEj3TQWAhEK9eiQ1NOl6..yza4/w7zREUEoVe66CBf6FreWZPCu!", false},
      {"$1$salt$hash", false},
  };
  for (const auto &c : cases) EXPECT_EQ(exporter::is_bcrypt_hash(c.hash), c.valid) << c.hash;
}

// ---- bcrypt ------------------------------------------------------------------------------------

TEST(Bcrypt, PublishedVectors) {
  // crypt_blowfish's and OpenBSD's test vectors, $2y$ and $2b$ alike for 8-bit passwords.
  const struct {
    const char *password;
    const char *hash;
  } vectors[] = {
      {"U*U", "$2a$05$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW"},
      {"U*U*", "$2a$05$CCCCCCCCCCCCCCCCCCCCC.VGOzA784oUp/Z0DY336zx7pLYAy0lwK"},
      {"U*U*U", "$2a$05$XXXXXXXXXXXXXXXXXXXXXOAcXxm9kjPGEMsLznoKqmqw7tc8WCx4a"},
      {"", "$2a$05$CCCCCCCCCCCCCCCCCCCCC.7uG0VCzI2bS7j6ymqJi9CdcdxiRTWNy"},
      {"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789chars after 72 are "
       "ignored",
       "$2a$05$abcdefghijklmnopqrstuu5s2v8.iXieOjg/.AySBTTZIIVFJeBui"},
      {"\xff\xff\xa3", "$2y$05$/OK.fbVrR/bpIqNJ5ianF.CE5elHaaO4EbggVDjb8P19RukzXSM3e"},
      {"\xff\xff\xa3", "$2b$05$/OK.fbVrR/bpIqNJ5ianF.CE5elHaaO4EbggVDjb8P19RukzXSM3e"},
      {"\xff\xff\xa3", "$2a$05$/OK.fbVrR/bpIqNJ5ianF.nqd1wy.pTMdcvrRWxyiGL2eMz.2a85."},
  };
  for (const auto &v : vectors) {
    EXPECT_TRUE(exporter::bcrypt_matches(v.password, v.hash)) << v.hash;
    EXPECT_FALSE(exporter::bcrypt_matches(std::string("!") + v.password, v.hash)) << v.hash;
  }
  EXPECT_FALSE(exporter::bcrypt_matches(
      "U*U", "$2x$05$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOe"));
  EXPECT_FALSE(exporter::bcrypt_matches(
      std::string("U*U\0x", 5), "$2a$05$CCCCCCCCCCCCCCCCCCCCC.E5YPO9kmyuRGyh0XouQYb4YMJKvyOeW"))
      << "a password with a NUL must not match the part before it";
}

// Hashes made by Python's bcrypt (Debian's python3-bcrypt), an implementation of its own.
TEST(Bcrypt, AgreesWithPythonsBcrypt) {
  const char *script =
      "import bcrypt, os\n"
      "for i, prefix in enumerate([b'2a', b'2b'] * 6):\n"
      "    pw = os.urandom(i * 6).hex().encode()[: i * 6] + 'é€'.encode() * (i % 3)\n"
      "    print('=' + pw.hex(), bcrypt.hashpw(pw, bcrypt.gensalt(4 + i % 3, prefix)).decode())\n";
  const std::string command =
      "/usr/bin/python3 -c \"$(cat <<'EOF'\n" + std::string(script) + "EOF\n)\"";
  std::unique_ptr<FILE, int (*)(FILE *)> out(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(out);
  std::string text;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, out.get()) != nullptr) text += buffer;
  std::istringstream lines(text);
  std::string hex, hash;
  int checked = 0;
  while (lines >> hex >> hash) {
    std::string password;  // hex after a '=', which the empty password has too
    for (size_t i = 1; i + 1 < hex.size(); i += 2) {
      password += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    EXPECT_TRUE(exporter::bcrypt_matches(password, hash)) << hash;
    EXPECT_FALSE(exporter::bcrypt_matches("x" + password, hash)) << hash;
    ++checked;
  }
  EXPECT_EQ(checked, 12) << "python3-bcrypt (scripts/install-deps.sh installs it) printed:\n"
                         << text;
}

TEST(BasicAuth, AuthorizationHeaders) {
  const struct {
    const char *header;
    bool ok;
    const char *user, *password;
  } cases[] = {
      {"Basic YWxpY2U6czNjcmV0", true, "alice", "s3cret"},
      {"basic  YWxpY2U6YTpi", true, "alice", "a:b"},  // the first colon ends the user
      {"Basic OnB3", true, "", "pw"},
      {"Basic YWxpY2U=", false, "", ""},  // no colon
      {"Basic !!!", false, "", ""},
      {"Basic ", false, "", ""},
      {"Bearer YWxpY2U6czNjcmV0", false, "", ""},
      {"", false, "", ""},
  };
  for (const auto &c : cases) {
    std::string user, password;
    EXPECT_EQ(exporter::parse_basic_authorization(c.header, user, password), c.ok) << c.header;
    if (c.ok) {
      EXPECT_EQ(user, c.user) << c.header;
      EXPECT_EQ(password, c.password) << c.header;
    }
  }
}

TEST(BasicAuth, VerdictsAreRightAndRemembered) {
  // "secret" at cost 10: long enough to tell a bcrypt from a remembered verdict.
  const std::map<std::string, std::string> users{
      {"alice", "$2b$10$KhkpjkzA5PJ4r3dl4KenQ.jmH7wrSswCaPqdFJ6zMDyCIxw1QqvNS"}};
  exporter::PasswordCheck check;
  using Verdict = exporter::PasswordCheck::Verdict;
  const auto timed = [&](const std::string &user, const std::string &password, Verdict &v) {
    const auto start = std::chrono::steady_clock::now();
    v = check.check(users, user, password);
    return std::chrono::steady_clock::now() - start;
  };
  Verdict v;
  const auto first = timed("alice", "secret", v);
  EXPECT_EQ(v, Verdict::accepted);
  const auto again = timed("alice", "secret", v);
  EXPECT_EQ(v, Verdict::accepted);
  EXPECT_LT(again * 20, first) << "the second check of one password was not remembered";
  EXPECT_EQ(check.check(users, "alice", "Secret"), Verdict::refused);
  EXPECT_EQ(check.check(users, "alice", "secret "), Verdict::refused);
  // An unknown user costs a bcrypt too, and is refused whatever the password.
  const auto unknown = timed("mallory", "secret", v);
  EXPECT_EQ(v, Verdict::refused);
  EXPECT_GT(unknown * 5, first) << "an unknown user was answered faster than a known one";
  // A changed hash (now of "other") is a new check: the old verdict does not carry over.
  const std::map<std::string, std::string> changed{
      {"alice", "$2b$04$6a.XcdJKp5hD4c6w/ZdJUuz1ypisIj8WMiDW3bj4mk6sAhOGzQXZG"}};
  EXPECT_EQ(check.check(changed, "alice", "secret"), Verdict::refused);
}

// ---- TLS settings from real certificates ------------------------------------------------------

class TlsSettings : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { certs = new TestCerts; }
  static void TearDownTestSuite() { delete certs; }

  static exporter::TlsServerConfig config(ClientAuth auth = ClientAuth::none) {
    exporter::TlsServerConfig c;
    c.client_auth = auth;
    return c;
  }
  static exporter::PemTexts pems(const char *cert, const char *key, const char *ca = nullptr) {
    return {certs->read(cert), certs->read(key), ca ? certs->read(ca) : std::string()};
  }
  static TestCerts *certs;
};
TestCerts *TlsSettings::certs = nullptr;

TEST_F(TlsSettings, RsaAndEcdsaServerKeys) {
  std::string error;
  EXPECT_TRUE(
      exporter::TlsContext::build(config(), pems("server-rsa.crt", "server-rsa.key"), error))
      << error;
  EXPECT_TRUE(exporter::TlsContext::build(config(), pems("server-ec.crt", "server-ec.key"), error))
      << error;
  EXPECT_TRUE(exporter::TlsContext::build(config(ClientAuth::require_and_verify),
                                          pems("server-ec.crt", "server-ec.key", "ca.crt"), error))
      << error;
}

TEST_F(TlsSettings, WhatCannotBeUsedIsSaid) {
  exporter::TlsServerConfig old = config();
  old.max_version = TlsVersion::tls11;
  exporter::TlsServerConfig rc4 = config();
  rc4.cipher_suites = {0x0005};
  exporter::TlsServerConfig mlkem = config();
  mlkem.curves = {4588};
  const std::string garbage =
      "-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydA==\n-----END CERTIFICATE-----\n";
  const struct {
    exporter::TlsServerConfig config;
    exporter::PemTexts pems;
    const char *error;
  } cases[] = {
      {config(), pems("server-ec.crt", "wrong.key"), "key: does not match the certificate"},
      {config(), pems("server-rsa.crt", "server-ec.key"), "key: does not match the certificate"},
      {config(), pems("server-ec.key", "server-ec.key"), "cert: no certificate in it"},
      {config(), {garbage, certs->read("server-ec.key"), ""}, "cert: no certificate in it"},
      {config(), pems("server-ec.crt", "server-ec.crt"), "key: cannot be read"},
      {config(ClientAuth::require_and_verify), pems("server-ec.crt", "server-ec.key", "wrong.key"),
       "client_ca: no certificate in it"},
      {old, pems("server-ec.crt", "server-ec.key"), "max_version: below TLS12"},
      {rc4, pems("server-ec.crt", "server-ec.key"),
       "TLS_RSA_WITH_RC4_128_SHA is not supported by this exporter's TLS library"},
      {mlkem, pems("server-ec.crt", "server-ec.key"),
       "X25519MLKEM768 is not supported by this exporter's TLS library"},
  };
  for (const auto &c : cases) {
    std::string error;
    EXPECT_FALSE(exporter::TlsContext::build(c.config, c.pems, error)) << c.error;
    EXPECT_NE(error.find(c.error), std::string::npos)
        << "expected " << c.error << ", got " << error;
  }
}

}  // namespace
