#include "central/scan_options.h"

#include <gtest/gtest.h>

#include "plugin/errors.h"
#include "plugin/plugin.h"

namespace {

// Parses with a known last error before, so that a refusal is seen to set it.
std::optional<ScanOptions> parse(const std::string& text) {
  Plugin::shared().setLastError(Errors::kNoError);
  return parseScanOptions(text);
}

struct Refusal {
  std::string text;
  std::string message;
};

TEST(ScanOptions, EmptyTextGivesTheDefaults) {
  auto o = parse("");
  ASSERT_TRUE(o);
  EXPECT_EQ(o->minRSSI, -100.0F);
  EXPECT_TRUE(o->makeUpdates);
  EXPECT_FALSE(o->stopAfter || o->filterByName || o->filterByVendorID || o->filterByServices ||
               o->obsoleteAfter || o->onDiscovery || o->filterByConnectability);
  EXPECT_EQ(Plugin::shared().getLastError(), Errors::kNoError);
}

TEST(ScanOptions, RefusalsCarryTheirExactMessage) {
  const std::vector<Refusal> cases = {
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
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_FALSE(parse(c.text));
    EXPECT_EQ(Plugin::shared().getLastError(), Errors::kWrongParameters);
    EXPECT_EQ(Plugin::shared().getLastErrorMessage(), c.message);
  }
}

TEST(ScanOptions, NumbersAndDurations) {
  auto o = parse("stopAfter=10\rminRSSI=-70");
  ASSERT_TRUE(o);
  EXPECT_EQ(o->stopAfter, 10.0);
  EXPECT_EQ(o->minRSSI, -70.0F);

  o = parse("stopafter=0.1\robsoleteafter=+1e1");
  ASSERT_TRUE(o);
  EXPECT_EQ(o->stopAfter, static_cast<double>(0.1F));  // passes through single precision
  EXPECT_EQ(o->obsoleteAfter, 10.0);

  o = parse("stopafter=5\rstopafter=NEVER\robsoleteafter=0x1p3\rminrssi==-60");
  ASSERT_TRUE(o);
  EXPECT_FALSE(o->stopAfter);
  EXPECT_EQ(o->obsoleteAfter, 8.0);
  EXPECT_EQ(o->minRSSI, -60.0F);

  o = parse("stopafter=-0\rminrssi=5");
  ASSERT_TRUE(o);
  EXPECT_EQ(o->stopAfter, 0.0);
  EXPECT_EQ(o->minRSSI, 5.0F);
}

TEST(ScanOptions, FiltersAndWords) {
  auto o = parse("filterbyvendorid=76\rfilterbyvendorid=any\rfilterByName=Heart\rfilterbyname=");
  ASSERT_TRUE(o);
  EXPECT_EQ(o->filterByVendorID, 76);
  EXPECT_EQ(o->filterByName, "Heart");

  o = parse("filterbyvendorid=-0\rFilterByConnectability=NotConnectable\rmakeupdates=FALSE");
  ASSERT_TRUE(o);
  EXPECT_EQ(o->filterByVendorID, 0);
  EXPECT_EQ(o->filterByConnectability, false);
  EXPECT_FALSE(o->makeUpdates);

  o = parse("filterbyconnectability=connectable\rfilterbyconnectability=any\rmakeupdates=TRUE");
  ASSERT_TRUE(o);
  EXPECT_EQ(o->filterByConnectability, true);
  EXPECT_TRUE(o->makeUpdates);

  o = parse("filterbyservice=180D\rfilterbyservice=");
  ASSERT_TRUE(o);
  ASSERT_TRUE(o->filterByServices);
  ASSERT_EQ(o->filterByServices->size(), 1U);
  EXPECT_EQ(o->filterByServices->front().UUIDString(), "180D");

  o = parse("filterbyservice=180d\rfilterbyservice=6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
  ASSERT_TRUE(o);
  ASSERT_EQ(o->filterByServices->size(), 1U);
  EXPECT_EQ(o->filterByServices->front().UUIDString(), "6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
}

TEST(ScanOptions, DiscoveryScriptTakesTheRequestFileAndDefaultFormat) {
  Plugin::shared().setCurrentFileName("Sensors.fmp12");
  auto o = parse("ondiscovery=OnFound");
  ASSERT_TRUE(o && o->onDiscovery);
  EXPECT_EQ(o->onDiscovery->sName, "OnFound");
  EXPECT_EQ(o->onDiscovery->fName, "Sensors.fmp12");
  EXPECT_EQ(o->onDiscovery->format, "UTF-8");

  o = parse("ondiscovery=OnFound\rondiscovery=");
  ASSERT_TRUE(o);
  EXPECT_FALSE(o->onDiscovery);
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
