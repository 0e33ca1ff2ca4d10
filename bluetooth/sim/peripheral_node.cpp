#include "bluetooth/sim/peripheral_node.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "bluetooth/core_bluetooth.h"

namespace sim {

namespace {
constexpr uint8_t kInvalidHandle = 0x01;
constexpr uint8_t kReadNotPermitted = 0x02;
constexpr uint8_t kWriteNotPermitted = 0x03;
constexpr uint8_t kRequestNotSupported = 0x06;
// Link error codes as a central reports them.
constexpr uint8_t kLinkTimedOut = 6;
constexpr uint8_t kPeerDisconnected = 7;
}  // namespace

PeripheralNode::PeripheralNode(std::shared_ptr<Air> air, DispatchQueue& queue, NodeId id,
                               uint16_t mtu, bool helperNode, TransmitQueue transmit)
    : air_(std::move(air)),
      queue_(queue),
      id_(id),
      mtu_(mtu),
      helper_(helperNode),
      // A queue of none would refuse everything and never report room.
      transmit_{std::max<size_t>(transmit.depth, 1), transmit.interval} {
  if (helper_) poweredOn_ = air_->powered();
}

PeripheralNode::~PeripheralNode() {
  stop();
}

void PeripheralNode::start() {
  std::lock_guard lock(mutex_);
  if (started_) return;
  started_ = true;
  air_->attach(id_, this, helper_);
}

void PeripheralNode::stop() {
  std::map<NodeId, Link> ended;
  {
    std::lock_guard lock(mutex_);
    if (stopped_ || !started_) {
      stopped_ = true;
      return;
    }
    stopped_ = true;
    advertising_ = false;
    ended.swap(links_);
  }
  for (const auto& [central, link] : ended) {
    Message m;
    m.type = MessageType::disconnect;
    m.code = kPeerDisconnected;
    sendTo(central, std::move(m));
    air_->linkClosed(id_, central);
  }
  air_->detach(id_);
}

// ---- Incoming messages, batched onto the queue ----

void PeripheralNode::receive(Message message) {
  if (!inbox_.push(std::move(message))) return;
  queue_.async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->drain();
  });
}

void PeripheralNode::powerChanged(bool on) {
  queue_.async([weak = weak_from_this(), on] {
    if (auto self = weak.lock()) self->handlePower(on);
  });
}

void PeripheralNode::drain() {
  std::vector<Message> batch = inbox_.takeAll();
  for (const auto& m : batch) handle(m);
}

void PeripheralNode::handle(const Message& m) {
  switch (m.type) {
    case MessageType::connectRequest:
      return handleConnect(m);
    case MessageType::disconnect:
    case MessageType::linkLost:
      return handleLinkEnd(m.src);
    case MessageType::discoverServices:
      return handleDiscoverServices(m);
    case MessageType::discoverCharacteristics:
      return handleDiscoverCharacteristics(m);
    case MessageType::read:
      return handleRead(m);
    case MessageType::write:
      return handleWrite(m);
    case MessageType::subscribe:
      return handleSubscribe(m);
    default:
      return;  // not for a peripheral
  }
}

void PeripheralNode::handleConnect(const Message& m) {
  uint16_t linkMtu = std::max<uint16_t>(23, std::min(m.mtu, mtu_));
  {
    std::lock_guard lock(mutex_);
    // Only a device that advertises as connectable can be reached.
    if (!advertising_ || !advertisement_ || !advertisement_->connectable) {
      waiting_[m.src] = m.mtu;
      return;
    }
    auto it = links_.find(m.src);
    if (it != links_.end()) linkMtu = it->second.mtu;
  }
  if (linked(m.src)) {
    Message accept;
    accept.type = MessageType::connectAccept;
    accept.mtu = linkMtu;
    return sendTo(m.src, std::move(accept));
  }
  switch (connectRequested(m.src)) {
    case ConnectDecision::ignore:
      return;
    case ConnectDecision::reject: {
      Message reject;
      reject.type = MessageType::connectReject;
      reject.code = kPeerDisconnected;
      return sendTo(m.src, std::move(reject));
    }
    case ConnectDecision::accept:
      break;
  }
  {
    std::lock_guard lock(mutex_);
    links_[m.src] = Link{linkMtu, {}, {}};
  }
  air_->linkOpened(id_, m.src);
  Message accept;
  accept.type = MessageType::connectAccept;
  accept.mtu = linkMtu;
  sendTo(m.src, std::move(accept));
  connected(m.src, linkMtu);
}

