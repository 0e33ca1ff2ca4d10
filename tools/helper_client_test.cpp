// The capture's HTTP client against a server that misbehaves as a helper never should, and one
// that closes a kept-alive connection as an idle helper does.
#include "tools/helper_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "thrown.h"

namespace tool {
namespace {

// A loopback server on an ephemeral port that answers each request of a connection with the
// next canned answer; an answer that ends in "|close" is sent and the connection closed.
class CannedServer {
 public:
  explicit CannedServer(std::vector<std::string> answers) : answers_(std::move(answers)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::listen(listener_, 4);
    thread_ = std::thread([this] { serve(); });
  }
  ~CannedServer() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
  }
  uint16_t port() const { return port_; }
  int connections() const { return connections_; }

 private:
  // The server's thread: one connection at a time, until the listener closes.
  void serve() {
    size_t next = 0;
    for (int fd; (fd = ::accept(listener_, nullptr, nullptr)) >= 0;) {
      ++connections_;
      bool open = true;
      while (open && next < answers_.size() && readRequest(fd)) {
        std::string answer = answers_[next++];
        open = answer.size() < 6 || answer.compare(answer.size() - 6, 6, "|close") != 0;
        if (!open) answer.resize(answer.size() - 6);
        ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
      }
      ::close(fd);
    }
  }
  // Reads one request's head and its body; false when the client went.
  static bool readRequest(int fd) {
    std::string data;
    char c;
    while (data.find("\r\n\r\n") == std::string::npos) {
      if (::recv(fd, &c, 1, 0) != 1) return false;
      data += c;
    }
    size_t at = data.find("Content-Length: ");
    size_t body = at == std::string::npos ? 0 : std::stoul(data.substr(at + 16));
    for (; body > 0; --body) {
      if (::recv(fd, &c, 1, 0) != 1) return false;
    }
    return true;
  }

  std::vector<std::string> answers_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::thread thread_;
};

std::string ok(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string failureOf(const std::function<void()>& fn) {
  return thrown<HelperUnreachable>(fn);
}

TEST(HelperClientTest, AConnectionTheHelperClosedIsOpenedAgainOnce) {
  const std::string reply = R"({"lastError":0,"lastErrorMessage":"No error","result":"0"})";
  CannedServer server({ok(reply) + "|close", ok(reply), ok("null")});
  HelperClient client(server.port());
  EXPECT_EQ(client.command("/stopScan", nlohmann::json::object()).result, "0");
  EXPECT_EQ(client.command("/stopScan", nlohmann::json::object()).message, "No error");
  EXPECT_TRUE(client.dequeueScript().is_null());
  EXPECT_EQ(server.connections(), 2);
}

TEST(HelperClientTest, AnswersNoHelperGivesAreRefusedWithTheReason) {
  const std::string bad =
      R"({"lastError":-300,"lastErrorMessage":"Helper App received bad request","result":"?"})";
  CannedServer server({"HTTP/1.1 500 Internal Server Error\r\nContent-Length: " +
                           std::to_string(bad.size()) + "\r\n\r\n" + bad,
                       "SSH-2.0-OpenSSH\r\n\r\n|close",
                       "HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n{|close", ok("[1]")});
  HelperClient client(server.port());
  std::string p = std::to_string(server.port());
  EXPECT_EQ(failureOf([&] { client.command("/read", nlohmann::json::object()); }),
            "the helper refused /read with status 500: Helper App received bad request");
  EXPECT_EQ(failureOf([&] { client.version(); }), "127.0.0.1:" + p + " does not speak HTTP");
  EXPECT_EQ(failureOf([&] { client.version(); }), "the helper's answer broke off");
  EXPECT_EQ(failureOf([&] { client.dequeueScript(); }),
            "the answer to /dequeueScriptIfTime is not a helper's: [1]");
}

}  // namespace
}  // namespace tool
