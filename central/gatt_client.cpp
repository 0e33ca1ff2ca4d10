// The GATT client of the central role: reads, writes and subscriptions of the characteristics of
// connected devices, the waits for their answers and the callbacks that end them.
#include <algorithm>

#include "central/central_delegate.h"
#include "central/central_log.h"
#include "format/formatter.h"
#include "platform/dispatch_semaphore.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"
#include "plugin/value_text.h"

using central_log::log;
using central_log::recordError;

namespace {

struct Target {
  std::shared_ptr<CBPeripheral> peripheral;
  std::shared_ptr<CBCharacteristic> characteristic;
};

// The connected peripheral and its characteristic, on the central's queue. No characteristic,
// with the failure recorded, when a look-up fails or the characteristic lacks `property`.
Target findTarget(CentralDelegate& central, const std::string& deviceID, const std::string& servID,
                  const std::string& charID, uint32_t property, int64_t code, const char* lacking) {
  auto peripheral = central.findConnectedPeripheral(deviceID);
  if (!peripheral) return {};
  auto characteristic = central.findCharacteristic(deviceID, servID, charID);
  if (!characteristic) return {};
  if (!(characteristic->properties() & property)) {
    recordError(code, lacking);
    return {};
  }
  return {peripheral, characteristic};
}

}  // namespace

// ---- Waiting for a characteristic's callback ----

CentralDelegate::IssuedRequest CentralDelegate::awaitCallback(
    CharWaits& waits, const CharKey& requested,
    const std::shared_ptr<CBCharacteristic>& characteristic) {
  IssuedRequest request{CharKey::fromCharacteristic(*characteristic).value_or(requested),
                        waits.slot.begin(), characteristic};
  PendingRequests& pending = waits.pending[request.key];
  pending.target = characteristic;
  pending.attempts.push_back(request.attempt);
  return request;
}

// The callback of the awaited object ends every wait of its kind on that characteristic. An
// object whose service is gone names no key: its waits are found by the object itself.
void CentralDelegate::answerWaits(CharWaits& waits,
                                  const std::shared_ptr<CBCharacteristic>& characteristic,
                                  const std::optional<CBError>& error) {
  auto isAwaited = [&](const auto& entry) { return entry.second.target == characteristic; };
  auto key = CharKey::fromCharacteristic(*characteristic);
  auto entry = key ? waits.pending.find(*key)
                   : std::find_if(waits.pending.begin(), waits.pending.end(), isAwaited);
  if (entry == waits.pending.end() || !isAwaited(*entry)) return;
  for (uint64_t attempt : entry->second.attempts) waits.slot.signal(attempt, error);
  waits.pending.erase(entry);
}

// A wait that timed out gives up only its own attempt; others on the characteristic go on.
void CentralDelegate::giveUpWait(CharWaits& waits, const IssuedRequest& request) {
  auto entry = waits.pending.find(request.key);
  if (entry == waits.pending.end()) return;
  std::erase(entry->second.attempts, request.attempt);
  if (entry->second.attempts.empty()) waits.pending.erase(entry);
}

// ---- Read ----

std::string CentralDelegate::read(const std::string& deviceID, const std::string& servID,
                                  const std::string& charID, const std::string& format,
                                  double timeout) {
  auto request = queue_.sync([&] { return issueRead(deviceID, servID, charID); });
  if (!request) return Plugin::shared().badResult;
  // A timeout of zero or less still waits, with a deadline already past.
  auto outcome = reads_.slot.wait(request->attempt, DispatchSemaphore::deadlineAfter(timeout));
  return queue_.sync([&] { return finishRead(*request, outcome, format); });
}

std::optional<CentralDelegate::IssuedRequest> CentralDelegate::issueRead(
    const std::string& deviceID, const std::string& servID, const std::string& charID) {
  auto [peripheral, characteristic] =
      findTarget(*this, deviceID, servID, charID, CBCharacteristicPropertyRead, Errors::kReadError,
                 "Characteristics does not have a read property");
  if (!characteristic) return std::nullopt;
  auto request = awaitCallback(reads_, CharKey{resolve(deviceID), servID, charID}, characteristic);
  peripheral->readValue(characteristic);
  return request;
}