void PeripheralNode::handleLinkEnd(const NodeId& central) {
  std::map<NodeId, Link> ended;
  {
    std::lock_guard lock(mutex_);
    waiting_.erase(central);
    auto it = links_.find(central);
    if (it == links_.end()) return;
    ended.insert(links_.extract(it));
  }
  air_->linkClosed(id_, central);
  endLinks(ended);
}

void PeripheralNode::endLinks(const std::map<NodeId, Link>& ended) {
  for (const auto& [central, link] : ended) {
    for (uint32_t handle : link.subscriptions) subscriptionChanged(central, handle, false);
    disconnected(central);
  }
}

void PeripheralNode::handleDiscoverServices(const Message& m) {
  Message answer;
  answer.type = MessageType::services;
  answer.request = m.request;
  {
    std::lock_guard lock(mutex_);
    if (!links_.count(m.src)) return;
    for (const auto& s : services_) answer.services.push_back({s.handle, s.uuid, s.primary});
  }
  sendTo(m.src, std::move(answer));
}

void PeripheralNode::handleDiscoverCharacteristics(const Message& m) {
  Message answer;
  answer.type = MessageType::characteristics;
  answer.request = m.request;
  answer.handle = m.handle;
  {
    std::lock_guard lock(mutex_);
    if (!links_.count(m.src)) return;
    for (const auto& s : services_) {
      if (s.handle != m.handle) continue;
      for (const auto& c : s.characteristics) {
        answer.characteristics.push_back({c.handle, c.uuid, c.properties});
      }
    }
  }
  sendTo(m.src, std::move(answer));
}

std::optional<uint32_t> PeripheralNode::propertiesOf(uint32_t handle) const {
  std::lock_guard lock(mutex_);
  const Characteristic* c = findCharacteristic(handle);
  if (c == nullptr) return std::nullopt;
  return c->properties;
}

void PeripheralNode::handleRead(const Message& m) {
  if (!linked(m.src)) return;
  std::optional<uint32_t> props = propertiesOf(m.handle);
  bool found = props.has_value();
  uint32_t properties = props.value_or(0);
  if (!found) return answerRead(m.src, m.request, kInvalidHandle, {});
  if (!(properties & CBCharacteristicPropertyRead)) {
    return answerRead(m.src, m.request, kReadNotPermitted, {});
  }
  readRequested(m.src, m.request, m.handle);
}

void PeripheralNode::handleWrite(const Message& m) {
  if (!linked(m.src)) return;
  std::optional<uint32_t> props = propertiesOf(m.handle);
  bool found = props.has_value();
  uint32_t properties = props.value_or(0);
  uint32_t needed =
      m.flag ? CBCharacteristicPropertyWrite : CBCharacteristicPropertyWriteWithoutResponse;
  if (!found || !(properties & needed)) {
    // A command that is not allowed is dropped without an answer, as on a real link.
    if (m.flag) answerWrite(m.src, m.request, found ? kWriteNotPermitted : kInvalidHandle);
    return;
  }
  writeRequested(m.src, m.request, m.handle, m.value, m.flag);
}

void PeripheralNode::handleSubscribe(const Message& m) {
  if (!linked(m.src)) return;
  std::optional<uint32_t> props = propertiesOf(m.handle);
  bool found = props.has_value();
  uint32_t properties = props.value_or(0);
  Message answer;
  answer.type = MessageType::subscribeResponse;
  answer.request = m.request;
  answer.handle = m.handle;
  answer.flag = m.flag;
  if (!found) {
    answer.code = kInvalidHandle;
    return sendTo(m.src, std::move(answer));
  }
  if (!(properties & (CBCharacteristicPropertyNotify | CBCharacteristicPropertyIndicate))) {
    answer.code = kRequestNotSupported;
    return sendTo(m.src, std::move(answer));
  }
  auto decision = subscriptionRequested(m.src, m.handle, m.flag);
  if (!decision) return;
  answer.code = *decision;
  bool changed = false;
  if (*decision == 0) {
    std::lock_guard lock(mutex_);
    auto it = links_.find(m.src);
    if (it == links_.end()) return;
    changed = m.flag ? it->second.subscriptions.insert(m.handle).second
                     : it->second.subscriptions.erase(m.handle) > 0;
  }
  sendTo(m.src, std::move(answer));
  if (changed) subscriptionChanged(m.src, m.handle, m.flag);
}

