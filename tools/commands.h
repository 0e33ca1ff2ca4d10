// The emulator's command line and its interactive commands, parsed into plain records.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bluetooth/cb_uuid.h"

namespace tool {

// A command line or an interactive command that cannot be carried out; what() says why.
class CommandError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Invocation {
  enum class Mode { device, central, power, capture };
  Mode mode = Mode::device;
  std::string airDir;         // from --air, else $VELNOR_AIR, else /tmp/velnor-air
  std::string deviceFile;     // device mode
  uint16_t mtu = 185;         // central mode
  bool powerOn = true;        // power mode
  uint16_t helperPort = 0;    // capture mode: the helper's port
  std::string captureDevice;  // capture mode: name or identifier
  int seconds = 10;           // capture mode: how long to listen
  std::string outFile;        // capture mode: where to write; empty for standard output
};

// The usage text printed with a command-line error.
extern const char* const kUsage;

// Parses the arguments after the program name. `defaultAir` is used without --air. Throws
// CommandError.
Invocation parseInvocation(const std::vector<std::string>& args, const std::string& defaultAir);

struct DeviceCommand {
  enum class Kind { notify, set, drop, advertise, quit };
  Kind kind = Kind::quit;
  std::string device;  // id or name
  CBUUID service = CBUUID::from16(0);
  CBUUID characteristic = CBUUID::from16(0);
  std::vector<uint8_t> value;
  bool on = false;
};

// One line of device mode: notify DEVICE SERVICE CHAR HEX, set DEVICE SERVICE CHAR HEX,
// drop DEVICE, advertise DEVICE on|off, quit. None for a blank line. Throws CommandError.
std::optional<DeviceCommand> parseDeviceCommand(const std::string& line);

struct CentralCommand {
  enum class Kind {
    scan,
    stop,
    connect,
    discover,
    read,
    write,
    writeCommand,
    subscribe,
    unsubscribe,
    disconnect,
    quit
  };
  Kind kind = Kind::quit;
  std::string target;  // connect: name or id
  CBUUID service = CBUUID::from16(0);
  CBUUID characteristic = CBUUID::from16(0);
  std::vector<uint8_t> value;
};

// One line of central mode (scan, stop, connect NAME_OR_ID, discover, read S C, write S C HEX,
// write-cmd S C HEX, subscribe S C, unsubscribe S C, disconnect, quit). None for a blank line.
// Throws CommandError.
std::optional<CentralCommand> parseCentralCommand(const std::string& line);

}  // namespace tool
