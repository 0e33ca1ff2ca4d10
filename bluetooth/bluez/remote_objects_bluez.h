// The remote objects of the central manager over BlueZ: a device, its services and their
// characteristics, each named by its object path. They keep their identity across links (the
// same path gives the same object), and hand every operation to the manager that made them.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bluetooth/bluez/bluez_properties.h"
#include "bluetooth/core_bluetooth.h"
#include "bluetooth/remote_objects.h"

namespace bluez {

// The ATT MTU of a link until BlueZ gives its own.
constexpr uint16_t kDefaultMTU = 23;

class CBServiceBlueZ;
class CBPeripheralBlueZ;
class CBCharacteristicBlueZ;

// What a peripheral's operations ask of the central manager that made it. Called on the role's
// queue; the manager answers through the peripheral's delegate.
class PeripheralOperationsBlueZ {
 public:
  virtual ~PeripheralOperationsBlueZ() = default;
  virtual bool connected(const CBPeripheralBlueZ& peripheral) const = 0;
  virtual void discoverServices(const std::shared_ptr<CBPeripheralBlueZ>& peripheral) = 0;
  virtual void discoverCharacteristics(const std::shared_ptr<CBPeripheralBlueZ>& peripheral,
                                       const std::shared_ptr<CBServiceBlueZ>& service) = 0;
  virtual void read(const std::shared_ptr<CBPeripheralBlueZ>& peripheral,
                    const std::shared_ptr<CBCharacteristicBlueZ>& characteristic) = 0;
  virtual void write(const std::shared_ptr<CBPeripheralBlueZ>& peripheral,
                     const std::shared_ptr<CBCharacteristicBlueZ>& characteristic,
                     const CBData& data, CBCharacteristicWriteType type) = 0;
  virtual void setNotify(const std::shared_ptr<CBPeripheralBlueZ>& peripheral,
                         const std::shared_ptr<CBCharacteristicBlueZ>& characteristic,
                         bool enabled) = 0;
};

// The objects for BlueZ's objects `found`, in their order: those seen before (same path and
// UUID) are kept, so that they stay the same objects; `make` makes the others.
template <class Object, class Make>
std::vector<std::shared_ptr<Object>> keepOrMake(
    const std::optional<std::vector<std::shared_ptr<Object>>>& before,
    const std::vector<std::pair<std::string, Properties>>& found, Make make) {
  std::vector<std::shared_ptr<Object>> next;
  for (const auto& [path, props] : found) {
    auto uuid = CBUUID::fromString(property<std::string>(props, "UUID").value_or(""));
    if (!uuid) continue;
    std::shared_ptr<Object> kept;
    for (const auto& o : before.value_or(std::vector<std::shared_ptr<Object>>{})) {
      if (o->path() == path && o->UUID() == *uuid) kept = o;
    }
    next.push_back(kept ? kept : make(path, *uuid, props));
  }
  return next;
}

class CBCharacteristicBlueZ : public RemoteCharacteristic {
 public:
  CBCharacteristicBlueZ(std::string path, CBUUID uuid, uint32_t properties,
                        std::weak_ptr<CBService> service)
      : RemoteCharacteristic(uuid, properties, std::move(service)), path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  // BlueZ also announces the value that answers a read as a Value change: bluetoothd 5.66
  // before its reply, older ones after it. A change is a notification only while notifying,
  // no read of ours is out, and it is not the announcement of a read that came after its reply.
  bool takesNotification(const CBData& value) {
    std::lock_guard lock(mutex_);
    if (readsOut_ > 0) {
      announcedDuringRead_ = true;
      return false;
    }
    bool echo = echo_ && *echo_ == value;
    echo_.reset();
    return notifying_ && !echo;
  }
  void readStarted() {
    std::lock_guard lock(mutex_);
    if (readsOut_++ == 0) announcedDuringRead_ = false;
    echo_.reset();
  }
  // `value` is what the read answered (none when it failed).
  void readEnded(const std::optional<CBData>& value) {
    std::lock_guard lock(mutex_);
    if (readsOut_ > 0) --readsOut_;
    if (readsOut_ == 0 && value && !announcedDuringRead_) echo_ = value;
  }

 private:
  const std::string path_;
  int readsOut_ = 0;
  bool announcedDuringRead_ = false;
  std::optional<CBData> echo_;  // a read's value whose announcement is still to come
};

class CBServiceBlueZ : public RemoteService<CBCharacteristicBlueZ> {
 public:
  CBServiceBlueZ(std::string path, CBUUID uuid, bool primary, std::weak_ptr<CBPeripheral> owner)
      : RemoteService(uuid, primary, std::move(owner)), path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  // Takes BlueZ's characteristics of this service, keeping the objects of those seen before.
  void setCharacteristics(const std::vector<std::pair<std::string, Properties>>& found,
                          const std::shared_ptr<CBServiceBlueZ>& self) {
    std::lock_guard lock(mutex_);
    characteristics_ =
        keepOrMake(characteristics_, found,
                   [&](const std::string& path, CBUUID uuid, const Properties& props) {
                     auto flags = property<std::vector<std::string>>(props, "Flags")
                                      .value_or(std::vector<std::string>{});
                     return std::make_shared<CBCharacteristicBlueZ>(
                         path, uuid, propertiesFromFlags(flags), self);
                   });
  }
  std::shared_ptr<CBCharacteristicBlueZ> find(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const auto& c : characteristics_.value_or(decltype(characteristics_)::value_type{})) {
      if (c->path() == path) return c;
    }
    return nullptr;
  }

