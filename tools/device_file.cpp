#include "tools/device_file.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "bluetooth/core_bluetooth.h"

namespace tool {

namespace {

using nlohmann::json;

// A day: the longest offset and loop a timeline takes.
constexpr int64_t kMaxTimelineMs = 24 * 3600 * 1000;
// Bounds that keep a device file's memory small: its parsed document takes many times its size.
constexpr size_t kMaxFileBytes = 8 * 1024 * 1024;
constexpr size_t kMaxTimelineEvents = 100000;

const std::pair<const char*, uint32_t> kPropertyWords[] = {
    {"read", CBCharacteristicPropertyRead},
    {"write", CBCharacteristicPropertyWrite},
    {"writeWithoutResponse", CBCharacteristicPropertyWriteWithoutResponse},
    {"notify", CBCharacteristicPropertyNotify},
    {"indicate", CBCharacteristicPropertyIndicate},
};

// Walks the document, keeping the path of the value being read for error messages.
class Reader {
 public:
  explicit Reader(std::string fileName) : fileName_(std::move(fileName)) {}

  [[noreturn]] void fail(const std::string& place, const std::string& problem) const {
    throw DeviceFileError(fileName_ + ": " + place + ": " + problem);
  }

  const json& member(const json& object, const std::string& place, const char* key) const {
    if (!object.contains(key)) fail(place, std::string("missing \"") + key + "\"");
    return object.at(key);
  }

  void onlyKnownMembers(const json& object, const std::string& place,
                        std::initializer_list<const char*> known) const {
    for (const auto& [key, value] : object.items()) {
      bool ok = false;
      for (const char* k : known) ok = ok || key == k;
      if (!ok) fail(place, "unknown member \"" + key + "\"");
    }
  }

  void expectObject(const json& v, const std::string& place) const {
    if (!v.is_object()) fail(place, "expected an object");
  }
  void expectArray(const json& v, const std::string& place) const {
    if (!v.is_array()) fail(place, "expected a list");
  }
  std::string text(const json& v, const std::string& place) const {
    if (!v.is_string()) fail(place, "expected a string");
    return v.get<std::string>();
  }
  int64_t integer(const json& v, const std::string& place, int64_t min, int64_t max) const {
    if (!v.is_number_integer()) fail(place, "expected a whole number");
    auto n = v.get<int64_t>();
    if (n < min || n > max) {
      fail(place, std::to_string(n) + " is out of range " + std::to_string(min) + " to " +
                      std::to_string(max));
    }
    return n;
  }
  bool boolean(const json& v, const std::string& place) const {
    if (!v.is_boolean()) fail(place, "expected true or false");
    return v.get<bool>();
  }
  CBUUID uuid(const json& v, const std::string& place) const {
    auto t = text(v, place);
    auto u = CBUUID::fromString(t);
    if (!u) fail(place, "not a UUID: \"" + t + "\"");
    return *u;
  }
  std::vector<uint8_t> hex(const json& v, const std::string& place) const {
    auto t = text(v, place);
    auto bytes = fromHex(t);
    if (!bytes) fail(place, "not hex bytes: \"" + t + "\"");
    return *bytes;
  }

  // `delayable`: whether {"delayMs": N} (answer after N ms) is allowed here.
  sim::Answer answer(const json& v, const std::string& place, bool delayable) const {
    if (v.is_string() && v.get<std::string>() == "respond") return sim::Answer::respond();
    if (v.is_string() && v.get<std::string>() == "ignore") return sim::Answer::ignore();
    if (v.is_number_integer()) {
      return sim::Answer::error(static_cast<uint8_t>(integer(v, place, 1, 255)));
    }
    if (delayable && v.is_object()) {
      onlyKnownMembers(v, place, {"delayMs"});
      auto ms = integer(member(v, place, "delayMs"), place + ".delayMs", 0, 600000);
      return sim::Answer::delay(std::chrono::milliseconds(ms));
    }
    fail(place, delayable ? "expected \"respond\", \"ignore\", an ATT error code from 1 to 255 "
                            "or {\"delayMs\": N}"
                          : "expected \"respond\", \"ignore\" or an ATT error code from 1 to 255");
  }

