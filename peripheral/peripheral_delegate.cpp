#include "peripheral/peripheral_delegate.h"

#include "plugin/errors.h"
#include "plugin/plugin.h"

namespace {
void notImplemented() {
  Plugin::shared().setLastError(Errors::kNotImplemented);
}
}  // namespace

PeripheralDelegate::PeripheralDelegate() = default;
void PeripheralDelegate::startAdvertising(const std::string&) {
  notImplemented();
}
void PeripheralDelegate::stopAdvertising() {
  notImplemented();
}
bool PeripheralDelegate::isAdvertising() {
  return false;
}
std::string PeripheralDelegate::get(const std::string&, const std::string&, const std::string&) {
  notImplemented();
  return Plugin::shared().badResult;
}
void PeripheralDelegate::set(const std::string&, const std::string&, const std::string&,
                             const std::string&) {
  notImplemented();
}
void PeripheralDelegate::setProfile(const std::string&) {
  notImplemented();
}
void PeripheralDelegate::setAuthorizationLevel(const std::string&, int64_t) {
  notImplemented();
}
bool PeripheralDelegate::isKnown(const std::string&) {
  return false;
}
bool PeripheralDelegate::isSubscribed(const std::string&) {
  return false;
}
std::set<std::string> PeripheralDelegate::getSubscribedFor(const std::string&) {
  return {};
}
int64_t PeripheralDelegate::getAuthorizationLevel(const std::string&) {
  return 0;
}
