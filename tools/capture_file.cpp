// The device file of a capture: what the emulator plays from what capture recorded, laid out the
// way the example device files are, and written whole or not at all.
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "bluetooth/cb_error.h"
#include "plugin/errors.h"
#include "tools/capture.h"
#include "tools/device_file.h"

namespace tool {

namespace {

using Json = nlohmann::ordered_json;

int64_t millisecondsBetween(CaptureClock::time_point from, CaptureClock::time_point to) {
  return std::max<int64_t>(0, std::chrono::round<std::chrono::milliseconds>(to - from).count());
}

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

// The notifications the file keeps: those handed out before the helper's queue may have dropped
// any.
std::vector<const CapturedNotification*> kept(const CapturedDevice& d,
                                              const CapturedCharacteristic& c) {
  std::vector<const CapturedNotification*> kept;
  for (const auto& n : c.notifications) {
    if (!d.queueFull || n.at <= *d.queueFull) kept.push_back(&n);
  }
  return kept;
}

// The characteristic's notifications as a timeline from its subscription. Looped over the
// listening time only when all of them were handed out within it and nothing is missing; else
// played once, with the drop on the first subscribed characteristic when the link dropped.
Json timelineJson(const CapturedDevice& d, const CapturedCharacteristic& c, bool carriesDrop) {
  Json events = Json::array();
  int64_t last = 0;
  for (const auto* n : kept(d, c)) {
    last = millisecondsBetween(*c.subscribed, n->at);
    events.push_back({{"atMs", last}, {"value", n->value}});
  }
  if (carriesDrop) {
    events.push_back(
        {{"atMs", std::max(last, millisecondsBetween(*c.subscribed, *d.dropped))}, {"drop", true}});
  }
  if (events.empty()) return nullptr;
  auto end = d.listenEnd.value_or(*c.subscribed);
  bool seenWhole = c.notifications.empty() || c.notifications.back().at <= end;
  if (d.dropped || d.queueFull || !seenWhole) return events;
  int64_t period = std::max(millisecondsBetween(*c.subscribed, end), last + 1);
  return {{"loop", true}, {"periodMs", period}, {"events", events}};
}

std::string characteristicName(const CapturedService& s, const CapturedCharacteristic& c) {
  return s.uuid + "/" + c.uuid;
}

// What the file keeps of a characteristic's notifications when the queue may have dropped some.
std::string lossText(const CapturedDevice& d, const CapturedCharacteristic& c) {
  return "notifications may be missing from " +
         std::to_string(millisecondsBetween(*c.subscribed, *d.queueFull)) +
         " ms after the subscription on: the helper's queue was full then and drops what comes "
         "while it is (" +
         std::to_string(c.notifications.size()) + " taken, the first " +
         std::to_string(kept(d, c).size()) + " kept)";
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

Json deviceAnswerOf(int64_t lastError, const std::string& message) {
  if (lastError == Errors::kTimeoutError) return "ignore";
  if (lastError != Errors::kReadError && lastError != Errors::kSubscribeError) return nullptr;
  // The codes without a text of their own share one; any of them answers the same way.
  for (int code = 1; code <= 255; ++code) {
    if (CBError::att(static_cast<uint8_t>(code)).localizedDescription == message) return code;
  }
  return nullptr;
}

std::vector<std::string> captureLosses(const CapturedDevice& d) {
  std::vector<std::string> lines;
  if (!d.queueFull) return lines;
  for (const auto& s : d.services) {
    for (const auto& c : s.characteristics) {
      if (c.subscribed) lines.push_back(characteristicName(s, c) + ": " + lossText(d, c));
    }
  }
  return lines;
}

Json captureDeviceFile(const CapturedDevice& d) {
  Json device = {{"id", d.id}};
  if (d.name) device["name"] = *d.name;
  if (d.rssiMin && d.rssiMin == d.rssiMax) device["rssi"] = *d.rssiMin;
  if (d.rssiMin && d.rssiMin != d.rssiMax) device["rssi"] = {*d.rssiMin, *d.rssiMax};
  device["advertising"] = advertisingJson(d);
  if (d.connection) device["connection"] = *d.connection;
  size_t longest = 0;
  bool dropPlaced = !d.dropped;
  Json services = Json::array();
  for (const auto& s : d.services) {
    Json characteristics = Json::array();
    for (const auto& c : s.characteristics) {
      Json characteristic = {{"uuid", c.uuid}, {"properties", c.properties}};
      if (c.value) characteristic["value"] = *c.value;
      if (!c.onRead.is_null()) characteristic["onRead"] = c.onRead;
      if (!c.onSubscribe.is_null()) characteristic["onSubscribe"] = c.onSubscribe;
      auto notes = c.notes;
      if (c.subscribed) {
        auto timeline = timelineJson(d, c, !dropPlaced);
        dropPlaced = true;
        if (!timeline.is_null()) characteristic["timeline"] = timeline;
        size_t held = 0;
        for (const auto* n : kept(d, c)) {
          longest = std::max(longest, n->value.size() / 2);
          held += n->held ? 1 : 0;
        }
        if (held > 0) {
          notes.push_back(std::to_string(held) +
                          " notifications waited in the helper's queue: their offsets are when "
                          "it handed them out, later than the device sent them");
        }
        if (d.queueFull) notes.push_back(lossText(d, c));
      }
      if (!notes.empty()) characteristic["notes"] = notes;
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
  device["notes"] = notes;
  Json file = Json::object();
  if (d.failure) file["notes"] = {"partial capture, it ended early: " + *d.failure};
  file["devices"] = Json::array({device});
  return file;
}

std::optional<std::string> writeFileWhole(const std::string& path, const std::string& text) {
  // Written beside it and renamed over it: a reader never sees half a file.
  std::string temporary = path + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
      std::remove(temporary.c_str());
      return temporary;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::remove(temporary.c_str());
    return path;
  }
  return std::nullopt;
}

}  // namespace tool
