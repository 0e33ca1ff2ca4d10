#include "bluetooth/core_bluetooth.h"

#include "bluetooth/description.h"

CBMutableCharacteristic::CBMutableCharacteristic(CBUUID uuid, uint32_t properties,
                                                 std::optional<CBData> value, uint32_t permissions)
    : uuid_(uuid), properties_(properties), permissions_(permissions), value_(std::move(value)) {}

std::optional<CBData> CBMutableCharacteristic::value() const {
  std::lock_guard lock(mutex_);
  return value_;
}

void CBMutableCharacteristic::setValue(std::optional<CBData> value) {
  std::lock_guard lock(mutex_);
  value_ = std::move(value);
}

std::shared_ptr<CBService> CBMutableCharacteristic::service() const {
  std::lock_guard lock(mutex_);
  return service_.lock();
}

void CBMutableCharacteristic::setService(const std::weak_ptr<CBService>& service) {
  std::lock_guard lock(mutex_);
  service_ = service;
}

std::string CBMutableCharacteristic::description() const {
  return "<CBMutableCharacteristic: " + pointerText(this) + ", UUID = " + uuid_.UUIDString() +
         ", Value = " + describeValue(value()) + ", Properties = " + hexText(properties_) +
         ", Permissions = " + hexText(permissions_) + ">";
}

std::optional<std::vector<std::shared_ptr<CBCharacteristic>>> CBMutableService::characteristics()
    const {
  return std::vector<std::shared_ptr<CBCharacteristic>>(characteristics_.begin(),
                                                        characteristics_.end());
}

void CBMutableService::setCharacteristics(
    std::vector<std::shared_ptr<CBMutableCharacteristic>> characteristics) {
  characteristics_ = std::move(characteristics);
  std::weak_ptr<CBService> self = weak_from_this();
  for (auto& c : characteristics_) c->setService(self);
}

std::string CBMutableService::description() const {
  return "<CBMutableService: " + pointerText(this) + ", Primary = " + (primary_ ? "YES" : "NO") +
         ", UUID = " + uuid_.UUIDString() + ">";
}