  // A characteristic value: hex bytes, at most what an attribute holds.
  std::vector<uint8_t> value(const json& v, const std::string& place) const {
    auto bytes = hex(v, place);
    if (bytes.size() > 512) fail(place, "longer than 512 bytes");
    return bytes;
  }

  sim::EmulatedCharacteristic characteristic(const json& v, const std::string& place) const {
    expectObject(v, place);
    onlyKnownMembers(v, place,
                     {"uuid", "properties", "value", "onRead", "onWrite", "onSubscribe", "notify",
                      "timeline", "notes"});
    if (v.contains("notes")) notes(v["notes"], place + ".notes");
    sim::EmulatedCharacteristic c;
    c.uuid = uuid(member(v, place, "uuid"), place + ".uuid");
    auto words = text(member(v, place, "properties"), place + ".properties");
    auto properties = parsePropertyWords(words);
    if (!properties) {
      fail(place + ".properties",
           "unknown property in \"" + words +
               "\" (use read, write, writeWithoutResponse, notify, indicate joined by |)");
    }
    c.properties = *properties;
    if (v.contains("value") && !v["value"].is_null()) c.value = value(v["value"], place + ".value");
    if (v.contains("onRead")) c.onRead = answer(v["onRead"], place + ".onRead", true);
    if (v.contains("onWrite")) c.onWrite = answer(v["onWrite"], place + ".onWrite", true);
    if (v.contains("onSubscribe"))
      c.onSubscribe = answer(v["onSubscribe"], place + ".onSubscribe", false);
    if (v.contains("notify") && !v["notify"].is_null()) {
      const auto& n = v["notify"];
      std::string at = place + ".notify";
      expectObject(n, at);
      onlyKnownMembers(n, at, {"everyMs", "values"});
      sim::PeriodicNotify plan;
      plan.every = std::chrono::milliseconds(
          integer(member(n, at, "everyMs"), at + ".everyMs", 1, 24 * 3600 * 1000));
      const auto& values = member(n, at, "values");
      expectArray(values, at + ".values");
      if (values.empty()) fail(at + ".values", "expected at least one value");
      for (size_t i = 0; i < values.size(); ++i) {
        plan.values.push_back(value(values[i], at + ".values[" + std::to_string(i) + "]"));
      }
      if (!(c.properties & (CBCharacteristicPropertyNotify | CBCharacteristicPropertyIndicate))) {
        fail(at, "the characteristic has neither notify nor indicate");
      }
      c.notify = std::move(plan);
    }
    return c;
  }

  sim::AdvertisingConfig advertising(const json& v, const std::string& place) const {
    expectObject(v, place);
    onlyKnownMembers(v, place,
                     {"localName", "intervalMs", "connectable", "manufacturerData", "serviceUUIDs",
                      "serviceData"});
    sim::AdvertisingConfig a;
    if (v.contains("localName") && !v["localName"].is_null()) {
      a.localName = text(v["localName"], place + ".localName");
    }
    if (v.contains("intervalMs")) {
      a.interval =
          std::chrono::milliseconds(integer(v["intervalMs"], place + ".intervalMs", 1, 60000));
    }
    if (v.contains("connectable"))
      a.connectable = boolean(v["connectable"], place + ".connectable");
    if (v.contains("manufacturerData") && !v["manufacturerData"].is_null()) {
      a.manufacturerData = hex(v["manufacturerData"], place + ".manufacturerData");
    }
    if (v.contains("serviceUUIDs") && !v["serviceUUIDs"].is_null()) {
      const auto& list = v["serviceUUIDs"];
      expectArray(list, place + ".serviceUUIDs");
      a.serviceUUIDs.emplace();
      for (size_t i = 0; i < list.size(); ++i) {
        a.serviceUUIDs->push_back(
            uuid(list[i], place + ".serviceUUIDs[" + std::to_string(i) + "]"));
      }
    }
    if (v.contains("serviceData") && !v["serviceData"].is_null()) {
      const auto& data = v["serviceData"];
      expectObject(data, place + ".serviceData");
      a.serviceData.emplace();
      for (const auto& [key, value] : data.items()) {
        std::string at = place + ".serviceData." + key;
        auto u = CBUUID::fromString(key);
        if (!u) fail(at, "not a UUID: \"" + key + "\"");
        (*a.serviceData)[*u] = hex(value, at);
      }
    }
    return a;
  }

