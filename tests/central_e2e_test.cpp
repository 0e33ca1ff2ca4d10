// End-to-end tests of the central role: the built helper and the device emulator as processes
// in a private air, driven over HTTP as the plug-in drives them.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "helper_process.h"

namespace {

using nlohmann::json;

const std::string kBelt = "E2E00000-0000-4000-8000-000000000001";
const std::string kStrap = "E2E00000-0000-4000-8000-000000000002";
const std::string kTag = "E2E00000-0000-4000-8000-000000000003";
const std::string kBeacon = "E2E00000-0000-4000-8000-000000000004";
const std::string kQuiet = "E2E00000-0000-4000-8000-000000000005";

const json kOK = {{"lastError", 0}, {"lastErrorMessage", "No error"}, {"result", "0"}};

json heartRateServices() {
  return json::parse(R"([
    {"uuid": "180D", "characteristics": [
      {"uuid": "2A37", "properties": "read|notify", "value": "0048"},
      {"uuid": "2A38", "properties": "read", "value": "01"}]},
    {"uuid": "180F", "characteristics": [
      {"uuid": "2A19", "properties": "read", "value": "64"}]}])");
}

// A device that advertises every 20 ms under `localName`, with strength drawn from [-55, -45].
json device(const std::string& id, const std::string& localName) {
  return {{"id", id},
          {"rssi", {-55, -45}},
          {"advertising", {{"localName", localName}, {"intervalMs", 20}}},
          {"services", heartRateServices()}};
}

// Polls `test` until it holds or `seconds` pass; the HTTP round trip paces the polling.
bool eventually(const std::function<bool()>& test, double seconds = 10) {
  auto deadline = ChildProcess::after(seconds);
  while (ChildProcess::Clock::now() < deadline) {
    if (test()) return true;
    std::this_thread::yield();
  }
  return test();
}

class CentralEndToEnd : public ::testing::Test {
 protected:
  // Starts the emulator with these devices in the helper's air and waits until they advertise.
  void startDevices(const std::vector<json>& devices) {
    std::string path = helper.directory() + "/devices.json";
    std::ofstream(path) << json{{"devices", json(devices)}}.dump();
    emulator = std::make_unique<ChildProcess>(ChildProcess::Options{
        VELNOR_SIM_PATH, {"device", path}, {{"VELNOR_AIR", helper.airDir()}}, {}});
    ASSERT_TRUE(emulator->waitForLine(
        [](const std::string& l) { return l == R"({"event":"ready"})"; }, ChildProcess::after(20)))
        << "emulator not ready";
  }

  // Runs "velnor-sim ARGS" in the helper's air to its end; true when it exits 0.
  bool runEmulatorCommand(const std::vector<std::string>& args) {
    ChildProcess command(
        ChildProcess::Options{VELNOR_SIM_PATH, args, {{"VELNOR_AIR", helper.airDir()}}, {}});
    return command.exitCode(ChildProcess::after(20)) == 0;
  }

  // Waits for an emulator event line with these members.
  bool emulatorSaw(const json& members, double seconds = 10) {
    return emulator
        ->waitForLine(
            [&](const std::string& line) {
              json event = json::parse(line, nullptr, false);
              if (!event.is_object()) return false;
              for (const auto& [key, value] : members.items()) {
                if (!event.contains(key) || event[key] != value) return false;
              }
              return true;
            },
            ChildProcess::after(seconds))
        .has_value();
  }

  json call(const std::string& path, const json& body) {
    HttpReply reply = helper.post(path, body.dump());
    EXPECT_EQ(reply.status, 200) << path << " " << body.dump() << " -> " << reply.body;
    return json::parse(reply.body, nullptr, false);
  }
  json startScan(const std::string& options, const std::string& file = "Lab") {
    return call("/startScan", {{"options", options}, {"filename", file}});
  }
  json connect(const std::string& device, const std::string& options, double timeout,
               const std::string& file = "Lab") {
    return call(
        "/connect",
        {{"deviceID", device}, {"options", options}, {"filename", file}, {"timeout", timeout}});
  }
  json get(const std::string& selector) { return call("/get", {{"selector", selector}}); }
  json get(const std::string& selector, const std::string& device) {
    return call("/get", {{"selector", selector}, {"deviceID", device}});
  }

  // The discoveries by identifier.
  std::map<std::string, json> discoveries() {
    std::map<std::string, json> byID;
    json reply = get("devices");
    json list = json::parse(reply["result"].get<std::string>(), nullptr, false);
    if (!list.is_array()) return byID;
    for (const auto& d : list) byID[d["UUID"].get<std::string>()] = d;
    return byID;
  }
  bool discovered(const std::string& id) { return discoveries().contains(id); }

