// The command server's own limits, in process with short settings: slow and idle connections
// are closed, connections beyond the cap or the descriptors' reserve are refused, and stopping
// ends the loop.
#include "server/command_server.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "tools/helper_client.h"

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
    tool::HelperClient c(port());
    return c.send(kVersion) && c.nextAnswer(5).status == 200;
  }

  std::unique_ptr<CommandServer> server_;
  std::thread loop_;
};

TEST_F(LimitsTest, SlowHeadersAndIdleConnectionsAreClosedWhileOthersAreServed) {
  start({.headerTimeout = 300ms, .idleTimeout = 300ms});
  tool::HelperClient slow(port());
  ASSERT_TRUE(slow.send("GET /vers"));
  tool::HelperClient idle(port());
  ASSERT_TRUE(idle.send(kVersion));
  ASSERT_EQ(idle.nextAnswer().status, 200);
  tool::HelperClient silent(port());
  ASSERT_TRUE(silent.send(""));
  EXPECT_TRUE(answersANewClient());
  EXPECT_TRUE(slow.closedByServer(5));
  EXPECT_TRUE(idle.closedByServer(5));
  EXPECT_TRUE(silent.closedByServer(5));
  EXPECT_TRUE(answersANewClient());
}

TEST_F(LimitsTest, AConnectionBeyondTheCapIsClosedAndItsPlaceIsFreedOnClose) {
  start({.maxConnections = 2});
  auto first = std::make_unique<tool::HelperClient>(port());
  tool::HelperClient second(port());
  for (tool::HelperClient* c : {first.get(), &second}) {
    ASSERT_TRUE(c->send(kVersion));
    ASSERT_EQ(c->nextAnswer().status, 200);
  }
  tool::HelperClient third(port());
  third.send(kVersion);
  EXPECT_EQ(third.nextAnswer(1).status, 0);
  EXPECT_TRUE(third.closedByServer(5));
  first.reset();
  // The server counts the place free once it has read the close.
  EXPECT_TRUE(eventually([&] { return answersANewClient(); }));
}

// A body that stops short of its Content-Length is answered once nothing more has come for the
// stall time; a slow one, each piece within that time, is read whole; one that trickles on for
// longer than the body time is cut off.
TEST_F(LimitsTest, ABodyThatStopsShortIsRefusedWhileASlowOneIsRead) {
  start({.headerTimeout = 60s, .bodyTimeout = 10s, .bodyStallTimeout = 2s, .idleTimeout = 60s});
  const std::string head =
      "POST /getLastErrorMessage HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\n";
  tool::HelperClient cut(port());
  ASSERT_TRUE(cut.send(head + "{}"));
  tool::HelperClient slow(port());
  ASSERT_TRUE(slow.send(head));
  for (char c : std::string("{}   ")) {
    EXPECT_EQ(slow.nextAnswer(0.5).status, 0);
    ASSERT_TRUE(slow.send(std::string(1, c)));
  }
  EXPECT_EQ(slow.nextAnswer().status, 200);
  auto refused = cut.nextAnswer();
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.body, "Bad request: the body ended before its Content-Length");
  EXPECT_EQ(refused.header("Content-Type"), "text/plain");
  EXPECT_EQ(refused.header("Connection"), "close");
  EXPECT_TRUE(cut.closedByServer(5));

  tool::HelperClient trickle(port());
  ASSERT_TRUE(
      trickle.send("POST /getLastErrorMessage HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   "Content-Length: 1000\r\n\r\n"));
  bool closed = false;
  for (int piece = 0; piece < 80 && !closed; ++piece) {
    trickle.send(" ");
    closed = trickle.closedByServer(0.5);
  }
  EXPECT_TRUE(closed);
}

// Files held open until the end of the test, then closed.
struct HeldFiles {
  ~HeldFiles() { release(fds.size()); }
  // Opens files until the descriptors run out; returns how many it opened.
  size_t openAll() {
    size_t before = fds.size();
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fds.push_back(fd);
    return fds.size() - before;
  }
  // Closes the `count` last opened, the highest numbers.
  void release(size_t count) {
    for (; count > 0; --count, fds.pop_back()) ::close(fds.back());
  }
  std::vector<int> fds;
};

// The server leaves the last 64 descriptors to the rest of the process: a connection that takes
// one of them is closed at once, and connections are served again once descriptors are freed.
TEST_F(LimitsTest, ConnectionsLeaveTheLastDescriptorsFree) {
  constexpr size_t kReserve = 64;
  // A soft limit a little above the descriptors open now, set before the server reads it.
  int highest = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    highest = std::max(highest, std::stoi(entry.path().filename().string()));
  }
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(highest) + 256;
  if (lowered.rlim_cur > saved.rlim_max) GTEST_SKIP() << "hard limit " << saved.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  struct Restore {
    rlimit limit;
    ~Restore() { setrlimit(RLIMIT_NOFILE, &limit); }
  } restore{saved};
  start({});
  // Kept open: the server's side closing later would free a descriptor below the others.
  tool::HelperClient first(port());
  ASSERT_TRUE(first.send(kVersion));
  ASSERT_EQ(first.nextAnswer().status, 200);

  // Every descriptor but the reserve and one more, which the client's socket takes.
  HeldFiles held;
  held.openAll();
  held.release(kReserve + 1);
  {
    tool::HelperClient refused(port());
    ASSERT_TRUE(refused.send(kVersion));
    EXPECT_EQ(refused.nextAnswer().status, 0);
    EXPECT_TRUE(refused.closedByServer(5));
    EXPECT_GE(held.openAll(), kReserve - 1);
  }
  held.release(held.fds.size());
  EXPECT_TRUE(answersANewClient());
}

