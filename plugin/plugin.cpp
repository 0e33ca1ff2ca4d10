#include "plugin/plugin.h"

#include <atomic>

#include "central/central_delegate.h"
#include "peripheral/peripheral_delegate.h"
#include "platform/dispatch_queue.h"
#include "plugin/errors.h"

namespace {

std::atomic<double>& defaultTimeoutValue() {
  static std::atomic<double> value{3.0};
  return value;
}

struct DefaultFormat {
  std::mutex mutex;
  std::string value = "UTF-8";
};

DefaultFormat& defaultFormatValue() {
  static DefaultFormat format;
  return format;
}

}  // namespace

Plugin& Plugin::shared() {
  // Never destroyed: role queues may still call in while the process exits.
  static Plugin* const instance = new Plugin();
  return *instance;
}

Plugin::Plugin()
    : centralDelegate_(std::make_unique<CentralDelegate>()),
      peripheralDelegate_(std::make_unique<PeripheralDelegate>()) {}

Plugin::~Plugin() = default;

Plugin::CommandOutcome::CommandOutcome() : previous_(DispatchQueue::exchangeCallerContext(this)) {}

Plugin::CommandOutcome::~CommandOutcome() {
  DispatchQueue::exchangeCallerContext(previous_);
}

Plugin::CommandOutcome* Plugin::CommandOutcome::current() {
  // The caller context is set only here, so it is always a CommandOutcome.
  return static_cast<CommandOutcome*>(DispatchQueue::callerContext());
}

void Plugin::setLastError(int64_t code, std::optional<std::string> message) {
  std::string text = message ? std::move(*message) : Errors::message(code);
  // The command's thread waits in its sync call while a queue block records for it.
  if (CommandOutcome* outcome = CommandOutcome::current()) outcome->recorded_ = {code, text};
  std::lock_guard lock(mutex_);
  last_error = code;
  last_error_message = std::move(text);
}

Plugin::LastError Plugin::lastError() const {
  std::lock_guard lock(mutex_);
  return {last_error, last_error_message};
}

Plugin::LastError Plugin::readLastError() {
  LastError pair = lastError();
  if (CommandOutcome* outcome = CommandOutcome::current()) outcome->recorded_ = pair;
  return pair;
}

int64_t Plugin::commandError() const {
  CommandOutcome* outcome = CommandOutcome::current();
  if (outcome && outcome->recorded_) return outcome->recorded_->code;
  return getLastError();
}

int64_t Plugin::getLastError() const {
  std::lock_guard lock(mutex_);
  return last_error;
}

std::string Plugin::getLastErrorMessage() const {
  std::lock_guard lock(mutex_);
  return last_error_message;
}

std::string Plugin::currentFileName() const {
  std::lock_guard lock(mutex_);
  return currentFileName_;
}

void Plugin::setCurrentFileName(std::string fileName) {
  if (CommandOutcome* outcome = CommandOutcome::current()) outcome->fileName_ = fileName;
  std::lock_guard lock(mutex_);
  currentFileName_ = std::move(fileName);
}

std::string Plugin::commandFileName() const {
  CommandOutcome* outcome = CommandOutcome::current();
  if (outcome && outcome->fileName_) return *outcome->fileName_;
  return currentFileName();
}

double Plugin::defaultTimeout() {
  return defaultTimeoutValue().load();
}

void Plugin::setDefaultTimeout(double seconds) {
  defaultTimeoutValue().store(seconds);
}

std::string Plugin::defaultFormat() {
  DefaultFormat& format = defaultFormatValue();
  std::lock_guard lock(format.mutex);
  return format.value;
}

void Plugin::setDefaultFormat(std::string value) {
  DefaultFormat& format = defaultFormatValue();
  std::lock_guard lock(format.mutex);
  format.value = std::move(value);
}

void Plugin::resetLastError() {
  setLastError(Errors::kNoError);
}

void Plugin::startScan(const std::string& options, const std::string& filename) {
  resetLastError();
  setCurrentFileName(filename);
  centralDelegate_->startScan(options);
}

void Plugin::stopScan() {
  resetLastError();
  centralDelegate_->stopScan();
}

void Plugin::connect(const std::string& deviceID, const std::string& options, double timeout,
                     const std::string& filename) {
  resetLastError();
  setCurrentFileName(filename);
  centralDelegate_->connect(deviceID, options, timeout);
}

void Plugin::disconnect(const std::string& deviceID) {
  resetLastError();
  centralDelegate_->disconnect(deviceID);
}

std::string Plugin::read(const std::string& deviceID, const std::string& servID,
                         const std::string& charID, const std::string& format, double timeout) {
  resetLastError();
  return centralDelegate_->read(deviceID, servID, charID, format, timeout);
}

void Plugin::write(const std::string& deviceID, const std::string& servID,
                   const std::string& charID, const std::string& value, const std::string& format,
                   double timeout) {
  resetLastError();
  centralDelegate_->write(deviceID, servID, charID, value, format, timeout);
}

void Plugin::subscribe(const std::string& deviceID, const std::string& servID,
                       const std::string& charID, const std::string& script,
                       const std::string& format, double timeout, const std::string& filename) {
  resetLastError();
  setCurrentFileName(filename);
  centralDelegate_->subscribe(deviceID, servID, charID, script, format, timeout);
}

void Plugin::startAdvertising(const std::string& options) {
  resetLastError();
  peripheralDelegate_->startAdvertising(options);
}

void Plugin::stopAdvertising() {
  resetLastError();
  peripheralDelegate_->stopAdvertising();
}

std::string Plugin::getLocalChar(const std::string& servID, const std::string& charID,
                                 const std::string& format) {
  resetLastError();
  return peripheralDelegate_->get(servID, charID, format);
}

void Plugin::setLocalChar(const std::string& servID, const std::string& charID,
                          const std::string& format, const std::string& value) {
  resetLastError();
  // The role takes the value before the format.
  peripheralDelegate_->set(servID, charID, value, format);
}

void Plugin::setHelperPort(int64_t) {
  setLastError(Errors::kNotImplemented, "helper is not available on this platform");
}

int64_t Plugin::getHelperPort() {
  setLastError(Errors::kNotImplemented, "helper is not available on this platform");
  return -1;
}
