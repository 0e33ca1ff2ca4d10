#include <cstdio>
#include <nlohmann/json.hpp>

#include "bluetooth/sim/emulated_device.h"
#include "platform/console.h"
#include "tools/device_file.h"
#include "tools/emulator.h"

namespace tool {

namespace {

using Json = nlohmann::ordered_json;

void emit(const Json& event) {
  Console::writeLine(event.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void emitError(const std::string& message) {
  emit(Json{{"event", "error"}, {"message", message}});
}

// Prints what centrals do to the devices, one JSON object per line.
class EventPrinter : public sim::EmulatedDeviceObserver {
 public:
  void deviceConnected(const std::string& device, const std::string& central) override {
    emit(Json{{"event", "connected"}, {"device", device}, {"central", central}});
  }
  void deviceDisconnected(const std::string& device, const std::string& central) override {
    emit(Json{{"event", "disconnected"}, {"device", device}, {"central", central}});
  }
  void deviceRead(const std::string& device, const CBUUID& s, const CBUUID& c) override {
    emit(Json{{"event", "read"},
              {"device", device},
              {"service", s.UUIDString()},
              {"characteristic", c.UUIDString()}});
  }
  void deviceWritten(const std::string& device, const CBUUID& s, const CBUUID& c,
                     const std::vector<uint8_t>& value) override {
    emit(Json{{"event", "write"},
              {"device", device},
              {"service", s.UUIDString()},
              {"characteristic", c.UUIDString()},
              {"value", toHex(value)}});
  }
  void deviceSubscribed(const std::string& device, const CBUUID& s, const CBUUID& c,
                        bool subscribed) override {
    emit(Json{{"event", subscribed ? "subscribed" : "unsubscribed"},
              {"device", device},
              {"service", s.UUIDString()},
              {"characteristic", c.UUIDString()}});
  }
};

// The device named by its identifier (any case) or its name; throws CommandError.
sim::EmulatedDevice& findDevice(const std::vector<std::shared_ptr<sim::EmulatedDevice>>& devices,
                                const std::string& key) {
  auto id = sim::parseNodeId(key);
  sim::EmulatedDevice* found = nullptr;
  for (const auto& d : devices) {
    bool match = (id && d->config().id == *id) || d->config().name == key;
    if (!match) continue;
    if (found) throw CommandError("more than one device is named \"" + key + "\"");
    found = d.get();
  }
  if (!found) throw CommandError("no device \"" + key + "\"");
  return *found;
}

void carryOut(const DeviceCommand& c,
              const std::vector<std::shared_ptr<sim::EmulatedDevice>>& devices) {
  auto& device = findDevice(devices, c.device);
  switch (c.kind) {
    case DeviceCommand::Kind::notify:
    case DeviceCommand::Kind::set: {
      bool ok = c.kind == DeviceCommand::Kind::notify
                    ? device.notify(c.service, c.characteristic, c.value)
                    : device.setValue(c.service, c.characteristic, c.value);
      if (!ok) {
        throw CommandError("device \"" + c.device + "\" has no characteristic " +
                           c.characteristic.UUIDString() + " in service " + c.service.UUIDString());
      }
      return;
    }
    case DeviceCommand::Kind::drop:
      return device.dropLinks();
    case DeviceCommand::Kind::advertise:
      return device.setAdvertising(c.on);
    case DeviceCommand::Kind::quit:
      return;
  }
}

}  // namespace

int runDevices(const Invocation& invocation) {
  std::vector<sim::EmulatedDeviceConfig> configs;
  try {
    configs = loadDeviceFile(invocation.deviceFile);
  } catch (const DeviceFileError& e) {
    std::fprintf(stderr, "velnor-sim: %s\n", e.what());
    return 2;
  }
  std::shared_ptr<sim::Air> air;
  try {
    air = sim::makeSocketAir(invocation.airDir);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velnor-sim: %s\n", e.what());
    return 2;
  }
  InputLines input;
  EventPrinter printer;
  DispatchQueue queue("devices");
  std::vector<std::shared_ptr<sim::EmulatedDevice>> devices;
  for (auto& config : configs) {
    devices.push_back(sim::EmulatedDevice::create(air, std::move(config), printer, queue));
  }
  emit(Json{{"event", "ready"}});
  for (std::string line; input.next(line);) {
    try {
      auto command = parseDeviceCommand(line);
      if (!command) continue;
      if (command->kind == DeviceCommand::Kind::quit) break;
      carryOut(*command, devices);
    } catch (const CommandError& e) {
      emitError(e.what());
    }
  }
  devices.clear();  // the centrals see the devices go
  queue.sync([] {});
  return 0;
}

int runPower(const Invocation& invocation) {
  try {
    sim::makeSocketAir(invocation.airDir)->setPowerEverywhere(invocation.powerOn);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velnor-sim: %s\n", e.what());
    return 2;
  }
  return 0;
}

}  // namespace tool
