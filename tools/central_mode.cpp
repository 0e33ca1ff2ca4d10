#include <algorithm>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "bluetooth/sim/sim_central_manager.h"
#include "platform/console.h"
#include "tools/device_file.h"
#include "tools/emulator.h"

namespace tool {

namespace {

using Json = nlohmann::ordered_json;

void emit(const Json& event) {
  Console::writeLine(event.dump(-1, ' ', false, Json::error_handler_t::replace));
}

std::string upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
  return s;
}

// The emulated central: carries out commands and prints what the radio reports. Its state
// lives on its queue; commands reach it through queue.sync.
class Central : public CBCentralManagerDelegate, public CBPeripheralDelegate {
 public:
  std::shared_ptr<CBCentralManager> manager;

  // On the queue.
  void carryOut(const CentralCommand& c) {
    using Kind = CentralCommand::Kind;
    switch (c.kind) {
      case Kind::scan:
        return manager->scanForPeripherals(std::nullopt, {});
      case Kind::stop:
        return manager->stopScan();
      case Kind::connect:
        return connect(c.target);
      case Kind::discover:
        discovering_ = 0;
        return connected().discoverServices();
      case Kind::read:
        return read(c);
      case Kind::write:
      case Kind::writeCommand:
        return write(c);
      case Kind::subscribe:
      case Kind::unsubscribe: {
        auto ch = characteristic(c);
        subscribing_[ch.get()] = c.kind == Kind::subscribe;
        return connected().setNotifyValue(c.kind == Kind::subscribe, ch);
      }
      case Kind::disconnect:
        return manager->cancelPeripheralConnection(connectedPeripheral());
      case Kind::quit:
        return;
    }
  }

  void centralManagerDidUpdateState(CBCentralManager&) override {}

  void centralManagerDidDiscoverPeripheral(CBCentralManager&,
                                           const std::shared_ptr<CBPeripheral>& p,
                                           const CBAdvertisementData& data, int rssi) override {
    auto name = data.localName ? data.localName : p->name();
    known_[p->identifier()] = Known{p, name};
    emit(Json{{"event", "discovered"},
              {"id", p->identifier()},
              {"name", name ? Json(*name) : Json(nullptr)},
              {"rssi", rssi}});
  }

  void centralManagerDidConnectPeripheral(CBCentralManager&,
                                          const std::shared_ptr<CBPeripheral>& p) override {
    p->setDelegate(this);
    current_ = p;
    emit(Json{{"event", "connected"}, {"id", p->identifier()}});
  }

  void centralManagerDidFailToConnectPeripheral(CBCentralManager&,
                                                const std::shared_ptr<CBPeripheral>& p,
                                                const std::optional<CBError>& e) override {
    if (current_ == p) current_.reset();
    emit(Json{{"event", "connect-failed"},
              {"id", p->identifier()},
              {"message", e ? e->localizedDescription : "failed"}});
  }

  void centralManagerDidDisconnectPeripheral(CBCentralManager&,
                                             const std::shared_ptr<CBPeripheral>& p,
                                             const std::optional<CBError>& e) override {
    if (current_ == p) current_.reset();
    Json event{{"event", "disconnected"}, {"id", p->identifier()}};
    if (e) event["message"] = e->localizedDescription;
    emit(event);
  }

  void peripheralDidDiscoverServices(const std::shared_ptr<CBPeripheral>& p,
                                     const std::optional<CBError>&) override {
    auto services = p->services().value_or(std::vector<std::shared_ptr<CBService>>{});
    discovering_ = services.size();
    if (services.empty()) return printServices(p);
    for (const auto& s : services) p->discoverCharacteristics(s);
  }

  void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<CBPeripheral>& p,
                                                      const std::shared_ptr<CBService>&,
                                                      const std::optional<CBError>&) override {
    if (discovering_ > 0 && --discovering_ == 0) printServices(p);
  }

