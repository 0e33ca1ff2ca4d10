#include "tools/capture.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <thread>

#include "bluetooth/cb_error.h"
#include "plugin/errors.h"
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
// The helper hands out at most one script per 0.1 s; a hand-out this soon after the one before
// may have waited for it.
constexpr auto kPacing = 100ms;
constexpr auto kHeldWithin = kPacing + 20ms;
constexpr auto kPollInterval = 2ms;
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

int64_t millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::max<int64_t>(0, std::chrono::round<std::chrono::milliseconds>(to - from).count());
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

// A script the helper handed out, and when.
struct HandedOut {
  Clock::time_point at;
  std::string script;
  std::string fileName;
  std::string parameters;
  bool held = false;
};

// Takes every script the helper hands out, on a thread of its own with its own connection, so
// that each is timed as it comes whatever the main thread is waiting for.
class ScriptPoller {
 public:
  explicit ScriptPoller(uint16_t port) : client_(port) {}
  ~ScriptPoller() { stop(); }

  // Main thread.
  void start() {
    thread_ = std::thread([this] { run(); });
  }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // Waits until a script satisfies `pred` (or the poller fails) until `deadline`; returns it.
  // Main thread.
  template <class Pred>
  std::optional<HandedOut> waitFor(Pred pred, Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    std::optional<HandedOut> found;
    changed_.wait_until(lock, deadline, [&] {
      for (const auto& s : scripts_) {
        if (pred(s)) {
          found = s;
          return true;
        }
      }
      return failure_.has_value();
    });
    if (failure_) throw HelperUnreachable(*failure_);
    return found;
  }

  // Waits until the queue answered empty after the pacing that followed the last hand-out and
  // after `since`: everything queued before `since` has then been taken. Main thread.
  bool waitDrained(Clock::time_point since, Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    bool drained = changed_.wait_until(lock, deadline, [&] {
      return failure_ || (lastEmpty_ > since && lastEmpty_ > lastHandOut_ + kPacing);
    });
    if (failure_) throw HelperUnreachable(*failure_);
    return drained;
  }

  std::vector<HandedOut> scripts() const {
    std::lock_guard lock(mutex_);
    return scripts_;
  }

 private:
  // The poller's thread.
  void run() {
    for (;;) {
      {
        std::unique_lock lock(mutex_);
        if (stopping_) return;
      }
      try {
        auto asked = Clock::now();
        auto script = client_.dequeueScript();
        record(script, asked);
        if (script.is_null()) {
          std::unique_lock lock(mutex_);
          changed_.wait_for(lock, kPollInterval, [&] { return stopping_; });
        }
      } catch (const std::exception& e) {
        std::lock_guard lock(mutex_);
        failure_ = e.what();
        changed_.notify_all();
        return;
      }
    }
  }

  // A hand-out is timed when it arrives; an empty answer when it was asked for, since it tells
  // that nothing was queued before that.
  void record(const nlohmann::json& script, Clock::time_point asked) {
    auto now = Clock::now();
    std::lock_guard lock(mutex_);
    if (script.is_null()) {
      lastEmpty_ = asked;
    } else {
      HandedOut h{now, script.value("scriptName", ""), script.value("fileName", ""),
                  script.value("parameters", ""), now - lastHandOut_ < kHeldWithin};
      lastHandOut_ = now;
      scripts_.push_back(std::move(h));
    }
    changed_.notify_all();
  }

  HelperClient client_;
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::vector<HandedOut> scripts_;
  Clock::time_point lastHandOut_{};
  Clock::time_point lastEmpty_{};
  std::optional<std::string> failure_;
  bool stopping_ = false;
  std::thread thread_;
};

// SIGINT or SIGTERM (blocked in every thread) asks a capture to end early.
class Interruption {
 public:
  Interruption() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    fd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  }
  ~Interruption() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool happened() {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (!raised_ && ::poll(&p, 1, 0) > 0) raised_ = true;
    return raised_;
  }

 private:
  int fd_ = -1;
  bool raised_ = false;
};

