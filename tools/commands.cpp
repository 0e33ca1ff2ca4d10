#include "tools/commands.h"

#include "tools/device_file.h"

namespace tool {

const char* const kUsage =
    "usage: velnor-sim [--air DIR] device FILE.json\n"
    "       velnor-sim [--air DIR] central [--mtu N]\n"
    "       velnor-sim [--air DIR] power off|on\n"
    "       velnor-sim capture --helper PORT DEVICE [--seconds N] [--out FILE]";

namespace {

// Splits on blanks; a word in double quotes may hold blanks ("Pulse H1").
std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (i < line.size()) {
    if (blank(line[i])) {
      ++i;
      continue;
    }
    if (line[i] == '"') {
      size_t close = line.find('"', i + 1);
      if (close == std::string::npos) throw CommandError("a quote is not closed");
      out.push_back(line.substr(i + 1, close - i - 1));
      i = close + 1;
      continue;
    }
    size_t end = i;
    while (end < line.size() && !blank(line[end])) ++end;
    out.push_back(line.substr(i, end - i));
    i = end;
  }
  return out;
}

CBUUID uuidWord(const std::string& word) {
  auto u = CBUUID::fromString(word);
  if (!u) throw CommandError("not a UUID: \"" + word + "\"");
  return *u;
}

std::vector<uint8_t> hexWord(const std::string& word) {
  auto bytes = fromHex(word);
  if (!bytes) throw CommandError("not hex bytes: \"" + word + "\"");
  return *bytes;
}

// A characteristic value: hex bytes, at most what an attribute holds.
std::vector<uint8_t> valueWord(const std::string& word) {
  auto bytes = hexWord(word);
  if (bytes.size() > 512) throw CommandError("a value holds at most 512 bytes");
  return bytes;
}

// A whole number from `min` to `max` given to `option`.
long wholeNumber(const std::string& option, const std::string& n, long min, long max) {
  size_t used = 0;
  long value = min - 1;
  try {
    value = std::stol(n, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (n.empty() || used != n.size() || value < min || value > max) {
    throw CommandError(option + " needs a whole number from " + std::to_string(min) + " to " +
                       std::to_string(max) + ", not \"" + n + "\"");
  }
  return value;
}

// capture --helper PORT DEVICE [--seconds N] [--out FILE], options in any order.
void parseCapture(const std::vector<std::string>& rest, Invocation& inv) {
  inv.mode = Invocation::Mode::capture;
  bool port = false;
  for (size_t i = 1; i < rest.size(); ++i) {
    const std::string& word = rest[i];
    bool option = word == "--helper" || word == "--seconds" || word == "--out";
    if (option && i + 1 >= rest.size()) throw CommandError(word + " needs a value");
    if (word == "--helper") {
      inv.helperPort = static_cast<uint16_t>(wholeNumber(word, rest[++i], 1, 65535));
      port = true;
    } else if (word == "--seconds") {
      inv.seconds = static_cast<int>(wholeNumber(word, rest[++i], 1, 24 * 3600));
    } else if (word == "--out") {
      inv.outFile = rest[++i];
      if (inv.outFile.empty()) throw CommandError("--out needs a file name");
    } else if (word.rfind("--", 0) == 0 || !inv.captureDevice.empty()) {
      throw CommandError("unexpected argument \"" + word + "\" for capture");
    } else {
      inv.captureDevice = word;
    }
  }
  if (!port) throw CommandError("capture needs --helper PORT");
  if (inv.captureDevice.empty()) throw CommandError("capture needs a device name or identifier");
}

void expectCount(const std::vector<std::string>& w, size_t count, const char* usage) {
  if (w.size() != count) throw CommandError(std::string("usage: ") + usage);
}

}  // namespace

Invocation parseInvocation(const std::vector<std::string>& args, const std::string& defaultAir) {
  Invocation inv;
  inv.airDir = defaultAir;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--air") {
      if (i + 1 >= args.size() || args[i + 1].empty())
        throw CommandError("--air needs a directory");
      inv.airDir = args[++i];
    } else {
      rest.push_back(args[i]);
    }
  }
  if (rest.empty()) throw CommandError("missing command");
  const std::string& mode = rest[0];
  if (mode == "device") {
    if (rest.size() != 2) throw CommandError("device needs exactly one device file");
    inv.mode = Invocation::Mode::device;
    inv.deviceFile = rest[1];
  } else if (mode == "central") {
    inv.mode = Invocation::Mode::central;
    for (size_t i = 1; i < rest.size(); ++i) {
      if (rest[i] != "--mtu" || i + 1 >= rest.size()) {
        throw CommandError("unexpected argument \"" + rest[i] + "\" for central");
      }
      inv.mtu = static_cast<uint16_t>(wholeNumber("--mtu", rest[++i], 23, 517));
    }
  } else if (mode == "power") {
    if (rest.size() != 2 || (rest[1] != "on" && rest[1] != "off")) {
      throw CommandError("power needs on or off");
    }
    inv.mode = Invocation::Mode::power;
    inv.powerOn = rest[1] == "on";
  } else if (mode == "capture") {
    parseCapture(rest, inv);
  } else {
    throw CommandError("unknown command \"" + mode + "\"");
  }
  return inv;
}

