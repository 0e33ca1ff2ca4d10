// The end-to-end fixture: the built helper and the device emulator as processes in a private
// air, driven over HTTP as the plug-in drives them, in either role.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "emulated_central.h"
#include "eventually.h"
#include "helper_process.h"
#include "tools/helper_client.h"

namespace central_e2e {

using ::eventually;
using nlohmann::json;

inline const std::string kBelt = "E2E00000-0000-4000-8000-000000000001";
inline const std::string kStrap = "E2E00000-0000-4000-8000-000000000002";
inline const std::string kTag = "E2E00000-0000-4000-8000-000000000003";

inline json reply(int code, const std::string& message, const std::string& result) {
  return {{"lastError", code}, {"lastErrorMessage", message}, {"result", result}};
}
inline json failed(int code, const std::string& message) {
  return reply(code, message, "0");
}
inline json value(const std::string& text) {
  return reply(0, "No error", text);
}

inline json heartRateServices() {
  return json::parse(R"([
    {"uuid": "180D", "characteristics": [
      {"uuid": "2A37", "properties": "read|notify", "value": "0048"},
      {"uuid": "2A38", "properties": "read", "value": "01"}]},
    {"uuid": "180F", "characteristics": [
      {"uuid": "2A19", "properties": "read", "value": "64"}]}])");
}

// A device that advertises every 20 ms under `localName`, with strength drawn from [-55, -45].
inline json device(const std::string& id, const std::string& localName) {
  return {{"id", id},
          {"rssi", {-55, -45}},
          {"advertising", {{"localName", localName}, {"intervalMs", 20}}},
          {"services", heartRateServices()}};
}

// The plug-in's commands, each a POST of its JSON body to one helper through `call`.
class PluginCommands {
 public:
  virtual ~PluginCommands() = default;
  virtual json call(const std::string& path, const json& body) = 0;

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

  json read(const std::string& device, const std::string& service, const std::string& ch,
            const std::string& format, double timeout) {
    return call("/read", {{"deviceID", device},
                          {"servID", service},
                          {"charID", ch},
                          {"format", format},
                          {"timeout", timeout}});
  }
  json write(const std::string& device, const std::string& service, const std::string& ch,
             const std::string& value, const std::string& format, double timeout) {
    return call("/write", {{"deviceID", device},
                           {"servID", service},
                           {"charID", ch},
                           {"value", value},
                           {"format", format},
                           {"timeout", timeout}});
  }
  json subscribe(const std::string& device, const std::string& service, const std::string& ch,
                 const std::string& script, const std::string& format, double timeout,
                 const std::string& file = "Lab") {
    return call("/subscribe", {{"deviceID", device},
                               {"servID", service},
                               {"charID", ch},
                               {"script", script},
                               {"format", format},
                               {"timeout", timeout},
                               {"filename", file}});
  }

  // The peripheral role: its profile, advertising and the values of its characteristics of 180D.
  json setProfile(const std::string& profile, const std::string& file = "Lab") {
    return call("/set", {{"selector", "localprofile"}, {"value", profile}, {"filename", file}});
  }
  json startAdvertising(const std::string& options) {
    return call("/startAdvertising", {{"options", options}});
  }
  json setLocal(const std::string& charID, const std::string& value, const std::string& format) {
    return call("/setLocalChar",
                {{"servID", "180D"}, {"charID", charID}, {"value", value}, {"format", format}});
  }
  json getLocal(const std::string& charID, const std::string& format) {
    return call("/getLocalChar", {{"servID", "180D"}, {"charID", charID}, {"format", format}});
  }
};

// The commands to a helper of the test's own.
class HelperCommands : public PluginCommands {
 public:
  explicit HelperCommands(HelperProcess& helper) : helper_(helper) {}
  json call(const std::string& path, const json& body) override {
    HttpReply reply = helper_.post(path, body.dump());
    EXPECT_EQ(reply.status, 200) << path << " " << body.dump() << " -> " << reply.body;
    return json::parse(reply.body, nullptr, false);
  }

 private:
  HelperProcess& helper_;
};

class CentralEndToEnd : public ::testing::Test, public PluginCommands {
 protected:
  CentralEndToEnd() = default;
  explicit CentralEndToEnd(HelperProcess::Options options) : helper(std::move(options)) {}

  // A failed test shows what the helper wrote to standard error (a sanitizer's report, say).
  void TearDown() override {
    if (!HasFailure()) return;
    for (const auto& line : helper.process().stderrLines()) std::cerr << line << '\n';
  }

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
        ->waitForLine([&](const std::string& line) { return hasMembers(line, members); },
                      ChildProcess::after(seconds))
        .has_value();
  }

  json call(const std::string& path, const json& body) override {
    return HelperCommands(helper).call(path, body);
  }
  // A command on a connection of its own, answered while the test goes on.
  std::future<json> later(const std::string& path, const json& body) {
    return std::async(std::launch::async, [port = helper.port(), path, body] {
      tool::HelperClient client(port);
      HttpReply reply = requestOrNothing(client, "POST", path, body.dump());
      return reply.status == 0 ? json() : json::parse(reply.body, nullptr, false);
    });
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
    return helper.takeScripts(count, seconds);
  }

  HelperProcess helper;
  std::unique_ptr<ChildProcess> emulator;
};

}  // namespace central_e2e
