// End-to-end tests of the peripheral role: the built helper publishes and advertises a profile,
// driven over HTTP as the plug-in drives it, and emulated centrals in other processes use it.
#include <algorithm>

#include "central_e2e.h"
#include "emulated_central.h"

namespace {

const char* const kProfile = R"([
  {"UUID": "180D", "characteristics": [
    {"UUID": "2A37", "properties": "Read|Notify", "afterSubscribe": "Subscribed",
     "afterUnsubscribe": "Unsubscribed"},
    {"UUID": "2A38", "properties": "read|write", "afterRead": "WasRead",
     "afterWrite": "Written", "format": "hex"},
    {"UUID": "2A39", "properties": "read", "protection": 2}]}])";

using namespace central_e2e;

class PeripheralEndToEnd : public CentralEndToEnd {};

TEST_F(PeripheralEndToEnd, CentralReadsWritesAndSubscribesUnderProtection) {
  EXPECT_EQ(setProfile(kProfile), kOK);
  EXPECT_EQ(startAdvertising("displayName=Lab Sensor"), kOK);
  EXPECT_TRUE(helper.waitForStdoutLine("Started advertising"));
  EXPECT_EQ(json::parse(get("status")["result"].get<std::string>()),
            json({{"bluetooth", "powered On"}, {"isScanning", false}, {"isAdvertising", true}}));

  EmulatedCentral central(helper.airDir());
  json services = central.connect("Lab Sensor");
  EXPECT_EQ(services["services"], json::parse(R"([{"uuid": "180D", "characteristics": [
      {"uuid": "2A37", "properties": "read|notify"}, {"uuid": "2A38", "properties": "read|write"},
      {"uuid": "2A39", "properties": "read"}]}])"));

  // Unset, then written by the central, then read back by it and by the plug-in.
  size_t lines = helper.stdoutLines().size();
  central.send("read 180D 2A38");
  EXPECT_EQ(central.next({{"event", "read"}})["att"], 10);
  EXPECT_TRUE(helper.waitForStdoutLine("PeripheralDelegate: Got read request", lines));
  central.send("write 180D 2A38 0A0B0C");
  EXPECT_EQ(central.next({{"event", "written"}})["att"], 0);
  EXPECT_TRUE(helper.waitForStdoutLine("PeripheralDelegate: Got write request", lines));
  central.send("read 180D 2A38");
  EXPECT_EQ(central.next({{"event", "read"}})["value"], "0A0B0C");
  EXPECT_EQ(getLocal("2A38", "hex"), value("0a0b0c"));
  EXPECT_EQ(scripts(2), (std::vector<std::string>{"Written(" + central.id() + "\r0a0b0c)@Lab",
                                                  "WasRead(" + central.id() + "\r0a0b0c)@Lab"}));

  // Protection 2: refused, then allowed once the central's level is raised.
  EXPECT_EQ(setLocal("2A39", "7", "uint8"), kOK);
  central.send("read 180D 2A39");
  EXPECT_EQ(central.next({{"event", "read"}})["att"], 6);
  EXPECT_TRUE(helper.waitForStdoutLine("PeriodheralDelegate: Insufficient authorization level"));
  EXPECT_EQ(
      call("/set", {{"selector", "authorization"}, {"deviceID", central.id()}, {"value", "2"}}),
      kOK);
  central.send("read 180D 2A39");
  EXPECT_EQ(central.next({{"event", "read"}}), json({{"event", "read"},
                                                     {"service", "180D"},
                                                     {"characteristic", "2A39"},
                                                     {"att", 0},
                                                     {"value", "07"}}));

  // Subscribed: a set from the plug-in arrives as a notification.
  central.send("subscribe 180D 2A37");
  EXPECT_EQ(central.next({{"event", "subscribed"}})["att"], 0);
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Subscribed(" + central.id() + "\r)@Lab"});
  EXPECT_EQ(setLocal("2A37", "Hi", "utf-8"), kOK);
  EXPECT_EQ(central.next({{"event", "notification"}})["value"], "4869");
  EXPECT_EQ(get("subscribed"), value(central.id()));
  json status = json::parse(get("status", central.id())["result"].get<std::string>());
  EXPECT_EQ(status, json({{"UUID", central.id()},
                          {"relationship", "subscribedCentral"},
                          {"subscribedFor", {"2A37"}},
                          {"authorizationLevel", 2}}));

  central.send("unsubscribe 180D 2A37");
  EXPECT_EQ(central.next({{"event", "unsubscribed"}})["att"], 0);
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Unsubscribed(" + central.id() + "\rHi)@Lab"});
  EXPECT_EQ(get("subscribed"), value(""));
  status = json::parse(get("status", central.id())["result"].get<std::string>());
  EXPECT_EQ(status["relationship"], "knownCentral");
}

