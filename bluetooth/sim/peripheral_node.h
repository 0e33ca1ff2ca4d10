// The peripheral side of the simulated radio: a GATT server that advertises, takes links from
// centrals and answers their ATT requests. The peripheral manager and the emulated devices are
// built on it and decide, through the hooks, how each request is answered.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/inbox.h"
#include "platform/dispatch_queue.h"

namespace sim {

// What an emulated device or central offers unless told otherwise.
constexpr uint16_t kDefaultMTU = 185;
// What the helper's own nodes offer, as a current adapter does: a link then gets the most the
// other side allows, the smaller of both offers.
constexpr uint16_t kLargestMTU = 517;
// The longest value a write with response or a long read carries.
constexpr size_t kMaxAttributeLength = 512;

// A controller's buffer for notifications: each link holds up to `depth` of them, and they go
// out together at the link's next connection event, `interval` after the first was queued.
struct TransmitQueue {
  size_t depth = 8;
  std::chrono::microseconds interval{7500};  // the shortest connection interval LE allows
};

// What a peripheral does with a connection request.
enum class ConnectDecision { accept, reject, ignore };

class PeripheralNode : public AirNode, public std::enable_shared_from_this<PeripheralNode> {
 public:
  struct CharacteristicSpec {
    CBUUID uuid;
    uint32_t properties;
  };
  struct ServiceSpec {
    CBUUID uuid;
    bool primary = true;
    std::vector<CharacteristicSpec> characteristics;
  };
  // The handles given to a published service and to its characteristics, in order.
  struct PublishedService {
    uint32_t handle;
    std::vector<uint32_t> characteristicHandles;
  };

  // Hooks and messages run on `queue`, which must outlive the node. Call start() once the node
  // is owned by a shared_ptr, and stop() first thing in the final class's destructor.
  // `transmit` paces queueNotification only.
  PeripheralNode(std::shared_ptr<Air> air, DispatchQueue& queue, NodeId id, uint16_t mtu,
                 bool helperNode, TransmitQueue transmit = {});
  ~PeripheralNode() override;

  const NodeId& id() const { return id_; }
  uint16_t mtu() const { return mtu_; }
  const std::shared_ptr<Air>& air() const { return air_; }
  DispatchQueue& queue() const { return queue_; }

  // Joins the air. Any thread, once.
  void start();
  // Leaves the air: links end (peers see the device disconnect) and advertising stops. Any
  // thread; idempotent.
  void stop();

  // ---- Operations: any thread ----

  // Adds a service to the GATT database and returns its handles.
  PublishedService publish(const ServiceSpec& service);
  void unpublishAll();

  // Advertises `advertisement` every `interval` with a signal strength drawn from
  // [rssiMin, rssiMax] per advertisement. Replaces what was advertised before.
  void startAdvertising(std::shared_ptr<const Advertisement> advertisement,
                        std::chrono::milliseconds interval, int rssiMin, int rssiMax);
  void stopAdvertising();
  bool isAdvertising() const;

  // Answers a read (value sent when `att` is 0), a write with response, in that order of
  // arrival or not. An unknown or ended link is ignored.
  void answerRead(const NodeId& central, uint32_t request, uint8_t att, std::vector<uint8_t> value);
  void answerWrite(const NodeId& central, uint32_t request, uint8_t att);

  // Notifies `value` (cut to each link's MTU minus 3) to the centrals subscribed to
  // `characteristic`; when `to` is given, only to those of them in it. Returns how many got it.
  size_t notify(uint32_t characteristic, const std::vector<uint8_t>& value,
                const std::optional<std::vector<NodeId>>& to = std::nullopt);
  // Queues what notify() would send in the recipients' link queues, for their next connection
  // event. False, queuing nothing, when one of those queues is full; transmitReady follows the
  // event that empties them.
  bool queueNotification(uint32_t characteristic, const std::vector<uint8_t>& value,
                         const std::optional<std::vector<NodeId>>& to);

  // Ends every link as the peripheral's own decision (centrals see "disconnected from us").
  void dropLinks();

  // The link MTU of a connected central, or none.
  std::optional<uint16_t> linkMTU(const NodeId& central) const;