std::string CentralDelegate::finishRead(const IssuedRequest& request,
                                        const WaitSlot::Outcome& outcome,
                                        const std::string& format) {
  const std::string& bad = Plugin::shared().badResult;
  if (outcome.result == DispatchWaitResult::timedOut) {
    recordError(Errors::kTimeoutError);
    giveUpWait(reads_, request);
    return bad;
  }
  if (outcome.error) {
    recordError(Errors::kReadError, outcome.error->localizedDescription);
    return bad;
  }
  // The value as it is now: the platform has stored the awaited answer in it.
  auto value = request.characteristic->value();
  if (!value) {
    recordError(Errors::kNoData);
    return bad;
  }
  try {
    return Formatter::binaryToString(*value, format);
  } catch (const FormatError& e) {
    recordError(Errors::kReadError, e.what());
  } catch (...) {
    recordError(Errors::kReadError, "Could not decode value");
  }
  return bad;
}

// ---- Write ----

void CentralDelegate::write(const std::string& deviceID, const std::string& servID,
                            const std::string& charID, const std::string& value,
                            const std::string& format, double timeout) {
  auto bytes = bytesToWrite(value, format);  // before anything else
  if (!bytes) return;
  auto request = queue_.sync([&] { return issueWrite(deviceID, servID, charID, *bytes, timeout); });
  if (!request) return;
  auto outcome = writes_.slot.wait(request->attempt, DispatchSemaphore::deadlineAfter(timeout));
  queue_.sync([&] { finishWrite(*request, outcome); });
}

// A request to wait for, or none when nothing was issued or a write without response was.
std::optional<CentralDelegate::IssuedRequest> CentralDelegate::issueWrite(
    const std::string& deviceID, const std::string& servID, const std::string& charID,
    const CBData& bytes, double timeout) {
  bool withResponse = timeout > 0;
  auto type = withResponse ? CBCharacteristicWriteType::withResponse
                           : CBCharacteristicWriteType::withoutResponse;
  auto peripheral = findConnectedPeripheral(deviceID);
  if (!peripheral) return std::nullopt;
  // Checked before the characteristic is looked up.
  if (bytes.size() > peripheral->maximumWriteValueLength(type)) {
    recordError(Errors::kWriteError, "Data is too long");
    return std::nullopt;
  }
  auto characteristic = findCharacteristic(deviceID, servID, charID);
  if (!characteristic) return std::nullopt;
  uint32_t properties = characteristic->properties();
  if (withResponse && !(properties & CBCharacteristicPropertyWrite)) {
    recordError(Errors::kWriteError, "Characteristic does not have write property");
    return std::nullopt;
  }
  if (!withResponse && !(properties & CBCharacteristicPropertyWriteWithoutResponse)) {
    recordError(Errors::kWriteError,
                "Characteristic does not have write without response property");
    return std::nullopt;
  }
  if (!withResponse) {
    peripheral->writeValue(bytes, characteristic, type);
    return std::nullopt;
  }
  auto request = awaitCallback(writes_, CharKey{resolve(deviceID), servID, charID}, characteristic);
  peripheral->writeValue(bytes, characteristic, type);
  return request;
}

void CentralDelegate::finishWrite(const IssuedRequest& request, const WaitSlot::Outcome& outcome) {
  if (outcome.result == DispatchWaitResult::timedOut) {
    recordError(Errors::kTimeoutError);
    giveUpWait(writes_, request);
  } else if (outcome.error) {
    recordError(Errors::kWriteError, outcome.error->localizedDescription);
  }
}

// ---- Subscribe ----

