// The exporter's HTTP side natively: a stop is never lost, whenever it comes and however often;
// paths are matched as they stand; HEAD, ranges and refused bodies answered as an exporter should.
#include "server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "scripted_platform.h"
#include "server_fixture.h"
#include "winperf_internal.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class ServerTest : public ServedLibrary {
 protected:
  std::unique_ptr<exporter::Server> make_server() {
    auto server =
        std::make_unique<exporter::Server>(scraper, options, stop, [](const std::string &) {});
    std::string error;
    EXPECT_TRUE(server->bind(error)) << error;
    return server;
  }
  static bool ends_within(std::future<bool> &served, std::chrono::milliseconds limit) {
    return served.wait_for(limit) == std::future_status::ready;
  }
};

TEST_F(ServerTest, AStopBeforeServingIsNotLost) {
  // Latched before the listener exists, between binding and serving: serve() must not start.
  auto server = make_server();
  stop.request();
  auto served = std::async(std::launch::async, [&] { return server->serve(); });
  const bool ended = ends_within(served, 2s);
  if (!ended) stop.request();  // the listener runs by now: let the test end
  EXPECT_TRUE(ended) << "still serving 2 s after a stop that came first";
  EXPECT_TRUE(served.get());
}

TEST_F(ServerTest, AStopAtAnyMomentOfTheStartEndsServing) {
  std::mt19937 random(17);
  for (int run = 0; run < 40; ++run) {
    exporter::StopLatch latch;
    exporter::Server server(scraper, options, latch, [](const std::string &) {});
    std::string error;
    ASSERT_TRUE(server.bind(error)) << error;
    const auto delay = std::chrono::microseconds(random() % 3000);
    auto served = std::async(std::launch::async, [&] { return server.serve(); });
    std::this_thread::sleep_for(delay);
    const auto asked = Clock::now();
    latch.request();
    const bool ended = ends_within(served, 2s);
    if (!ended) latch.request();  // the listener runs by now: let the test end
    EXPECT_TRUE(ended) << "run " << run << ": a stop " << delay.count()
                       << " us after serve() began was lost";
    EXPECT_LT(Clock::now() - asked, 1s) << "run " << run;
    served.get();
    options.port = free_port();
  }
}

TEST_F(ServerTest, ManyStopsAtOnceAndAfterTheServerIsGone) {
  {
    auto server = make_server();
    auto served = std::async(std::launch::async, [&] { return server->serve(); });
    std::this_thread::sleep_for(50ms);
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 8; ++i) {
      stoppers.emplace_back([&] {
        for (int j = 0; j < 100; ++j) stop.request();
      });
    }
    for (auto &t : stoppers) t.join();
    ASSERT_TRUE(ends_within(served, 2s));
  }
  // The server is destroyed: a late stop (a second Ctrl+C) must touch nothing of it.
  stop.request();
  EXPECT_TRUE(stop.requested());
}

TEST_F(ServerTest, SlowClientsDoNotHoldTheStop) {
  auto server = make_server();
  auto served = std::async(std::launch::async, [&] { return server->serve(); });
  std::this_thread::sleep_for(50ms);
  std::vector<int> clients;
  for (int i = 0; i < 4; ++i) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = loopback(options.port);
    ASSERT_EQ(::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    const char partial[] = "GET /metrics HTTP/1.1\r\nHost: x\r\n";  // never finished
    ASSERT_GT(::send(s, partial, sizeof partial - 1, 0), 0);
    clients.push_back(s);
  }
  std::this_thread::sleep_for(100ms);
  const auto asked = Clock::now();
  stop.request();
  ASSERT_TRUE(ends_within(served, 5s));
  EXPECT_LT(Clock::now() - asked, 1s) << "the stop waited for the slow clients";
  for (const auto s : clients) ::close(s);
}

// ---- What it answers ---------------------------------------------------------------------------

class Answers : public ServerTest {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    options.telemetry_path = "/stats+";
    server = make_server();
    served = std::async(std::launch::async, [&] { return server->serve(); });
    client = std::make_unique<httplib::Client>("127.0.0.1", options.port);
    client->set_read_timeout(5, 0);
  }
  void TearDown() override {
    stop.request();
    served.wait();
    ServerTest::TearDown();
  }
  std::unique_ptr<exporter::Server> server;
  std::future<bool> served;
  std::unique_ptr<httplib::Client> client;
};

TEST_F(Answers, PathsAreMatchedAsTheyStand) {
  const struct {
    const char *path;
    int status;
  } cases[] = {{"/stats+", 200}, {"/statss", 404},   {"/stats", 404},     {"/stats%2B", 200},
               {"/", 200},       {"/snapshot", 200}, {"/-/healthy", 200}, {"/metrics", 404}};
  for (const auto &c : cases) {
    const auto res = client->Get(c.path);
    ASSERT_TRUE(res) << c.path;
    EXPECT_EQ(res->status, c.status) << c.path;
  }
}

TEST_F(Answers, HeadIsGetWithoutTheBodyAndRangesAreIgnored) {
  const auto get = client->Get("/-/healthy");
  const auto head = client->Head("/-/healthy");
  ASSERT_TRUE(get && head);
  EXPECT_EQ(head->headers, get->headers);
  EXPECT_EQ(head->get_header_value("Content-Length"), "8");
  EXPECT_TRUE(head->body.empty());
  EXPECT_FALSE(head->has_header("Accept-Ranges"));
  EXPECT_EQ(get->get_header_value_count("Vary"), 1u);
  for (const char *range : {"bytes=0-3", "bytes=-2", "bytes=0-1,3-4", "bytes=x"}) {
    const auto res = client->Get("/-/healthy", {{"Range", range}});
    ASSERT_TRUE(res) << range;
    EXPECT_EQ(res->status, 200) << range;
    EXPECT_EQ(res->body, "Healthy\n") << range;
    EXPECT_FALSE(res->has_header("Content-Range")) << range;
  }
}

TEST_F(Answers, BeforeAGoodCollectionOnlyTheExportersOwn) {
  script().collect_result = -1;
  const auto metrics = client->Get("/stats+");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
  EXPECT_EQ(metrics->body.find("winperf_memory"), std::string::npos) << metrics->body;
  EXPECT_NE(metrics->body.find("winperf_exporter_collect_success 0"), std::string::npos);
  const auto snapshot = client->Get("/snapshot");
  ASSERT_TRUE(snapshot);
  EXPECT_EQ(snapshot->status, 503);
  EXPECT_EQ(snapshot->body, "503 no collection has succeeded yet\n");
}

}  // namespace
