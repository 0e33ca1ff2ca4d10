#include "platform/descriptors.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

void setCloseOnExec(int fd) {
  ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

#if defined(MSG_NOSIGNAL)
constexpr int kNoSignal = MSG_NOSIGNAL;
#else
constexpr int kNoSignal = 0;  // SO_NOSIGPIPE, set on each socket, does the same
#endif

sigset_t terminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

int openSocket(int domain, int type) {
  int fd = ::socket(domain, type, 0);
  if (fd < 0) return fd;
  setCloseOnExec(fd);
#if defined(SO_NOSIGPIPE)
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  return fd;
}

ssize_t sendNoSignal(int fd, const void* data, size_t size, int flags) {
  return ::send(fd, data, size, flags | kNoSignal);
}

ssize_t sendToNoSignal(int fd, const void* data, size_t size, int flags, const sockaddr* to,
                       socklen_t toSize) {
  return ::sendto(fd, data, size, flags | kNoSignal, to, toSize);
}

WakeSignal::WakeSignal() {
  int ends[2];
  if (::pipe(ends) != 0) {
    throw std::runtime_error(std::string("cannot make a pipe: ") + std::strerror(errno));
  }
  read_ = ends[0];
  write_ = ends[1];
  for (int fd : ends) setCloseOnExec(fd);
  ::fcntl(write_, F_SETFL, ::fcntl(write_, F_GETFL) | O_NONBLOCK);
}

WakeSignal::~WakeSignal() {
  ::close(read_);
  ::close(write_);
}

void WakeSignal::wake() {
  // One byte is enough: nobody reads it, so the descriptor stays readable. A full pipe is
  // already readable.
  char byte = 1;
  ssize_t ignored = ::write(write_, &byte, 1);
  (void)ignored;
}

namespace termination_signals {

void block() {
  sigset_t set = terminationSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int fd() {
  // Made once and never destroyed: its thread may still wait in sigwait() while the process
  // exits.
  static WakeSignal* arrived = [] {
    auto* signal = new WakeSignal();
    std::thread([signal] {
      sigset_t set = terminationSet();
      pthread_sigmask(SIG_BLOCK, &set, nullptr);
      int which = 0;
      while (sigwait(&set, &which) != 0) {
      }
      signal->wake();
    }).detach();
    return signal;
  }();
  return arrived->fd();
}

}  // namespace termination_signals