  // The next `count` scripts handed out, as "name(parameter)@file".
  std::vector<std::string> scripts(size_t count, double seconds = 10) {
    std::vector<std::string> taken;
    eventually(
        [&] {
          HttpReply reply = helper.post("/dequeueScriptIfTime", "");
          json script = json::parse(reply.body, nullptr, false);
          if (script.is_object()) {
            taken.push_back(script["scriptName"].get<std::string>() + "(" +
                            script["parameters"].get<std::string>() + ")@" +
                            script["fileName"].get<std::string>());
          }
          return taken.size() >= count;
        },
        seconds);
    return taken;
  }

  HelperProcess helper;
  std::unique_ptr<ChildProcess> emulator;
};

TEST_F(CentralEndToEnd, FiltersKeepOnlyMatchingNewDevices) {
  json belt = device(kBelt, "Polar H10");
  belt["advertising"]["manufacturerData"] = "4c0001";
  json strap = device(kStrap, "polar");
  strap["advertising"]["manufacturerData"] = "4c00";
  json tag = device(kTag, "Polar Tag");
  tag["advertising"]["manufacturerData"] = "0600";
  json beacon = device(kBeacon, "Polar Beacon");
  beacon["advertising"]["manufacturerData"] = "4c00";
  beacon["advertising"]["connectable"] = false;
  json quiet = device(kQuiet, "Polar Far");
  quiet["advertising"]["manufacturerData"] = "4c00";
  quiet["rssi"] = -80;
  startDevices({belt, strap, tag, beacon, quiet});

  // Unfiltered, every device is found: they all advertise.
  EXPECT_EQ(startScan(""), kOK);
  ASSERT_TRUE(eventually([&] { return discoveries().size() == 5; }));
  EXPECT_EQ(call("/stopScan", json::object()), kOK);

  EXPECT_EQ(startScan("filterbyname=Pol\rfilterbyvendorid=76\rfilterbyconnectability=connectable"
                      "\rminrssi=-70\rmakeupdates=true"),
            kOK);
  // Several strengths of the kept device have come in, so every device has advertised since.
  std::set<int> strengths;
  ASSERT_TRUE(eventually([&] {
    auto found = discoveries();
    if (found.contains(kBelt)) strengths.insert(found[kBelt]["RSSI"].get<int>());
    return strengths.size() >= 4;
  }));
  EXPECT_EQ(discoveries().size(), 1U);
}

TEST_F(CentralEndToEnd, ObsoleteDeviceIsHiddenAndAnnouncedAgain) {
  startDevices({device(kBelt, "Belt")});
  EXPECT_EQ(startScan("obsoleteafter=0.5\rondiscovery=OnFound"), kOK);
  EXPECT_EQ(scripts(1), std::vector<std::string>{"OnFound(" + kBelt + ")@Lab"});
  emulator->writeLine("advertise " + kBelt + " off");
  ASSERT_TRUE(eventually([&] { return !discovered(kBelt); }));
  emulator->writeLine("advertise " + kBelt + " on");
  EXPECT_EQ(scripts(1), std::vector<std::string>{"OnFound(" + kBelt + ")@Lab"});
  EXPECT_TRUE(eventually([&] { return discovered(kBelt); }));
}

TEST_F(CentralEndToEnd, NameSharedByTwoDevicesIsRefusedButIdentifiersWork) {
  startDevices({device(kBelt, "Sensor"), device(kStrap, "Sensor"), device(kTag, "Solo")});
  EXPECT_EQ(startScan(""), kOK);
  ASSERT_TRUE(eventually([&] { return discoveries().size() == 3; }));
  EXPECT_EQ(get("uuid", "Sensor")["result"], "--DUPLICATE--");
  EXPECT_EQ(get("uuid", "Solo")["result"], kTag);
  EXPECT_EQ(get("devicename", kStrap)["result"], "Sensor");
  EXPECT_EQ(get("uuid", "Nobody"),
            json({{"lastError", -11}, {"lastErrorMessage", "Unknown device"}, {"result", "?"}}));
  EXPECT_EQ(connect("Sensor", "", 5.0), json({{"lastError", -12},
                                              {"lastErrorMessage", "Name matches multiple devices"},
                                              {"result", "0"}}));
  EXPECT_EQ(connect(kStrap, "", 5.0), kOK);
  EXPECT_EQ(get("connections")["result"], kStrap);

  // A device unknown everywhere: its own text, no name, no relationship, and no error.
  json unknown = get("status", "Nobody");
  EXPECT_EQ(unknown["lastError"], 0);
  EXPECT_EQ(json::parse(unknown["result"].get<std::string>()),
            json({{"UUID", "Nobody"},
                  {"relationship", "none"},
                  {"subscribedFor", json::array()},
                  {"authorizationLevel", 0}}));
  json solo = json::parse(get("status", "Solo")["result"].get<std::string>());
  EXPECT_EQ(solo["UUID"], kTag);
  EXPECT_EQ(solo["name"], "Solo");
  EXPECT_EQ(solo["relationship"], "discoveredPeripheral");
}