  void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<CBPeripheral>&,
                                                 const std::shared_ptr<CBCharacteristic>& c,
                                                 const std::optional<CBError>& e) override {
    bool wasRead = reading_.erase(c.get()) > 0;
    Json event{{"event", wasRead ? "read" : "notification"}};
    addPlace(event, c);
    if (wasRead) event["att"] = e ? e->code : 0;
    event["value"] = e ? "" : toHex(c->value().value_or(CBData{}));
    emit(event);
  }

  void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<CBPeripheral>&,
                                                const std::shared_ptr<CBCharacteristic>& c,
                                                const std::optional<CBError>& e) override {
    Json event{{"event", "written"}};
    addPlace(event, c);
    event["att"] = e ? e->code : 0;
    emit(event);
  }

  void peripheralDidUpdateNotificationStateForCharacteristic(
      const std::shared_ptr<CBPeripheral>&, const std::shared_ptr<CBCharacteristic>& c,
      const std::optional<CBError>& e) override {
    auto it = subscribing_.find(c.get());
    bool subscribe = it != subscribing_.end() ? it->second : c->isNotifying();
    if (it != subscribing_.end()) subscribing_.erase(it);
    Json event{{"event", subscribe ? "subscribed" : "unsubscribed"}};
    addPlace(event, c);
    event["att"] = e ? e->code : 0;
    emit(event);
  }

 private:
  struct Known {
    std::shared_ptr<CBPeripheral> peripheral;
    std::optional<std::string> name;
  };

  void connect(const std::string& target) {
    if (current_) throw CommandError("already connected to " + current_->identifier());
    std::shared_ptr<CBPeripheral> found;
    for (const auto& [id, known] : known_) {
      if (id != upper(target) && known.name != target) continue;
      if (found) throw CommandError("more than one device is named \"" + target + "\"");
      found = known.peripheral;
    }
    if (!found) throw CommandError("no device \"" + target + "\" was discovered (scan first)");
    manager->connect(found);
  }

  const std::shared_ptr<CBPeripheral>& connectedPeripheral() const {
    if (!current_) throw CommandError("not connected");
    return current_;
  }
  CBPeripheral& connected() const { return *connectedPeripheral(); }

  std::shared_ptr<CBCharacteristic> characteristic(const CentralCommand& c) const {
    auto services = connected().services().value_or(std::vector<std::shared_ptr<CBService>>{});
    for (const auto& s : services) {
      if (!(s->UUID() == c.service)) continue;
      for (const auto& ch :
           s->characteristics().value_or(std::vector<std::shared_ptr<CBCharacteristic>>{})) {
        if (ch->UUID() == c.characteristic) return ch;
      }
    }
    throw CommandError("no characteristic " + c.characteristic.UUIDString() + " in service " +
                       c.service.UUIDString() + " (discover first)");
  }

  void read(const CentralCommand& c) {
    auto ch = characteristic(c);
    reading_.insert(ch.get());
    connected().readValue(ch);
  }

  void write(const CentralCommand& c) {
    auto ch = characteristic(c);
    auto type = c.kind == CentralCommand::Kind::write ? CBCharacteristicWriteType::withResponse
                                                      : CBCharacteristicWriteType::withoutResponse;
    size_t max = connected().maximumWriteValueLength(type);
    if (c.value.size() > max) {
      throw CommandError("value of " + std::to_string(c.value.size()) + " bytes is longer than " +
                         std::to_string(max));
    }
    connected().writeValue(c.value, ch, type);
  }

  static void addPlace(Json& event, const std::shared_ptr<CBCharacteristic>& c) {
    auto service = c->service();
    event["service"] = service ? service->UUID().UUIDString() : "";
    event["characteristic"] = c->UUID().UUIDString();
  }

  static void printServices(const std::shared_ptr<CBPeripheral>& p) {
    Json list = Json::array();
    for (const auto& s : p->services().value_or(std::vector<std::shared_ptr<CBService>>{})) {
      Json characteristics = Json::array();
      for (const auto& c :
           s->characteristics().value_or(std::vector<std::shared_ptr<CBCharacteristic>>{})) {
        characteristics.push_back(
            Json{{"uuid", c->UUID().UUIDString()}, {"properties", propertyWords(c->properties())}});
      }
      list.push_back(Json{{"uuid", s->UUID().UUIDString()}, {"characteristics", characteristics}});
    }
    emit(Json{{"event", "services"}, {"id", p->identifier()}, {"services", list}});
  }

  std::map<std::string, Known> known_;
  std::shared_ptr<CBPeripheral> current_;
  size_t discovering_ = 0;
  std::set<const CBCharacteristic*> reading_;
  std::map<const CBCharacteristic*, bool> subscribing_;
};

}  // namespace

int runCentral(const Invocation& invocation) {
  std::shared_ptr<sim::Air> air;
  try {
    air = sim::makeSocketAir(invocation.airDir);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velnor-sim: %s\n", e.what());
    return 2;
  }
  InputLines input;
  DispatchQueue queue("central");
  Central central;
  sim::CentralOptions options;
  options.mtu = invocation.mtu;
  options.helperNode = false;
  central.manager = sim::makeCentralManager(air, central, queue, options);
  emit(Json{{"event", "ready"}, {"id", sim::nodeIdText(options.id)}});
  for (std::string line; input.next(line);) {
    try {
      auto command = parseCentralCommand(line);
      if (!command) continue;
      if (command->kind == CentralCommand::Kind::quit) break;
      queue.sync([&] { central.carryOut(*command); });
    } catch (const CommandError& e) {
      emit(Json{{"event", "error"}, {"message", e.what()}});
    }
  }
  queue.sync([&] { central.manager.reset(); });
  return 0;
}

}  // namespace tool
