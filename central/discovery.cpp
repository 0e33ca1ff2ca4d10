#include "central/discovery.h"

#include <cmath>

#include "platform/date_text.h"

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
  // Signal strengths are whole dBm; written without a fraction, as the platform's encoder does.
  float whole = std::trunc(record.RSSI);
  if (whole == record.RSSI && std::fabs(whole) < 1e9F) {
    json["RSSI"] = static_cast<int64_t>(whole);
  } else {
    json["RSSI"] = record.RSSI;
  }
  json["timestamp"] = record.timestamp;
  if (record.vendorID) json["vendorID"] = *record.vendorID;
  if (record.connectable) json["connectable"] = *record.connectable;
  if (record.serviceUUIDs && !record.serviceUUIDs->empty()) {
    json["serviceUUIDs"] = *record.serviceUUIDs;
  }
  if (record.serviceData && !record.serviceData->empty()) json["serviceData"] = *record.serviceData;
}
