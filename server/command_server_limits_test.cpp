// The command server's own limits, in process with short settings: slow and idle connections
// are closed, connections beyond the cap are refused, and stopping ends the loop.
#include "server/command_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "raw_connection.h"

namespace {

using namespace std::chrono_literals;

const std::string kVersion = "GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// A server on an ephemeral loopback port, its loop on a thread of its own until the end.
class LimitsTest : public ::testing::Test {
 protected:
  void start(CommandServer::Settings settings) {
    server_ = std::make_unique<CommandServer>(settings);
    ASSERT_TRUE(server_->bind("127.0.0.1", 0));
    loop_ = std::thread([this] { server_->run(); });
  }
  void TearDown() override {
    if (!server_) return;
    server_->stop();
    loop_.join();
    server_.reset();
  }
  int port() const { return server_->port(); }
  // Whether a new connection's /version is answered.
  bool answersANewClient() {
    RawConnection c(port());
    return c.send(kVersion) && c.answers(1, 5).size() == 1;
  }

  std::unique_ptr<CommandServer> server_;
  std::thread loop_;
};

TEST_F(LimitsTest, SlowHeadersAndIdleConnectionsAreClosedWhileOthersAreServed) {
  CommandServer::Settings settings;
  settings.headerTimeout = 300ms;
  settings.idleTimeout = 300ms;
  start(settings);
  RawConnection slow(port());
  ASSERT_TRUE(slow.send("GET /vers"));
  RawConnection idle(port());
  ASSERT_TRUE(idle.send(kVersion));
  ASSERT_EQ(idle.answers(1).size(), 1u);
  RawConnection silent(port());
  EXPECT_TRUE(answersANewClient());
  EXPECT_TRUE(slow.closedByServer(5));
  EXPECT_TRUE(idle.closedByServer(5));
  EXPECT_TRUE(silent.closedByServer(5));
  EXPECT_TRUE(answersANewClient());
}

TEST_F(LimitsTest, AConnectionBeyondTheCapIsClosedAndItsPlaceIsFreedOnClose) {
  CommandServer::Settings settings;
  settings.maxConnections = 2;
  start(settings);
  auto first = std::make_unique<RawConnection>(port());
  RawConnection second(port());
  for (RawConnection* c : {first.get(), &second}) {
    ASSERT_TRUE(c->send(kVersion));
    ASSERT_EQ(c->answers(1).size(), 1u);
  }
  RawConnection third(port());
  third.send(kVersion);
  EXPECT_TRUE(third.answers(1, 1).empty());
  EXPECT_TRUE(third.closedByServer(5));
  first.reset();
  // The server counts the place free once it has read the close.
  bool answered = false;
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       !answered && std::chrono::steady_clock::now() < deadline;) {
    answered = answersANewClient();
  }
  EXPECT_TRUE(answered);
}

// A body that stops short of its Content-Length is answered once nothing more has come for the
// stall time; a slow one, each piece within that time, is read whole.
TEST_F(LimitsTest, ABodyThatStopsShortIsRefusedWhileASlowOneIsRead) {
  CommandServer::Settings settings;
  settings.bodyStallTimeout = 2s;
  start(settings);
  const std::string head =
      "POST /getLastErrorMessage HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\n";
  RawConnection cut(port());
  ASSERT_TRUE(cut.send(head + "{}"));
  RawConnection slow(port());
  ASSERT_TRUE(slow.send(head));
  for (char c : std::string("{}   ")) {
    EXPECT_TRUE(slow.answers(1, 0.5).empty());
    ASSERT_TRUE(slow.send(std::string(1, c)));
  }
  auto read = slow.answers(1);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(statusOf(read[0]), 200);
  auto refused = cut.answers(1);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(statusOf(refused[0]), 400);
  EXPECT_EQ(bodyOf(refused[0]), "Bad request: the body ended before its Content-Length");
  EXPECT_EQ(headerOf(refused[0], "Content-Type"), "text/plain");
  EXPECT_EQ(headerOf(refused[0], "Connection"), "close");
  EXPECT_TRUE(cut.closedByServer(5));
}

// A request that arrives in pieces waits for the rest; an answer larger than the socket takes
// at once is finished by the loop while the client reads it.
TEST_F(LimitsTest, RequestsInPiecesAndAnswersLargerThanTheSocketArriveWhole) {
  start({});
  const std::string message(4 << 20, 'm');
  const std::string body = R"({"code": -7, "message": ")" + message + R"("})";
  RawConnection c(port());
  for (const std::string& piece :
       {std::string("POST /setLastError HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-"),
        "Length: " + std::to_string(body.size()) + "\r\n\r\n", body.substr(0, 10)}) {
    ASSERT_TRUE(c.send(piece));
    EXPECT_TRUE(c.answers(1, 0.2).empty());
  }
  ASSERT_TRUE(c.send(body.substr(10)));
  auto set = c.answers(1);
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(bodyOf(set[0]),
            R"({"lastError":-7,"lastErrorMessage":")" + message + R"(","result":"0"})");
  const std::string get =
      "POST /getLastErrorMessage HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Length: 2\r\n\r\n{}";
  ASSERT_TRUE(c.send(get + get));
  // 16 MiB of answers wait for a client that does not read yet; the loop serves others.
  EXPECT_TRUE(answersANewClient());
  auto answers = c.answers(2);
  ASSERT_EQ(answers.size(), 2u);
  for (const std::string& answer : answers) {
    EXPECT_EQ(bodyOf(answer), R"({"lastError":-7,"lastErrorMessage":")" + message +
                                  R"(","result":")" + message + R"("})");
  }
}

TEST_F(LimitsTest, StopEndsTheLoopWithConnectionsStillOpen) {
  start({});
  std::vector<std::unique_ptr<RawConnection>> open;
  for (int i = 0; i < 10; ++i) open.push_back(std::make_unique<RawConnection>(port()));
  ASSERT_TRUE(answersANewClient());
  server_->stop();
  loop_.join();
  server_.reset();
  for (auto& c : open) EXPECT_TRUE(c->closedByServer(5));
}

}  // namespace
