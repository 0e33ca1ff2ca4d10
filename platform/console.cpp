#include "platform/console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

namespace Console {
namespace {

constexpr size_t kMaxLines = 4096;
constexpr size_t kMaxBytes = size_t{1} << 20;
constexpr auto kExitFlush = std::chrono::seconds(1);
// The writer lets lines gather this long before it writes them: a busy server then wakes it
// once per batch instead of once per line, and pays no write per command.
constexpr auto kGather = std::chrono::milliseconds(2);

// Writes all of `text` to standard output; false when it fails (no reader left, say).
bool writeAll(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n >= 0) {
      done += static_cast<size_t>(n);
    } else if (errno == EAGAIN) {
      // A non-blocking standard output: wait until it takes more instead of spinning.
      pollfd p{STDOUT_FILENO, POLLOUT, 0};
      ::poll(&p, 1, -1);
    } else if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

// Never destroyed: the detached writer may still be waiting on it while the process exits.
struct State {
  State() {
    try {
      std::thread([this] { writeForEver(); }).detach();
      hasWriter = true;
    } catch (const std::exception&) {
      // No thread to be had: callers write their lines themselves, as they wait.
    }
    // A reader that never reads must not hold up the exit.
    std::atexit([] { instance().flush(kExitFlush); });
  }

  static State& instance() {
    static State* state = new State();
    return *state;
  }

  void add(std::string_view line) {
    std::string text;
    text.reserve(line.size() + 1);
    text.append(line).push_back('\n');
    std::lock_guard lock(mutex);
    if (!hasWriter) {
      writeAll(text);
      return;
    }
    // Once a line is dropped, the next ones are too until the writer takes the queue, so that
    // the report of the drops comes where they happened.
    if (dropped > 0 ||
        (!lines.empty() && (lines.size() >= kMaxLines || bytes + text.size() > kMaxBytes))) {
      ++dropped;
      return;
    }
    bytes += text.size();
    lines.push_back(std::move(text));
    wake.notify_one();
  }

  void writeForEver() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return !lines.empty(); });
      if (!flushing) {
        lock.unlock();
        std::this_thread::sleep_for(kGather);
        lock.lock();
      }
      std::string text;
      text.reserve(bytes);
      for (const std::string& line : lines) text += line;
      if (dropped > 0) {
        text += "Console: " + std::to_string(dropped) +
                " lines dropped while standard output was blocked\n";
      }
      lines.clear();
      bytes = 0;
      dropped = 0;
      writing = true;
      lock.unlock();
      writeAll(text);  // a failed write loses these lines: standard output is gone
      lock.lock();
      writing = false;
      if (lines.empty()) drained.notify_all();
    }
  }

  bool flush(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    ++flushing;
    bool done = drained.wait_for(lock, timeout, [this] { return lines.empty() && !writing; });
    --flushing;
    return done;
  }

  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable drained;
  std::deque<std::string> lines;
  size_t bytes = 0;
  size_t dropped = 0;
  bool writing = false;
  bool hasWriter = false;
  int flushing = 0;  // callers waiting in flush: the writer writes without gathering
};

}  // namespace

void writeLine(std::string_view line) {
  State::instance().add(line);
}

bool flush(std::chrono::milliseconds timeout) {
  return State::instance().flush(timeout);
}

}  // namespace Console
