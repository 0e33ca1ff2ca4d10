#include "bluetooth/sim/air.h"

#include <algorithm>

namespace sim {

namespace {
// Advertisements due within this window of the earliest are sent together.
constexpr auto kClockWindow = std::chrono::milliseconds(5);
constexpr auto kMaintainEvery = std::chrono::milliseconds(100);
}  // namespace

Air::Air() = default;

Air::~Air() {
  stopClock();
}

void Air::startClock() {
  clock_ = std::thread([this] { runClock(); });
}

void Air::stopClock() {
  {
    std::lock_guard lock(clockMutex_);
    clockStopping_ = true;
  }
  clockWake_.notify_all();
  if (clock_.joinable()) clock_.join();
}

void Air::attach(const NodeId& id, AirNode* node, bool helperNode) {
  std::unique_lock lock(nodesMutex_);
  nodes_[id] = NodeEntry{node, helperNode};
}

void Air::detach(const NodeId& id) {
  {
    std::unique_lock lock(nodesMutex_);
    nodes_.erase(id);
    std::erase_if(scanners_, [&](const auto& s) { return s.first == id; });
  }
  stopAdvertising(id);
  {
    std::lock_guard lock(linksMutex_);
    for (auto& [remote, locals] : watchers_) locals.erase(id);
    std::erase_if(watchers_, [](const auto& w) { return w.second.empty(); });
  }
  reportLost(id);
}

void Air::setScanning(const NodeId& id, bool scanning) {
  std::unique_lock lock(nodesMutex_);
  std::erase_if(scanners_, [&](const auto& s) { return s.first == id; });
  if (!scanning) return;
  auto it = nodes_.find(id);
  if (it != nodes_.end()) scanners_.emplace_back(id, it->second.node);
}

void Air::startAdvertising(const NodeId& id, std::chrono::milliseconds interval,
                           AdvertisementSource source) {
  {
    std::lock_guard lock(clockMutex_);
    advertisers_[id] = AdvertiserEntry{std::max(interval, std::chrono::milliseconds(1)),
                                       std::chrono::steady_clock::now(), std::move(source)};
  }
  clockWake_.notify_all();
}

void Air::stopAdvertising(const NodeId& id) {
  std::lock_guard lock(clockMutex_);
  advertisers_.erase(id);
}

void Air::advertise(const Message& advertisement) {
  deliverToScanners(advertisement);
  sendAdvertisements({advertisement});
}

void Air::sendAdvertisements(const std::vector<Message>&) {}

void Air::runClock() {
  using Clock = std::chrono::steady_clock;
  auto nextMaintain = Clock::now() + kMaintainEvery;
  std::unique_lock lock(clockMutex_);
  while (!clockStopping_) {
    auto now = Clock::now();
    if (now >= nextMaintain) {
      lock.unlock();
      maintain();
      lock.lock();
      nextMaintain = now + kMaintainEvery;
      continue;
    }
    auto wakeAt = nextMaintain;
    for (const auto& [id, a] : advertisers_) wakeAt = std::min(wakeAt, a.due);
    if (wakeAt > now) {
      clockWake_.wait_until(lock, wakeAt);
      continue;
    }
    lock.unlock();
    advertiseDue(now + kClockWindow);
    lock.lock();
  }
}

void Air::advertiseDue(std::chrono::steady_clock::time_point horizon) {
  std::vector<AdvertisementSource> due;
  {
    std::lock_guard lock(clockMutex_);
    auto now = std::chrono::steady_clock::now();
    for (auto& [id, a] : advertisers_) {
      if (a.due > horizon) continue;
      due.push_back(a.source);
      // Keep the cadence, but never try to catch up a backlog of missed advertisements.
      a.due += a.interval;
      if (a.due < now) a.due = now + a.interval;
    }
  }
  std::vector<Message> batch;
  batch.reserve(due.size());
  for (auto& source : due) {
    if (auto m = source()) batch.push_back(std::move(*m));
  }
  for (const auto& m : batch) deliverToScanners(m);
  if (!batch.empty()) sendAdvertisements(batch);
}

void Air::linkOpened(const NodeId& local, const NodeId& remote) {
  std::lock_guard lock(linksMutex_);
  ++watchers_[remote][local];
}

void Air::linkClosed(const NodeId& local, const NodeId& remote) {
  std::lock_guard lock(linksMutex_);
  auto it = watchers_.find(remote);
  if (it == watchers_.end()) return;
  auto l = it->second.find(local);
  if (l != it->second.end() && --l->second <= 0) it->second.erase(l);
  if (it->second.empty()) watchers_.erase(it);
}

std::vector<NodeId> Air::watchedNodes() const {
  std::lock_guard lock(linksMutex_);
  std::vector<NodeId> ids;
  ids.reserve(watchers_.size());
  for (const auto& [remote, locals] : watchers_) ids.push_back(remote);
  return ids;
}

void Air::reportLost(const NodeId& remote) {
  std::vector<NodeId> locals;
  {
    std::lock_guard lock(linksMutex_);
    auto it = watchers_.find(remote);
    if (it == watchers_.end()) return;
    for (const auto& [local, count] : it->second) locals.push_back(local);
    watchers_.erase(it);
  }
  for (const auto& local : locals) {
    Message m;
    m.type = MessageType::linkLost;
    m.src = remote;
    m.dst = local;
    deliverLocal(std::move(m));
  }
}

bool Air::deliverLocal(Message m) {
  std::shared_lock lock(nodesMutex_);
  auto it = nodes_.find(m.dst);
  if (it == nodes_.end()) return false;
  it->second.node->receive(std::move(m));
  return true;
}

bool Air::isLocal(const NodeId& id) const {
  std::shared_lock lock(nodesMutex_);
  return nodes_.count(id) != 0;
}

void Air::deliverToScanners(const Message& m) {
  std::shared_lock lock(nodesMutex_);
  for (const auto& [id, node] : scanners_) {
    if (id == m.src) continue;
    Message copy = m;
    copy.dst = id;
    node->receive(std::move(copy));
  }
}

bool Air::powered() const {
  std::shared_lock lock(nodesMutex_);
  return powered_;
}

void Air::setPower(bool on) {
  std::unique_lock lock(nodesMutex_);
  if (powered_ == on) return;
  powered_ = on;
  for (const auto& [id, entry] : nodes_) {
    if (entry.helper) entry.node->powerChanged(on);
  }
}

void Air::sendAll(const std::vector<Message>& messages) {
  for (const auto& m : messages) send(m);
}

void Air::setPowerEverywhere(bool on) {
  setPower(on);
}

namespace {

class InProcessAir : public Air {
 public:
  InProcessAir() { startClock(); }
  ~InProcessAir() override { stopClock(); }

  void send(const Message& message) override {
    if (!deliverLocal(message)) reportLost(message.dst);
  }
};

}  // namespace

std::shared_ptr<Air> makeInProcessAir() {
  return std::make_shared<InProcessAir>();
}

}  // namespace sim
