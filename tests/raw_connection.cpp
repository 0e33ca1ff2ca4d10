#include "raw_connection.h"

#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;

// The length of the first whole answer at the front of `text`, or 0 when it is not all there.
size_t wholeAnswerLength(const std::string& text) {
  size_t end = text.find("\r\n\r\n");
  if (end == std::string::npos) return 0;
  std::string length = headerOf(text.substr(0, end + 4), "Content-Length");
  size_t total = end + 4 + (length.empty() ? 0 : std::strtoul(length.c_str(), nullptr, 10));
  return text.size() >= total ? total : 0;
}

}  // namespace

RawConnection::RawConnection(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) close(fd_);
}

bool RawConnection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void RawConnection::shutdownWrite() {
  shutdown(fd_, SHUT_WR);
}

bool RawConnection::receiveMore(double seconds) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return false;
  char chunk[16 * 1024];
  ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  received_.append(chunk, static_cast<size_t>(n));
  return true;
}

std::vector<std::string> RawConnection::answers(size_t count, double seconds) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  std::vector<std::string> whole;
  while (whole.size() < count) {
    if (size_t length = wholeAnswerLength(received_)) {
      whole.push_back(received_.substr(0, length));
      received_.erase(0, length);
      continue;
    }
    double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (left <= 0 || !receiveMore(left)) break;
  }
  return whole;
}

bool RawConnection::closedByServer(double seconds) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left * 1000)) <= 0) return false;
    char chunk[4096];
    ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return true;  // end of stream, or a reset
  }
}

int statusOf(const std::string& answer) {
  size_t space = answer.find(' ');
  return space == std::string::npos ? 0 : std::atoi(answer.c_str() + space + 1);
}

std::string headerOf(const std::string& answer, const std::string& name) {
  size_t end = answer.find("\r\n\r\n");
  size_t line = answer.find("\r\n");
  while (line != std::string::npos && line < end) {
    size_t next = answer.find("\r\n", line + 2);
    std::string field = answer.substr(line + 2, next - line - 2);
    size_t colon = field.find(':');
    if (colon == name.size() && strncasecmp(field.c_str(), name.c_str(), colon) == 0) {
      size_t value = field.find_first_not_of(' ', colon + 1);
      return value == std::string::npos ? "" : field.substr(value);
    }
    line = next;
  }
  return "";
}

std::string bodyOf(const std::string& answer) {
  size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}
