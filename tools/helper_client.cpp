#include "tools/helper_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/descriptors.h"

namespace tool {

namespace {

// The longest a command may keep its answer: a connect waits up to its own timeout.
constexpr int kAnswerTimeoutSeconds = 60;
// An answer larger than this is not one the helper gives.
constexpr size_t kMaxAnswerBytes = 16 * 1024 * 1024;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::chrono::steady_clock::time_point deadlineIn(double seconds) {
  return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::duration<double>(seconds));
}

// A connection that ended before any of the answer came: a kept-alive connection that the
// helper closed meanwhile.
class ClosedBeforeAnswer : public HelperUnreachable {
 public:
  using HelperUnreachable::HelperUnreachable;
};

}  // namespace

HelperClient::HelperClient(uint16_t port) : port_(port) {}

HelperClient::~HelperClient() {
  closeSocket();
}

void HelperClient::connectSocket() {
  fd_ = openSocket(AF_INET, SOCK_STREAM);
  if (fd_ < 0) throw HelperUnreachable(std::string("no socket: ") + std::strerror(errno));
  int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::string why = std::strerror(errno);
    closeSocket();
    throw HelperUnreachable("cannot reach the helper at 127.0.0.1:" + std::to_string(port_) + ": " +
                            why);
  }
}

void HelperClient::closeSocket() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  received_.clear();
}

std::string HelperClient::version() {
  auto answer = request("GET", "/version");
  if (answer.status != 200) {
    throw HelperUnreachable("127.0.0.1:" + std::to_string(port_) + " answered /version with " +
                            std::to_string(answer.status) + ": is it the helper?");
  }
  return answer.body;
}

HelperReply HelperClient::command(const std::string& path, const nlohmann::json& body) {
  auto answer = request("POST", path, body.dump());
  try {
    auto reply = nlohmann::json::parse(answer.body);
    HelperReply r{reply.at("lastError").get<int64_t>(),
                  reply.at("lastErrorMessage").get<std::string>(),
                  reply.at("result").get<std::string>()};
    if (answer.status != 200) {
      throw HelperUnreachable("the helper refused " + path + " with status " +
                              std::to_string(answer.status) + ": " + r.message);
    }
    return r;
  } catch (const nlohmann::json::exception&) {
    throw HelperUnreachable("the answer to " + path +
                            " is not a helper's reply: " + answer.body.substr(0, 200));
  }
}

nlohmann::json HelperClient::dequeueScript() {
  auto answer = request("POST", "/dequeueScriptIfTime");
  auto script = nlohmann::json::parse(answer.body, nullptr, /*allow_exceptions=*/false);
  if (answer.status != 200 || !(script.is_null() || script.is_object())) {
    throw HelperUnreachable("the answer to /dequeueScriptIfTime is not a helper's: " +
                            answer.body.substr(0, 200));
  }
  return script;
}

HttpAnswer HelperClient::request(const std::string& method, const std::string& path,
                                 const std::string& body, const Headers& headers) {
  auto given = [&](const std::string& name) {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return lower(h.first) == name; });
  };
  std::string text = method + " " + path + " HTTP/1.1\r\n";
  if (!given("host")) text += "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
  bool hasBody = method != "GET" || !body.empty();
  if (hasBody && !given("content-type")) text += "Content-Type: application/json\r\n";
  for (const auto& [name, value] : headers) text += name + ": " + value + "\r\n";
  if (hasBody) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  text += "\r\n" + body;
  bool fresh = false;
  try {
    return exchangeOnce(text, fresh);
  } catch (const ClosedBeforeAnswer&) {
    // A kept-alive connection the helper closed meanwhile: once more on a new one.
    if (fresh) throw;
    return exchangeOnce(text, fresh);
  }
}

