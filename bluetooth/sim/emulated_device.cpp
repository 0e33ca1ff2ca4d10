#include "bluetooth/sim/emulated_device.h"

#include <functional>

namespace sim {

namespace {

class Device : public EmulatedDevice, public PeripheralNode {
 public:
  Device(std::shared_ptr<Air> air, EmulatedDeviceConfig config, EmulatedDeviceObserver& observer,
         DispatchQueue& queue)
      : PeripheralNode(std::move(air), queue, config.id, config.mtu, /*helperNode=*/false),
        config_(std::move(config)),
        text_(nodeIdText(config_.id)),
        observer_(observer) {}
  ~Device() override { stop(); }

  void publishAll() {
    for (size_t s = 0; s < config_.services.size(); ++s) {
      const auto& service = config_.services[s];
      ServiceSpec layout{service.uuid, true, {}};
      for (const auto& c : service.characteristics)
        layout.characteristics.push_back({c.uuid, c.properties});
      auto published = publish(layout);
      for (size_t c = 0; c < service.characteristics.size(); ++c) {
        const auto& characteristic = service.characteristics[c];
        Slot slot{s, c, characteristic.value, characteristic.onRead};
        std::lock_guard lock(mutex_);
        slots_[published.characteristicHandles[c]] = std::move(slot);
      }
    }
  }

  void startNotifyTimers() {
    std::lock_guard lock(mutex_);
    for (const auto& [handle, slot] : slots_) {
      const auto& c = characteristic(slot);
      if (c.notify && !c.notify->values.empty()) {
        scheduleNotify(handle, 0, std::chrono::steady_clock::now());
      }
    }
  }

  std::string identifier() const override { return text_; }
  const EmulatedDeviceConfig& config() const override { return config_; }

  void setAdvertising(bool on) override {
    if (!on) return stopAdvertising();
    auto a = std::make_shared<Advertisement>();
    a->gapName = config_.name;
    std::chrono::milliseconds interval{100};
    if (config_.advertising) {
      const auto& c = *config_.advertising;
      a->localName = c.localName;
      a->manufacturerData = c.manufacturerData;
      a->serviceUUIDs = c.serviceUUIDs;
      a->serviceData = c.serviceData;
      a->connectable = c.connectable;
      interval = c.interval;
    }
    startAdvertising(a, interval, config_.rssiMin, config_.rssiMax);
  }
  bool isAdvertising() const override { return PeripheralNode::isAdvertising(); }

  bool setValue(const CBUUID& service, const CBUUID& characteristic,
                std::vector<uint8_t> value) override {
    std::lock_guard lock(mutex_);
    auto handle = find(service, characteristic);
    if (!handle) return false;
    slots_[*handle].value = std::move(value);
    return true;
  }

  bool notify(const CBUUID& service, const CBUUID& characteristic,
              std::vector<uint8_t> value) override {
    std::optional<uint32_t> handle;
    {
      std::lock_guard lock(mutex_);
      handle = find(service, characteristic);
      if (!handle) return false;
      slots_[*handle].value = value;
    }
    PeripheralNode::notify(*handle, value);
    return true;
  }

  std::optional<std::vector<uint8_t>> value(const CBUUID& service,
                                            const CBUUID& characteristic) const override {
    std::lock_guard lock(mutex_);
    auto handle = find(service, characteristic);
    if (!handle) return std::nullopt;
    return slots_.at(*handle).value;
  }

  void dropLinks() override { PeripheralNode::dropLinks(); }

 protected:
  ConnectDecision connectRequested(const NodeId&) override { return config_.connection; }

  void connected(const NodeId& central, uint16_t) override {
    observer_.deviceConnected(text_, nodeIdText(central));
  }
  void disconnected(const NodeId& central) override {
    observer_.deviceDisconnected(text_, nodeIdText(central));
  }

  void readRequested(const NodeId& central, uint32_t request, uint32_t handle) override {
    Slot slot;
    if (!slotFor(handle, slot)) return answerRead(central, request, 0x01, {});
    const auto& c = characteristic(slot);
    observer_.deviceRead(text_, config_.services[slot.service].uuid, c.uuid);
    switch (slot.onRead.kind) {
      case Answer::Kind::ignore:
        return;
      case Answer::Kind::error:
        return answerRead(central, request, slot.onRead.att, {});
      case Answer::Kind::respond:
        return answerRead(central, request, 0, slot.value.value_or(std::vector<uint8_t>{}));
      case Answer::Kind::delay:
        return later(slot.onRead.after, [central, request, handle](Device& self) {
          Slot now;
          if (!self.slotFor(handle, now)) return;
          self.answerRead(central, request, 0, now.value.value_or(std::vector<uint8_t>{}));
        });
    }
  }