std::optional<DeviceCommand> parseDeviceCommand(const std::string& line) {
  auto w = words(line);
  if (w.empty()) return std::nullopt;
  DeviceCommand c;
  const std::string& name = w[0];
  if (name == "notify" || name == "set") {
    expectCount(
        w, 5, name == "notify" ? "notify DEVICE SERVICE CHAR HEX" : "set DEVICE SERVICE CHAR HEX");
    c.kind = name == "notify" ? DeviceCommand::Kind::notify : DeviceCommand::Kind::set;
    c.device = w[1];
    c.service = uuidWord(w[2]);
    c.characteristic = uuidWord(w[3]);
    c.value = valueWord(w[4]);
  } else if (name == "drop") {
    expectCount(w, 2, "drop DEVICE");
    c.kind = DeviceCommand::Kind::drop;
    c.device = w[1];
  } else if (name == "advertise") {
    if (w.size() != 3 || (w[2] != "on" && w[2] != "off")) {
      throw CommandError("usage: advertise DEVICE on|off");
    }
    c.kind = DeviceCommand::Kind::advertise;
    c.device = w[1];
    c.on = w[2] == "on";
  } else if (name == "quit") {
    expectCount(w, 1, "quit");
    c.kind = DeviceCommand::Kind::quit;
  } else {
    throw CommandError("unknown command \"" + name + "\"");
  }
  return c;
}

std::optional<CentralCommand> parseCentralCommand(const std::string& line) {
  auto w = words(line);
  if (w.empty()) return std::nullopt;
  using Kind = CentralCommand::Kind;
  struct Form {
    const char* name;
    Kind kind;
    const char* usage;
    size_t count;  // words including the name
  };
  static const Form kForms[] = {
      {"scan", Kind::scan, "scan", 1},
      {"stop", Kind::stop, "stop", 1},
      {"connect", Kind::connect, "connect NAME_OR_ID", 2},
      {"discover", Kind::discover, "discover", 1},
      {"read", Kind::read, "read SERVICE CHAR", 3},
      {"write", Kind::write, "write SERVICE CHAR HEX", 4},
      {"write-cmd", Kind::writeCommand, "write-cmd SERVICE CHAR HEX", 4},
      {"subscribe", Kind::subscribe, "subscribe SERVICE CHAR", 3},
      {"unsubscribe", Kind::unsubscribe, "unsubscribe SERVICE CHAR", 3},
      {"disconnect", Kind::disconnect, "disconnect", 1},
      {"quit", Kind::quit, "quit", 1},
  };
  if (w[0] == "connect" && w.size() > 2 && line.find('"') == std::string::npos) {
    // A name may have spaces: the target is the rest of the line.
    CentralCommand c;
    c.kind = Kind::connect;
    size_t start = line.find_first_not_of(" \t", line.find("connect") + 7);
    size_t end = line.find_last_not_of(" \t\r");
    c.target = line.substr(start, end + 1 - start);
    return c;
  }
  for (const auto& form : kForms) {
    if (w[0] != form.name) continue;
    expectCount(w, form.count, form.usage);
    CentralCommand c;
    c.kind = form.kind;
    if (form.kind == Kind::connect) c.target = w[1];
    if (form.count >= 3 && form.kind != Kind::connect) {
      c.service = uuidWord(w[1]);
      c.characteristic = uuidWord(w[2]);
    }
    if (form.count == 4) c.value = hexWord(w[3]);
    return c;
  }
  throw CommandError("unknown command \"" + w[0] + "\"");
}

}  // namespace tool
