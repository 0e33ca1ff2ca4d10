// Two helpers, a central and a peripheral, on one radio: `--radio sim` (the simulated radio) or
// `--radio bluez` (hci0 and hci1 of the machine that scripts/bluez-vm.sh boots). bench/realstack.sh
// runs both and prints them side by side. Measured: advertising to discovery, /connect through
// service discovery, /read of 3 and of 200 bytes (median, p99), and notifications per second
// that reach the central's script queue.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

namespace {

using bench::milliseconds;
using bench::percentile;
using bench::post;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

const std::string kProfile = R"([{"UUID": "180D", "characteristics": [
    {"UUID": "2A37", "properties": "read|notify", "format": "hex"},
    {"UUID": "2A38", "properties": "read|write", "format": "hex"}]}])";
const std::string kName = "Bench Tag";

struct Radio {
  std::string name;
  HelperProcess::Options central;
  HelperProcess::Options peripheral;
};

HelperProcess::Options quiet(std::vector<std::string> args) {
  HelperProcess::Options options;
  options.stdoutToFile = true;
  options.extraArgs = std::move(args);
  return options;
}

json devices(HelperProcess& central) {
  json list =
      json::parse(post(central, "/get", {{"selector", "devices"}})["result"].get<std::string>(),
                  nullptr, false);
  return list.is_array() ? list : json::array();
}

bool listsName(HelperProcess& central) {
  for (const auto& d : devices(central)) {
    if (d.value("name", "") == kName) return true;
  }
  return false;
}

// Milliseconds from /startAdvertising to the central's scan listing the name, the scan already
// running; each round starts with both sides stopped.
std::vector<double> advertisingToDiscovery(HelperProcess& central, HelperProcess& peripheral,
                                           int rounds) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    post(peripheral, "/stopAdvertising", json::object());
    post(central, "/startScan", {{"options", ""}, {"filename", "Bench"}});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the scan is running
    auto start = Clock::now();
    post(peripheral, "/startAdvertising", {{"options", "displayName=" + kName}});
    bool listed = false;
    while (!(listed = listsName(central)) && Clock::now() - start < std::chrono::seconds(30)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (listed) times.push_back(milliseconds(Clock::now() - start));
    post(central, "/stopScan", json::object());
  }
  return times;
}

json readCommand(const std::string& ch) {
  return {{"deviceID", kName},
          {"servID", "180D"},
          {"charID", ch},
          {"format", "hex"},
          {"timeout", 10.0}};
}

// Milliseconds from /connect to the first /read that finds the characteristic.
double connectWithDiscovery(HelperProcess& central) {
  auto start = Clock::now();
  json connect = {{"deviceID", kName}, {"options", ""}, {"filename", "Bench"}, {"timeout", 10.0}};
  if (post(central, "/connect", connect)["lastError"] != 0) return -1;
  while (post(central, "/read", readCommand("2A38"))["lastError"] != 0) {
    if (Clock::now() - start > std::chrono::seconds(30)) return -1;
  }
  return milliseconds(Clock::now() - start);
}

std::vector<double> reads(HelperProcess& central, const std::string& ch, int count) {
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    if (post(central, "/read", readCommand(ch))["lastError"] == 0) {
      times.push_back(milliseconds(Clock::now() - start));
    }
  }
  return times;
}

size_t countLines(const std::string& path, const std::string& prefix) {
  std::ifstream in(path);
  std::string line;
  size_t count = 0;
  while (std::getline(in, line)) count += line.find(prefix) != std::string::npos;
  return count;
}