// The steps of one capture, in the order they run. Main thread.
class Capturer {
 public:
  explicit Capturer(const Invocation& invocation)
      : options_(invocation), client_(invocation.helperPort), poller_(invocation.helperPort) {}

  int run() {
    try {
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
      return write() ? 0 : 1;
    } catch (const std::exception& e) {
      return fail(e.what());
    }
  }

 private:
  std::chrono::seconds window() const { return std::chrono::seconds(options_.seconds); }

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
        if (has(c, "notify")) subscribe(s, c, "");
      }
    }
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
          c.onRead = readFailure(r);
          c.notes.push_back("value not captured: the read failed with " +
                            std::to_string(r.lastError) + ", " + r.message);
          progress("read " + s.uuid + "/" + c.uuid + " failed: " + r.message);
        }
      }
    }
  }

  // How the device answered a read that failed, so that the replay answers the same: no
  // answer in time, or the ATT error whose description the helper gave. Null when the failure
  // cannot be told.
  static Json readFailure(const HelperReply& r) {
    if (r.lastError == Errors::kTimeoutError) return "ignore";
    // The codes without a description of their own share one, which names none of them.
    const std::string unnamed = CBError::att(255).localizedDescription;
    for (int code = 1; code < 255; ++code) {
      const std::string named = CBError::att(static_cast<uint8_t>(code)).localizedDescription;
      if (named != unnamed && named == r.message) return code;
    }
    return nullptr;
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
    if (!dropped) forgetScripts();
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
    for (const auto& script : poller_.scripts()) {
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
    try {
      finish();
    } catch (const std::exception&) {
      // The helper is gone: nothing to leave as it was.
    }
    takeNotifications();
    bool wrote = !device_.id.empty() && write();
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
      // Written whole or not at all: a reader never sees half a file.
      std::string temporary = options_.outFile + ".part";
      {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) {
          std::fprintf(stderr, "velnor-sim: cannot write %s\n", temporary.c_str());
          std::remove(temporary.c_str());
          return false;
        }
      }
      if (std::rename(temporary.c_str(), options_.outFile.c_str()) != 0) {
        std::fprintf(stderr, "velnor-sim: cannot write %s\n", options_.outFile.c_str());
        std::remove(temporary.c_str());
        return false;
      }
    }
    progress("wrote " + (options_.outFile.empty() ? "the device file" : options_.outFile) + ": " +
             std::to_string(notificationCount()) + " notifications");
    return true;
  }

  const Invocation& options_;
  HelperClient client_;
  ScriptPoller poller_;
  Interruption interruption_;
  CapturedDevice device_;
  bool startedScan_ = false;
  bool connected_ = false;
};

// ---- The device file ----

constexpr size_t kLineWidth = 100;

// A value on one line, with a blank after each comma and colon.
std::string flatText(const Json& v) {
  if (!v.is_structured()) return v.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string text = v.is_object() ? "{" : "[";
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (it != v.begin()) text += ", ";
    if (v.is_object()) text += Json(it.key()).dump() + ": ";
    text += flatText(*it);
  }
  return text + (v.is_object() ? "}" : "]");
}

Json advertisingJson(const CapturedDevice& d) {
  Json a = Json::object();
  if (d.name) a["localName"] = *d.name;
  a["connectable"] = d.connectable;
  if (d.vendorID) {
    a["manufacturerData"] =
        toHex({static_cast<uint8_t>(*d.vendorID & 0xFF), static_cast<uint8_t>(*d.vendorID >> 8)});
  }
  if (d.serviceUUIDs) a["serviceUUIDs"] = *d.serviceUUIDs;
  if (!d.serviceData.empty()) a["serviceData"] = d.serviceData;
  return a;
}

// The characteristic's notifications as a timeline from its subscription: played once when the
// link dropped (with the drop on the first subscribed characteristic), else looped over the
// capture's length.
Json timelineJson(const CapturedDevice& d, const CapturedCharacteristic& c, bool carriesDrop) {
  Json events = Json::array();
  int64_t last = 0;
  for (const auto& n : c.notifications) {
    last = millisecondsBetween(*c.subscribed, n.at);
    events.push_back({{"atMs", last}, {"value", n.value}});
  }
  if (carriesDrop) {
    events.push_back(
        {{"atMs", std::max(last, millisecondsBetween(*c.subscribed, *d.dropped))}, {"drop", true}});
  }
  if (events.empty()) return nullptr;
  if (d.dropped) return events;
  auto end = d.listenEnd.value_or(*c.subscribed);
  int64_t period = std::max(millisecondsBetween(*c.subscribed, end), last + 1);
  return {{"loop", true}, {"periodMs", period}, {"events", events}};
}

