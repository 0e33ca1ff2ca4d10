#include "central/discovery.h"

#include <charconv>
#include <cmath>

#include "format/json_text.h"
#include "platform/date_text.h"

namespace {

// Signal strengths are whole dBm: written without a fraction, as the platform's encoder does.
nlohmann::json rssiValue(float rssi) {
  float whole = std::trunc(rssi);
  if (whole == rssi && std::fabs(whole) < 1e9F) return static_cast<int64_t>(whole);
  return rssi;
}

void appendInteger(std::string& out, int64_t value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
}

// One member line of an object at depth 2: `    "key": `.
void appendKey(std::string& out, bool& first, const char* key) {
  out += first ? "\n    \"" : ",\n    \"";
  first = false;
  out += key;
  out += "\": ";
}

}  // namespace

DiscoveryJSON::DiscoveryJSON(const Discovery& discovery)
    : UUID(discovery.peripheral->identifier()),
      name(discovery.name),
      RSSI(discovery.RSSI),
      timestamp(DateText::shortDateMediumTime(discovery.timestamp)),
      vendorID(discovery.vendorID),
      connectable(discovery.connectable),
      serviceUUIDs(discovery.serviceUUIDs),
      serviceData(discovery.serviceData) {}

void to_json(nlohmann::json& json, const DiscoveryJSON& record) {
  json = nlohmann::json::object();
  json["UUID"] = record.UUID;
  if (record.name) json["name"] = *record.name;
  json["RSSI"] = rssiValue(record.RSSI);
  json["timestamp"] = record.timestamp;
  if (record.vendorID) json["vendorID"] = *record.vendorID;
  if (record.connectable) json["connectable"] = *record.connectable;
  if (record.serviceUUIDs && !record.serviceUUIDs->empty()) {
    json["serviceUUIDs"] = *record.serviceUUIDs;
  }
  if (record.serviceData && !record.serviceData->empty()) json["serviceData"] = *record.serviceData;
}

// Members in the order the JSON library's objects keep them: by key, byte by byte.
void DiscoveryListWriter::add(const Discovery& d) {
  std::string& out = text_;
  out += count_++ == 0 ? "\n  {" : ",\n  {";
  bool first = true;
  appendKey(out, first, "RSSI");
  out += rssiValue(d.RSSI).dump();
  appendKey(out, first, "UUID");
  appendJSONString(out, d.peripheral->identifier());
  if (d.connectable) {
    appendKey(out, first, "connectable");
    out += *d.connectable ? "true" : "false";
  }
  if (d.name) {
    appendKey(out, first, "name");
    appendJSONString(out, *d.name);
  }
  if (d.serviceData && !d.serviceData->empty()) {
    appendKey(out, first, "serviceData");
    out += '{';
    bool firstEntry = true;
    for (const auto& [uuid, bytes] : *d.serviceData) {
      out += firstEntry ? "\n      " : ",\n      ";
      firstEntry = false;
      appendJSONString(out, uuid);
      out += ": ";
      appendJSONString(out, bytes);
    }
    out += "\n    }";
  }
  if (d.serviceUUIDs && !d.serviceUUIDs->empty()) {
    appendKey(out, first, "serviceUUIDs");
    out += '[';
    bool firstEntry = true;
    for (const auto& uuid : *d.serviceUUIDs) {
      out += firstEntry ? "\n      " : ",\n      ";
      firstEntry = false;
      appendJSONString(out, uuid);
    }
    out += "\n    ]";
  }
  appendKey(out, first, "timestamp");
  appendJSONString(out, timestampText(d.timestamp));
  if (d.vendorID) {
    appendKey(out, first, "vendorID");
    appendInteger(out, *d.vendorID);
  }
  out += "\n  }";
}

const std::string& DiscoveryListWriter::timestampText(std::chrono::system_clock::time_point when) {
  std::time_t second = std::chrono::system_clock::to_time_t(when);
  auto [entry, added] = timestamps_.try_emplace(second);
  if (added) entry->second = DateText::shortDateMediumTime(when);
  return entry->second;
}

std::string DiscoveryListWriter::finish() && {
  text_ += count_ == 0 ? "]" : "\n]";
  return std::move(text_);
}
