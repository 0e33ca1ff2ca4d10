#include "platform/console.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

namespace Console {
namespace {

constexpr size_t kMaxLines = 4096;
constexpr size_t kMaxBytes = size_t{1} << 20;
constexpr auto kExitFlush = std::chrono::seconds(1);
// A write buffer beyond this (left by a burst) goes back to the heap after its write.
constexpr size_t kKeptBuffer = 64 * 1024;
// The writer lets lines gather before it writes them: kGather after a quiet spell, doubling
// while lines keep coming, up to kLongestGather. While lines keep coming it wakes on its own
// time, so a busy server's loop never wakes it: a thread that wakes another is no longer woken
// on its client's processor, and each such wake costs the loop a round trip's worth.
constexpr auto kGather = std::chrono::milliseconds(2);
constexpr auto kLongestGather = std::chrono::milliseconds(128);

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

  // A caller holds the lock only to append its line: the writer takes the whole queue at once
  // and writes it outside the lock, so the command server's loop never waits for a write.
  void add(std::string_view line) {
    std::unique_lock lock(mutex);
    if (!hasWriter) {
      std::string text(line);
      text.push_back('\n');
      writeAll(text);
      return;
    }
    // Once a line is dropped, the next ones are too until the writer takes the queue, so that
    // the report of the drops comes where they happened.
    if (dropped > 0 ||
        (queued > 0 && (queued >= kMaxLines || pending.size() + line.size() + 1 > kMaxBytes))) {
      ++dropped;
      return;
    }
    pending.append(line).push_back('\n');
    ++queued;
    // Only a writer asleep for want of lines needs waking; a gathering one wakes on its own.
    bool wakeWriter = asleep;
    lock.unlock();
    if (wakeWriter) wake.notify_one();
  }

  void writeForEver() {
    std::string text;
    std::unique_lock lock(mutex);
    auto gather = sleepUntilALine(lock);
    for (;;) {
      wake.wait_for(lock, gather, [this] { return flushing > 0; });
      if (queued == 0) {
        gather = sleepUntilALine(lock);
        continue;
      }
      text.clear();
      text.swap(pending);  // the queue keeps the buffer the last write used
      if (dropped > 0) {
        text += "Console: " + std::to_string(dropped) +
                " lines dropped while standard output was blocked\n";
      }
      queued = 0;
      dropped = 0;
      writing = true;
      lock.unlock();
      writeAll(text);  // a failed write loses these lines: standard output is gone
      if (text.capacity() > kKeptBuffer) std::string().swap(text);
      lock.lock();
      writing = false;
      if (queued == 0) drained.notify_all();
      gather = std::min(gather * 2, kLongestGather);
    }
  }

  // Waits, holding `lock` between wakes, until a line is queued; returns the first gathering
  // time. Writer thread.
  std::chrono::milliseconds sleepUntilALine(std::unique_lock<std::mutex>& lock) {
    asleep = true;
    wake.wait(lock, [this] { return queued > 0; });
    asleep = false;
    return kGather;
  }

  bool flush(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    ++flushing;
    wake.notify_one();  // ends the writer's gathering
    bool done = drained.wait_for(lock, timeout, [this] { return queued == 0 && !writing; });
    --flushing;
    return done;
  }

  std::mutex mutex;
  std::condition_variable wake;
  std::condition_variable drained;
  std::string pending;  // the queued lines, each with its newline
  size_t queued = 0;    // lines in pending
  size_t dropped = 0;
  bool writing = false;
  bool asleep = false;  // the writer waits for a line, not for its gathering time
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