void PeripheralNode::handlePower(bool on) {
  if (poweredOn_.exchange(on) == on) return;
  if (!on) {
    std::map<NodeId, Link> ended;
    {
      std::lock_guard lock(mutex_);
      advertising_ = false;
      ended.swap(links_);
    }
    air_->stopAdvertising(id_);
    for (const auto& [central, link] : ended) {
      // Centrals see the link time out: the radio just went quiet.
      Message m;
      m.type = MessageType::disconnect;
      m.code = kLinkTimedOut;
      sendTo(central, std::move(m));
      air_->linkClosed(id_, central);
    }
    endLinks(ended);
  }
  powerSwitched(on);
}

// ---- Operations ----

PeripheralNode::PublishedService PeripheralNode::publish(const ServiceSpec& layout) {
  std::lock_guard lock(mutex_);
  Service service{nextHandle_++, layout.uuid, layout.primary, {}};
  PublishedService published{service.handle, {}};
  for (const auto& c : layout.characteristics) {
    service.characteristics.push_back({nextHandle_, c.uuid, c.properties});
    published.characteristicHandles.push_back(nextHandle_++);
  }
  services_.push_back(std::move(service));
  return published;
}

void PeripheralNode::unpublishAll() {
  std::lock_guard lock(mutex_);
  services_.clear();
}

void PeripheralNode::startAdvertising(std::shared_ptr<const Advertisement> advertisement,
                                      std::chrono::milliseconds interval, int rssiMin,
                                      int rssiMax) {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    advertisement_ = std::move(advertisement);
    advertising_ = true;
    rssiMin_ = std::min(rssiMin, rssiMax);
    rssiMax_ = std::max(rssiMin, rssiMax);
  }
  air_->startAdvertising(id_, interval, [weak = weak_from_this()]() -> std::optional<Message> {
    auto self = weak.lock();
    if (!self) return std::nullopt;
    return self->nextAdvertisement();
  });
  queue_.async([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->takeUpWaiting();
  });
}

void PeripheralNode::takeUpWaiting() {
  std::map<NodeId, uint16_t> waiting;
  {
    std::lock_guard lock(mutex_);
    if (!advertising_ || !advertisement_ || !advertisement_->connectable) return;
    waiting.swap(waiting_);
  }
  for (const auto& [central, mtu] : waiting) {
    Message m;
    m.type = MessageType::connectRequest;
    m.src = central;
    m.dst = id_;
    m.mtu = mtu;
    handleConnect(m);
  }
}

void PeripheralNode::stopAdvertising() {
  {
    std::lock_guard lock(mutex_);
    advertising_ = false;
  }
  air_->stopAdvertising(id_);
}

bool PeripheralNode::isAdvertising() const {
  std::lock_guard lock(mutex_);
  return advertising_;
}

std::optional<Message> PeripheralNode::nextAdvertisement() {
  std::lock_guard lock(mutex_);
  if (!advertising_ || !advertisement_) return std::nullopt;
  Message m;
  m.type = MessageType::advertisement;
  m.src = id_;
  m.advertisement = advertisement_;
  m.rssi = static_cast<int16_t>(
      rssiMin_ == rssiMax_ ? rssiMin_
                           : std::uniform_int_distribution<int>(rssiMin_, rssiMax_)(rssiRandom_));
  return m;
}

void PeripheralNode::answerRead(const NodeId& central, uint32_t request, uint8_t att,
                                std::vector<uint8_t> value) {
  if (!linked(central)) return;
  Message m;
  m.type = MessageType::readResponse;
  m.request = request;
  m.code = att;
  if (att == 0) {
    if (value.size() > kMaxAttributeLength) value.resize(kMaxAttributeLength);
    m.value = std::move(value);
  }
  sendTo(central, std::move(m));
}

