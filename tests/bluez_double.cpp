#include "bluez_double.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr const char* kMock = "org.bluez.Mock";
constexpr std::chrono::microseconds kCallTimeout = 25s;
// Longer than the double's own wait for the application it calls, so its answer gets through.
constexpr std::chrono::microseconds kRemoteTimeout = 35s;
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

template <typename... Args>
sdbus::MethodReply BlueZDouble::call(std::chrono::microseconds timeout, const std::string& method,
                                     const Args&... args) {
  auto message = mock_->createMethodCall(kMock, method);
  (message << ... << args);
  return mock_->callMethod(message, timeout);
}

template <typename Result, typename... Args>
Result BlueZDouble::ask(std::chrono::microseconds timeout, const std::string& method,
                        const Args&... args) {
  Result result{};
  auto reply = call(timeout, method, args...);
  reply >> result;
  return result;
}

std::string BlueZDouble::addAdapter(const std::string& name, const std::string& systemName) {
  return ask<std::string>(kCallTimeout, "AddAdapter", name, systemName);
}

void BlueZDouble::setPowered(const std::string& adapter, bool powered) {
  call(kCallTimeout, "SetPowered", adapter, powered);
}

BlueZDouble::Props BlueZDouble::discoveryFilter(const std::string& adapter) {
  return ask<Props>(kCallTimeout, "GetDiscoveryFilter", adapter);
}

bool BlueZDouble::stoppingDiscovery(const std::string& adapter) {
  return ask<bool>(kCallTimeout, "StoppingDiscovery", adapter);
}

std::string BlueZDouble::addLEDevice(const std::string& adapter, const std::string& address,
                                     const Props& props) {
  return ask<std::string>(kCallTimeout, "AddLEDevice", adapter, address, props);
}

void BlueZDouble::setExperimental(const std::string& adapter, bool on) {
  call(kCallTimeout, "SetExperimental", adapter, on);
}

void BlueZDouble::setValueAfterReply(bool after) {
  call(kCallTimeout, "SetValueAfterReply", after);
}

void BlueZDouble::setTemporaryTimeout(double seconds) {
  call(kCallTimeout, "SetTemporaryTimeout", seconds);
}

bool BlueZDouble::advertise(const std::string& device, const Props& props) {
  return ask<bool>(kCallTimeout, "Advertise", sdbus::ObjectPath(device), props);
}

bool BlueZDouble::deviceExists(const std::string& device) {
  return ask<bool>(kCallTimeout, "DeviceExists", sdbus::ObjectPath(device));
}

void BlueZDouble::forgetDevice(const std::string& device) {
  call(kCallTimeout, "ForgetDevice", sdbus::ObjectPath(device));
}

void BlueZDouble::setResolveEarly(const std::string& device, bool early) {
  call(kCallTimeout, "SetResolveEarly", sdbus::ObjectPath(device), early);
}

void BlueZDouble::floodRSSI(const std::string& device, uint32_t count) {
  // The double sends some tens of thousands a second; leave room for a slow, sanitized reader.
  call(kCallTimeout + std::chrono::microseconds(count) * 100, "FloodRSSI",
       sdbus::ObjectPath(device), count);
}

void BlueZDouble::removeLEDevice(const std::string& device) {
  call(kCallTimeout, "RemoveLEDevice", sdbus::ObjectPath(device));
}

void BlueZDouble::setConnectBehaviour(const std::string& device, const std::string& behaviour) {
  call(kCallTimeout, "SetConnectBehaviour", sdbus::ObjectPath(device), behaviour);
}

void BlueZDouble::dropLink(const std::string& device) {
  call(kCallTimeout, "DropLink", sdbus::ObjectPath(device));
}

std::string BlueZDouble::addGattService(const std::string& device, const std::string& uuid) {
  return ask<std::string>(kCallTimeout, "AddGattService", sdbus::ObjectPath(device), uuid);
}

std::string BlueZDouble::addGattCharacteristic(const std::string& service, const std::string& uuid,
                                               const std::vector<std::string>& flags,
                                               const Bytes& value) {
  return ask<std::string>(kCallTimeout, "AddGattCharacteristic", sdbus::ObjectPath(service), uuid,
                          flags, value);
}

void BlueZDouble::setCharBehaviour(const std::string& characteristic, const std::string& method,
                                   const std::string& behaviour) {
  call(kCallTimeout, "SetCharBehaviour", sdbus::ObjectPath(characteristic), method, behaviour);
}

void BlueZDouble::notify(const std::string& characteristic, const Bytes& value) {
  call(kCallTimeout, "Notify", sdbus::ObjectPath(characteristic), value);
}

std::vector<std::pair<BlueZDouble::Bytes, std::string>> BlueZDouble::writes(
    const std::string& characteristic) {
  std::vector<sdbus::Struct<Bytes, std::string>> recorded;
  auto reply = call(kCallTimeout, "GetWrites", sdbus::ObjectPath(characteristic));
  reply >> recorded;
  std::vector<std::pair<Bytes, std::string>> result;
  for (auto& write : recorded) result.emplace_back(std::get<0>(write), std::get<1>(write));
  return result;
}

BlueZDouble::ManagedObjects BlueZDouble::application(const std::string& adapter) {
  return ask<ManagedObjects>(kCallTimeout, "GetApplication", adapter);
}

BlueZDouble::Props BlueZDouble::advertisement(const std::string& adapter) {
  return ask<Props>(kCallTimeout, "GetAdvertisement", adapter);
}

std::pair<uint32_t, uint32_t> BlueZDouble::registrations(const std::string& adapter) {
  auto counts = ask<sdbus::Struct<uint32_t, uint32_t>>(kCallTimeout, "CountRegistrations", adapter);
  return {std::get<0>(counts), std::get<1>(counts)};
}

uint8_t BlueZDouble::advertisingFlags(const std::string& adapter) {
  return ask<uint8_t>(kCallTimeout, "GetAdvertisingFlags", adapter);
}

BlueZDouble::Bytes BlueZDouble::remoteRead(const std::string& adapter, const std::string& charUuid,
                                           const std::string& device, uint16_t mtu) {
  return ask<Bytes>(kRemoteTimeout, "RemoteRead", adapter, charUuid, device, mtu);
}

void BlueZDouble::remoteWrite(const std::string& adapter, const std::string& charUuid,
                              const std::string& device, const Bytes& value,
                              const std::string& type) {
  call(kRemoteTimeout, "RemoteWrite", adapter, charUuid, device, value, type);
}

void BlueZDouble::remoteStartNotify(const std::string& adapter, const std::string& charUuid,
                                    const std::string& device, uint16_t mtu) {
  call(kRemoteTimeout, "RemoteStartNotify", adapter, charUuid, sdbus::ObjectPath(device), mtu);
}

void BlueZDouble::remoteStopNotify(const std::string& adapter, const std::string& charUuid,
                                   const std::string& device) {
  call(kRemoteTimeout, "RemoteStopNotify", adapter, charUuid, sdbus::ObjectPath(device));
}

std::vector<BlueZDouble::Bytes> BlueZDouble::notifications(const std::string& adapter,
                                                           const std::string& charUuid,
                                                           const std::string& device) {
  return ask<std::vector<Bytes>>(kCallTimeout, "GetNotifications", adapter, charUuid,
                                 sdbus::ObjectPath(device));
}

void BlueZDouble::remotePair(const std::string& device, bool justWorks) {
  call(kRemoteTimeout, "RemotePair", sdbus::ObjectPath(device), justWorks);
}