  sim::EmulatedDeviceConfig device(const json& v, const std::string& place) const {
    expectObject(v, place);
    onlyKnownMembers(
        v, place, {"id", "name", "rssi", "advertising", "connection", "mtu", "services", "notes"});
    if (v.contains("notes")) notes(v["notes"], place + ".notes");
    sim::EmulatedDeviceConfig d;
    if (v.contains("id") && !v["id"].is_null()) {
      auto t = text(v["id"], place + ".id");
      auto id = sim::parseNodeId(t);
      if (!id) fail(place + ".id", "not a UUID in the 8-4-4-4-12 form: \"" + t + "\"");
      d.id = *id;
    }
    if (v.contains("name") && !v["name"].is_null()) d.name = text(v["name"], place + ".name");
    if (v.contains("rssi")) rssi(v["rssi"], place + ".rssi", d);
    if (v.contains("advertising") && !v["advertising"].is_null()) {
      d.advertising = advertising(v["advertising"], place + ".advertising");
    }
    if (v.contains("connection")) {
      auto c = text(v["connection"], place + ".connection");
      if (c == "accept") {
        d.connection = sim::ConnectDecision::accept;
      } else if (c == "reject") {
        d.connection = sim::ConnectDecision::reject;
      } else if (c == "ignore") {
        d.connection = sim::ConnectDecision::ignore;
      } else {
        fail(place + ".connection",
             "expected \"accept\", \"reject\" or \"ignore\", not \"" + c + "\"");
      }
    }
    if (v.contains("mtu"))
      d.mtu = static_cast<uint16_t>(integer(v["mtu"], place + ".mtu", 23, 517));
    if (v.contains("services")) {
      const auto& services = v["services"];
      expectArray(services, place + ".services");
      for (size_t i = 0; i < services.size(); ++i) {
        std::string at = place + ".services[" + std::to_string(i) + "]";
        expectObject(services[i], at);
        onlyKnownMembers(services[i], at, {"uuid", "characteristics"});
        sim::EmulatedService s;
        s.uuid = uuid(member(services[i], at, "uuid"), at + ".uuid");
        if (services[i].contains("characteristics")) {
          const auto& cs = services[i]["characteristics"];
          expectArray(cs, at + ".characteristics");
          for (size_t j = 0; j < cs.size(); ++j) {
            s.characteristics.push_back(
                characteristic(cs[j], at + ".characteristics[" + std::to_string(j) + "]"));
          }
        }
        d.services.push_back(std::move(s));
      }
      timelines(services, place, d);
    }
    return d;
  }

  // Notes are for people reading the file (what a capture could not see, say): a list of texts.
  void notes(const json& v, const std::string& place) const {
    expectArray(v, place);
    for (size_t i = 0; i < v.size(); ++i) text(v[i], place + "[" + std::to_string(i) + "]");
  }

  // The timelines of every characteristic, read once the whole device is known, since an event
  // may name another characteristic of it.
  void timelines(const json& services, const std::string& place,
                 sim::EmulatedDeviceConfig& d) const {
    for (size_t i = 0; i < d.services.size(); ++i) {
      auto& characteristics = d.services[i].characteristics;
      for (size_t j = 0; j < characteristics.size(); ++j) {
        const auto& v = services[i]["characteristics"][j];
        if (!v.contains("timeline") || v["timeline"].is_null()) continue;
        std::string at = place + ".services[" + std::to_string(i) + "].characteristics[" +
                         std::to_string(j) + "].timeline";
        auto& c = characteristics[j];
        if (c.notify) fail(at, "a characteristic has either notify or a timeline, not both");
        if (!(c.properties & (CBCharacteristicPropertyNotify | CBCharacteristicPropertyIndicate))) {
          fail(at,
               "a timeline plays when a central subscribes, and the characteristic has "
               "neither notify nor indicate");
        }
        c.timeline = timeline(v["timeline"], at, d);
      }
    }
  }

