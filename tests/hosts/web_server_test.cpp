// The exporter over TLS with a web configuration, natively against an mbedTLS client: passwords
// on every path, client certificates in each of the policies, and a file that changes while it
// serves (rotated certificates, a mistake, its mend).
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "server.h"
#include "server_fixture.h"
#include "test_certs.h"
#include "web_settings.h"

namespace {

// "secret", cost 4.
constexpr char kAlice[] = "alice: $2b$04$vYHc1WaUGI4iXj8ZE3uJd.3pLdY475HNQ/I/tlqqNdGnvvJdN0xGa\n";

bool read_text(const std::string &path, std::string &content, std::string &reason) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    reason = "No such file";
    return false;
  }
  content.assign(std::istreambuf_iterator<char>(in), {});
  return true;
}

class WebServer : public ServedLibrary {
 protected:
  static void SetUpTestSuite() { certs = new TestCerts; }
  static void TearDownTestSuite() { delete certs; }

  void TearDown() override {
    if (server) {
      stop.request();
      served.wait();
    }
    ServedLibrary::TearDown();
  }

  void write_config(const std::string &text) {
    std::ofstream(certs->path("web.yml"), std::ios::binary | std::ios::trunc) << text;
  }
  // Files of the certificate folder under the names the configuration uses.
  void install(const std::string &cert, const std::string &key) {
    for (const auto &[from, to] : {std::pair{cert, "served.crt"}, std::pair{key, "served.key"}}) {
      std::ofstream(certs->path(to), std::ios::binary | std::ios::trunc) << certs->read(from);
    }
  }

  void serve(const std::string &config) {
    write_config(config);
    web = std::make_unique<exporter::WebSettings>(
        certs->path("web.yml"), read_text, [this](bool failing, const std::string &line) {
          const std::lock_guard<std::mutex> lock(log_mutex);
          log.push_back((failing ? "error: " : "info: ") + line);
        });
    std::string error;
    ASSERT_TRUE(web->load(error)) << error;
    server = std::make_unique<exporter::Server>(
        scraper, options, stop, [](const std::string &) {}, web.get());
    ASSERT_TRUE(server->bind(error)) << error;
    served = std::async(std::launch::async, [&] { return server->serve(); });
  }

  // A new connection for every request, as the file is read again for each. By name: the
  // client verifies an address's certificate only loosely.
  httplib::Result get(const std::string &path, const std::string &ca = "ca.crt",
                      const std::string &client = "", const httplib::Headers &headers = {}) {
    auto cli = client.empty() ? std::make_unique<httplib::SSLClient>("localhost", options.port)
                              : std::make_unique<httplib::SSLClient>("localhost", options.port,
                                                                     certs->path(client + ".crt"),
                                                                     certs->path(client + ".key"));
    cli->set_ca_cert_path(certs->path(ca));
    cli->enable_server_certificate_verification(true);
    cli->set_read_timeout(5, 0);
    cli->set_connection_timeout(5, 0);
    return cli->Get(path, headers);
  }

  std::vector<std::string> log_lines() {
    const std::lock_guard<std::mutex> lock(log_mutex);
    return log;
  }

  static std::string tls_config(const std::string &extra = "") {
    return "tls_server_config:\n  cert_file: served.crt\n  key_file: served.key\n" + extra;
  }

  static TestCerts *certs;
  std::unique_ptr<exporter::WebSettings> web;
  std::unique_ptr<exporter::Server> server;
  std::future<bool> served;
  std::mutex log_mutex;
  std::vector<std::string> log;
};
TestCerts *WebServer::certs = nullptr;

TEST_F(WebServer, PasswordsOnEveryPathAndTheHeadersOnEveryAnswer) {
  install("server-rsa.crt", "server-rsa.key");
  serve(tls_config() +
        "http_server_config:\n  headers:\n    X-Content-Type-Options: nosniff\n"
        "    Content-Security-Policy: default-src 'self'\nbasic_auth_users:\n  " +
        kAlice);
  const httplib::Headers good{httplib::make_basic_authentication_header("alice", "secret")};
  for (const char *path : {"/", "/metrics", "/snapshot", "/-/healthy", "/nothing"}) {
    const auto ok = get(path, "ca.crt", "", good);
    ASSERT_TRUE(ok) << path << ": " << httplib::to_string(ok.error());
    EXPECT_EQ(ok->status, std::string(path) == "/nothing" ? 404 : 200) << path;
    EXPECT_EQ(ok->get_header_value("X-Content-Type-Options"), "nosniff") << path;
    for (const httplib::Headers &bad :
         {httplib::Headers{},
          httplib::Headers{httplib::make_basic_authentication_header("alice", "wrong")},
          httplib::Headers{httplib::make_basic_authentication_header("mallory", "secret")},
          httplib::Headers{{"Authorization", "Bearer secret"}}}) {
      const auto refused = get(path, "ca.crt", "", bad);
      ASSERT_TRUE(refused) << path;
      EXPECT_EQ(refused->status, 401) << path;
      EXPECT_EQ(refused->get_header_value("WWW-Authenticate"), "Basic") << path;
      EXPECT_EQ(refused->get_header_value("Content-Security-Policy"), "default-src 'self'");
      EXPECT_EQ(refused->body.find("winperf_"), std::string::npos) << path;
    }
  }
}

