// The central-role manager: owns the platform central manager and every table of the central
// role (discoveries, name aliases, connections, characteristics), all kept on "central.queue".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bluetooth/core_bluetooth.h"
#include "central/connection.h"
#include "central/connection_options.h"
#include "central/discovery.h"
#include "central/remote_profile.h"
#include "central/scan_options.h"
#include "central/wait_slot.h"
#include "platform/dispatch_queue.h"

// Threads: the public operations are called on command threads, never on queue(); each runs its
// steps as synchronous blocks on queue(). The find... look-ups and the callbacks run on queue()
// only. Failures are recorded on the facade's last error; nothing throws to the caller.
class CentralDelegate : public CBCentralManagerDelegate, public CBPeripheralDelegate {
 public:
  // Makes the platform manager for a delegate and its queue; tests inject a fake one.
  using ManagerFactory =
      std::function<std::shared_ptr<CBCentralManager>(CBCentralManagerDelegate&, DispatchQueue&)>;

  // Marks a device name seen on several devices in the alias table.
  static constexpr const char* kDuplicateMarker = "--DUPLICATE--";

  // Logs "CentralDelegate: Starting Bluetooth" and creates the manager on "central.queue".
  explicit CentralDelegate(ManagerFactory makeManager = CBCentralManager::create);
  // Releases the manager, then lets the queue finish its pending work before the tables go.
  ~CentralDelegate() override;
  CentralDelegate(const CentralDelegate&) = delete;
  CentralDelegate& operator=(const CentralDelegate&) = delete;

  // ---- State and look-ups ----
  // "powered On", "powered Off", "resetting", "unsupported", "unauthorized", "unknown", or
  // "uninitialized" without a manager.
  std::string getBluetoothStatusString();
  bool isScanning();
  bool isPowered();
  // Whether the identifier, or the identifier a name stands for, is a current discovery.
  bool isDiscovered(const std::string& deviceID);
  // The discovery's name (none without an error when it has none); kUnknownDevice when the
  // identifier is not a discovery. No alias resolution.
  std::optional<std::string> getDeviceName(const std::string& UUID);
  // The identifier a name stands for, possibly kDuplicateMarker; kUnknownDevice when unknown.
  std::optional<std::string> getUUID(const std::string& deviceName);

  // ---- Scanning ----
  void startScan(const std::string& options);
  void stopScan();
  // A copy of the discoveries, without those obsolete now; kNoData "No scan data" (and an empty
  // map) before the first scan.
  std::unordered_map<std::string, Discovery> getDiscoveries();
  // The same discoveries without the copy: runs `visit` on the queue for each, in table order,
  // so that a large answer is written in one place. False, with kNoData "No scan data", before
  // the first scan. `visit` must not call the role's operations.
  using DiscoveryVisitor = std::function<void(const std::string& id, const Discovery& discovery)>;
  bool forEachDiscovery(const DiscoveryVisitor& visit);

  // ---- Connections ----
  // Waits up to the timeout (the options' one when given) for the platform's answer; a zero
  // timeout returns at once and lets the attempt go on.
  void connect(const std::string& deviceID, const std::string& options, double timeout);
  // Cancels the connection; its onDisconnect script does not run.
  void disconnect(const std::string& deviceID);
  std::unordered_map<std::string, Connection> getConnectedDevices();
  bool isConnected(const std::string& deviceID);

  // ---- The remote profile ----
  // The connected device's services and characteristics as the platform knows them now, in its
  // order; kNotConnected (and an empty list) when the device is not connected.
  std::vector<ServiceJSON> getRemoteProfile(const std::string& deviceID);

  // ---- Characteristic operations ----
  // Each waits for its own answer: requests for different characteristics never end each
  // other's waits. On one characteristic a callback ends every wait of its kind.
  // The value in `format`, or "?" with the failure recorded. The format is checked after the
  // value came, so an unknown format still reads from the device.
  std::string read(const std::string& deviceID, const std::string& servID,
                   const std::string& charID, const std::string& format, double timeout);
  // A timeout above zero writes with response and waits for the confirmation; otherwise the
  // write goes without response and returns once it was handed to the platform.
  void write(const std::string& deviceID, const std::string& servID, const std::string& charID,
             const std::string& value, const std::string& format, double timeout);
  // A script name turns notifications on and registers the script (before the device answers,
  // kept if it fails); an empty one turns them off and removes the script. A timeout of exactly
  // zero does not wait.
  void subscribe(const std::string& deviceID, const std::string& servID, const std::string& charID,
                 const std::string& script, const std::string& format, double timeout);

  // ---- Look-ups for the role's own steps: on queue() only. Null records the failure. ----
  // A discovery's peripheral by identifier or name: kMultipleDevices, kUnknownDevice.
  std::shared_ptr<CBPeripheral> findDevice(const std::string& deviceID);
  // kMultipleDevices, kNotConnected.
  std::shared_ptr<CBPeripheral> findConnectedPeripheral(const std::string& deviceID);
  // kUnknownCharacteristic.
  std::shared_ptr<CBCharacteristic> findCharacteristic(const std::string& deviceID,
                                                       const std::string& servID,
                                                       const std::string& charID);

  // The queue every table lives on and every callback arrives on.
  DispatchQueue& queue() { return queue_; }