// Notifications per second that reach the central's script queue while the peripheral sets the
// characteristic as fast as its commands are answered, for `seconds`.
double notificationsPerSecond(HelperProcess& central, HelperProcess& peripheral, double seconds) {
  post(central, "/subscribe",
       {{"deviceID", kName},
        {"servID", "180D"},
        {"charID", "2A37"},
        {"script", "Heard"},
        {"format", "hex"},
        {"timeout", 10.0},
        {"filename", "Bench"}});
  const std::string log = central.directory() + "/stdout.log";
  const std::string scheduled = "Scheduling a script Heard";
  size_t before = countLines(log, scheduled);
  auto start = Clock::now();
  for (int i = 0; milliseconds(Clock::now() - start) < seconds * 1000; ++i) {
    char value[8];
    std::snprintf(value, sizeof value, "%04x", i & 0xffff);
    post(peripheral, "/setLocalChar",
         {{"servID", "180D"}, {"charID", "2A37"}, {"value", value}, {"format", "hex"}});
  }
  // What is still in flight arrives within a second.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  return (countLines(log, scheduled) - before) / seconds;
}

std::string figures(const std::vector<double>& times) {
  if (times.empty()) return "none";
  char text[96];
  std::snprintf(text, sizeof text, "median %.1f ms, p99 %.1f ms (%zu)", percentile(times, 0.5),
                percentile(times, 0.99), times.size());
  return text;
}

// Whether the helper's Bluetooth is on within 30 s: bluetoothd answers some time after start.
bool poweredOn(HelperProcess& helper) {
  auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(30)) {
    json status =
        json::parse(post(helper, "/get", {{"selector", "status"}})["result"].get<std::string>(),
                    nullptr, false);
    if (status.is_object() && status.value("bluetooth", "") == "powered On") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

int run(const Radio& radio) {
  HelperProcess peripheral(radio.peripheral);
  HelperProcess central(radio.central);
  if (!poweredOn(peripheral) || !poweredOn(central)) {
    std::fprintf(stderr, "realstack_bench: %s: Bluetooth never came on\n", radio.name.c_str());
    return 1;
  }
  post(peripheral, "/set", {{"selector", "localprofile"}, {"filename", "P"}, {"value", kProfile}});
  post(peripheral, "/setLocalChar",
       {{"servID", "180D"}, {"charID", "2A38"}, {"value", "0a0b0c"}, {"format", "hex"}});
  std::vector<double> discovery = advertisingToDiscovery(central, peripheral, 5);
  std::vector<double> connects;
  for (int i = 0; i < 3; ++i) {
    double ms = connectWithDiscovery(central);
    if (ms >= 0) connects.push_back(ms);
    if (i < 2) post(central, "/disconnect", {{"deviceID", kName}});
  }
  std::vector<double> small = reads(central, "2A38", 200);
  std::string big(400, 'a');
  post(peripheral, "/setLocalChar",
       {{"servID", "180D"}, {"charID", "2A38"}, {"value", big}, {"format", "hex"}});
  std::vector<double> large = reads(central, "2A38", 50);
  double notifications = notificationsPerSecond(central, peripheral, 5);
  post(central, "/disconnect", {{"deviceID", kName}});

  std::printf("%s: advertising to discovery: %s\n", radio.name.c_str(), figures(discovery).c_str());
  std::printf("%s: /connect through service discovery: %s\n", radio.name.c_str(),
              figures(connects).c_str());
  std::printf("%s: /read of 3 bytes: %s\n", radio.name.c_str(), figures(small).c_str());
  std::printf("%s: /read of 200 bytes: %s\n", radio.name.c_str(), figures(large).c_str());
  std::printf("%s: notifications reaching the script queue: %.0f per second\n", radio.name.c_str(),
              notifications);
  return discovery.empty() || connects.empty() || small.empty() || large.empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string radio = argc == 3 && std::strcmp(argv[1], "--radio") == 0 ? argv[2] : "";
  try {
    if (radio == "sim") {
      HelperProcess::Options central = quiet({});
      HelperProcess::Options peripheral = quiet({});
      central.airDir = peripheral.airDir = bench::makeTempDirWithAir() + "/air";
      return run(Radio{"sim", central, peripheral});
    }
    if (radio == "bluez") {
      return run(
          Radio{"bluez", quiet({"--radio", "bluez:hci0"}), quiet({"--radio", "bluez:hci1"})});
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "realstack_bench: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: realstack_bench --radio sim|bluez\n");
  return 2;
}
