// Bytes sent as they are to the command server, in process on a loopback port, the facade on an
// in-process radio: whatever arrives, the server answers with HTTP or closes the connection,
// never hangs and never crashes. The input may hold several requests, as a pipelining client
// sends them.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "fuzz/fuzz_support.h"
#include "server/command_server.h"

namespace {

// The server, bound before the first input and serving on a thread of its own for the life of
// the process. Short timeouts: a request cut short is given up quickly.
CommandServer& server() {
  static CommandServer* const instance = [] {
    CommandServer::Settings settings;
    settings.headerTimeout = std::chrono::seconds(2);
    settings.bodyTimeout = std::chrono::seconds(2);
    auto* s = new CommandServer(settings);
    if (!s->bind("127.0.0.1", 0)) std::abort();
    std::thread([s] { s->run(); }).detach();
    return s;
  }();
  return *instance;
}

// libFuzzer's timer signal interrupts blocking calls: each of these carries on through EINTR.

// A connect that a signal interrupted goes on in the background; it ends when the socket is
// writable, with its outcome in SO_ERROR.
bool finishConnect(int fd) {
  pollfd p{fd, POLLOUT, 0};
  int polled;
  while ((polled = poll(&p, 1, 8000)) < 0 && errno == EINTR) {
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (polled <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
  errno = error;
  return error == 0;
}

int connectTo(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool connected =
      fd >= 0 && (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
                  (errno == EINTR && finishConnect(fd)));
  if (!connected) {
    std::perror("http_fuzz: connect");
    std::abort();
  }
  return fd;
}

// Everything the server sends until it closes; aborts when it stays silent for 8 seconds.
std::string readToClose(int fd) {
  std::string received;
  char chunk[64 * 1024];
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    int polled = poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) std::abort();
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return received;
    received.append(chunk, static_cast<size_t>(n));
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The handlers log every request; the fuzzer's own report goes to standard error.
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  fuzz::facade();
  server();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = connectTo(server().port());
  std::string_view input(reinterpret_cast<const char*>(data), size);
  while (!input.empty()) {
    ssize_t n = send(fd, input.data(), input.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the server closed after refusing what came first
    input.remove_prefix(static_cast<size_t>(n));
  }
  shutdown(fd, SHUT_WR);
  std::string answer = readToClose(fd);
  // Closed with a reset: half a million inputs would otherwise leave their ports waiting out
  // TIME_WAIT until loopback runs out of them.
  linger reset{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(fd);
  // Whatever came back is HTTP: a status line first.
  if (!answer.empty() && answer.rfind("HTTP/1.1 ", 0) != 0 && answer.rfind("HTTP/1.0 ", 0) != 0) {
    std::abort();
  }
  return 0;
}