 protected:
  // ---- Hooks: on the node's queue ----
  virtual ConnectDecision connectRequested(const NodeId&) { return ConnectDecision::accept; }
  virtual void connected(const NodeId&, uint16_t /*mtu*/) {}
  virtual void disconnected(const NodeId&) {}
  // A read of a readable characteristic: answer with answerRead (now, later or never).
  virtual void readRequested(const NodeId& central, uint32_t request, uint32_t characteristic) = 0;
  // A write; answer with answerWrite when `withResponse`.
  virtual void writeRequested(const NodeId& central, uint32_t request, uint32_t characteristic,
                              const std::vector<uint8_t>& value, bool withResponse) = 0;
  // Whether to take a change of subscription: an ATT result to answer with (0 takes it), or
  // none to leave the request unanswered.
  virtual std::optional<uint8_t> subscriptionRequested(const NodeId&, uint32_t /*characteristic*/,
                                                       bool /*enable*/) {
    return 0;
  }
  // A subscription was taken or ended (also when its link ends).
  virtual void subscriptionChanged(const NodeId&, uint32_t /*characteristic*/, bool /*enabled*/) {}
  // The adapter of a helper node was switched; links and advertising are already gone on off.
  virtual void powerSwitched(bool /*on*/) {}
  // The link queues have room again after queueNotification refused.
  virtual void transmitReady() {}

  // Whether the adapter is on (always for emulated devices). Any thread.
  bool poweredOn() const { return poweredOn_.load(); }

 private:
  struct Characteristic {
    uint32_t handle;
    CBUUID uuid;
    uint32_t properties;
  };
  struct Service {
    uint32_t handle;
    CBUUID uuid;
    bool primary;
    std::vector<Characteristic> characteristics;
  };
  struct Link {
    uint16_t mtu;
    std::set<uint32_t> subscriptions;
    std::deque<Message> outgoing;  // notifications waiting for the next connection event
  };

  void receive(Message message) override;
  void powerChanged(bool on) override;
  void drain();
  void handle(const Message& m);
  void handleConnect(const Message& m);
  void handleLinkEnd(const NodeId& central);
  void handleDiscoverServices(const Message& m);
  void handleDiscoverCharacteristics(const Message& m);
  void handleRead(const Message& m);
  void handleWrite(const Message& m);
  void handleSubscribe(const Message& m);
  void handlePower(bool on);
  void takeUpWaiting();
  // Runs the end-of-link hooks for links already taken out of the table.
  void endLinks(const std::map<NodeId, Link>& ended);
  std::optional<Message> nextAdvertisement();
  const Characteristic* findCharacteristic(uint32_t handle) const;
  // The properties of the characteristic with `handle`, none when there is none. Takes mutex_.
  std::optional<uint32_t> propertiesOf(uint32_t handle) const;
  bool linked(const NodeId& central) const;
  void sendTo(const NodeId& dst, Message m);
  // One notification per subscribed link (of `to`, when given). With mutex_ held.
  std::vector<Message> notificationsLocked(uint32_t characteristic,
                                           const std::vector<uint8_t>& value,
                                           const std::optional<std::vector<NodeId>>& to) const;
  // Sends what the link queues hold. On the queue.
  void connectionEvent();

  const std::shared_ptr<Air> air_;
  DispatchQueue& queue_;
  const NodeId id_;
  const uint16_t mtu_;
  const bool helper_;
  const TransmitQueue transmit_;
  std::atomic<bool> poweredOn_{true};
  bool started_ = false;
  bool stopped_ = false;

  Inbox inbox_;

  mutable std::mutex mutex_;  // guards everything below
  std::vector<Service> services_;
  uint32_t nextHandle_ = 1;
  std::map<NodeId, Link> links_;
  // Centrals that asked to connect while the device was not connectable: a central keeps
  // trying until it cancels, so they are taken up when connectable advertising starts.
  std::map<NodeId, uint16_t> waiting_;
  bool advertising_ = false;
  bool eventDue_ = false;         // a connection event is scheduled
  bool transmitRefused_ = false;  // queueNotification refused since the last event
  std::shared_ptr<const Advertisement> advertisement_;
  int rssiMin_ = -60;
  int rssiMax_ = -60;
  std::minstd_rand rssiRandom_{std::random_device{}()};
};

}  // namespace sim