void CentralDelegate::subscribe(const std::string& deviceID, const std::string& servID,
                                const std::string& charID, const std::string& script,
                                const std::string& format, double timeout) {
  bool willWait = timeout != 0;
  auto request = queue_.sync(
      [&] { return issueSubscribe(deviceID, servID, charID, script, format, willWait); });
  if (!request) return;
  // A negative timeout gives a deadline already past.
  auto outcome = subscribes_.slot.wait(request->attempt, DispatchSemaphore::deadlineAfter(timeout));
  queue_.sync([&] { finishSubscribe(*request, outcome); });
}

std::optional<CentralDelegate::IssuedRequest> CentralDelegate::issueSubscribe(
    const std::string& deviceID, const std::string& servID, const std::string& charID,
    const std::string& script, const std::string& format, bool willWait) {
  // Indicate alone does not count.
  auto [peripheral, characteristic] =
      findTarget(*this, deviceID, servID, charID, CBCharacteristicPropertyNotify,
                 Errors::kSubscribeError, "Characteristic does not have notify property");
  if (!characteristic) return std::nullopt;
  std::optional<IssuedRequest> request;
  if (willWait) {
    request =
        awaitCallback(subscribes_, CharKey{resolve(deviceID), servID, charID}, characteristic);
  }
  if (auto key = CharKey::fromCharacteristic(*characteristic)) {
    registerNotifyScript(*key, script, format);
  }
  peripheral->setNotifyValue(!script.empty(), characteristic);
  return request;
}

// Registered before the device answers, and kept when it refuses.
void CentralDelegate::registerNotifyScript(const CharKey& key, const std::string& script,
                                           const std::string& format) {
  auto reference = FMScript::make(script, format);
  if (reference) {
    notifyScripts_.insert_or_assign(key, std::move(*reference));
  } else {
    notifyScripts_.erase(key);
  }
}

void CentralDelegate::finishSubscribe(const IssuedRequest& request,
                                      const WaitSlot::Outcome& outcome) {
  if (outcome.result == DispatchWaitResult::timedOut) {
    recordError(Errors::kTimeoutError);
    giveUpWait(subscribes_, request);
  } else if (outcome.error) {
    recordError(Errors::kSubscribeError, outcome.error->localizedDescription);
  }
}

// ---- Characteristic callbacks ----

void CentralDelegate::peripheralDidUpdateValueForCharacteristic(
    const std::shared_ptr<CBPeripheral>&, const std::shared_ptr<CBCharacteristic>& characteristic,
    const std::optional<CBError>& error) {
  log("Update value for " + characteristic->description());
  answerWaits(reads_, characteristic, error);
  runNotifyScript(characteristic);
}

// Every value update of a characteristic with a script runs it: notifications and read answers.
void CentralDelegate::runNotifyScript(const std::shared_ptr<CBCharacteristic>& characteristic) {
  auto key = CharKey::fromCharacteristic(*characteristic);
  if (!key) return;
  auto script = notifyScripts_.find(*key);
  if (script == notifyScripts_.end()) return;
  log("Scheduling a script " + script->second.sName);
  auto value = characteristic->value();
  if (!value) return;
  auto service = characteristic->service();
  if (!service) return;
  std::string param = key->deviceID + "\r" + service->UUID().UUIDString() + "\r" +
                      characteristic->UUID().UUIDString();
  script->second.schedule(param, *value);
}

void CentralDelegate::peripheralDidWriteValueForCharacteristic(
    const std::shared_ptr<CBPeripheral>&, const std::shared_ptr<CBCharacteristic>& characteristic,
    const std::optional<CBError>& error) {
  log("Wrote value for " + characteristic->description());
  answerWaits(writes_, characteristic, error);
}

void CentralDelegate::peripheralDidUpdateNotificationStateForCharacteristic(
    const std::shared_ptr<CBPeripheral>&, const std::shared_ptr<CBCharacteristic>& characteristic,
    const std::optional<CBError>& error) {
  log("(Un)subscribed for " + characteristic->description());
  answerWaits(subscribes_, characteristic, error);
}