// A request that arrives in pieces waits for the rest; an answer larger than the socket takes
// at once is finished by the loop while the client reads it.
TEST_F(LimitsTest, RequestsInPiecesAndAnswersLargerThanTheSocketArriveWhole) {
  start({});
  const std::string message(4 << 20, 'm');
  const std::string body = R"({"code": -7, "message": ")" + message + R"("})";
  tool::HelperClient c(port());
  for (const std::string& piece :
       {std::string("POST /setLastError HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-"),
        "Length: " + std::to_string(body.size()) + "\r\n\r\n", body.substr(0, 10)}) {
    ASSERT_TRUE(c.send(piece));
    EXPECT_EQ(c.nextAnswer(0.2).status, 0);
  }
  ASSERT_TRUE(c.send(body.substr(10)));
  // Answers of 4 MiB, read and written by a sanitized build on a loaded machine: time enough.
  EXPECT_EQ(c.nextAnswer(60).body,
            R"({"lastError":-7,"lastErrorMessage":")" + message + R"(","result":"0"})");
  const std::string get =
      "POST /getLastErrorMessage HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Length: 2\r\n\r\n{}";
  ASSERT_TRUE(c.send(get + get));
  // 16 MiB of answers wait for a client that does not read yet; the loop serves others.
  EXPECT_TRUE(answersANewClient());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(c.nextAnswer(60).body, R"({"lastError":-7,"lastErrorMessage":")" + message +
                                         R"(","result":")" + message + R"("})");
  }
}

TEST_F(LimitsTest, StopEndsTheLoopWithConnectionsStillOpen) {
  start({});
  std::vector<std::unique_ptr<tool::HelperClient>> open;
  for (int i = 0; i < 10; ++i) {
    open.push_back(std::make_unique<tool::HelperClient>(port()));
    ASSERT_TRUE(open.back()->send(""));
  }
  ASSERT_TRUE(answersANewClient());
  server_->stop();
  loop_.join();
  server_.reset();
  for (auto& c : open) EXPECT_TRUE(c->closedByServer(5));
}

}  // namespace