  void writeRequested(const NodeId& central, uint32_t request, uint32_t handle,
                      const std::vector<uint8_t>& value, bool withResponse) override {
    Slot slot;
    if (!slotFor(handle, slot)) return;
    const auto& c = characteristic(slot);
    // Reported on arrival, whatever the answer will be.
    observer_.deviceWritten(text_, config_.services[slot.service].uuid, c.uuid, value);
    if (c.onWrite.kind == Answer::Kind::ignore) return;
    if (c.onWrite.kind == Answer::Kind::error) {
      if (withResponse) answerWrite(central, request, c.onWrite.att);
      return;
    }
    if (c.onWrite.kind == Answer::Kind::delay) {
      return later(c.onWrite.after, [central, request, handle, value, withResponse](Device& self) {
        self.store(central, request, handle, value, withResponse);
      });
    }
    store(central, request, handle, value, withResponse);
  }

  // Takes a written value and confirms it when the write asked for that.
  void store(const NodeId& central, uint32_t request, uint32_t handle,
             const std::vector<uint8_t>& value, bool withResponse) {
    {
      std::lock_guard lock(mutex_);
      auto it = slots_.find(handle);
      if (it == slots_.end()) return;
      it->second.value = value;
    }
    if (withResponse) answerWrite(central, request, 0);
  }

  // Runs `step` on the device's queue after `delay`, unless the device is gone by then.
  void later(std::chrono::milliseconds delay, std::function<void(Device&)> step) {
    std::weak_ptr<PeripheralNode> weak = weak_from_this();
    queue().asyncAfter(delay, [weak, step = std::move(step)] {
      if (auto self = std::static_pointer_cast<Device>(weak.lock())) step(*self);
    });
  }

  std::optional<uint8_t> subscriptionRequested(const NodeId&, uint32_t handle, bool) override {
    Slot slot;
    if (!slotFor(handle, slot)) return 0x01;
    const auto& c = characteristic(slot);
    if (c.onSubscribe.kind == Answer::Kind::ignore) return std::nullopt;
    if (c.onSubscribe.kind == Answer::Kind::error) return c.onSubscribe.att;
    return 0;  // a delay is for reads and writes; a subscription is answered at once
  }

  void subscriptionChanged(const NodeId& central, uint32_t handle, bool enabled) override {
    Slot slot;
    if (!slotFor(handle, slot)) return;
    const auto& c = characteristic(slot);
    if (c.timeline && enabled) startTimeline(central, handle, *c.timeline);
    if (c.timeline && !enabled) stopTimeline(central, handle);
    observer_.deviceSubscribed(text_, config_.services[slot.service].uuid, c.uuid, enabled);
  }

 private:
  // A characteristic's place in the configuration, its current value and how reads of it are
  // answered now.
  struct Slot {
    size_t service = 0;
    size_t characteristic = 0;
    std::optional<std::vector<uint8_t>> value;
    Answer onRead;
  };

  // A central's subscription to a characteristic that has a timeline.
  using RunKey = std::pair<NodeId, uint32_t>;
  using Clock = DispatchQueue::Clock;

  // Starts playing `timeline` to `central` from now. On the device's queue.
  void startTimeline(const NodeId& central, uint32_t handle, const Timeline& timeline) {
    if (timeline.events.empty()) return;
    uint64_t generation;
    {
      std::lock_guard lock(mutex_);
      generation = ++timelineGeneration_;
      runs_[{central, handle}] = generation;
    }
    scheduleTimelineStep({central, handle}, generation, &timeline, Clock::now(), 0, 0);
  }

  // Any thread.
  void stopTimeline(const NodeId& central, uint32_t handle) {
    std::lock_guard lock(mutex_);
    runs_.erase({central, handle});
  }

  // Whether the run `generation` of `key` is still the one playing. Any thread.
  bool timelineRunning(const RunKey& key, uint64_t generation) const {
    std::lock_guard lock(mutex_);
    auto it = runs_.find(key);
    return it != runs_.end() && it->second == generation;
  }

  // Plays event `index` of round `round` at its time after `start`, then schedules the next.
  // Each step is due at its own offset from the start, so that late steps do not add up. Any
  // thread; the step runs on the device's queue. `timeline` lives in the configuration.
  void scheduleTimelineStep(RunKey key, uint64_t generation, const Timeline* timeline,
                            Clock::time_point start, size_t index, uint64_t round) {
    const auto& event = timeline->events[index];
    auto due = start + timeline->period * static_cast<int64_t>(round) + event.at;
    std::weak_ptr<PeripheralNode> weak = weak_from_this();
    queue().asyncAfter(due - Clock::now(), [=] {
      auto self = std::static_pointer_cast<Device>(weak.lock());
      if (!self || !self->timelineRunning(key, generation)) return;
      self->play(key, timeline->events[index]);
      size_t next = index + 1;
      uint64_t nextRound = round;
      if (next == timeline->events.size()) {
        if (!timeline->loop) return self->stopTimeline(key.first, key.second);
        next = 0;
        ++nextRound;
      }
      self->scheduleTimelineStep(key, generation, timeline, start, next, nextRound);
    });
  }

