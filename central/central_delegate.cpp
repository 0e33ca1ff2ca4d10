#include "central/central_delegate.h"

#include "plugin/errors.h"
#include "plugin/plugin.h"

namespace {
void notImplemented() {
  Plugin::shared().setLastError(Errors::kNotImplemented);
}
}  // namespace

CentralDelegate::CentralDelegate() = default;
void CentralDelegate::startScan(const std::string&) {
  notImplemented();
}
void CentralDelegate::stopScan() {
  notImplemented();
}
void CentralDelegate::connect(const std::string&, const std::string&, double) {
  notImplemented();
}
void CentralDelegate::disconnect(const std::string&) {
  notImplemented();
}
std::string CentralDelegate::read(const std::string&, const std::string&, const std::string&,
                                  const std::string&, double) {
  notImplemented();
  return Plugin::shared().badResult;
}
void CentralDelegate::write(const std::string&, const std::string&, const std::string&,
                            const std::string&, const std::string&, double) {
  notImplemented();
}
void CentralDelegate::subscribe(const std::string&, const std::string&, const std::string&,
                                const std::string&, const std::string&, double) {
  notImplemented();
}