// `lead`: how much of the line a member's name takes before the value.
void appendJsonText(const Json& v, size_t indent, size_t lead, std::string& text) {
  std::string flat = flatText(v);
  if (!v.is_structured() || v.empty() || indent + lead + flat.size() <= kLineWidth) {
    text += flat;
    return;
  }
  text += v.is_object() ? "{\n" : "[\n";
  for (auto it = v.begin(); it != v.end(); ++it) {
    if (it != v.begin()) text += ",\n";
    text.append(indent + 2, ' ');
    std::string name = v.is_object() ? Json(it.key()).dump() + ": " : "";
    text += name;
    appendJsonText(*it, indent + 2, name.size(), text);
  }
  text += "\n";
  text.append(indent, ' ');
  text += v.is_object() ? "}" : "]";
}

}  // namespace

void appendDeviceFileText(const Json& value, size_t indent, std::string& text) {
  appendJsonText(value, indent, 0, text);
}

Json captureDeviceFile(const CapturedDevice& d) {
  Json device = {{"id", d.id}};
  if (d.name) device["name"] = *d.name;
  if (d.rssiMin && d.rssiMin == d.rssiMax) device["rssi"] = *d.rssiMin;
  if (d.rssiMin && d.rssiMin != d.rssiMax) device["rssi"] = {*d.rssiMin, *d.rssiMax};
  device["advertising"] = advertisingJson(d);
  if (d.connection) device["connection"] = *d.connection;
  size_t longest = 0;
  size_t held = 0;
  bool dropPlaced = !d.dropped;
  Json services = Json::array();
  for (const auto& s : d.services) {
    Json characteristics = Json::array();
    for (const auto& c : s.characteristics) {
      Json characteristic = {{"uuid", c.uuid}, {"properties", c.properties}};
      if (c.value) characteristic["value"] = *c.value;
      if (!c.onRead.is_null()) characteristic["onRead"] = c.onRead;
      if (c.subscribed) {
        auto timeline = timelineJson(d, c, !dropPlaced);
        dropPlaced = true;
        if (!timeline.is_null()) characteristic["timeline"] = timeline;
      }
      for (const auto& n : c.notifications) {
        longest = std::max(longest, n.value.size() / 2);
        held += n.held ? 1 : 0;
      }
      if (!c.notes.empty()) characteristic["notes"] = c.notes;
      characteristics.push_back(std::move(characteristic));
    }
    services.push_back({{"uuid", s.uuid}, {"characteristics", characteristics}});
  }
  // A notification holds at most the device's MTU less 3 bytes.
  if (longest + 3 > 185) device["mtu"] = std::min<size_t>(longest + 3, 517);
  device["services"] = services;

  std::vector<std::string> notes = d.notes;
  if (!dropPlaced) {
    notes.push_back(
        "the link dropped before any characteristic was subscribed to: the replay keeps its link");
  }
  notes.push_back(
      "captured through the helper: the advertising interval, manufacturer data after the "
      "company identifier, and properties other than read, write, writeWithoutResponse and "
      "notify are not visible that way");
  notes.push_back(
      "timeline offsets: when the helper handed each notification out, from when it confirmed "
      "the subscription; it hands out one script per 0.1 s at most");
  if (held > 0) {
    notes.push_back(
        "notifications handed out less than 0.1 s after the script before them, so that they "
        "may have waited in the helper's queue and be late by that wait: " +
        std::to_string(held));
  }
  device["notes"] = notes;
  return Json{{"devices", Json::array({device})}};
}

int runCapture(const Invocation& invocation) {
  Capturer capturer(invocation);
  return capturer.run();
}

}  // namespace tool
