// The central role seen from the plug-in, with the helper and the device emulator as processes
// in a private air:
// - POST /get "devices" with 10,000 discoveries: time per request (target: at most 50 ms) and
//   the helper's resident set (target: at most 40 MiB);
// - POST /connect to an emulated device, timeout 5.0, request to reply (target: median at most
//   5 ms).
// A plain program: it prints its figures and exits 1 when one misses its target.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_support.h"
#include "helper_process.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr int kDevices = 10000;
constexpr int kDeviceRequests = 40;
constexpr int kConnects = 200;

// Identifiers that differ in their first bytes, as random ones do.
std::string deviceID(int i) {
  char id[37];
  std::snprintf(id, sizeof id, "%08X-0000-4000-8000-00000000BE00", 0x10000000U + i * 2654435761U);
  return id;
}

using bench::milliseconds;
using bench::percentile;
using bench::post;
using bench::startEmulator;

size_t discoveryCount(HelperProcess& helper) {
  json reply = post(helper, "/get", {{"selector", "devices"}});
  json list = json::parse(reply["result"].get<std::string>(), nullptr, false);
  return list.is_array() ? list.size() : 0;
}

bool devicesAnswer(bool& pass) {
  HelperProcess helper;
  json devices = json::array();
  for (int i = 0; i < kDevices; ++i) {
    devices.push_back({{"id", deviceID(i)},
                       {"rssi", -60},
                       {"advertising",
                        {{"localName", "Sensor " + std::to_string(i)},
                         {"intervalMs", 2000},
                         {"manufacturerData", "4c000215"},
                         {"serviceUUIDs", {"180D"}}}}});
  }
  auto emulator = startEmulator(helper, devices);
  post(helper, "/startScan", {{"options", "makeupdates=true"}, {"filename", "Bench"}});
  auto deadline = Clock::now() + std::chrono::seconds(120);
  size_t count = 0;
  while ((count = discoveryCount(helper)) < kDevices && Clock::now() < deadline) {
    std::this_thread::yield();
  }
  std::printf("discoveries: %zu of %d, helper resident set %.1f MiB\n", count, kDevices,
              bench::residentMiB(helper.process().pid()));
  if (count < kDevices) return false;

  std::vector<double> times;
  size_t bytes = 0;
  for (int i = 0; i < kDeviceRequests; ++i) {
    auto start = Clock::now();
    HttpReply reply = helper.post("/get", R"({"selector":"devices"})");
    times.push_back(milliseconds(Clock::now() - start));
    bytes = reply.body.size();
  }
  double rss = bench::residentMiB(helper.process().pid());
  double median = percentile(times, 0.5);
  double worst = *std::max_element(times.begin(), times.end());
  std::printf(
      "POST /get devices, %d discoveries, %zu-byte reply, %d requests: median %.2f ms, "
      "max %.2f ms (target: at most 50 ms)\n",
      kDevices, bytes, kDeviceRequests, median, worst);
  std::printf("helper resident set: %.1f MiB (target: at most 40 MiB)\n", rss);
  pass = pass && worst <= 50.0 && rss <= 40.0;
  return true;
}

bool connectRoundTrip(bool& pass) {
  HelperProcess helper;
  json devices = json::array({bench::emulatedDevice(
      deviceID(0), "Bench Belt", 20, "180D", {{{"uuid", "2A37"}, {"properties", "read|notify"}}})});
  devices[0]["rssi"] = -50;
  auto emulator = startEmulator(helper, devices);
  post(helper, "/startScan", {{"options", ""}, {"filename", "Bench"}});
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (discoveryCount(helper) < 1 && Clock::now() < deadline) std::this_thread::yield();
  post(helper, "/stopScan", json::object());

  std::vector<double> times;
  for (int i = 0; i < kConnects; ++i) {
    json body = {
        {"deviceID", deviceID(0)}, {"options", ""}, {"filename", "Bench"}, {"timeout", 5.0}};
    std::string text = body.dump();
    auto start = Clock::now();
    HttpReply reply = helper.post("/connect", text);
    times.push_back(milliseconds(Clock::now() - start));
    json answer = json::parse(reply.body);
    if (answer["lastError"] != 0) throw std::runtime_error("connect failed: " + reply.body);
    post(helper, "/disconnect", {{"deviceID", deviceID(0)}});
  }
  double median = percentile(times, 0.5);
  std::printf(
      "POST /connect round trip, %d connects: median %.3f ms, p90 %.3f ms, max %.3f ms "
      "(target: median at most 5 ms)\n",
      kConnects, median, percentile(times, 0.9), *std::max_element(times.begin(), times.end()));
  pass = pass && median <= 5.0;
  return true;
}

}  // namespace

int main() {
  bool pass = true;
  try {
    if (!connectRoundTrip(pass)) pass = false;
    if (!devicesAnswer(pass)) pass = false;
  } catch (const std::exception& e) {
    std::printf("failed: %s\n", e.what());
    return 1;
  }
  return pass ? 0 : 1;
}
