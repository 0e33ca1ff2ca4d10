// The air: how simulated nodes reach one another. One abstract air, two kinds: in-process (unit
// tests, benchmarks) and a directory of Unix datagram sockets shared by processes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "bluetooth/sim/message.h"

namespace sim {

// A node as the air sees it. The air calls these on its own threads (or the sender's); they
// must only queue the work and return.
class AirNode {
 public:
  virtual ~AirNode() = default;
  virtual void receive(Message message) = 0;
  // Only nodes attached as helper nodes get this: the adapter was switched on or off.
  virtual void powerChanged(bool on) = 0;
};

// A peripheral that advertises: the air's advertising clock asks it for its next advertisement
// at its interval (none: skip this one). Called on the air's clock thread without the air's
// locks held, possibly just after stopAdvertising, so it must hold its node weakly.
using AdvertisementSource = std::function<std::optional<Message>()>;

class Air {
 public:
  virtual ~Air();
  Air(const Air&) = delete;
  Air& operator=(const Air&) = delete;

  // Registers `node` under `id` until detach. Helper nodes (the managers of the Bluetooth
  // interface) follow the air's adapter power; emulated nodes do not. Any thread.
  void attach(const NodeId& id, AirNode* node, bool helperNode);
  // After this returns the air calls nothing on the node any more, and the peers that hold a
  // link to it are told the link is lost. Any thread.
  void detach(const NodeId& id);

  // Whether the node receives advertisements. Any thread.
  void setScanning(const NodeId& id, bool scanning);

  // Sends to the node `message.dst`, here or elsewhere. When it cannot be reached, every local
  // node holding a link to it gets a linkLost message. Any thread.
  virtual void send(const Message& message) = 0;
  // Sends each message as send() does, in order per addressee; messages for nodes of one other
  // process may share a datagram. Any thread.
  virtual void sendAll(const std::vector<Message>& messages);

  // Puts `source` on the advertising clock every `interval` (first one at once); replaces an
  // earlier source of `id`. Any thread.
  void startAdvertising(const NodeId& id, std::chrono::milliseconds interval,
                        AdvertisementSource source);
  void stopAdvertising(const NodeId& id);

  // Sends one advertisement to every scanning node now. Any thread.
  void advertise(const Message& advertisement);

  // Link book-keeping: while `local` holds a link to `remote`, the air watches `remote` and
  // sends `local` a linkLost message when it vanishes. Any thread.
  void linkOpened(const NodeId& local, const NodeId& remote);
  void linkClosed(const NodeId& local, const NodeId& remote);

  // The adapter power of this process's helper nodes. Any thread.
  bool powered() const;
  void setPower(bool on);
  // Switches the helper nodes of every process in the air (this one included).
  virtual void setPowerEverywhere(bool on);

 protected:
  Air();
  // Starts the clock thread; derived constructors call it last, derived destructors call
  // stopClock first.
  void startClock();
  void stopClock();

  // Sends a batch of advertisements to the other processes (the socket air); nothing here.
  virtual void sendAdvertisements(const std::vector<Message>& batch);
  // Called on the clock thread about every 100 ms.
  virtual void maintain() {}

  // Hands `m` to the local node `m.dst`; false when there is none.
  bool deliverLocal(Message m);
  // Hands an advertisement to every local scanning node but its sender.
  void deliverToScanners(const Message& m);
  // Every local node with a link to `remote` gets a linkLost message.
  void reportLost(const NodeId& remote);
  // The remote nodes that local nodes hold links to.
  std::vector<NodeId> watchedNodes() const;
  bool isLocal(const NodeId& id) const;

 private:
  struct NodeEntry {
    AirNode* node;
    bool helper;
  };
  struct AdvertiserEntry {
    std::chrono::milliseconds interval;
    std::chrono::steady_clock::time_point due;
    AdvertisementSource source;
  };
  void runClock();
  void advertiseDue(std::chrono::steady_clock::time_point now);

  mutable std::shared_mutex nodesMutex_;
  std::unordered_map<NodeId, NodeEntry, NodeIdHash> nodes_;
  std::vector<std::pair<NodeId, AirNode*>> scanners_;
  bool powered_ = true;

  mutable std::mutex linksMutex_;
  std::unordered_map<NodeId, std::unordered_map<NodeId, int, NodeIdHash>, NodeIdHash> watchers_;

  std::mutex clockMutex_;  // guards advertisers_ and clockStopping_
  std::condition_variable clockWake_;
  std::unordered_map<NodeId, AdvertiserEntry, NodeIdHash> advertisers_;
  bool clockStopping_ = false;
  std::thread clock_;
};

// An air inside this process only.
std::shared_ptr<Air> makeInProcessAir();

// The air shared by the processes that use the directory `dir` (created if missing). Throws
// std::runtime_error naming the directory when it cannot be used.
std::shared_ptr<Air> makeSocketAir(const std::string& dir);

}  // namespace sim