void PeripheralNode::answerWrite(const NodeId& central, uint32_t request, uint8_t att) {
  if (!linked(central)) return;
  Message m;
  m.type = MessageType::writeResponse;
  m.request = request;
  m.code = att;
  sendTo(central, std::move(m));
}

std::vector<Message> PeripheralNode::notificationsLocked(
    uint32_t characteristic, const std::vector<uint8_t>& value,
    const std::optional<std::vector<NodeId>>& to) const {
  std::vector<Message> messages;
  for (const auto& [central, link] : links_) {
    if (!link.subscriptions.count(characteristic)) continue;
    if (to && std::find(to->begin(), to->end(), central) == to->end()) continue;
    Message m;
    m.type = MessageType::notification;
    m.handle = characteristic;
    m.src = id_;
    m.dst = central;
    size_t max = link.mtu - 3u;
    m.value.assign(value.begin(), value.begin() + static_cast<long>(std::min(max, value.size())));
    messages.push_back(std::move(m));
  }
  return messages;
}

size_t PeripheralNode::notify(uint32_t characteristic, const std::vector<uint8_t>& value,
                              const std::optional<std::vector<NodeId>>& to) {
  std::vector<Message> messages;
  {
    std::lock_guard lock(mutex_);
    messages = notificationsLocked(characteristic, value, to);
  }
  air_->sendAll(messages);
  return messages.size();
}

bool PeripheralNode::queueNotification(uint32_t characteristic, const std::vector<uint8_t>& value,
                                       const std::optional<std::vector<NodeId>>& to) {
  {
    std::lock_guard lock(mutex_);
    auto messages = notificationsLocked(characteristic, value, to);
    // All or nothing, as a platform that refuses an update sends it to none of its centrals.
    for (const auto& m : messages) {
      if (links_.at(m.dst).outgoing.size() >= transmit_.depth) {
        transmitRefused_ = true;
        return false;
      }
    }
    for (auto& m : messages) links_.at(m.dst).outgoing.push_back(std::move(m));
    if (messages.empty() || eventDue_) return true;
    eventDue_ = true;
  }
  queue_.asyncAfter(transmit_.interval, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->connectionEvent();
  });
  return true;
}

void PeripheralNode::connectionEvent() {
  std::vector<Message> batch;
  bool refused = false;
  {
    std::lock_guard lock(mutex_);
    eventDue_ = false;
    refused = std::exchange(transmitRefused_, false);
    for (auto& [central, link] : links_) {
      std::move(link.outgoing.begin(), link.outgoing.end(), std::back_inserter(batch));
      link.outgoing.clear();
    }
  }
  air_->sendAll(batch);
  if (refused) transmitReady();
}

void PeripheralNode::dropLinks() {
  auto ended = std::make_shared<std::map<NodeId, Link>>();
  {
    std::lock_guard lock(mutex_);
    ended->swap(links_);
  }
  for (const auto& [central, link] : *ended) {
    Message m;
    m.type = MessageType::disconnect;
    m.code = kPeerDisconnected;
    sendTo(central, std::move(m));
    air_->linkClosed(id_, central);
  }
  queue_.async([weak = weak_from_this(), ended] {
    if (auto self = weak.lock()) self->endLinks(*ended);
  });
}

std::optional<uint16_t> PeripheralNode::linkMTU(const NodeId& central) const {
  std::lock_guard lock(mutex_);
  auto it = links_.find(central);
  if (it == links_.end()) return std::nullopt;
  return it->second.mtu;
}

const PeripheralNode::Characteristic* PeripheralNode::findCharacteristic(uint32_t handle) const {
  for (const auto& s : services_) {
    for (const auto& c : s.characteristics) {
      if (c.handle == handle) return &c;
    }
  }
  return nullptr;
}

bool PeripheralNode::linked(const NodeId& central) const {
  std::lock_guard lock(mutex_);
  return links_.count(central) != 0;
}

void PeripheralNode::sendTo(const NodeId& dst, Message m) {
  m.src = id_;
  m.dst = dst;
  air_->send(m);
}

}  // namespace sim
