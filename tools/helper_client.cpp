#include "tools/helper_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

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

// The value of header `name` (lower case) in an answer's head, or none.
std::optional<std::string> header(const std::string& head, const std::string& name) {
  size_t start = head.find("\r\n");
  while (start != std::string::npos && start + 2 < head.size()) {
    size_t end = head.find("\r\n", start + 2);
    std::string line = head.substr(start + 2, end == std::string::npos ? end : end - start - 2);
    size_t colon = line.find(':');
    if (colon != std::string::npos && lower(line.substr(0, colon)) == name) {
      size_t value = line.find_first_not_of(" \t", colon + 1);
      return value == std::string::npos ? std::string() : line.substr(value);
    }
    start = end;
  }
  return std::nullopt;
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
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw HelperUnreachable(std::string("no socket: ") + std::strerror(errno));
  timeval timeout{kAnswerTimeoutSeconds, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
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
}

std::string HelperClient::version() {
  auto answer = exchange("GET", "/version", "");
  if (answer.status != 200) {
    throw HelperUnreachable("127.0.0.1:" + std::to_string(port_) + " answered /version with " +
                            std::to_string(answer.status) + ": is it the helper?");
  }
  return answer.body;
}

HelperReply HelperClient::command(const std::string& path, const nlohmann::json& body) {
  auto answer = exchange("POST", path, body.dump());
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
  auto answer = exchange("POST", "/dequeueScriptIfTime", "");
  auto script = nlohmann::json::parse(answer.body, nullptr, /*allow_exceptions=*/false);
  if (answer.status != 200 || !(script.is_null() || script.is_object())) {
    throw HelperUnreachable("the answer to /dequeueScriptIfTime is not a helper's: " +
                            answer.body.substr(0, 200));
  }
  return script;
}

HelperClient::Answer HelperClient::exchange(const std::string& method, const std::string& path,
                                            const std::string& body) {
  std::string request =
      method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\n\r\n" + body;
  bool fresh = false;
  try {
    return exchangeOnce(request, fresh);
  } catch (const ClosedBeforeAnswer&) {
    // A kept-alive connection the helper closed meanwhile: once more on a new one.
    if (fresh) throw;
    return exchangeOnce(request, fresh);
  }
}

HelperClient::Answer HelperClient::exchangeOnce(const std::string& request,
                                                bool& sentOnFreshConnection) {
  sentOnFreshConnection = fd_ < 0;
  if (fd_ < 0) connectSocket();
  for (size_t sent = 0; sent < request.size();) {
    ssize_t n = ::send(fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      closeSocket();
      throw ClosedBeforeAnswer("the helper closed the connection");
    }
    sent += static_cast<size_t>(n);
  }
  std::string body;
  std::string head = readAnswerHead(body);
  Answer answer;
  if (head.size() < 12 || head.compare(0, 5, "HTTP/") != 0) {
    closeSocket();
    throw HelperUnreachable("127.0.0.1:" + std::to_string(port_) + " does not speak HTTP");
  }
  answer.status = std::atoi(head.c_str() + 9);
  auto length = header(head, "content-length");
  size_t wanted = length ? std::strtoull(length->c_str(), nullptr, 10) : kMaxAnswerBytes;
  if (wanted > kMaxAnswerBytes) wanted = kMaxAnswerBytes;
  char chunk[16384];
  while (body.size() < wanted) {
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    body.append(chunk, static_cast<size_t>(n));
  }
  if (length && body.size() < wanted) {
    closeSocket();
    throw HelperUnreachable("the helper's answer broke off");
  }
  auto connection = header(head, "connection");
  if (!length || (connection && lower(*connection) == "close")) closeSocket();
  answer.body = body.substr(0, wanted);
  return answer;
}

std::string HelperClient::readAnswerHead(std::string& rest) {
  std::string data;
  char chunk[4096];
  for (;;) {
    size_t end = data.find("\r\n\r\n");
    if (end != std::string::npos) {
      rest = data.substr(end + 4);
      return data.substr(0, end);
    }
    if (data.size() > 64 * 1024) break;
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::string why = n == 0 ? "the helper closed the connection"
                               : std::string("no answer from the helper: ") + std::strerror(errno);
      bool closed = n == 0 || errno == ECONNRESET;
      closeSocket();
      if (data.empty() && closed) throw ClosedBeforeAnswer(why);
      throw HelperUnreachable(why);
    }
    data.append(chunk, static_cast<size_t>(n));
  }
  closeSocket();
  throw HelperUnreachable("127.0.0.1:" + std::to_string(port_) + " does not speak HTTP");
}

}  // namespace tool