 private:
  const std::string path_;
};

class CBPeripheralBlueZ : public RemotePeripheral<CBServiceBlueZ>,
                          public std::enable_shared_from_this<CBPeripheralBlueZ> {
 public:
  CBPeripheralBlueZ(std::string path, std::string identifier,
                    std::weak_ptr<PeripheralOperationsBlueZ> manager)
      : RemotePeripheral(std::move(identifier)),
        path_(std::move(path)),
        manager_(std::move(manager)) {}

  void discoverServices() override;
  void discoverCharacteristics(const std::shared_ptr<CBService>& service) override;
  void readValue(const std::shared_ptr<CBCharacteristic>& characteristic) override;
  void writeValue(const CBData& data, const std::shared_ptr<CBCharacteristic>& characteristic,
                  CBCharacteristicWriteType type) override;
  size_t maximumWriteValueLength(CBCharacteristicWriteType type) const override;
  void setNotifyValue(bool enabled,
                      const std::shared_ptr<CBCharacteristic>& characteristic) override;
  std::string description() const override;

  const std::string& path() const { return path_; }
  void setServices(const std::vector<std::pair<std::string, Properties>>& found) {
    std::lock_guard lock(mutex_);
    services_ = keepOrMake(services_ ? services_ : earlier_, found,
                           [&](const std::string& path, CBUUID uuid, const Properties& props) {
                             return std::make_shared<CBServiceBlueZ>(
                                 path, uuid, property<bool>(props, "Primary").value_or(true),
                                 weak_from_this());
                           });
  }
  // The link is down: the services are unknown until discovered again, but their objects are
  // kept, so that the same paths give the same objects on the next link and what the roles
  // hold stays usable.
  // Returns the paths of the characteristics that were notifying, now not notifying.
  std::vector<std::string> clearServices() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> notifying;
    for (const auto& service : services_.value_or(decltype(services_)::value_type{})) {
      for (const auto& c :
           service->characteristics().value_or(std::vector<std::shared_ptr<CBCharacteristic>>{})) {
        if (!c->isNotifying()) continue;
        auto* own = static_cast<CBCharacteristicBlueZ*>(c.get());
        notifying.push_back(own->path());
        own->setNotifying(false);
      }
    }
    if (services_) earlier_ = std::move(services_);
    services_.reset();
    discoveryWanted_ = false;
    return notifying;
  }
  // An operation that waits until BlueZ has the device's GATT objects again after a reconnect.
  void park(std::function<void()> operation) {
    std::lock_guard lock(mutex_);
    parked_.push_back(std::move(operation));
  }
  std::vector<std::function<void()>> takeParked() {
    std::lock_guard lock(mutex_);
    return std::exchange(parked_, {});
  }
  void setDiscoveryWanted(bool wanted) {
    std::lock_guard lock(mutex_);
    discoveryWanted_ = wanted;
  }
  bool takeDiscoveryWanted() {
    std::lock_guard lock(mutex_);
    return std::exchange(discoveryWanted_, false);
  }
  std::shared_ptr<CBCharacteristicBlueZ> standIn(
      const std::shared_ptr<CBCharacteristic>& characteristic) const;
  std::shared_ptr<CBCharacteristicBlueZ> findCharacteristic(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (const auto& s : services_.value_or(earlier_.value_or(Services{}))) {
      if (path.rfind(s->path() + "/", 0) == 0) return s->find(path);
    }
    return nullptr;
  }
  void setMTU(uint16_t mtu) {
    std::lock_guard lock(mutex_);
    mtu_ = mtu;
  }
  uint16_t mtu() const {
    std::lock_guard lock(mutex_);
    return mtu_;
  }
  // The address and its type ("public" or "random") as BlueZ last gave them.
  void setAddress(const Properties& device) {
    std::lock_guard lock(mutex_);
    if (auto a = property<std::string>(device, "Address")) address_ = *a;
    if (auto t = property<std::string>(device, "AddressType")) addressType_ = *t;
  }
  std::pair<std::string, std::string> address() const {
    std::lock_guard lock(mutex_);
    return {address_, addressType_};
  }

 private:
  using Services = std::vector<std::shared_ptr<CBServiceBlueZ>>;
  const std::string path_;
  const std::weak_ptr<PeripheralOperationsBlueZ> manager_;
  std::optional<Services> earlier_;  // the services of the last link
  std::vector<std::function<void()>> parked_;
  bool discoveryWanted_ = false;
  uint16_t mtu_ = kDefaultMTU;
  std::string address_;
  std::string addressType_ = "random";
};

}  // namespace bluez