  // A list of events played once, or {"loop": true, "periodMs": N, "events": [...]}.
  sim::Timeline timeline(const json& v, const std::string& place,
                         const sim::EmulatedDeviceConfig& d) const {
    sim::Timeline t;
    std::string eventsPlace = place;
    const json* events = &v;
    if (v.is_object()) {
      onlyKnownMembers(v, place, {"loop", "periodMs", "events"});
      if (v.contains("loop")) t.loop = boolean(v["loop"], place + ".loop");
      if (t.loop && !v.contains("periodMs"))
        fail(place, "a timeline that loops needs \"periodMs\"");
      if (v.contains("periodMs")) {
        t.period = std::chrono::milliseconds(
            integer(v["periodMs"], place + ".periodMs", 1, kMaxTimelineMs));
      }
      eventsPlace = place + ".events";
      events = &member(v, place, "events");
    } else if (!v.is_array()) {
      fail(place, "expected a list of events or {\"loop\", \"periodMs\", \"events\"}");
    }
    expectArray(*events, eventsPlace);
    if (events->empty()) fail(eventsPlace, "expected at least one event");
    eventCount_ += events->size();
    if (eventCount_ > kMaxTimelineEvents) {
      fail(eventsPlace, "more than " + std::to_string(kMaxTimelineEvents) +
                            " timeline events in the file, more than a device file may hold");
    }
    for (size_t i = 0; i < events->size(); ++i) {
      std::string at = eventsPlace + "[" + std::to_string(i) + "]";
      t.events.push_back(timelineEvent((*events)[i], at, d));
      const auto& e = t.events.back();
      if (i > 0 && e.at < t.events[i - 1].at) {
        fail(at + ".atMs", std::to_string(e.at.count()) + " is before the previous event's " +
                               std::to_string(t.events[i - 1].at.count()) +
                               ": events go in time order");
      }
      if (t.period.count() > 0 && e.at >= t.period) {
        fail(at + ".atMs", std::to_string(e.at.count()) + " is not before periodMs " +
                               std::to_string(t.period.count()));
      }
    }
    return t;
  }

  // {"atMs": N} and one of "value", "drop": true, "advertise": "on"|"off", "onRead" (with
  // "service" and "characteristic" naming another characteristic than the timeline's own).
  sim::TimelineEvent timelineEvent(const json& v, const std::string& place,
                                   const sim::EmulatedDeviceConfig& d) const {
    expectObject(v, place);
    onlyKnownMembers(v, place,
                     {"atMs", "value", "drop", "advertise", "onRead", "service", "characteristic"});
    sim::TimelineEvent e;
    e.at = std::chrono::milliseconds(
        integer(member(v, place, "atMs"), place + ".atMs", 0, kMaxTimelineMs - 1));
    int kinds = 0;
    for (const char* k : {"value", "drop", "advertise", "onRead"}) kinds += v.contains(k) ? 1 : 0;
    if (kinds != 1) {
      fail(place, "expected exactly one of \"value\", \"drop\", \"advertise\", \"onRead\"");
    }
    if ((v.contains("service") || v.contains("characteristic")) && !v.contains("onRead")) {
      fail(place, "\"service\" and \"characteristic\" go with \"onRead\" only");
    }
    if (v.contains("value")) {
      e.kind = sim::TimelineEvent::Kind::value;
      e.value = notification(v["value"], place + ".value", d.mtu);
    } else if (v.contains("drop")) {
      if (!boolean(v["drop"], place + ".drop")) fail(place + ".drop", "expected true");
      e.kind = sim::TimelineEvent::Kind::drop;
    } else if (v.contains("advertise")) {
      auto word = text(v["advertise"], place + ".advertise");
      if (word != "on" && word != "off") {
        fail(place + ".advertise", "expected \"on\" or \"off\", not \"" + word + "\"");
      }
      e.kind = word == "on" ? sim::TimelineEvent::Kind::advertiseOn
                            : sim::TimelineEvent::Kind::advertiseOff;
    } else {
      e.kind = sim::TimelineEvent::Kind::onRead;
      e.onRead = answer(v["onRead"], place + ".onRead", true);
      if (v.contains("service") && !v.contains("characteristic")) {
        fail(place + ".service", "goes with \"characteristic\", which names the characteristic");
      }
      if (v.contains("characteristic")) e.target = target(v, place, d);
    }
    return e;
  }

