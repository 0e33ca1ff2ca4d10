// The peripheral role seen from the plug-in and from remote centrals, with the helper, the device
// emulator and emulated centrals as processes in a private air:
// - POST /set "localprofile" with 50 services of 10 characteristics: time per request, accepted
//   and rejected (target: at most 20 ms each);
// - a read by a central in this process, answered from the helper's table: median round trip
//   (target: at most 0.5 ms), beside the same read answered by an emulated device;
// - POST /setLocalChar from one keep-alive client with 16 centrals of the simulated radio
//   subscribed, 8 in each of two processes (this program run as "centrals AIR 8"): every central
//   receives every value in order (target: at least 2,000 sets per second);
// - a flood: 10,000 POST /setLocalChar to one central, in pipelined bursts that outrun a
//   controller buffer of two notifications (VELNOR_SIM_TRANSMIT), so that the radio refuses
//   updates again and again: every value arrives, in order, none dropped (target);
// - the helper's resident set after 64 centrals have each read, written and subscribed (target:
//   at most 2 MiB above the idle helper's).
// A plain program: it prints its figures and exits 1 when one misses its target.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_support.h"
#include "bench/radio_reader.h"
#include "bluetooth/sim/air.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "helper_process.h"
#include "platform/dispatch_queue.h"
#include "platform/dispatch_semaphore.h"
#include "tools/helper_client.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using bench::milliseconds;
using bench::percentile;
using bench::post;

// A helper whose standard output goes to a file: a capturing reader would compete for the CPU.
HelperProcess::Options quietHelper() {
  HelperProcess::Options options;
  options.stdoutToFile = true;
  return options;
}

void expectOK(const json& reply, const std::string& what) {
  if (reply["lastError"] != 0) throw std::runtime_error(what + ": " + reply.dump());
}

std::string uuid128(int service, int characteristic) {
  char text[37];
  std::snprintf(text, sizeof text, "6E40%04X-B5A3-F393-E0A9-E50E24DC%04X", service, characteristic);
  return text;
}

// 50 services of 10 characteristics; `broken` spoils the last characteristic's properties.
std::string largeProfile(bool broken) {
  json profile = json::array();
  for (int s = 0; s < 50; ++s) {
    json characteristics = json::array();
    for (int c = 0; c < 10; ++c) {
      characteristics.push_back({{"UUID", uuid128(s, c)},
                                 {"properties", "read|write|notify"},
                                 {"protection", c % 3},
                                 {"afterRead", "Read"},
                                 {"afterWrite", "Written"},
                                 {"format", "hex"}});
    }
    profile.push_back({{"UUID", uuid128(s, 0xFFFF)}, {"characteristics", characteristics}});
  }
  if (broken) profile[49]["characteristics"][9]["properties"] = "read|shout";
  return profile.dump();
}

bool profileSet(bool& pass) {
  HelperProcess helper(quietHelper());
  constexpr int kRequests = 50;
  std::vector<double> accepted;
  std::vector<double> rejected;
  for (bool broken : {false, true}) {
    json body = {{"selector", "localprofile"}, {"value", largeProfile(broken)}, {"filename", "B"}};
    std::string text = body.dump();
    for (int i = 0; i < kRequests; ++i) {
      auto start = Clock::now();
      HttpReply reply = helper.post("/set", text);
      (broken ? rejected : accepted).push_back(milliseconds(Clock::now() - start));
      json answer = json::parse(reply.body);
      if ((answer["lastError"] == 0) == broken) throw std::runtime_error("profile: " + reply.body);
    }
  }
  double acceptedMax = *std::max_element(accepted.begin(), accepted.end());
  double rejectedMax = *std::max_element(rejected.begin(), rejected.end());
  std::printf(
      "POST /set localprofile, 50 x 10 characteristics, %d requests each: accepted median %.2f "
      "ms, max %.2f ms; rejected median %.2f ms, max %.2f ms (target: at most 20 ms)\n",
      kRequests, percentile(accepted, 0.5), acceptedMax, percentile(rejected, 0.5), rejectedMax);
  pass = pass && acceptedMax <= 20.0 && rejectedMax <= 20.0;
  return true;
}

// A central in this process: connects to the device advertising `name`, and reads, writes and
// subscribes to its first service's first characteristic, waiting for each answer.
class BenchCentral : public bench::Reader {
 public:
  BenchCentral(const std::shared_ptr<sim::Air>& air, std::string name) : Reader(std::move(name)) {
    sim::CentralOptions options;
    options.helperNode = false;
    manager_ = sim::makeCentralManager(air, *this, queue_, options);
  }
  ~BenchCentral() override {
    queue_.sync([&] { manager_.reset(); });
  }

