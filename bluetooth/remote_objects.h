// What the backends' remote characteristics, services and peripherals have in common: the
// accessors the roles read, over state kept under one lock per object, so that any thread may
// read it while the backend's own thread changes it. A backend derives its objects from these
// and adds how it reaches the device.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bluetooth/core_bluetooth.h"
#include "bluetooth/description.h"

class RemoteCharacteristic : public CBCharacteristic {
 public:
  RemoteCharacteristic(CBUUID uuid, uint32_t properties, std::weak_ptr<CBService> service)
      : uuid_(uuid), properties_(properties), service_(std::move(service)) {}
  CBUUID UUID() const override { return uuid_; }
  uint32_t properties() const override { return properties_; }
  std::optional<CBData> value() const override {
    std::lock_guard lock(mutex_);
    return value_;
  }
  bool isNotifying() const override {
    std::lock_guard lock(mutex_);
    return notifying_;
  }
  std::shared_ptr<CBService> service() const override { return service_.lock(); }
  std::string description() const override {
    std::lock_guard lock(mutex_);
    return "<CBCharacteristic: " + pointerText(this) + ", UUID = " + uuid_.UUIDString() +
           ", properties = " + hexText(properties_) + ", value = " + describeValue(value_) +
           ", notifying = " + (notifying_ ? "YES" : "NO") + ">";
  }

  void setValue(CBData value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }
  void setNotifying(bool notifying) {
    std::lock_guard lock(mutex_);
    notifying_ = notifying;
  }

 protected:
  // Guards the value, the notification state and what a derived class adds.
  mutable std::mutex mutex_;
  bool notifying_ = false;

 private:
  const CBUUID uuid_;
  const uint32_t properties_;
  const std::weak_ptr<CBService> service_;
  std::optional<CBData> value_;
};

template <class Characteristic>
class RemoteService : public CBService {
 public:
  RemoteService(CBUUID uuid, bool primary, std::weak_ptr<CBPeripheral> peripheral)
      : uuid_(uuid), primary_(primary), peripheral_(std::move(peripheral)) {}
  CBUUID UUID() const override { return uuid_; }
  bool isPrimary() const override { return primary_; }
  std::optional<std::vector<std::shared_ptr<CBCharacteristic>>> characteristics() const override {
    std::lock_guard lock(mutex_);
    if (!characteristics_) return std::nullopt;
    return std::vector<std::shared_ptr<CBCharacteristic>>(characteristics_->begin(),
                                                          characteristics_->end());
  }
  std::shared_ptr<CBPeripheral> peripheral() const override { return peripheral_.lock(); }
  std::string description() const override {
    return "<CBService: " + pointerText(this) + ", isPrimary = " + (primary_ ? "YES" : "NO") +
           ", UUID = " + uuid_.UUIDString() + ">";
  }

 protected:
  mutable std::mutex mutex_;  // guards the characteristics
  std::optional<std::vector<std::shared_ptr<Characteristic>>> characteristics_;

 private:
  const CBUUID uuid_;
  const bool primary_;
  const std::weak_ptr<CBPeripheral> peripheral_;
};

template <class Service>
class RemotePeripheral : public CBPeripheral {
 public:
  explicit RemotePeripheral(std::string identifier) : identifier_(std::move(identifier)) {}
  std::string identifier() const override { return identifier_; }
  std::optional<std::string> name() const override {
    std::lock_guard lock(mutex_);
    return name_;
  }
  void setDelegate(CBPeripheralDelegate* delegate) override {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
  }
  std::optional<std::vector<std::shared_ptr<CBService>>> services() const override {
    std::lock_guard lock(mutex_);
    if (!services_) return std::nullopt;
    return std::vector<std::shared_ptr<CBService>>(services_->begin(), services_->end());
  }

  // A name the device gave; none keeps the one it had.
  void setName(const std::optional<std::string>& name) {
    std::lock_guard lock(mutex_);
    if (name) name_ = name;
  }
  CBPeripheralDelegate* delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
  }

 protected:
  // Guards the name, the delegate, the services and what a derived class adds.
  mutable std::mutex mutex_;
  std::optional<std::vector<std::shared_ptr<Service>>> services_;

 private:
  const std::string identifier_;
  std::optional<std::string> name_;
  CBPeripheralDelegate* delegate_ = nullptr;
};