  // A notified value: hex bytes that fit one notification on a link of the device's MTU.
  std::vector<uint8_t> notification(const json& v, const std::string& place, uint16_t mtu) const {
    auto bytes = value(v, place);
    size_t max = mtu - 3u;
    if (bytes.size() > max) {
      fail(place, std::to_string(bytes.size()) + " bytes, longer than the " + std::to_string(max) +
                      " a notification carries with the device's MTU of " + std::to_string(mtu));
    }
    return bytes;
  }

  // The (service, characteristic) indexes of the characteristic an event names.
  std::pair<size_t, size_t> target(const json& v, const std::string& place,
                                   const sim::EmulatedDeviceConfig& d) const {
    auto characteristic = uuid(v["characteristic"], place + ".characteristic");
    std::optional<CBUUID> service;
    if (v.contains("service")) service = uuid(v["service"], place + ".service");
    std::vector<std::pair<size_t, size_t>> found;
    for (size_t i = 0; i < d.services.size(); ++i) {
      if (service && d.services[i].uuid != *service) continue;
      for (size_t j = 0; j < d.services[i].characteristics.size(); ++j) {
        if (d.services[i].characteristics[j].uuid == characteristic) found.emplace_back(i, j);
      }
    }
    std::string named = characteristic.UUIDString() +
                        (service ? " in service " + service->UUIDString() : std::string());
    if (found.empty()) fail(place + ".characteristic", "the device has no characteristic " + named);
    if (found.size() > 1) {
      fail(place + ".characteristic",
           "the device has " + named + " in more than one service: name it with \"service\"");
    }
    return found.front();
  }

  void rssi(const json& v, const std::string& place, sim::EmulatedDeviceConfig& d) const {
    if (v.is_number_integer()) {
      d.rssiMin = d.rssiMax = static_cast<int>(integer(v, place, -127, 20));
      return;
    }
    if (!v.is_array() || v.size() != 2) fail(place, "expected a number or [min, max]");
    d.rssiMin = static_cast<int>(integer(v[0], place + "[0]", -127, 20));
    d.rssiMax = static_cast<int>(integer(v[1], place + "[1]", -127, 20));
    if (d.rssiMin > d.rssiMax) fail(place, "min is greater than max");
  }

 private:
  std::string fileName_;
  mutable size_t eventCount_ = 0;  // timeline events read so far in the file
};

// The path of the value being parsed, from the parser's events, so that a member that appears
// twice in an object (the parser keeps the last one silently) is refused with its place.
class DuplicateMemberCheck {
 public:
  explicit DuplicateMemberCheck(std::string fileName) : fileName_(std::move(fileName)) {}

  // The parser's events, in one pass over the text before it is parsed into a document. The
  // parsing thread.
  bool null() { return next(); }
  bool boolean(bool) { return next(); }
  bool number_integer(json::number_integer_t) { return next(); }
  bool number_unsigned(json::number_unsigned_t) { return next(); }
  bool number_float(json::number_float_t, const std::string&) { return next(); }
  bool string(std::string&) { return next(); }
  bool binary(json::binary_t&) { return next(); }
  bool start_object(size_t) { return start(true); }
  bool start_array(size_t) { return start(false); }
  bool end_object() { return end(); }
  bool end_array() { return end(); }
  // Malformed text is left to the parse that follows, which says where.
  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) { return false; }
  bool key(std::string& name) {
    auto& frame = frames_.back();
    frame.key = name;
    if (!frame.keys.insert(frame.key).second) {
      std::string place = path();
      throw DeviceFileError(fileName_ + ": " + (place.empty() ? "top level" : place) +
                            ": member \"" + frame.key + "\" appears twice");
    }
    return true;
  }

 private:
  struct Frame {
    bool object;
    std::set<std::string> keys;
    std::string key;  // of the member being parsed
    size_t index;     // of the element being parsed
  };

  bool start(bool object) {
    frames_.push_back({object, {}, {}, 0});
    return true;
  }
  bool end() {
    frames_.pop_back();
    return next();
  }
  // A value ended: a list goes on to its next element.
  bool next() {
    if (!frames_.empty() && !frames_.back().object) ++frames_.back().index;
    return true;
  }

