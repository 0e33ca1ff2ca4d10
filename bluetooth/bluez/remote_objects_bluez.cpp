#include "bluetooth/bluez/remote_objects_bluez.h"

#include "bluetooth/description.h"

namespace bluez {

namespace {

// Each operation of a peripheral goes to its manager while both live.
template <class Op>
void withManager(const std::weak_ptr<PeripheralOperationsBlueZ>& manager, Op op) {
  if (auto m = manager.lock()) op(*m);
}

}  // namespace

void CBPeripheralBlueZ::discoverServices() {
  withManager(manager_,
              [&](PeripheralOperationsBlueZ& m) { m.discoverServices(shared_from_this()); });
}

void CBPeripheralBlueZ::discoverCharacteristics(const std::shared_ptr<CBService>& service) {
  auto own = std::dynamic_pointer_cast<CBServiceBlueZ>(service);
  if (!own || own->peripheral().get() != this) return;
  withManager(manager_, [&](PeripheralOperationsBlueZ& m) {
    m.discoverCharacteristics(shared_from_this(), own);
  });
}

// A characteristic the roles got from an earlier object of this device (bluetoothd forgot the
// device and found it again) is replaced by this one's at the same path; without one, the
// operation goes to that path and bluetoothd's answer ends it. Only a characteristic of another
// device is refused: the roles never pair the two.
std::shared_ptr<CBCharacteristicBlueZ> CBPeripheralBlueZ::standIn(
    const std::shared_ptr<CBCharacteristic>& characteristic) const {
  auto given = std::dynamic_pointer_cast<CBCharacteristicBlueZ>(characteristic);
  if (!given || given->path().rfind(path_ + "/", 0) != 0) return nullptr;
  auto current = findCharacteristic(given->path());
  return current ? current : given;
}

void CBPeripheralBlueZ::readValue(const std::shared_ptr<CBCharacteristic>& characteristic) {
  auto own = standIn(characteristic);
  if (!own) return;
  withManager(manager_, [&](PeripheralOperationsBlueZ& m) { m.read(shared_from_this(), own); });
}

void CBPeripheralBlueZ::writeValue(const CBData& data,
                                   const std::shared_ptr<CBCharacteristic>& characteristic,
                                   CBCharacteristicWriteType type) {
  auto own = standIn(characteristic);
  if (!own) return;
  withManager(manager_,
              [&](PeripheralOperationsBlueZ& m) { m.write(shared_from_this(), own, data, type); });
}

std::string CBPeripheralBlueZ::description() const {
  bool linked = false;
  withManager(manager_, [&](PeripheralOperationsBlueZ& m) { linked = m.connected(*this); });
  return "<CBPeripheral: " + pointerText(this) + ", identifier = " + identifier() +
         ", name = " + name().value_or("(null)") + ", mtu = " + std::to_string(mtu()) +
         ", state = " + (linked ? "connected" : "disconnected") + ">";
}

size_t CBPeripheralBlueZ::maximumWriteValueLength(CBCharacteristicWriteType type) const {
  if (type == CBCharacteristicWriteType::withResponse) return 512;
  return mtu() - 3;
}

void CBPeripheralBlueZ::setNotifyValue(bool enabled,
                                       const std::shared_ptr<CBCharacteristic>& characteristic) {
  auto own = standIn(characteristic);
  if (!own) return;
  withManager(manager_,
              [&](PeripheralOperationsBlueZ& m) { m.setNotify(shared_from_this(), own, enabled); });
}

}  // namespace bluez