TEST_F(WebServer, ClientCertificatesInEachPolicy) {
  install("server-ec.crt", "server-ec.key");
  const struct {
    const char *policy;
    bool none, good, stranger, expired;
  } cases[] = {
      {"RequestClientCert", true, true, true, true},
      {"RequireAnyClientCert", false, true, true, true},
      {"VerifyClientCertIfGiven", true, true, false, false},
      {"RequireAndVerifyClientCert", false, true, false, false},
  };
  serve(tls_config());
  for (const auto &c : cases) {
    // The file is read again for the next connection: each policy takes effect without a restart.
    write_config(tls_config(std::string("  client_auth_type: ") + c.policy +
                            "\n  client_ca_file: ca.crt\n"));
    const struct {
      const char *client;
      bool served;
    } clients[] = {
        {"", c.none}, {"client", c.good}, {"stranger", c.stranger}, {"expired", c.expired}};
    for (const auto &client : clients) {
      const auto res = get("/-/healthy", "ca.crt", client.client);
      EXPECT_EQ(static_cast<bool>(res), client.served)
          << c.policy << " with the client certificate '" << client.client << "'";
      if (res) {
        EXPECT_EQ(res->status, 200);
      }
    }
  }
}

TEST_F(WebServer, OnlyTheAllowedNamesGetThrough) {
  install("server-ec.crt", "server-ec.key");
  serve(
      tls_config("  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca.crt\n"
                 "  client_allowed_sans: [nobody.example, 10.0.0.7]\n"));
  EXPECT_TRUE(get("/-/healthy", "ca.crt", "client")) << "the client's IP address name is allowed";
  EXPECT_FALSE(get("/-/healthy", "ca.crt", "intruder"));
  EXPECT_FALSE(get("/-/healthy", "ca.crt", ""));
  // Asked for, not verified: the names still decide, and a certificate must be there for them.
  write_config(
      tls_config("  client_auth_type: RequestClientCert\n"
                 "  client_allowed_sans: [prometheus.example]\n"));
  EXPECT_TRUE(get("/-/healthy", "ca.crt", "stranger"));
  EXPECT_FALSE(get("/-/healthy", "ca.crt", "intruder"));
  EXPECT_FALSE(get("/-/healthy", "ca.crt", ""));
}

TEST_F(WebServer, RotatedCertificatesAMistakeAndItsMend) {
  install("server-ec.crt", "server-ec.key");
  serve(tls_config() + "basic_auth_users:\n  " + kAlice);
  const httplib::Headers good{httplib::make_basic_authentication_header("alice", "secret")};
  ASSERT_TRUE(get("/-/healthy", "ca.crt", "", good));

  install("server-other.crt", "server-other.key");
  EXPECT_FALSE(get("/-/healthy", "ca.crt", "", good)) << "the old certificate is still served";
  const auto rotated = get("/-/healthy", "other-ca.crt", "", good);
  ASSERT_TRUE(rotated);
  EXPECT_EQ(rotated->status, 200);

  // A mistake: handshakes go on with the last good settings, requests get 500, the log one line.
  write_config(tls_config() + "basic_auth_users:\n  alice: not-a-hash\n");
  for (int i = 0; i < 3; ++i) {
    const auto res = get("/metrics", "other-ca.crt", "", good);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 500);
    EXPECT_EQ(res->body.find("winperf_"), std::string::npos);
  }
  // A key that does not match the certificate is a mistake of the same kind.
  write_config(tls_config() + "basic_auth_users:\n  " + kAlice);
  std::ofstream(certs->path("served.key"), std::ios::trunc) << certs->read("wrong.key");
  const auto mismatched = get("/metrics", "other-ca.crt", "", good);
  ASSERT_TRUE(mismatched);
  EXPECT_EQ(mismatched->status, 500);

  install("server-ec.crt", "server-ec.key");
  const auto mended = get("/metrics", "ca.crt", "", good);
  ASSERT_TRUE(mended);
  EXPECT_EQ(mended->status, 200);
  const std::vector<std::string> lines = log_lines();
  ASSERT_EQ(lines.size(), 4u) << "one line for each change of the files";
  EXPECT_EQ(lines[0].rfind("info: ", 0), 0u) << lines[0];
  EXPECT_NE(lines[1].find("basic_auth_users.alice: not a bcrypt hash"), std::string::npos)
      << lines[1];
  EXPECT_NE(lines[2].find("key: does not match the certificate"), std::string::npos) << lines[2];
  EXPECT_NE(lines[3].find("read again"), std::string::npos) << lines[3];
}

TEST_F(WebServer, TlsCannotBeTurnedOffWhileServing) {
  install("server-ec.crt", "server-ec.key");
  serve(tls_config());
  write_config("basic_auth_users:\n  " + std::string(kAlice));
  const auto res = get("/-/healthy");
  ASSERT_TRUE(res) << "the last good TLS settings still take the handshake";
  EXPECT_EQ(res->status, 500);
  EXPECT_NE(log_lines().back().find("TLS cannot be turned off without a restart"),
            std::string::npos);
}

}  // namespace
