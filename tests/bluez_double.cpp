#include "bluez_double.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::microseconds kCallTimeout = 25s;
constexpr double kStartSeconds = 30;

std::string busConfig(const std::string& socket) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)" +
         socket + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow send_type="signal"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
</busconfig>
)";
}

}  // namespace

BlueZDouble::Dir::~Dir() {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

BlueZDouble::BlueZDouble() {
  dir_.path = makeTemporaryDirectory("velnor-bluez");
  std::ofstream(dir_.path + "/bus.conf") << busConfig(dir_.path + "/system_bus_socket");

  bus_ = std::make_unique<ChildProcess>(ChildProcess::Options{
      .program = "/usr/bin/dbus-daemon",
      .args = {"--config-file=" + dir_.path + "/bus.conf", "--nofork", "--print-address"},
      .dieWithParent = true});
  auto line = bus_->waitForLine([](const std::string& l) { return l.rfind("unix:", 0) == 0; },
                                ChildProcess::after(kStartSeconds));
  if (!line)
    throw std::runtime_error("dbus-daemon did not start:\n" +
                             ChildProcess::joined(bus_->stderrLines()));
  address_ = *line;

  connection_ = sdbus::createSessionBusConnectionWithAddress(address_);
  busDriver_ = sdbus::createProxy(*connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  mock_ = sdbus::createProxy(*connection_, "org.bluez", "/");
  startBlueZ();
}

// The members go in the reverse order of their start: the double, the fixture's connection,
// the bus, then the directory.
BlueZDouble::~BlueZDouble() = default;

bool BlueZDouble::bluezOwned() {
  bool owned = false;
  busDriver_->callMethod("NameHasOwner")
      .onInterface("org.freedesktop.DBus")
      .withArguments(std::string("org.bluez"))
      .storeResultsTo(owned);
  return owned;
}

void BlueZDouble::waitForBlueZ(bool owned) {
  auto deadline = ChildProcess::after(kStartSeconds);
  while (bluezOwned() != owned) {
    if (owned && bluez_->waitForExit(ChildProcess::Clock::now())) {
      throw std::runtime_error("the BlueZ double exited:\n" +
                               ChildProcess::joined(bluez_->stderrLines()));
    }
    if (ChildProcess::Clock::now() > deadline) {
      throw std::runtime_error("org.bluez did not " + std::string(owned ? "appear" : "go"));
    }
    std::this_thread::sleep_for(5ms);
  }
}

void BlueZDouble::stopBlueZ() {
  if (!bluez_) return;
  bluez_->kill();
  bluez_->waitForExit(ChildProcess::after(kStartSeconds));
  waitForBlueZ(false);
}

void BlueZDouble::stopBus() {
  bus_->kill();
  bus_->waitForExit(ChildProcess::after(kStartSeconds));
}

void BlueZDouble::freeze(bool frozen) {
  if (bluez_) ::kill(bluez_->pid(), frozen ? SIGSTOP : SIGCONT);
}

void BlueZDouble::startBlueZ() {
  stopBlueZ();
  bluez_ = std::make_unique<ChildProcess>(ChildProcess::Options{
      .program = "/usr/bin/python3",
      .args = {"-m", "dbusmock", "--system", "--template",
               VELNOR_SOURCE_DIR "/tests/bluez/bluez_double.py"},
      // The settings of another Python (pyenv, a virtualenv) must not reach the system one.
      .env = {{"DBUS_SYSTEM_BUS_ADDRESS", address_}, {"PYTHONPATH", ""}, {"PYTHONHOME", ""}},
      .dieWithParent = true});
  waitForBlueZ(true);
}

std::vector<std::string> BlueZDouble::log() const {
  if (!bluez_) return {};
  // The double writes each line as it goes, but this process reads them on a thread of its own:
  // a line asked for last, once it is here, shows that every earlier one is too.
  std::string mark = "velnor.LogMark" + std::to_string(++marks_);
  auto message = mock_->createMethodCall("org.freedesktop.DBus.Properties", "GetAll");
  message << mark;
  try {
    mock_->callMethod(message, kCallTimeout);
  } catch (const sdbus::Error& e) {
    if (e.getMessage().find("no such interface") != std::string::npos) {
      bluez_->waitForLine([&](const std::string& l) { return l.ends_with(" " + mark); },
                          ChildProcess::after(kStartSeconds));
    }
  }
  auto lines = bluez_->stdoutLines();
  auto errors = bluez_->stderrLines();
  lines.insert(lines.end(), errors.begin(), errors.end());
  return lines;
}

void BlueZDouble::floodRSSI(const std::string& device, uint32_t count) {
  auto message = mock_->createMethodCall(kMock, "FloodRSSI");
  message << device << count;
  // The double sends some tens of thousands a second; leave room for a slow, sanitized reader.
  mock_->callMethod(message, kCallTimeout + std::chrono::microseconds(count) * 100);
}