  bool connect() {
    manager_->scanForPeripherals(std::nullopt, {});
    return waitEvent();
  }
  bool read() {
    peripheral->readValue(characteristic);
    return waitEvent() && ok_;
  }
  bool write(const CBData& value) {
    peripheral->writeValue(value, characteristic, CBCharacteristicWriteType::withResponse);
    return waitEvent() && ok_;
  }
  bool subscribe() {
    peripheral->setNotifyValue(true, characteristic);
    return waitEvent() && ok_;
  }
  // From now on counts notifications; waitNotifications() returns once `count` came, and
  // whether they came in order.
  void countNotifications(int count) {
    queue_.sync([&] {
      expected_ = count;
      counting_ = true;
    });
  }
  bool waitNotifications(double seconds) {
    bool came =
        event.wait(DispatchSemaphore::deadlineAfter(seconds)) == DispatchWaitResult::success;
    return queue_.sync([&] { return came && inOrder_; });
  }

  void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<CBPeripheral>&,
                                                 const std::shared_ptr<CBCharacteristic>& c,
                                                 const std::optional<CBError>& e) override {
    if (!counting_) return answer(e);
    // Notifications carry the counter 0000, 0001, ... in two bytes, big-endian.
    CBData value = c->value().value_or(CBData{});
    int number = value.size() == 2 ? value[0] << 8 | value[1] : -1;
    if (number != received_) inOrder_ = false;
    if (++received_ == expected_) event.signal();
  }
  void peripheralDidWriteValueForCharacteristic(const std::shared_ptr<CBPeripheral>&,
                                                const std::shared_ptr<CBCharacteristic>&,
                                                const std::optional<CBError>& e) override {
    answer(e);
  }
  void peripheralDidUpdateNotificationStateForCharacteristic(
      const std::shared_ptr<CBPeripheral>&, const std::shared_ptr<CBCharacteristic>&,
      const std::optional<CBError>& e) override {
    answer(e);
  }

 private:
  void answer(const std::optional<CBError>& e) {
    ok_ = !e.has_value();
    event.signal();
  }
  bool waitEvent() {
    return event.wait(DispatchSemaphore::deadlineAfter(10)) == DispatchWaitResult::success;
  }

  DispatchQueue queue_{"bench.central"};
  std::atomic<bool> ok_{false};
  std::shared_ptr<CBCentralManager> manager_;
  // Notification counting, on queue_.
  bool counting_ = false;
  int expected_ = 0;
  int received_ = 0;
  bool inOrder_ = true;
};

const char* const kSmallProfile = R"([{"UUID": "180D", "characteristics": [
    {"UUID": "2A37", "properties": "read|write|notify", "format": "hex"}]}])";

// Publishes the small profile with a value and advertises under `name`.
void publish(HelperProcess& helper, const std::string& name) {
  expectOK(post(helper, "/set",
                {{"selector", "localprofile"}, {"value", kSmallProfile}, {"filename", "B"}}),
           "profile");
  expectOK(post(helper, "/setLocalChar",
                {{"servID", "180D"}, {"charID", "2A37"}, {"value", "0648"}, {"format", "hex"}}),
           "value");
  expectOK(post(helper, "/startAdvertising", {{"options", "displayName=" + name}}), "advertise");
}

// Median read round trip in microseconds, or -1.
double medianRead(BenchCentral& central, int reads) {
  std::vector<double> micros;
  for (int i = 0; i < reads + 100; ++i) {
    auto start = Clock::now();
    if (!central.read()) return -1;
    if (i >= 100) micros.push_back(milliseconds(Clock::now() - start) * 1000);
  }
  return percentile(micros, 0.5);
}

bool readRoundTrip(bool& pass) {
  HelperProcess helper(quietHelper());
  publish(helper, "Bench Helper");
  std::string devices = helper.directory() + "/device.json";
  std::ofstream(devices) << R"({"devices":[{"advertising":{"localName":"Bench Device",
      "intervalMs":20},"services":[{"uuid":"180D","characteristics":[{"uuid":"2A37",
      "properties":"read","value":"0648"}]}]}]})";
  auto emulator = bench::startEmulator(helper.airDir(), devices);
  if (!emulator) return false;
  auto air = sim::makeSocketAir(helper.airDir());
  BenchCentral toHelper(air, "Bench Helper");
  BenchCentral toDevice(air, "Bench Device");
  if (!toHelper.connect() || !toDevice.connect()) {
    std::printf("read round trip: no connection\n");
    return false;
  }
  constexpr int kReads = 3000;
  double helperMedian = medianRead(toHelper, kReads);
  double deviceMedian = medianRead(toDevice, kReads);
  std::printf(
      "read round trip, %d reads from a central in another process: helper's table median %.1f "
      "us (target: at most 500 us); emulated device (the radio alone) median %.1f us\n",
      kReads, helperMedian, deviceMedian);
  pass = pass && helperMedian >= 0 && helperMedian <= 500;
  return true;
}

