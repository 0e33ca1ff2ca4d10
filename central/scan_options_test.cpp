#include "central/scan_options.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "plugin/errors.h"
#include "plugin/plugin.h"

namespace {

// Every digit of the value, with -0 written as 0.
std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value + 0.0);
  return text;
}

// The parsed options as the fields that are set, or the facade's message for a refusal. Parsed
// with no last error before, so that a refusal is seen to set it and an acceptance to leave it.
std::string parsed(const std::string& text) {
  Plugin::shared().setLastError(Errors::kNoError);
  auto o = parseScanOptions(text);
  if (!o) {
    EXPECT_EQ(Plugin::shared().getLastError(), Errors::kWrongParameters) << text;
    return Plugin::shared().getLastErrorMessage();
  }
  EXPECT_EQ(Plugin::shared().getLastError(), Errors::kNoError) << text;
  std::string fields = "rssi=" + (o->minRSSI ? number(*o->minRSSI) : "-");
  fields += o->makeUpdates ? " updates" : " no-updates";
  if (o->stopAfter) fields += " stop=" + number(*o->stopAfter);
  if (o->obsoleteAfter) fields += " obsolete=" + number(*o->obsoleteAfter);
  if (o->filterByName) fields += " name=" + *o->filterByName;
  if (o->filterByVendorID) fields += " vendor=" + std::to_string(*o->filterByVendorID);
  if (o->filterByConnectability) fields += " connectable=" + number(*o->filterByConnectability);
  for (const auto& uuid : o->filterByServices.value_or(std::vector<CBUUID>{})) {
    fields += " service=" + uuid.UUIDString();
  }
  if (o->onDiscovery) {
    fields += " script=" + o->onDiscovery->sName + "@" + o->onDiscovery->fName + "/" +
              o->onDiscovery->format;
  }
  return fields;
}

TEST(ScanOptions, FieldsAndRefusalsWithTheirExactMessage) {
  Plugin::shared().setCurrentFileName("Sensors.fmp12");
  const std::pair<std::string, std::string> cases[] = {
      {"", "rssi=-100 updates"},
      // Numbers, with stopAfter passing through single precision, and words in any case; a
      // later line replaces an earlier one, but "any" or nothing leaves a filter as it was.
      {"stopAfter=10\rminRSSI=-70", "rssi=-70 updates stop=10"},
      {"stopafter=0.1\robsoleteafter=+1e1",
       "rssi=-100 updates stop=0.10000000149011612 obsolete=10"},
      {"stopafter=5\rstopafter=NEVER\robsoleteafter=0x1p3\rminrssi==-60",
       "rssi=-60 updates obsolete=8"},
      {"stopafter=-0\rminrssi=5", "rssi=5 updates stop=0"},
      {"filterbyvendorid=76\rfilterbyvendorid=any\rfilterByName=Heart\rfilterbyname=",
       "rssi=-100 updates name=Heart vendor=76"},
      {"filterbyvendorid=-0\rFilterByConnectability=NotConnectable\rmakeupdates=FALSE",
       "rssi=-100 no-updates vendor=0 connectable=0"},
      {"filterbyconnectability=connectable\rfilterbyconnectability=any\rmakeupdates=TRUE",
       "rssi=-100 updates connectable=1"},
      {"filterbyservice=180D\rfilterbyservice=", "rssi=-100 updates service=180D"},
      {"filterbyservice=180d\rfilterbyservice=6E400001-B5A3-F393-E0A9-E50E24DCCA9E",
       "rssi=-100 updates service=6E400001-B5A3-F393-E0A9-E50E24DCCA9E"},
      // The discovery script takes the request's file and the default format.
      {"ondiscovery=OnFound", "rssi=-100 updates script=OnFound@Sensors.fmp12/UTF-8"},
      {"ondiscovery=OnFound\rondiscovery=", "rssi=-100 updates"},
      {"stopAfter=10\nminRSSI=-70", "Invalid format for scan option"},
      {"stopafter=10\r", "Invalid format for scan option"},
      {"stopafter=10\r\rminrssi=-70", "Invalid format for scan option"},
      {"filterbyname", "Invalid format for scan option"},
      {"=5", "Invalid format for scan option"},
      {"a=b=c", "Invalid format for scan option"},
      {"timeout=5", "Unknown scan option: timeout"},
      {"MinRssi = -60", "Unknown scan option: MinRssi "},
      {" minrssi=-60", "Unknown scan option:  minrssi"},
      {"foo=1\rminrssi=x", "Unknown scan option: foo"},
      {"minRSSI=loud", "Invalid minRSSI value"},
      {"minrssi=never", "Invalid minrssi value"},
      {"minrssi=", "Invalid minrssi value"},
      {"minrssi=-60 ", "Invalid minrssi value"},
      {"minrssi= -60", "Invalid minrssi value"},
      {"minrssi=nan", "Invalid minrssi value"},
      {"stopafter=-1", "Invalid stopafter value"},
      {"stopafter=inf", "Invalid stopafter value"},
      {"stopafter=", "Invalid stopafter value"},
      {"stopafter=1e39", "Invalid stopafter value"},
      {"stopafter=5s", "Invalid stopafter value"},
      {"STOPAFTER=x", "Invalid STOPAFTER value"},
      {"obsoleteafter=-0.5", "Invalid obsoleteafter value"},
      {"makeupdates=1", "Invalid makeupdates value"},
      {"makeupdates=", "Invalid makeupdates value"},
      {"filterbyvendorid=0x4C", "Invalid filterbyvendorid value"},
      {"filterbyvendorid=65536", "Invalid filterbyvendorid value"},
      {"filterbyvendorid=-1", "Invalid filterbyvendorid value"},
      {"filterbyvendorid=+", "Invalid filterbyvendorid value"},
      {"filterbyvendorid= 76", "Invalid filterbyvendorid value"},
      {"filterbyservice=180", "Invalid filterbyservice value"},
      {"filterbyservice=xyz1", "Invalid filterbyservice value"},
      {"filterbyservice=0000180d00001000800000805f9b34fb", "Invalid filterbyservice value"},
      {"filterbyconnectability=yes", "Invalid filterbyconnectability value"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parsed(text), expected) << text;
}

TEST(ScanOptions, ServiceUUIDCheck) {
  EXPECT_EQ(bluetoothUUID("180d")->UUIDString(), "180D");
  EXPECT_EQ(bluetoothUUID(" \t180d\n")->UUIDString(), "180D");
  EXPECT_EQ(bluetoothUUID("\xC2\xA0"
                          "0000fff0")
                ->UUIDString(),
            "FFF0");
  EXPECT_FALSE(bluetoothUUID("180D"));  // short forms are lower case only here
  EXPECT_FALSE(bluetoothUUID("180g"));
  EXPECT_FALSE(bluetoothUUID("12345"));
  EXPECT_FALSE(bluetoothUUID(""));
  EXPECT_EQ(bluetoothUUID("6e400001-b5a3-f393-e0a9-e50e24dcca9e")->UUIDString(),
            "6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
  EXPECT_FALSE(bluetoothUUID("6e400001-b5a3-f393-e0a9-e50e24dcca9"));
  EXPECT_FALSE(bluetoothUUID("6e400001b-5a3-f393-e0a9-e50e24dcca9e"));
}

}  // namespace
