// velnor-sim: emulated Bluetooth devices and an emulated central in the simulated air.
#include <cstdio>
#include <string>
#include <vector>

#include "bluetooth/backend.h"
#include "platform/descriptors.h"
#include "tools/emulator.h"

int main(int argc, char** argv) {
  termination_signals::block();
  std::vector<std::string> args(argv + 1, argv + argc);
  tool::Invocation invocation;
  try {
    invocation = tool::parseInvocation(args, defaultAirDirectory());
  } catch (const tool::CommandError& e) {
    std::fprintf(stderr, "velnor-sim: %s\n%s\n", e.what(), tool::kUsage);
    return 2;
  }
  switch (invocation.mode) {
    case tool::Invocation::Mode::device:
      return tool::runDevices(invocation);
    case tool::Invocation::Mode::central:
      return tool::runCentral(invocation);
    case tool::Invocation::Mode::power:
      return tool::runPower(invocation);
    case tool::Invocation::Mode::capture:
      return tool::runCapture(invocation);
  }
  return 2;
}
