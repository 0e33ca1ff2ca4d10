// The forms of the device emulator: emulated devices, an emulated central, the power switch of
// the helpers in an air, and the capture of a device through a helper.
#pragma once

#include <cstddef>
#include <string>

#include "tools/commands.h"

namespace tool {

// Whole lines from standard input, until it closes or SIGTERM or SIGINT arrives. A line longer
// than kMaxLineBytes is refused with an `error` event on standard output and skipped up to its
// newline, so that endless input without newlines takes bounded memory. Main thread.
class InputLines {
 public:
  static constexpr size_t kMaxLineBytes = 64 * 1024;

  InputLines();
  InputLines(const InputLines&) = delete;
  InputLines& operator=(const InputLines&) = delete;
  // The next line without its newline (and carriage return); false at the end.
  bool next(std::string& line);

 private:
  void refuseLongLine();

  int signalFd_;  // readable once SIGTERM or SIGINT arrived
  std::string buffer_;
  size_t searched_ = 0;    // bytes of buffer_ known to hold no newline
  bool skipping_ = false;  // dropping the rest of a refused line
  bool ended_ = false;
};

// Each runs its form to the end and returns the exit status (0, or 2 for bad input, with the
// reason on standard error). Main thread.
int runDevices(const Invocation& invocation);
int runCentral(const Invocation& invocation);
int runPower(const Invocation& invocation);
// Captures a device through a running helper into a device file: 0 when captured, 3 when
// captured but the helper's queue may have dropped notifications, 1 when the capture failed
// (what was captured is written all the same, marked partial), with the reason on standard error.
int runCapture(const Invocation& invocation);

}  // namespace tool