  // Carries out one timeline event for the central of `key`. On the device's queue.
  void play(const RunKey& key, const TimelineEvent& event) {
    switch (event.kind) {
      case TimelineEvent::Kind::value: {
        std::lock_guard lock(mutex_);
        slots_[key.second].value = event.value;
      }
        PeripheralNode::notify(key.second, event.value, std::vector<NodeId>{key.first});
        return;
      case TimelineEvent::Kind::drop: {
        // Every link ends: no timeline plays on, whenever the links' ends are handled.
        std::lock_guard lock(mutex_);
        runs_.clear();
      }
        return dropLinks();
      case TimelineEvent::Kind::advertiseOff:
        return setAdvertising(false);
      case TimelineEvent::Kind::advertiseOn:
        return setAdvertising(true);
      case TimelineEvent::Kind::onRead:
        return changeOnRead(key.second, event);
    }
  }

  void changeOnRead(uint32_t ownHandle, const TimelineEvent& event) {
    std::lock_guard lock(mutex_);
    uint32_t handle = ownHandle;
    if (event.target) {
      for (const auto& [h, slot] : slots_) {
        if (slot.service == event.target->first && slot.characteristic == event.target->second) {
          handle = h;
        }
      }
    }
    slots_[handle].onRead = event.onRead;
  }

  const EmulatedCharacteristic& characteristic(const Slot& slot) const {
    return config_.services[slot.service].characteristics[slot.characteristic];
  }

  bool slotFor(uint32_t handle, Slot& slot) const {
    std::lock_guard lock(mutex_);
    auto it = slots_.find(handle);
    if (it == slots_.end()) return false;
    slot = it->second;
    return true;
  }

  // Called with mutex_ held.
  std::optional<uint32_t> find(const CBUUID& service, const CBUUID& characteristic) const {
    for (const auto& [handle, slot] : slots_) {
      if (config_.services[slot.service].uuid == service &&
          this->characteristic(slot).uuid == characteristic) {
        return handle;
      }
    }
    return std::nullopt;
  }

  // Sends periodic value number `sent` (counting from 0) one interval after the one before it
  // was due, then schedules the next one. Each is due at a whole number of intervals after
  // `start`, so that the time each send takes does not add up. Called with mutex_ held.
  void scheduleNotify(uint32_t handle, size_t sent, std::chrono::steady_clock::time_point start) {
    auto every = characteristic(slots_.at(handle)).notify->every;
    auto due = start + every * static_cast<int64_t>(sent + 1);
    auto delay = std::max<std::chrono::steady_clock::duration>(
        due - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
    std::weak_ptr<PeripheralNode> weak = weak_from_this();
    queue().asyncAfter(delay, [weak, handle, sent, start] {
      auto self = std::static_pointer_cast<Device>(weak.lock());
      if (!self) return;
      std::vector<uint8_t> value;
      {
        std::lock_guard lock(self->mutex_);
        const auto& values = self->characteristic(self->slots_.at(handle)).notify->values;
        value = values[sent % values.size()];
        self->slots_[handle].value = value;
        self->scheduleNotify(handle, sent + 1, start);
      }
      self->PeripheralNode::notify(handle, value);
    });
  }

  const EmulatedDeviceConfig config_;
  const std::string text_;
  EmulatedDeviceObserver& observer_;
  mutable std::mutex mutex_;  // guards slots_, runs_ and timelineGeneration_
  std::map<uint32_t, Slot> slots_;
  std::map<RunKey, uint64_t> runs_;  // the timelines playing, by central and characteristic
  uint64_t timelineGeneration_ = 0;
};

}  // namespace

std::shared_ptr<EmulatedDevice> EmulatedDevice::create(std::shared_ptr<Air> air,
                                                       EmulatedDeviceConfig config,
                                                       EmulatedDeviceObserver& observer,
                                                       DispatchQueue& queue) {
  auto device = std::make_shared<Device>(std::move(air), std::move(config), observer, queue);
  device->publishAll();
  device->start();
  if (device->config().advertising) device->setAdvertising(true);
  device->startNotifyTimers();
  return device;
}

}  // namespace sim
