// The three forms of the device emulator: emulated devices, an emulated central, and the power
// switch of the helpers in an air.
#pragma once

#include <string>

#include "tools/commands.h"

namespace tool {

// Blocks SIGTERM and SIGINT in the calling thread and every thread it starts later, so that
// InputLines can take them. Call first thing in main.
void blockTerminationSignals();

// Whole lines from standard input, until it closes or SIGTERM or SIGINT arrives. Main thread.
class InputLines {
 public:
  InputLines();
  ~InputLines();
  InputLines(const InputLines&) = delete;
  InputLines& operator=(const InputLines&) = delete;
  // The next line without its newline; false at the end.
  bool next(std::string& line);

 private:
  int signalFd_ = -1;
  std::string buffer_;
  bool ended_ = false;
};

// Each runs its form to the end and returns the exit status (0, or 2 for bad input, with the
// reason on standard error). Main thread.
int runDevices(const Invocation& invocation);
int runCentral(const Invocation& invocation);
int runPower(const Invocation& invocation);

}  // namespace tool