// The body of /setLocalChar that sets 2A37 to the value `i` as four hex digits.
std::string setBody(int i) {
  char hex[9];  // room for any int; the sets number fewer than 65,536
  std::snprintf(hex, sizeof hex, "%04X", i);
  return json{{"servID", "180D"}, {"charID", "2A37"}, {"value", hex}, {"format", "hex"}}.dump();
}

// Sets of the values 0000, 0001, ... from one keep-alive client; sets per second.
double setRate(HelperProcess& helper, int sets) {
  std::vector<std::string> bodies;
  for (int i = 0; i < sets; ++i) {
    bodies.push_back(setBody(i));
  }
  auto start = Clock::now();
  for (const auto& body : bodies) {
    HttpReply reply = helper.post("/setLocalChar", body);
    if (reply.body.find("\"lastError\":0,") == std::string::npos) {
      throw std::runtime_error("set failed: " + reply.body);
    }
  }
  return sets / (milliseconds(Clock::now() - start) / 1000);
}

constexpr int kSets = 4000;
constexpr int kCentralProcesses = 2;
constexpr int kCentralsPerProcess = 8;

// The child's part: `centrals AIR COUNT [SETS]` connects COUNT centrals to "Bench Helper" and
// subscribes them, prints "ready", then prints "done N" with the number of them that received
// all SETS (kSets) values in order.
int hostCentrals(const std::string& airDir, int count, int sets) {
  auto air = sim::makeSocketAir(airDir);
  std::vector<std::unique_ptr<BenchCentral>> centrals;
  for (int i = 0; i < count; ++i) {
    centrals.push_back(std::make_unique<BenchCentral>(air, "Bench Helper"));
    if (!centrals.back()->connect() || !centrals.back()->subscribe()) {
      std::printf("failed\n");
      return 1;
    }
    centrals.back()->countNotifications(sets);
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int complete = 0;
  for (auto& c : centrals) complete += c->waitNotifications(120);
  std::printf("done %d\n", complete);
  std::fflush(stdout);
  return 0;
}

bool notifyThroughput(bool& pass) {
  // A controller buffer that never fills at these rates: the figure is the helper's own cost,
  // not the radio's pace (the flood figure drives a small one).
  HelperProcess::Options options = quietHelper();
  options.env["VELNOR_SIM_TRANSMIT"] = "64/1000";
  HelperProcess helper(options);
  publish(helper, "Bench Helper");
  // The same client and sets with no central yet: what the machine gives without the radio.
  double bareRate = setRate(helper, 2000);
  std::vector<std::unique_ptr<ChildProcess>> hosts;
  for (int i = 0; i < kCentralProcesses; ++i) {
    hosts.push_back(std::make_unique<ChildProcess>(ChildProcess::Options{
        "/proc/self/exe", {"centrals", helper.airDir(), std::to_string(kCentralsPerProcess)}}));
    auto ready = hosts.back()->waitForLine(
        [](const std::string& l) { return l == "ready" || l == "failed"; },
        ChildProcess::after(60));
    if (!ready || *ready != "ready") throw std::runtime_error("centrals did not subscribe");
  }
  double rate = setRate(helper, kSets);
  int complete = 0;
  for (auto& host : hosts) {
    auto done = host->waitForLine([](const std::string& l) { return l.rfind("done ", 0) == 0; },
                                  ChildProcess::after(150));
    if (done) complete += std::stoi(done->substr(5));
  }
  int centrals = kCentralProcesses * kCentralsPerProcess;
  std::printf(
      "POST /setLocalChar, %d sets from one keep-alive client, %d subscribed centrals in %d "
      "processes: %.0f sets/s (target: at least 2000; the same client with no central: %.0f "
      "sets/s); centrals that received every value in order: %d of %d\n",
      kSets, centrals, kCentralProcesses, rate, bareRate, complete, centrals);
  pass = pass && rate >= 2000 && complete == centrals;
  return true;
}

// Lines of the helper's log that say a notification was dropped.
int droppedNotifications(const HelperProcess& helper) {
  std::ifstream log(helper.directory() + "/stdout.log");
  int dropped = 0;
  for (std::string line; std::getline(log, line);) {
    if (line.find("Dropped a notification") != std::string::npos) ++dropped;
  }
  return dropped;
}

// The sets as bursts of kBurst pipelined on one connection, a burst every kBurstEvery: each
// burst comes faster than the radio takes it, so the role waits for room again and again, while
// on average the radio keeps up. Sets per second over the whole flood.
double floodInBursts(HelperProcess& helper, int sets) {
  constexpr int kBurst = 48;
  constexpr auto kBurstEvery = std::chrono::milliseconds(30);
  tool::HelperClient client(static_cast<uint16_t>(helper.port()));
  auto start = Clock::now();
  for (int first = 0; first < sets; first += kBurst) {
    auto burstStart = Clock::now();
    std::string requests;
    int count = std::min(kBurst, sets - first);
    for (int i = first; i < first + count; ++i) {
      std::string body = setBody(i);
      requests += "POST /setLocalChar HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    if (!client.send(requests)) throw std::runtime_error("the helper took no more requests");
    for (int i = 0; i < count; ++i) {
      tool::HttpAnswer answer = client.nextAnswer();
      if (answer.body.find("\"lastError\":0,") == std::string::npos) {
        throw std::runtime_error("set failed: " + answer.body);
      }
    }
    std::this_thread::sleep_until(burstStart + kBurstEvery);
  }
  return sets / (milliseconds(Clock::now() - start) / 1000);
}

bool flood(bool& pass) {
  constexpr int kFlood = 10000;
  HelperProcess::Options options = quietHelper();
  options.env["VELNOR_SIM_TRANSMIT"] = "2/1000";
  HelperProcess helper(options);
  publish(helper, "Bench Helper");
  ChildProcess host(ChildProcess::Options{
      "/proc/self/exe", {"centrals", helper.airDir(), "1", std::to_string(kFlood)}});
  auto ready = host.waitForLine([](const std::string& l) { return l == "ready" || l == "failed"; },
                                ChildProcess::after(60));
  if (!ready || *ready != "ready") throw std::runtime_error("the central did not subscribe");
  double rate = floodInBursts(helper, kFlood);
  auto done = host.waitForLine([](const std::string& l) { return l.rfind("done ", 0) == 0; },
                               ChildProcess::after(60));
  bool complete = done && std::stoi(done->substr(5)) == 1;
  int dropped = droppedNotifications(helper);
  std::printf(
      "flood: %d POST /setLocalChar to one central, pipelined 48 at a time every 30 ms, through a "
      "buffer of 2 notifications every 1 ms: %.0f sets/s; every value in order: %s; dropped: "
      "%d (target: every value, none dropped)\n",
      kFlood, rate, complete ? "yes" : "no", dropped);
  pass = pass && complete && dropped == 0;
  return true;
}

bool residentSet(bool& pass) {
  HelperProcess helper(quietHelper());
  publish(helper, "Bench Helper");
  auto air = sim::makeSocketAir(helper.airDir());
  // One central first, so that the idle figure includes a served link, not the first-use costs
  // of the code paths.
  {
    BenchCentral warm(air, "Bench Helper");
    if (!warm.connect() || !warm.read()) throw std::runtime_error("warm-up central failed");
  }
  double idle = bench::residentMiB(helper.process().pid());
  constexpr int kCentrals = 64;
  std::vector<std::unique_ptr<BenchCentral>> centrals;
  for (int i = 0; i < kCentrals; ++i) {
    auto central = std::make_unique<BenchCentral>(air, "Bench Helper");
    if (!central->connect() || !central->read() || !central->write({1, 2, 3, 4}) ||
        !central->subscribe()) {
      throw std::runtime_error("central " + std::to_string(i) + " failed");
    }
    centrals.push_back(std::move(central));
  }
  double after = bench::residentMiB(helper.process().pid());
  std::printf(
      "helper resident set: idle %.2f MiB, after %d centrals read, wrote and subscribed %.2f MiB: "
      "+%.2f MiB (target: at most +2 MiB)\n",
      idle, kCentrals, after, after - idle);
  pass = pass && after - idle <= 2.0;
  return true;
}

}  // namespace

// With no argument every part runs; otherwise the parts named: profile, read, notify, memory.
int main(int argc, char** argv) {
  std::vector<std::string> parts(argv + 1, argv + argc);
  if ((parts.size() == 3 || parts.size() == 4) && parts[0] == "centrals") {
    return hostCentrals(parts[1], std::stoi(parts[2]),
                        parts.size() == 4 ? std::stoi(parts[3]) : kSets);
  }
  auto runs = [&](const char* part) {
    return parts.empty() || std::find(parts.begin(), parts.end(), part) != parts.end();
  };
  bool pass = true;
  try {
    if (runs("profile") && !profileSet(pass)) pass = false;
    if (runs("read") && !readRoundTrip(pass)) pass = false;
    if (runs("notify") && !notifyThroughput(pass)) pass = false;
    if (runs("flood") && !flood(pass)) pass = false;
    if (runs("memory") && !residentSet(pass)) pass = false;
  } catch (const std::exception& e) {
    std::printf("failed: %s\n", e.what());
    return 1;
  }
  return pass ? 0 : 1;
}
