// Descriptors made the same way on Linux and macOS: close-on-exec, no SIGPIPE from a send to a
// peer that went away, a wake-up for a thread that waits in poll(), and the termination signals
// as a readable descriptor. The simulated radio and velnor-sim use these instead of Linux-only
// calls (eventfd, signalfd, SOCK_CLOEXEC, MSG_NOSIGNAL), so that they run on macOS too.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

// A socket of `domain` and `type` with close-on-exec set (and on macOS, SO_NOSIGPIPE); -1 with
// errno set when it cannot be made. The caller owns and closes it. Any thread.
int openSocket(int domain, int type);

// send() and sendto() that never raise SIGPIPE; otherwise as the system calls. Any thread.
ssize_t sendNoSignal(int fd, const void* data, size_t size, int flags);
ssize_t sendToNoSignal(int fd, const void* data, size_t size, int flags, const sockaddr* to,
                       socklen_t toSize);

// A descriptor that becomes readable, and stays so, once wake() was called: tells a thread that
// waits in poll() to stop. Any thread may call wake(); it is async-signal-safe.
class WakeSignal {
 public:
  WakeSignal();  // throws std::runtime_error when no pipe can be made
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  int fd() const { return read_; }
  void wake();

 private:
  int read_ = -1;
  int write_ = -1;
};

// SIGINT and SIGTERM, taken by a thread of their own with sigwait().
namespace termination_signals {

// Blocks SIGINT and SIGTERM in the calling thread and every thread it starts later. Call first
// thing in main, before any thread exists; without it the signals keep their default action.
void block();

// A descriptor that becomes readable, and stays so, once SIGINT or SIGTERM arrived. The first
// call starts the thread that takes them; it lives as long as the process. Any thread.
int fd();

}  // namespace termination_signals