TEST_F(PeripheralEndToEnd, CommandsAnswerTheirErrorsAndTheProfileComesBackAsSubmitted) {
  EXPECT_EQ(get("localprofile"), reply(-14, "No local profile", "?"));
  EXPECT_EQ(setProfile(R"([{"UUID": "180D", "characteristics": [{"UUID": "2A37"}]}])"),
            failed(-50, "Missing key 'properties'"));
  EXPECT_EQ(setProfile("[]"), kOK);
  EXPECT_EQ(get("localprofile"), value("[]"));
  EXPECT_EQ(setProfile(kProfile), kOK);
  EXPECT_EQ(json::parse(get("localprofile")["result"].get<std::string>()), json::parse(kProfile));
  EXPECT_EQ(setLocal("2A37", "A", "utf-8"), kOK);
  EXPECT_EQ(getLocal("2A37", "uint8"), value("65"));
  EXPECT_EQ(call("/set", {{"selector", "authorization"}, {"deviceID", "Nobody"}, {"value", "1"}}),
            failed(-11, "Nobody is not a UUID of a known central device"));

  EXPECT_EQ(startAdvertising("stopAfter=2"), kOK);
  EXPECT_EQ(startAdvertising(""), failed(-42, "Already advertising"));
  EXPECT_EQ(setProfile("[]"), failed(-42, "Cannot change profile while advertising"));
  ASSERT_TRUE(helper.waitForStdoutLine("PeripheralDelegate: Stopping advertising"));
  auto all = helper.stdoutLines();
  auto scheduled =
      std::find(all.begin(), all.end(), "PeripheralDelegate: Scheduling stop advertising in 2.0s");
  ASSERT_LT(scheduled + 6, all.end());
  EXPECT_EQ(std::vector<std::string>(scheduled + 1, scheduled + 7),
            (std::vector<std::string>{"Started advertising", "HTTPServer: Request OK",
                                      "Started advertising", "HTTPServer: Request OK",
                                      "HTTPServer: Request OK",
                                      "PeripheralDelegate: Stopping advertising"}));
  EXPECT_EQ(json::parse(get("status")["result"].get<std::string>())["isAdvertising"], false);
}

TEST_F(PeripheralEndToEnd, KilledCentralIsUnsubscribedButStaysKnown) {
  EXPECT_EQ(setProfile(kProfile), kOK);
  EXPECT_EQ(startAdvertising(""), kOK);
  auto central = std::make_unique<EmulatedCentral>(helper.airDir());
  std::string id = central->id();
  ASSERT_FALSE(central->connect("Velnor Plug-in").is_null());
  central->send("subscribe 180D 2A37");
  ASSERT_EQ(central->next({{"event", "subscribed"}})["att"], 0);
  EXPECT_EQ(get("subscribed")["result"], id);

  central->process().kill();
  central.reset();
  EXPECT_EQ(scripts(2), (std::vector<std::string>{"Subscribed(" + id + "\r)@Lab",
                                                  "Unsubscribed(" + id + "\r)@Lab"}));
  EXPECT_EQ(get("subscribed")["result"], "");
  json status = json::parse(get("status", id)["result"].get<std::string>());
  EXPECT_EQ(status["relationship"], "knownCentral");
  EXPECT_EQ(setLocal("2A37", "01", "hex"), kOK);
}

}  // namespace
