// A client of the helper's command routes: HTTP/1.1 with JSON bodies on one keep-alive
// connection to 127.0.0.1, as the plug-in talks to it.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

namespace tool {

// The helper cannot be reached, or its answer is not one a helper gives; what() says which.
class HelperUnreachable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One command's standard reply.
struct HelperReply {
  int64_t lastError = 0;
  std::string message;
  std::string result;
  bool ok() const { return lastError == 0; }
};

// Not thread-safe: each thread that talks to the helper has its own client.
class HelperClient {
 public:
  explicit HelperClient(uint16_t port);
  ~HelperClient();
  HelperClient(const HelperClient&) = delete;
  HelperClient& operator=(const HelperClient&) = delete;

  uint16_t port() const { return port_; }

  // GET /version: the helper's version text. Throws HelperUnreachable.
  std::string version();
  // POSTs `body` to a command route and returns its standard reply. Throws HelperUnreachable,
  // also for an answer with another status than 200.
  HelperReply command(const std::string& path, const nlohmann::json& body);
  // POST /dequeueScriptIfTime: the script handed out, or null. Throws HelperUnreachable.
  nlohmann::json dequeueScript();

 private:
  struct Answer {
    int status = 0;
    std::string body;
  };
  Answer exchange(const std::string& method, const std::string& path, const std::string& body);
  Answer exchangeOnce(const std::string& request, bool& sentOnFreshConnection);
  void connectSocket();
  void closeSocket();
  std::string readAnswerHead(std::string& rest);

  const uint16_t port_;
  int fd_ = -1;
};

}  // namespace tool
