// A client of the helper's command routes: HTTP/1.1 with JSON bodies on one keep-alive
// connection to 127.0.0.1, as the plug-in talks to it.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// One answer as it came.
struct HttpAnswer {
  int status = 0;  // 0: no whole answer came
  std::string head;
  std::string body;
  // The value of header `name`, in any case; "" when absent.
  std::string header(const std::string& name) const;
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

  // Header lines of a request, as (name, value).
  using Headers = std::vector<std::pair<std::string, std::string>>;
  // One request on the kept connection and its answer, whatever its status. It carries Host
  // and, unless it is a GET without a body, Content-Type: application/json and Content-Length;
  // a Host or Content-Type in `headers` replaces the default one, the others are added. Throws
  // HelperUnreachable when the helper cannot be reached or no whole answer came within 60 s.
  HttpAnswer request(const std::string& method, const std::string& path,
                     const std::string& body = "", const Headers& headers = {});

  // For tests and benchmarks that send what no client would. Sends `bytes` as they are on the
  // kept connection, opened first when there is none (so an empty send only connects); false
  // when the connection broke. Throws HelperUnreachable when the helper cannot be reached.
  bool send(std::string_view bytes);
  // Ends the sending side: the helper reads end of stream.
  void shutdownWrite();
  // The next whole answer; status 0 when none came within `seconds` or the helper closed first.
  HttpAnswer nextAnswer(double seconds = 10);
  // Whether the helper closed the connection within `seconds`, reading past any answers left.
  bool closedByServer(double seconds = 10);

 private:
  HttpAnswer exchangeOnce(const std::string& request, bool& sentOnFreshConnection);
  void connectSocket();
  void closeSocket();
  using Deadline = std::chrono::steady_clock::time_point;
  HttpAnswer readAnswer(Deadline deadline);
  int receiveMore(Deadline deadline);

  const uint16_t port_;
  int fd_ = -1;
  std::string received_;  // read but not yet taken as an answer
};

}  // namespace tool
