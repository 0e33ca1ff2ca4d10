// A device's timeline replayed at 1,000 notifications per second: an emulated device in a
// velnor-sim process plays a looped timeline of one notification per millisecond, the central
// manager here subscribes and takes each one. Prints how far each arrival is from its offset
// after the subscription. Target: every one within 5 ms, none missing, all in order.
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "bench/radio_reader.h"

namespace {

constexpr int kPerRound = 1000;  // one per millisecond, looped every second
constexpr int kRounds = 3;

// Takes the time of the subscription's confirmation and of every notification.
class Listener : public bench::Reader {
 public:
  std::mutex mutex;
  std::chrono::steady_clock::time_point subscribed;
  std::vector<std::pair<std::chrono::steady_clock::time_point, int>> arrivals;
  DispatchSemaphore done;

  void peripheralDidUpdateNotificationStateForCharacteristic(
      const std::shared_ptr<CBPeripheral>&, const std::shared_ptr<CBCharacteristic>&,
      const std::optional<CBError>&) override {
    std::lock_guard lock(mutex);
    subscribed = std::chrono::steady_clock::now();
  }
  void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<CBPeripheral>&,
                                                 const std::shared_ptr<CBCharacteristic>& c,
                                                 const std::optional<CBError>&) override {
    auto now = std::chrono::steady_clock::now();
    auto value = c->value().value_or(std::vector<uint8_t>{0, 0});
    std::lock_guard lock(mutex);
    arrivals.emplace_back(now, value[0] << 8 | value[1]);
    if (arrivals.size() == kPerRound * kRounds) done.signal();
  }
};

void writeDevice(const std::string& path) {
  nlohmann::json events = nlohmann::json::array();
  for (int i = 0; i < kPerRound; ++i) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "%04X", i);
    events.push_back({{"atMs", i}, {"value", hex}});
  }
  nlohmann::json device = {
      {"name", "Metronome"},
      {"advertising", {{"localName", "Metronome"}, {"intervalMs", 20}}},
      {"services",
       {{{"uuid", "180D"},
         {"characteristics",
          {{{"uuid", "2A37"},
            {"properties", "notify"},
            {"timeline", {{"loop", true}, {"periodMs", kPerRound}, {"events", events}}}}}}}}}};
  std::ofstream(path) << nlohmann::json{{"devices", {device}}}.dump();
}

}  // namespace

int main() {
  std::string dir = bench::makeTempDirWithAir();
  writeDevice(dir + "/metronome.json");
  auto emulator = bench::startEmulator(dir + "/air", dir + "/metronome.json");
  if (!emulator) return 1;
  auto air = sim::makeSocketAir(dir + "/air");
  DispatchQueue queue("central.queue");
  Listener listener;
  auto central = sim::makeCentralManager(air, listener, queue);
  if (!bench::connectFirstDevice(*central, listener)) return 1;
  listener.peripheral->setNotifyValue(true, listener.characteristic);
  bool complete = listener.done.wait(DispatchSemaphore::deadlineAfter(kRounds + 10)) ==
                  DispatchWaitResult::success;
  central.reset();
  queue.sync([] {});
  emulator.reset();
  std::filesystem::remove_all(dir);

  std::lock_guard lock(listener.mutex);
  std::vector<double> late;
  int outOfOrder = 0;
  for (size_t i = 0; i < listener.arrivals.size(); ++i) {
    const auto& [at, value] = listener.arrivals[i];
    if (value != static_cast<int>(i % kPerRound)) ++outOfOrder;
    auto due = listener.subscribed + std::chrono::milliseconds(i);
    late.push_back(std::abs(bench::milliseconds(at - due)));
  }
  std::sort(late.begin(), late.end());
  size_t n = late.size();
  size_t over = static_cast<size_t>(late.end() - std::upper_bound(late.begin(), late.end(), 5.0));
  std::printf("timeline events: %zu of %d at 1000 per second (%s), %d out of order\n", n,
              kPerRound * kRounds, complete ? "all arrived" : "some missing", outOfOrder);
  if (n == 0) return 1;
  std::printf(
      "distance from offset: median %.2f ms, p99 %.2f ms, max %.2f ms (target <= 5 ms); %zu "
      "beyond 5 ms\n",
      late[n / 2], late[n * 99 / 100], late.back(), over);
  return complete && outOfOrder == 0 && over == 0 ? 0 : 1;
}