HttpAnswer HelperClient::exchangeOnce(const std::string& request, bool& sentOnFreshConnection) {
  sentOnFreshConnection = fd_ < 0;
  try {
    if (!send(request)) throw ClosedBeforeAnswer("the helper closed the connection");
    auto answer = readAnswer(deadlineIn(kAnswerTimeoutSeconds));
    if (answer.header("Content-Length").empty() || lower(answer.header("Connection")) == "close") {
      closeSocket();
    }
    return answer;
  } catch (const HelperUnreachable&) {
    closeSocket();
    throw;
  }
}

bool HelperClient::send(std::string_view bytes) {
  if (fd_ < 0) connectSocket();
  while (!bytes.empty()) {
    ssize_t n = sendNoSignal(fd_, bytes.data(), bytes.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void HelperClient::shutdownWrite() {
  ::shutdown(fd_, SHUT_WR);
}

HttpAnswer HelperClient::nextAnswer(double seconds) {
  try {
    return readAnswer(deadlineIn(seconds));
  } catch (const HelperUnreachable&) {
    return {};
  }
}

bool HelperClient::closedByServer(double seconds) {
  auto deadline = deadlineIn(seconds);
  for (;;) {
    int n = receiveMore(deadline);
    if (n <= 0) return n == 0;
    received_.clear();
  }
}

// Bytes read, 0 at end of stream (or a reset), -1 when nothing came before `deadline`.
int HelperClient::receiveMore(Deadline deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
    char chunk[16384];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    received_.append(chunk, static_cast<size_t>(n));
    return static_cast<int>(n);
  }
}

// Reads until a whole answer is at the front of what was received and takes it; an answer
// without a Content-Length runs to the close, except an interim (1xx) one, which has no body.
HttpAnswer HelperClient::readAnswer(Deadline deadline) {
  const std::string notHttp = "127.0.0.1:" + std::to_string(port_) + " does not speak HTTP";
  for (bool ended = false;;) {
    size_t end = received_.find("\r\n\r\n");
    if (end != std::string::npos) {
      HttpAnswer answer;
      answer.head = received_.substr(0, end);
      if (answer.head.size() < 12 || answer.head.compare(0, 5, "HTTP/") != 0) {
        throw HelperUnreachable(notHttp);
      }
      answer.status = std::atoi(answer.head.c_str() + 9);
      std::string length = answer.header("Content-Length");
      size_t wanted = length.empty() ? (answer.status / 100 == 1 ? 0 : kMaxAnswerBytes)
                                     : std::strtoull(length.c_str(), nullptr, 10);
      wanted = std::min(wanted, kMaxAnswerBytes);
      size_t came = received_.size() - end - 4;
      if (came >= wanted || (ended && length.empty())) {
        answer.body = received_.substr(end + 4, std::min(wanted, came));
        received_.erase(0, end + 4 + answer.body.size());
        return answer;
      }
      if (ended) throw HelperUnreachable("the helper's answer broke off");
    } else if (received_.size() > 64 * 1024) {
      throw HelperUnreachable(notHttp);
    } else if (ended && received_.empty()) {
      throw ClosedBeforeAnswer("the helper closed the connection");
    } else if (ended) {
      throw HelperUnreachable("the helper closed the connection");
    }
    int n = receiveMore(deadline);
    if (n < 0) throw HelperUnreachable("no answer from the helper");
    ended = n == 0;
  }
}

std::string HttpAnswer::header(const std::string& name) const {
  const std::string wanted = lower(name);
  size_t start = head.find("\r\n");
  while (start != std::string::npos && start + 2 < head.size()) {
    size_t end = head.find("\r\n", start + 2);
    std::string line = head.substr(start + 2, end == std::string::npos ? end : end - start - 2);
    size_t colon = line.find(':');
    if (colon != std::string::npos && lower(line.substr(0, colon)) == wanted) {
      size_t value = line.find_first_not_of(" \t", colon + 1);
      return value == std::string::npos ? std::string() : line.substr(value);
    }
    start = end;
  }
  return "";
}

}  // namespace tool