  // "devices[0].services" for the innermost object or list being parsed.
  std::string path() const {
    std::string p;
    for (size_t i = 0; i + 1 < frames_.size(); ++i) {
      const auto& f = frames_[i];
      p += f.object ? (p.empty() ? "" : ".") + f.key : "[" + std::to_string(f.index) + "]";
    }
    return p;
  }

  std::string fileName_;
  std::vector<Frame> frames_;
};

void checkFileSize(size_t bytes, const std::string& fileName) {
  if (bytes > kMaxFileBytes) {
    throw DeviceFileError(fileName + ": " + std::to_string(bytes) + " bytes, larger than the " +
                          std::to_string(kMaxFileBytes) + " a device file may be");
  }
}

// "line L, column C" of a byte offset.
std::string lineAndColumn(const std::string& text, size_t offset) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

std::vector<sim::EmulatedDeviceConfig> parseDeviceFile(const std::string& text,
                                                       const std::string& fileName) {
  checkFileSize(text.size(), fileName);
  json doc;
  try {
    DuplicateMemberCheck duplicates(fileName);
    json::sax_parse(text, &duplicates);
    doc = json::parse(text);
  } catch (const json::parse_error& e) {
    // The library's message ends with the reason after its last ": ".
    std::string what = e.what();
    auto colon = what.rfind(": ");
    std::string reason = colon == std::string::npos ? what : what.substr(colon + 2);
    size_t at = e.byte > 0 ? e.byte - 1 : 0;
    throw DeviceFileError(fileName + ": " + lineAndColumn(text, at) +
                          ": not valid JSON: " + reason);
  } catch (const json::exception& e) {
    // A number too large for any JSON number type: the library gives no position for it.
    std::string what = e.what();
    auto bracket = what.find("] ");
    throw DeviceFileError(fileName + ": not valid JSON: " +
                          (bracket == std::string::npos ? what : what.substr(bracket + 2)));
  }
  Reader r(fileName);
  r.expectObject(doc, "top level");
  r.onlyKnownMembers(doc, "top level", {"devices", "notes"});
  if (doc.contains("notes")) r.notes(doc["notes"], "notes");
  const auto& devices = r.member(doc, "top level", "devices");
  r.expectArray(devices, "devices");
  std::vector<sim::EmulatedDeviceConfig> configs;
  std::set<sim::NodeId> ids;
  for (size_t i = 0; i < devices.size(); ++i) {
    std::string place = "devices[" + std::to_string(i) + "]";
    configs.push_back(r.device(devices[i], place));
    if (!ids.insert(configs.back().id).second) {
      r.fail(place + ".id",
             "the same id as an earlier device: " + sim::nodeIdText(configs.back().id));
    }
  }
  return configs;
}

std::vector<sim::EmulatedDeviceConfig> loadDeviceFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw DeviceFileError(path + ": cannot be read");
  // Not read at all when it is too large: the size alone refuses it.
  in.seekg(0, std::ios::end);
  auto size = static_cast<size_t>(std::max<std::streamoff>(0, in.tellg()));
  checkFileSize(size, path);
  in.seekg(0);
  std::ostringstream text;
  text << in.rdbuf();
  return parseDeviceFile(text.str(), path);
}

std::string toHex(const std::vector<uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 0xF]);
  }
  return s;
}

std::optional<std::vector<uint8_t>> fromHex(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return bytes;
}

std::string propertyWords(uint32_t properties) {
  std::string words;
  for (const auto& [word, bit] : kPropertyWords) {
    if (!(properties & bit)) continue;
    if (!words.empty()) words += "|";
    words += word;
  }
  return words;
}

std::optional<uint32_t> parsePropertyWords(const std::string& text) {
  uint32_t bits = 0;
  if (text.empty()) return bits;  // none that a central can use
  size_t start = 0;
  for (;;) {
    size_t bar = text.find('|', start);
    std::string word =
        text.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
    bool known = false;
    for (const auto& [w, bit] : kPropertyWords) {
      if (word == w) {
        bits |= bit;
        known = true;
      }
    }
    if (!known) return std::nullopt;
    if (bar == std::string::npos) return bits;
    start = bar + 1;
  }
}

}  // namespace tool
