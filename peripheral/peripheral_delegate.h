// The peripheral-role manager: owns the platform peripheral manager and every table of the
// peripheral role (the local profile, its characteristics, the centrals seen), all kept on
// "peripheral.queue".
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "bluetooth/core_bluetooth.h"
#include "peripheral/advertising_options.h"
#include "peripheral/central_device.h"
#include "peripheral/local_profile.h"
#include "platform/dispatch_queue.h"

// Threads: the public operations are called on command threads, never on queue(); each runs its
// steps as one synchronous block on queue() (setProfile decodes and checks on the caller's
// thread first). The callbacks and localCharFromID run on queue() only. Failures are recorded
// on the facade's last error, and failures toward centrals are ATT result codes; nothing throws
// to the caller.
class PeripheralDelegate : public CBPeripheralManagerDelegate {
 public:
  // Makes the platform manager for a delegate and its queue; tests inject their own radio.
  using ManagerFactory = std::function<std::shared_ptr<CBPeripheralManager>(
      CBPeripheralManagerDelegate&, DispatchQueue&)>;

  // Logs "PeripheralDelegate: Starting Bluetooth" and creates the manager on "peripheral.queue".
  explicit PeripheralDelegate(ManagerFactory makeManager = CBPeripheralManager::create);
  // Releases the manager, then lets the queue finish its pending work before the tables go.
  ~PeripheralDelegate() override;
  PeripheralDelegate(const PeripheralDelegate&) = delete;
  PeripheralDelegate& operator=(const PeripheralDelegate&) = delete;

  // ---- Advertising ----
  // The advertising flag (not the platform's own state): true from a successful start until a
  // stop or the timed stop.
  bool isAdvertising();
  // Parses the options, checks and starts; prints "Started advertising" whenever they parsed.
  void startAdvertising(const std::optional<std::string>& options);
  void stopAdvertising();

  // ---- Local profile ----
  // Every check runs before anything changes; a rejected profile leaves the stored profile,
  // the published services and the table as they were. An empty text is "[]".
  void setProfile(const std::string& profileJSON);
  // A copy of the last accepted profile; none before the first.
  std::optional<std::vector<LocalServiceJSON>> getProfile();

  // ---- Local values ----
  // The value in `format`, or the facade's badResult with the failure recorded.
  std::string get(const std::string& servID, const std::string& charID, const std::string& format);
  // Stores the value, then notifies the subscribed centrals whose authorization is enough. A
  // notification the platform cannot take at once waits, behind those already waiting, until
  // it is ready; of one characteristic at most kMostWaitingUpdates wait, and the oldest of them
  // makes room, with a log line saying what was dropped.
  void set(const std::string& servID, const std::string& charID, const std::string& value,
           const std::string& format);

  // ---- Centrals (identifier texts compared exactly) ----
  // kUnknownDevice for a central that has made no request yet.
  void setAuthorizationLevel(const std::string& UUID, int64_t level);
  int64_t getAuthorizationLevel(const std::string& UUID);  // 0 when unknown
  bool isKnown(const std::string& UUID);
  bool isSubscribed(const std::string& UUID);
  // The characteristic UUID texts the central is subscribed to; none when it is unknown.
  std::optional<std::set<std::string>> getSubscribedFor(const std::string& UUID);
  // The centrals with at least one subscription, in table order.
  std::vector<std::string> getSubscribed();

  // The entry stored under exactly these texts, or null. On queue() only; the pointer is valid
  // until the table next changes.
  const LocalChar* localCharFromID(const std::string& servID, const std::string& charID) const;

  static constexpr size_t kMostWaitingUpdates = 64;

  // The queue every table lives on and every callback arrives on.
  DispatchQueue& queue() { return queue_; }

  // ---- Platform callbacks, on queue() ----
  void peripheralManagerDidUpdateState(CBPeripheralManager& peripheral) override;
  void peripheralManagerDidReceiveReadRequest(
      CBPeripheralManager& peripheral, const std::shared_ptr<CBATTRequest>& request) override;
  void peripheralManagerDidReceiveWriteRequests(
      CBPeripheralManager& peripheral,
      const std::vector<std::shared_ptr<CBATTRequest>>& requests) override;
  void peripheralManagerCentralDidSubscribe(
      CBPeripheralManager& peripheral, const std::shared_ptr<CBCentral>& central,
      const std::shared_ptr<CBCharacteristic>& characteristic) override;
  void peripheralManagerCentralDidUnsubscribe(
      CBPeripheralManager& peripheral, const std::shared_ptr<CBCentral>& central,
      const std::shared_ptr<CBCharacteristic>& characteristic) override;
  void peripheralManagerIsReadyToUpdateSubscribers(CBPeripheralManager& peripheral) override;

 private:
  // A notification the platform refused for now, sent again when it is ready.
  struct WaitingUpdate {
    std::shared_ptr<CBMutableCharacteristic> characteristic;
    std::string charID;  // for log lines
    CBData value;
    std::vector<std::shared_ptr<CBCentral>> recipients;
  };

  // A service made for the platform from the profile, with the table entries it brings.
  struct ServiceToPublish {
    std::shared_ptr<CBMutableService> service;
    std::vector<std::pair<LocalCharKey, LocalChar>> entries;
  };

  // Steps run on queue().
  std::vector<ServiceToPublish> makeServices(const std::vector<LocalServiceJSON>& profile) const;
  // Records the platform's refusal of the first service it cannot publish; false when none.
  bool refusedByPlatform(const std::vector<ServiceToPublish>& services);
  // Replaces the published services and enters their characteristics in the table.
  void publish(const std::vector<ServiceToPublish>& services);
  bool beginAdvertising(const AdvertisingOptions& options);
  void timedStop();
  CentralDevice& deviceFor(const std::shared_ptr<CBCentral>& central);
  // Registers the central, finds the characteristic and checks its protection; when it gives
  // null it has already answered the request.
  const LocalChar* localCharFromRequest(CBPeripheralManager& peripheral,
                                        const std::shared_ptr<CBATTRequest>& request);
  // The entry of a characteristic the platform handed over, by its service's and its own UUID
  // text; null when it has no service or no entry.
  const LocalChar* localCharOf(const std::shared_ptr<CBCharacteristic>& characteristic) const;
  // Hands `update` to the platform, or queues it behind those waiting when it cannot be sent.
  void sendOrWait(WaitingUpdate update);
  // Sends the waiting updates in order until the platform refuses one.
  void sendWaiting();
  // Forgets every waiting update, each with a log line saying why.
  void dropWaiting(const std::string& why);

  // ---- Tables: touched on queue_ only ----
  std::unordered_map<LocalCharKey, LocalChar> chars_;  // never emptied
  bool shouldAdvertise_ = false;
  std::optional<std::vector<LocalServiceJSON>> profile_;
  std::unordered_map<std::string, CentralDevice> devices_;  // never shrinks
  std::deque<WaitingUpdate> waiting_;                       // oldest first
  // Keeps its initial value: the options of a start apply to that start only.
  AdvertisingOptions advertisingOptions_;

  // Declared last so that the manager is released first and the queue, draining its pending
  // tasks, goes before the tables those tasks touch.
  DispatchQueue queue_{"peripheral.queue"};
  std::shared_ptr<CBPeripheralManager> peripheral_;  // set on queue_
};