  // ---- Platform callbacks, on queue() ----
  void centralManagerDidUpdateState(CBCentralManager& central) override;
  void centralManagerDidDiscoverPeripheral(CBCentralManager& central,
                                           const std::shared_ptr<CBPeripheral>& peripheral,
                                           const CBAdvertisementData& advertisement,
                                           int rssi) override;
  void centralManagerDidConnectPeripheral(CBCentralManager& central,
                                          const std::shared_ptr<CBPeripheral>& peripheral) override;
  void centralManagerDidFailToConnectPeripheral(CBCentralManager& central,
                                                const std::shared_ptr<CBPeripheral>& peripheral,
                                                const std::optional<CBError>& error) override;
  void centralManagerDidDisconnectPeripheral(CBCentralManager& central,
                                             const std::shared_ptr<CBPeripheral>& peripheral,
                                             const std::optional<CBError>& error) override;
  void peripheralDidDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                     const std::optional<CBError>& error) override;
  void peripheralDidDiscoverCharacteristicsForService(
      const std::shared_ptr<CBPeripheral>& peripheral, const std::shared_ptr<CBService>& service,
      const std::optional<CBError>& error) override;
  // A read answer or a notification: ends the reads waiting on it, then runs its script.
  void peripheralDidUpdateValueForCharacteristic(
      const std::shared_ptr<CBPeripheral>& peripheral,
      const std::shared_ptr<CBCharacteristic>& characteristic,
      const std::optional<CBError>& error) override;
  void peripheralDidWriteValueForCharacteristic(
      const std::shared_ptr<CBPeripheral>& peripheral,
      const std::shared_ptr<CBCharacteristic>& characteristic,
      const std::optional<CBError>& error) override;
  void peripheralDidUpdateNotificationStateForCharacteristic(
      const std::shared_ptr<CBPeripheral>& peripheral,
      const std::shared_ptr<CBCharacteristic>& characteristic,
      const std::optional<CBError>& error) override;

 private:
  // Requests of one kind (reads, writes or subscriptions) that wait for a callback, by
  // characteristic: the object whose callback is awaited and the attempts waiting on it.
  struct PendingRequests {
    std::shared_ptr<CBCharacteristic> target;
    std::vector<uint64_t> attempts;
  };
  struct CharWaits {
    WaitSlot slot;
    std::unordered_map<CharKey, PendingRequests> pending;  // on queue_ only
  };
  // An issued request that its command thread waits for.
  struct IssuedRequest {
    CharKey key;
    uint64_t attempt = 0;
    std::shared_ptr<CBCharacteristic> characteristic;
  };

  // Steps run on queue().
  std::string resolve(const std::string& deviceID) const;
  bool beginScan(const ScanOptions& options);
  void scheduleStopTimer(double seconds);
  void refreshDiscovery(Discovery& known, const std::string& id, float rssi);
  Discovery makeDiscovery(const std::shared_ptr<CBPeripheral>& peripheral, const std::string& id,
                          const CBAdvertisementData& advertisement, float rssi) const;
  bool passesNewDeviceFilters(const Discovery& discovery) const;
  void recordAlias(const std::string& name, const std::string& id);
  std::optional<uint64_t> issueConnect(const std::string& resolved,
                                       const ConnectionOptions& options);
  void finishConnect(const std::string& resolved, uint64_t attempt,
                     const WaitSlot::Outcome& outcome);
  std::optional<IssuedRequest> issueRead(const std::string& deviceID, const std::string& servID,
                                         const std::string& charID);
  std::string finishRead(const IssuedRequest& request, const WaitSlot::Outcome& outcome,
                         const std::string& format);
  std::optional<IssuedRequest> issueWrite(const std::string& deviceID, const std::string& servID,
                                          const std::string& charID, const CBData& bytes,
                                          double timeout);
  void finishWrite(const IssuedRequest& request, const WaitSlot::Outcome& outcome);
  std::optional<IssuedRequest> issueSubscribe(const std::string& deviceID,
                                              const std::string& servID, const std::string& charID,
                                              const std::string& script, const std::string& format,
                                              bool willWait);
  void finishSubscribe(const IssuedRequest& request, const WaitSlot::Outcome& outcome);
  void forgetCharacteristicsMissingFrom(const std::string& deviceID,
                                        const std::optional<std::string>& servID,
                                        const std::unordered_set<std::string>& present);
  void registerNotifyScript(const CharKey& key, const std::string& script,
                            const std::string& format);
  void runNotifyScript(const std::shared_ptr<CBCharacteristic>& characteristic);
  // The wait bookkeeping shared by the three kinds, on queue_.
  IssuedRequest awaitCallback(CharWaits& waits, const CharKey& requested,
                              const std::shared_ptr<CBCharacteristic>& characteristic);
  void answerWaits(CharWaits& waits, const std::shared_ptr<CBCharacteristic>& characteristic,
                   const std::optional<CBError>& error);
  void giveUpWait(CharWaits& waits, const IssuedRequest& request);

  // ---- Tables: touched on queue_ only ----
  std::unordered_map<std::string, Discovery> devices_;
  std::unordered_map<CharKey, std::shared_ptr<CBCharacteristic>> chars_;
  std::unordered_map<CharKey, FMScript> notifyScripts_;   // filled by subscriptions
  std::unordered_map<std::string, std::string> aliases_;  // never cleared
  std::unordered_map<std::string, Connection> connections_;
  bool shouldScan_ = false;
  bool neverScanned_ = true;
  ScanOptions scanOptions_;

  // The one pending connection attempt; the slot carries its semaphore and error.
  WaitSlot connSlot_;
  uint64_t connAttempt_ = 0;
  std::shared_ptr<CBPeripheral> connTarget_;
  ConnectionOptions connOptions_;

  // Reads, writes and subscriptions waiting for their callbacks.
  CharWaits reads_;
  CharWaits writes_;
  CharWaits subscribes_;

  // Declared last so that the manager is released first and the queue, draining its pending
  // tasks, goes before the tables those tasks touch.
  DispatchQueue queue_{"central.queue"};
  std::shared_ptr<CBCentralManager> central_;  // set on queue_
};
