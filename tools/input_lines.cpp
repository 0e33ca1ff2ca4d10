#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "platform/console.h"
#include "platform/descriptors.h"
#include "tools/emulator.h"

namespace tool {

InputLines::InputLines() : signalFd_(termination_signals::fd()) {}

bool InputLines::next(std::string& line) {
  for (;;) {
    auto newline = buffer_.find('\n', searched_);
    if (newline != std::string::npos) {
      bool refused = skipping_;
      skipping_ = false;
      size_t length = newline;
      if (length > 0 && buffer_[length - 1] == '\r') --length;
      if (!refused && length > kMaxLineBytes) {
        refuseLongLine();
        refused = true;
      }
      if (!refused) line.assign(buffer_, 0, length);
      buffer_.erase(0, newline + 1);
      searched_ = 0;
      if (refused) continue;
      return true;
    }
    searched_ = buffer_.size();
    // A line is only ever held up to the bound: past it, the rest up to its newline is dropped
    // as it arrives. The one byte more leaves room for a carriage return before the newline.
    if (!skipping_ && buffer_.size() > kMaxLineBytes + 1) {
      refuseLongLine();
      skipping_ = true;
    }
    if (skipping_) {
      buffer_.clear();
      searched_ = 0;
    }
    if (ended_) {
      if (buffer_.empty()) return false;
      line.swap(buffer_);
      buffer_.clear();
      searched_ = 0;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signalFd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents != 0) return false;
    char chunk[4096];
    ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended_ = true;
      continue;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

void InputLines::refuseLongLine() {
  Console::writeLine(nlohmann::ordered_json{
      {"event", "error"},
      {"message", "line longer than " + std::to_string(kMaxLineBytes) + " bytes skipped"}}
                         .dump());
}

}  // namespace tool
