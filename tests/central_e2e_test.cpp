// End-to-end tests of the central role: the built helper and the device emulator as processes
// in a private air, driven over HTTP as the plug-in drives them.
#include "central_e2e.h"

namespace {

using namespace central_e2e;

TEST_F(CentralEndToEnd, ObsoleteDeviceIsHiddenAndAnnouncedAgain) {
  startDevices({device(kBelt, "Belt")});
  EXPECT_EQ(startScan("obsoleteafter=0.5\rondiscovery=OnFound"), kOK);
  EXPECT_EQ(scripts(1), std::vector<std::string>{"OnFound(" + kBelt + ")@Lab"});
  emulator->writeLine("advertise " + kBelt + " off");
  ASSERT_TRUE(eventually([&] { return !discovered(kBelt); }));
  emulator->writeLine("advertise " + kBelt + " on");
  EXPECT_EQ(scripts(1), std::vector<std::string>{"OnFound(" + kBelt + ")@Lab"});
  EXPECT_TRUE(eventually([&] { return discovered(kBelt); }));
}

TEST_F(CentralEndToEnd, NameSharedByTwoDevicesIsRefusedButIdentifiersWork) {
  startDevices({device(kBelt, "Sensor"), device(kStrap, "Sensor"), device(kTag, "Solo")});
  EXPECT_EQ(startScan(""), kOK);
  ASSERT_TRUE(eventually([&] { return discoveries().size() == 3; }));
  EXPECT_EQ(get("uuid", "Sensor")["result"], "--DUPLICATE--");
  EXPECT_EQ(get("devicename", kStrap)["result"], "Sensor");
  EXPECT_EQ(get("uuid", "Nobody"), reply(-11, "Unknown device", "?"));
  EXPECT_EQ(connect("Sensor", "", 5.0), failed(-12, "Name matches multiple devices"));
  EXPECT_EQ(connect(kStrap, "", 5.0), kOK);
  EXPECT_EQ(get("connections")["result"], kStrap);

  // A device unknown everywhere: its own text, no name, no relationship, and no error.
  json unknown = get("status", "Nobody");
  EXPECT_EQ(unknown["lastError"], 0);
  EXPECT_EQ(json::parse(unknown["result"].get<std::string>()),
            json({{"UUID", "Nobody"},
                  {"relationship", "none"},
                  {"subscribedFor", json::array()},
                  {"authorizationLevel", 0}}));
  json solo = json::parse(get("status", "Solo")["result"].get<std::string>());
  EXPECT_EQ(solo["UUID"], kTag);
  EXPECT_EQ(solo["name"], "Solo");
  EXPECT_EQ(solo["relationship"], "discoveredPeripheral");
}

TEST_F(CentralEndToEnd, ConnectByNameRunsEveryScriptInOrderAndLinkLossEndsIt) {
  startDevices({device(kBelt, "Pulse H1"), device(kStrap, "Other")});
  EXPECT_EQ(startScan(""), kOK);
  ASSERT_TRUE(eventually([&] { return discovered(kBelt); }));
  EXPECT_EQ(connect("Pulse H1",
                    "onConnect=Connected\rondiscoverservices=Services\r"
                    "ondiscovercharacteristics=Chars\rondisconnect=Gone\ronconnectionfailed=Failed",
                    5.0, "Belt.fmp12"),
            kOK);
  EXPECT_TRUE(emulatorSaw({{"event", "connected"}, {"device", kBelt}}));
  EXPECT_EQ(get("connections")["result"], kBelt);
  json status = json::parse(get("status", "Pulse H1")["result"].get<std::string>());
  EXPECT_EQ(status["UUID"], kBelt);
  EXPECT_EQ(status["name"], "Pulse H1");
  EXPECT_EQ(status["relationship"], "connectedPeripheral");
  EXPECT_EQ(connect(kBelt, "", 5.0), failed(-40, "Already connected"));

  EXPECT_EQ(scripts(4), (std::vector<std::string>{
                            "Connected(" + kBelt + ")@Belt.fmp12",
                            "Services(" + kBelt + ")@Belt.fmp12",
                            "Chars(" + kBelt + "\r180D)@Belt.fmp12",
                            "Chars(" + kBelt + "\r180F)@Belt.fmp12",
                        }));

  emulator->writeLine("drop " + kBelt);
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Gone(" + kBelt + ")@Belt.fmp12"});
  EXPECT_EQ(get("connections"), value(""));
  EXPECT_EQ(call("/disconnect", {{"deviceID", "Pulse H1"}}),
            failed(-30, "Device is not connected"));
}

TEST_F(CentralEndToEnd, IgnoringDeviceTimesOutAndRefusingDeviceFails) {
  json ignoring = device(kBelt, "Ignoring");
  ignoring["connection"] = "ignore";
  json refusing = device(kStrap, "Refusing");
  refusing["connection"] = "reject";
  startDevices({ignoring, refusing});
  EXPECT_EQ(startScan(""), kOK);
  ASSERT_TRUE(eventually([&] { return discoveries().size() == 2; }));

  EXPECT_EQ(connect("Ignoring", "onconnectionfailed=Failed\ronconnect=Connected", 0.3),
            failed(-100, "Operation timeout"));
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Failed(" + kBelt + ")@Lab"});

  // The platform's own description of the refusal, not the catalogue text.
  EXPECT_EQ(connect(kStrap, "onconnectionfailed=Refused", 5.0),
            failed(-15, "The specified device has disconnected from us."));
  EXPECT_EQ(scripts(1), std::vector<std::string>{"Refused(" + kStrap + ")@Lab"});
  EXPECT_EQ(get("connections")["result"], "");
}

TEST_F(CentralEndToEnd, PowerCycleDuringAScanResumesItWithoutTheServiceFilter) {
  json withService = device(kBelt, "Heart");
  withService["advertising"]["serviceUUIDs"] = {"180D"};
  startDevices({withService, device(kStrap, "Plain")});
  EXPECT_EQ(startScan("filterbyservice=180D"), kOK);
  ASSERT_TRUE(eventually([&] { return discovered(kBelt); }));
  EXPECT_FALSE(discovered(kStrap));

  size_t before = helper.stdoutLines().size();
  ASSERT_TRUE(runEmulatorCommand({"power", "off"}));
  ASSERT_TRUE(eventually([&] {
    return json::parse(get("status")["result"].get<std::string>())["bluetooth"] == "powered Off";
  }));
  ASSERT_TRUE(runEmulatorCommand({"power", "on"}));
  EXPECT_TRUE(helper.waitForStdoutLine("CentralDelegate: Is powered on", before));
  EXPECT_TRUE(eventually([&] { return discovered(kStrap); }));
  json status = json::parse(get("status")["result"].get<std::string>());
  EXPECT_EQ(status,
            json({{"bluetooth", "powered On"}, {"isScanning", true}, {"isAdvertising", false}}));
}

}  // namespace