TEST_F(CentralEndToEnd, ConnectByNameRunsEveryScriptInOrderAndLinkLossEndsIt) {
  startDevices({device(kBelt, "Polar H10"), device(kStrap, "Other")});
  EXPECT_EQ(startScan(""), kOK);
  ASSERT_TRUE(eventually([&] { return discovered(kBelt); }));
  EXPECT_EQ(connect("Polar H10",
                    "onConnect=Connected\rondiscoverservices=Services\r"
                    "ondiscovercharacteristics=Chars\rondisconnect=Gone\ronconnectionfailed=Failed",
                    5.0, "Belt.fmp12"),
            kOK);
  EXPECT_TRUE(emulatorSaw({{"event", "connected"}, {"device", kBelt}}));
  EXPECT_EQ(get("connections")["result"], kBelt);
  json status = json::parse(get("status", "Polar H10")["result"].get<std::string>());
  EXPECT_EQ(status["UUID"], kBelt);
  EXPECT_EQ(status["name"], "Polar H10");
  EXPECT_EQ(status["relationship"], "connectedPeripheral");
  EXPECT_EQ(connect(kBelt, "", 5.0),
            json({{"lastError", -40}, {"lastErrorMessage", "Already connected"}, {"result", "0"}}));

  EXPECT_EQ(scripts(4), (std::vector<std::string>{
                            "Connected(" + kBelt + ")@Belt.fmp12",
                            "Services(" + kBelt + ")@Belt.fmp12",
                            "Chars(" + kBelt + "\r180D)@Belt.fmp12",
                            "Chars(" + kBelt + "\r180F)@Belt.fmp12",
                        }));

  emulator->writeLine("drop " + kBelt);
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Gone(" + kBelt + ")@Belt.fmp12"});
  EXPECT_EQ(get("connections"),
            json({{"lastError", 0}, {"lastErrorMessage", "No error"}, {"result", ""}}));
  EXPECT_EQ(
      call("/disconnect", {{"deviceID", "Polar H10"}}),
      json({{"lastError", -30}, {"lastErrorMessage", "Device is not connected"}, {"result", "0"}}));
}

TEST_F(CentralEndToEnd, IgnoringDeviceTimesOutAndRefusingDeviceFails) {
  json ignoring = device(kBelt, "Ignoring");
  ignoring["connection"] = "ignore";
  json refusing = device(kStrap, "Refusing");
  refusing["connection"] = "reject";
  startDevices({ignoring, refusing});
  EXPECT_EQ(startScan(""), kOK);
  ASSERT_TRUE(eventually([&] { return discoveries().size() == 2; }));

  EXPECT_EQ(
      connect("Ignoring", "onconnectionfailed=Failed\ronconnect=Connected", 0.3),
      json({{"lastError", -100}, {"lastErrorMessage", "Operation timeout"}, {"result", "0"}}));
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Failed(" + kBelt + ")@Lab"});

  // The platform's own description of the refusal, not the catalogue text.
  EXPECT_EQ(connect(kStrap, "onconnectionfailed=Refused", 5.0),
            json({{"lastError", -15},
                  {"lastErrorMessage", "The specified device has disconnected from us."},
                  {"result", "0"}}));
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Refused(" + kStrap + ")@Lab"});
  EXPECT_EQ(get("connections")["result"], "");
}

TEST_F(CentralEndToEnd, PowerCycleDuringAScanResumesItWithoutTheServiceFilter) {
  json withService = device(kBelt, "Heart");
  withService["advertising"]["serviceUUIDs"] = {"180D"};
  startDevices({withService, device(kStrap, "Plain")});
  EXPECT_EQ(startScan("filterbyservice=180D"), kOK);
  ASSERT_TRUE(eventually([&] { return discovered(kBelt); }));
  EXPECT_FALSE(discovered(kStrap));

  size_t before = helper.stdoutLines().size();
  ASSERT_TRUE(runEmulatorCommand({"power", "off"}));
  ASSERT_TRUE(eventually([&] {
    return json::parse(get("status")["result"].get<std::string>())["bluetooth"] == "powered Off";
  }));
  ASSERT_TRUE(runEmulatorCommand({"power", "on"}));
  EXPECT_TRUE(helper.waitForStdoutLine("CentralDelegate: Is powered on", before));
  EXPECT_TRUE(eventually([&] { return discovered(kStrap); }));
  json status = json::parse(get("status")["result"].get<std::string>());
  EXPECT_EQ(status,
            json({{"bluetooth", "powered On"}, {"isScanning", true}, {"isAdvertising", false}}));
}

}  // namespace
