#include "tools/capture.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bluetooth/cb_error.h"
#include "platform/descriptors.h"
#include "plugin/errors.h"
#include "tools/capture_poller.h"
#include "tools/device_file.h"
#include "tools/emulator.h"
#include "tools/helper_client.h"

namespace tool {

namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;
using Clock = CaptureClock;

// What capture's own scripts are called in the helper's queue.
constexpr const char* kFileName = "velnor-sim capture";
constexpr const char* kNotificationScript = "capture.notification";
constexpr const char* kDisconnectScript = "capture.disconnected";
constexpr const char* kServicesScript = "capture.services";
constexpr const char* kCharacteristicsScript = "capture.characteristics";
constexpr double kConnectTimeout = 10.0;
constexpr double kOperationTimeout = 5.0;
constexpr auto kDiscoveryTimeout = 10s;
// The helper keeps at most 101 waiting scripts and hands them out one per pacing: a full queue
// takes this long to empty, with some room for a loaded machine.
constexpr auto kDrainTimeout = 101 * kPacing + 5s;

// A capture that cannot go on; what() is the reason for the user.
class CaptureFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Main thread.
void progress(const std::string& text) {
  std::fprintf(stderr, "velnor-sim capture: %s\n", text.c_str());
  std::fflush(stderr);
}

std::string upperHex(const std::string& hex) {
  auto bytes = fromHex(hex);
  return bytes ? toHex(*bytes) : hex;
}

bool sameIdentifier(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

// SIGINT or SIGTERM (blocked in every thread) asks a capture to end early.
class Interruption {
 public:
  bool happened() {
    pollfd p{fd_, POLLIN, 0};
    if (!raised_ && ::poll(&p, 1, 0) > 0) raised_ = true;
    return raised_;
  }

 private:
  int fd_ = termination_signals::fd();
  bool raised_ = false;
};

// The steps of one capture, in the order they run. Main thread.
class Capturer {
 public:
  explicit Capturer(const Invocation& invocation)
      : options_(invocation), client_(invocation.helperPort), poller_(invocation.helperPort) {}

  int run() {
    try {
      checkOut();
      checkHelper();
      findDevice();
      if (!device_.connectable) {
        device_.notes.push_back("not connectable: only the advertisement is captured");
        watchAdvertisements();
      } else {
        poller_.start();
        connect();
        discoverProfile();
        readValues();
        listen();
      }
      finish();
      if (!write()) return 1;
      return reportLosses() ? 3 : 0;
    } catch (const std::exception& e) {
      return fail(e.what());
    }
  }

 private:
  std::chrono::seconds window() const { return std::chrono::seconds(options_.seconds); }

  // A file that cannot be written is found before the capture rather than after it.
  void checkOut() {
    if (options_.outFile.empty()) return;
    std::error_code error;
    if (std::filesystem::is_directory(options_.outFile, error)) {
      throw CaptureFailed("cannot write " + options_.outFile + ": it is a directory");
    }
    std::string temporary = options_.outFile + ".part";
    if (!std::ofstream(temporary, std::ios::binary | std::ios::trunc)) {
      throw CaptureFailed("cannot write " + temporary);
    }
    std::remove(temporary.c_str());
  }

  void checkHelper() {
    progress("asking the helper at 127.0.0.1:" + std::to_string(options_.helperPort));
    client_.version();
  }

  // ---- Advertisement ----

  void findDevice() {
    progress("scanning for " + options_.captureDevice + " (up to " +
             std::to_string(options_.seconds) + " s)");
    auto r = client_.command("/startScan", {{"options", ""}, {"filename", kFileName}});
    if (!r.ok() && r.lastError != Errors::kAlreadyScanning) {
      throw CaptureFailed("the helper cannot scan: " + r.message);
    }
    startedScan_ = r.ok();
    auto deadline = Clock::now() + window();
    while (!sampleAdvertisement()) {
      if (interruption_.happened()) {
        throw CaptureFailed("interrupted before a device \"" + options_.captureDevice +
                            "\" was seen");
      }
      if (Clock::now() > deadline) {
        throw CaptureFailed("no device \"" + options_.captureDevice + "\" seen in " +
                            std::to_string(options_.seconds) + " s");
      }
      std::this_thread::sleep_for(50ms);
    }
    progress("found " + device_.id + (device_.name ? " (" + *device_.name + ")" : "") +
             (device_.connectable ? ", connectable" : ", not connectable"));
  }

  // Reads the helper's discoveries; takes the device's advertisement when it is first seen and
  // its signal strength every time. Returns whether the device is among them.
  bool sampleAdvertisement() {
    auto r = client_.command("/get", {{"selector", "devices"}});
    if (!r.ok()) return false;
    auto list = nlohmann::json::parse(r.result, nullptr, false);
    if (!list.is_array()) return false;
    const nlohmann::json* match = nullptr;
    std::vector<std::string> named;
    for (const auto& d : list) {
      if (!d.is_object() || !d.contains("UUID")) continue;
      std::string id = d.value("UUID", "");
      bool byId =
          device_.id.empty() ? sameIdentifier(id, options_.captureDevice) : id == device_.id;
      if (byId) match = &d;
      if (device_.id.empty() && d.value("name", "") == options_.captureDevice) {
        named.push_back(id);
        if (!match) match = &d;
      }
    }
    if (device_.id.empty() && named.size() > 1 &&
        !sameIdentifier(match->value("UUID", ""), options_.captureDevice)) {
      std::string ids;
      for (const auto& id : named) ids += (ids.empty() ? "" : ", ") + id;
      throw CaptureFailed("several devices are named \"" + options_.captureDevice + "\" (" + ids +
                          "): name one by its identifier");
    }
    if (!match) return false;
    if (device_.id.empty()) takeAdvertisement(*match);
    int rssi = static_cast<int>(std::lround(match->value("RSSI", -60.0)));
    rssi = std::clamp(rssi, -127, 20);
    device_.rssiMin = std::min(device_.rssiMin.value_or(rssi), rssi);
    device_.rssiMax = std::max(device_.rssiMax.value_or(rssi), rssi);
    return true;
  }

  void takeAdvertisement(const nlohmann::json& d) {
    device_.id = d.value("UUID", "");
    if (d.contains("name") && d["name"].is_string()) device_.name = d["name"].get<std::string>();
    if (d.contains("vendorID") && d["vendorID"].is_number_unsigned()) {
      device_.vendorID = d["vendorID"].get<uint16_t>();
    }
    device_.connectable = d.value("connectable", false);
    if (d.contains("serviceUUIDs") && d["serviceUUIDs"].is_array()) {
      device_.serviceUUIDs = d["serviceUUIDs"].get<std::vector<std::string>>();
    }
    if (d.contains("serviceData") && d["serviceData"].is_object()) {
      for (const auto& [uuid, hex] : d["serviceData"].items()) {
        if (hex.is_string()) device_.serviceData[uuid] = upperHex(hex.get<std::string>());
      }
    }
  }

  // Samples the advertisement for the capture's length, for a device that cannot be connected.
  void watchAdvertisements() {
    progress("watching its advertisements for " + std::to_string(options_.seconds) + " s");
    auto end = Clock::now() + window();
    while (Clock::now() < end && !interruption_.happened()) {
      sampleAdvertisement();
      std::this_thread::sleep_for(100ms);
    }
  }

  // ---- Connection and profile ----

  void connect() {
    progress("connecting to " + device_.id);
    std::string options = std::string("ondisconnect=") + kDisconnectScript +
                          "\rondiscoverservices=" + kServicesScript +
                          "\rondiscovercharacteristics=" + kCharacteristicsScript;
    auto r = client_.command("/connect", {{"deviceID", device_.id},
                                          {"options", options},
                                          {"filename", kFileName},
                                          {"timeout", kConnectTimeout}});
    if (r.lastError == Errors::kTimeoutError) {
      device_.connection = "ignore";
      device_.notes.push_back("a connection got no answer within 10 s");
    } else if (r.lastError == Errors::kConnectionError) {
      device_.connection = "reject";
      device_.notes.push_back("a connection failed: " + r.message);
    } else if (r.lastError == Errors::kAlreadyConnected) {
      throw CaptureFailed("the helper is connected to " + device_.id +
                          " already: disconnect it first, so that capture sees its discovery");
    }
    if (!r.ok()) throw CaptureFailed("could not connect to " + device_.id + ": " + r.message);
    connected_ = true;
  }

  bool isOwn(const HandedOut& s, const char* script) const {
    return s.fileName == kFileName && s.script == script;
  }

  // Waits for the helper to discover every service's characteristics, then takes the profile.
  void discoverProfile() {
    progress("discovering services");
    auto deadline = Clock::now() + kDiscoveryTimeout;
    bool complete = awaitScript(kServicesScript, device_.id, deadline).has_value();
    auto profile = remoteProfile();
    for (const auto& service : profile) {
      std::string parameters = device_.id + "\r" + service.value("UUID", "");
      complete = complete && awaitScript(kCharacteristicsScript, parameters, deadline).has_value();
    }
    if (!complete) {
      device_.notes.push_back("the helper did not finish discovering the profile within 10 s");
    }
    takeProfile(remoteProfile());
    size_t count = 0;
    for (const auto& s : device_.services) count += s.characteristics.size();
    progress(std::to_string(device_.services.size()) + " services, " + std::to_string(count) +
             " characteristics");
  }

  // One of capture's scripts with these parameters; throws when the link dropped instead.
  std::optional<HandedOut> awaitScript(const char* script, const std::string& parameters,
                                       Clock::time_point deadline) {
    auto found = poller_.waitFor(
        [&](const HandedOut& s) {
          return (isOwn(s, script) && s.parameters == parameters) || isOwn(s, kDisconnectScript);
        },
        deadline);
    if (found && isOwn(*found, kDisconnectScript)) linkDropped(found->at);
    return found;
  }

  nlohmann::json remoteProfile() {
    auto r = client_.command("/get", {{"selector", "remoteprofile"}, {"deviceID", device_.id}});
    if (r.lastError == Errors::kNotConnected) linkDropped(Clock::now());
    auto profile = nlohmann::json::parse(r.result, nullptr, false);
    return profile.is_array() ? profile : nlohmann::json::array();
  }

  void takeProfile(const nlohmann::json& profile) {
    device_.services.clear();
    for (const auto& s : profile) {
      CapturedService service{s.value("UUID", ""), {}};
      for (const auto& c : s.value("characteristics", nlohmann::json::array())) {
        CapturedCharacteristic characteristic;
        characteristic.uuid = c.value("UUID", "");
        characteristic.properties = c.value("properties", "");
        service.characteristics.push_back(std::move(characteristic));
      }
      device_.services.push_back(std::move(service));
    }
  }

  [[noreturn]] void linkDropped(Clock::time_point at) {
    device_.dropped = at;
    connected_ = false;
    throw CaptureFailed("the link to " + device_.id + " dropped");
  }

  // Whether the helper's property text ("read|notify") holds `property`.
  static bool has(const CapturedCharacteristic& c, const std::string& property) {
    return ("|" + c.properties + "|").find("|" + property + "|") != std::string::npos;
  }

  Json gattBody(const CapturedService& s, const CapturedCharacteristic& c) const {
    return {{"deviceID", device_.id}, {"servID", s.uuid}, {"charID", c.uuid}};
  }

  // ---- Values ----

  // Unsubscribes every notifying characteristic, also one the device refused or never
  // answered: the helper keeps a script it was given and runs it on read answers too.
  void forgetScripts() {
    for (auto& s : device_.services) {
      for (auto& c : s.characteristics) {
        if (!has(c, "notify")) continue;
        auto body = gattBody(s, c);
        body["script"] = "";
        body["format"] = "hex";
        // Unsubscribing does not wait: the helper forgets the script at once.
        body["timeout"] = 0.0;
        body["filename"] = kFileName;
        client_.command("/subscribe", body);
      }
    }
  }

  // A dropped link leaves the helper holding capture's notification scripts, which it would run
  // for a later client's reads of those characteristics: a short link again removes them.
  void forgetScriptsAfterDrop() {
    progress("connecting to " + device_.id + " again to remove capture's scripts from the helper");
    auto r = client_.command("/connect", {{"deviceID", device_.id},
                                          {"options", ""},
                                          {"filename", kFileName},
                                          {"timeout", kOperationTimeout}});
    if (!r.ok()) {
      progress("could not (" + r.message +
               "): the helper runs capture's scripts on reads of the device's notifying "
               "characteristics until it is captured again");
      return;
    }
    connected_ = true;
    forgetScripts();
  }

  void readValues() {
    // A capture whose link dropped left its scripts behind: forgotten first, so that no read
    // counts as a notification.
    forgetScripts();
    for (auto& s : device_.services) {
      for (auto& c : s.characteristics) {
        if (!has(c, "read")) continue;
        auto body = gattBody(s, c);
        body["format"] = "hex";
        body["timeout"] = kOperationTimeout;
        auto r = client_.command("/read", body);
        if (r.lastError == Errors::kNotConnected) linkDropped(Clock::now());
        if (r.ok()) {
          c.value = upperHex(r.result);
          progress("read " + s.uuid + "/" + c.uuid + ": " + *c.value);
        } else {
          c.onRead = deviceAnswerOf(r.lastError, r.message);
          c.notes.push_back("value not captured: the read failed with " +
                            std::to_string(r.lastError) + ", " + r.message);
          progress("read " + s.uuid + "/" + c.uuid + " failed: " + r.message);
        }
      }
    }
  }

  // ---- Notifications ----

  void listen() {
    size_t subscribed = 0;
    for (auto& s : device_.services) {
      for (auto& c : s.characteristics) {
        if (has(c, "notify") && subscribe(s, c, kNotificationScript)) ++subscribed;
      }
    }
    progress("listening to " + std::to_string(subscribed) + " characteristics for " +
             std::to_string(options_.seconds) + " s");
    auto start = Clock::now();
    auto end = start + window();
    auto nextReport = start + 1s;
    std::optional<Clock::time_point> dropped;
    while (!dropped && Clock::now() < end && !interruption_.happened()) {
      auto drop = poller_.waitFor([&](const HandedOut& s) { return isOwn(s, kDisconnectScript); },
                                  Clock::now() + 100ms);
      device_.listenEnd = Clock::now();
      if (drop) dropped = drop->at;
      sampleAdvertisement();
      if (Clock::now() >= nextReport) {
        progress("notifications so far: " + std::to_string(notificationCount()));
        nextReport += 1s;
      }
    }
    device_.listenEnd = Clock::now();
    if (!dropped) {
      for (auto& s : device_.services) {
        for (auto& c : s.characteristics) {
          if (has(c, "notify")) subscribe(s, c, "");
        }
      }
    }
    // Notifications that arrived before the unsubscription or the drop may still wait in the
    // queue.
    auto unsubscribed = Clock::now();
    if (!poller_.waitDrained(unsubscribed, unsubscribed + kDrainTimeout)) {
      device_.notes.push_back(
          "the helper's queue did not empty in time: notifications may be missing");
    }
    takeNotifications();
    if (dropped) linkDropped(*dropped);
  }

  bool subscribe(const CapturedService& s, CapturedCharacteristic& c, const std::string& script) {
    auto body = gattBody(s, c);
    body["script"] = script;
    body["format"] = "hex";
    // Unsubscribing does not wait: the helper forgets the script at once.
    body["timeout"] = script.empty() ? 0.0 : kOperationTimeout;
    body["filename"] = kFileName;
    auto r = client_.command("/subscribe", body);
    if (r.lastError == Errors::kNotConnected) linkDropped(Clock::now());
    if (script.empty()) return r.ok();
    if (!r.ok()) {
      c.onSubscribe = deviceAnswerOf(r.lastError, r.message);
      c.notes.push_back("notifications not captured: subscribing failed with " +
                        std::to_string(r.lastError) + ", " + r.message);
      return false;
    }
    c.subscribed = Clock::now();
    return true;
  }

  size_t notificationCount() const {
    size_t n = 0;
    for (const auto& s : poller_.scripts()) n += isOwn(s, kNotificationScript) ? 1 : 0;
    return n;
  }

  // Hands each notification script to its characteristic: device, service, characteristic and
  // value, separated by carriage returns.
  void takeNotifications() {
    for (auto& s : device_.services) {
      for (auto& c : s.characteristics) c.notifications.clear();
    }
    auto scripts = poller_.scripts();
    device_.queueFull = lastBeforeOverflow(scripts);
    for (const auto& script : scripts) {
      if (!isOwn(script, kNotificationScript)) continue;
      std::vector<std::string> parts;
      size_t start = 0;
      for (size_t cr; (cr = script.parameters.find('\r', start)) != std::string::npos;) {
        parts.push_back(script.parameters.substr(start, cr - start));
        start = cr + 1;
      }
      parts.push_back(script.parameters.substr(start));
      if (parts.size() != 4 || parts[0] != device_.id) continue;
      for (auto& s : device_.services) {
        for (auto& c : s.characteristics) {
          if (s.uuid == parts[1] && c.uuid == parts[2] && c.subscribed) {
            c.notifications.push_back({script.at, upperHex(parts[3]), script.held});
          }
        }
      }
    }
  }

  // ---- The end ----

  // Leaves the helper as capture found it: disconnected, and not scanning unless it was.
  void finish() {
    if (connected_) client_.command("/disconnect", {{"deviceID", device_.id}});
    connected_ = false;
    if (startedScan_) client_.command("/stopScan", Json::object());
    startedScan_ = false;
    poller_.stop();
    size_t foreign = 0;
    for (const auto& s : poller_.scripts()) foreign += s.fileName == kFileName ? 0 : 1;
    if (foreign > 0) {
      progress("took " + std::to_string(foreign) +
               " scripts of another client from the helper's queue; they are lost to it");
    }
  }

  int fail(const std::string& reason) {
    device_.failure = reason;
    try {
      if (device_.dropped) forgetScriptsAfterDrop();
      finish();
    } catch (const std::exception&) {
      // The helper is gone: nothing to leave as it was.
    }
    takeNotifications();
    bool wrote = !device_.id.empty() && write();
    if (wrote) reportLosses();
    std::fprintf(stderr, "velnor-sim: %s%s\n", reason.c_str(),
                 wrote ? "; what was captured so far is written" : "");
    return 1;
  }

  bool write() {
    std::string text;
    appendDeviceFileText(captureDeviceFile(device_), 0, text);
    text += "\n";
    if (options_.outFile.empty()) {
      std::fwrite(text.data(), 1, text.size(), stdout);
      std::fflush(stdout);
    } else {
      if (auto failed = writeFileWhole(options_.outFile, text)) {
        std::fprintf(stderr, "velnor-sim: cannot write %s\n", failed->c_str());
        return false;
      }
    }
    progress("wrote " + (options_.outFile.empty() ? "the device file" : options_.outFile) + ": " +
             std::to_string(keptCount()) + " notifications");
    return true;
  }

  // Says, per characteristic, what the helper's full queue may have cost; whether it may have
  // cost anything.
  bool reportLosses() {
    auto losses = captureLosses(device_);
    for (const auto& line : losses) progress(line);
    return !losses.empty();
  }

  size_t keptCount() const {
    size_t n = 0;
    for (const auto& s : device_.services) {
      for (const auto& c : s.characteristics) {
        for (const auto& note : c.notifications) {
          n += !device_.queueFull || note.at <= *device_.queueFull ? 1 : 0;
        }
      }
    }
    return n;
  }

  const Invocation& options_;
  HelperClient client_;
  ScriptPoller poller_;
  Interruption interruption_;
  CapturedDevice device_;
  bool startedScan_ = false;
  bool connected_ = false;
};

}  // namespace

int runCapture(const Invocation& invocation) {
  Capturer capturer(invocation);
  return capturer.run();
}

}  // namespace tool
