// Two built helpers in one air: helper B publishes a profile and advertises, helper A finds it,
// connects by B's display name and reads, writes and subscribes through HTTP. Both sides' scripts
// must reach their polls with the right parameters: the two roles agree on the wire.
#include <filesystem>

#include "central_e2e.h"

namespace {

using namespace central_e2e;

// Helper B starts first, so that helper A, the fixture's own, can join its air.
struct HelperBFirst {
  HelperProcess b;
  HelperProcess::Options sameAir() const {
    HelperProcess::Options options;
    options.airDir = b.airDir();
    return options;
  }
};

class TwoHelpers : protected HelperBFirst, public CentralEndToEnd {
 protected:
  TwoHelpers() : CentralEndToEnd(sameAir()) {}

  HelperCommands pluginB{b};
};

TEST_F(TwoHelpers, CentralRoleOfOneDrivesThePeripheralRoleOfTheOther) {
  EXPECT_EQ(pluginB.setProfile(R"([{"UUID": "180D", "characteristics": [
      {"UUID": "2A37", "properties": "read|notify", "afterSubscribe": "Joined", "format": "hex"},
      {"UUID": "2A38", "properties": "read|write", "afterRead": "WasRead", "afterWrite": "Written",
       "format": "hex"}]}])",
                               "B.fmp12"),
            kOK);
  EXPECT_EQ(pluginB.setLocal("2A38", "0A0B0C", "hex"), kOK);
  EXPECT_EQ(pluginB.startAdvertising("displayName=Helper B"), kOK);

  EXPECT_EQ(startScan(""), kOK);
  std::string bID;
  ASSERT_TRUE(eventually([&] {
    json found = get("uuid", "Helper B");
    if (found["lastError"] == 0) bID = found["result"].get<std::string>();
    return !bID.empty();
  })) << "helper A never saw helper B advertise";
  EXPECT_EQ(connect("Helper B", "", 5.0), kOK);

  // The characteristics are discovered just after the connection.
  json answer;
  ASSERT_TRUE(eventually(
      [&] { return (answer = read("Helper B", "180D", "2A38", "hex", 5.0))["lastError"] != -13; }));
  EXPECT_EQ(answer, value("0a0b0c"));

  // B learns A's central identifier from its first request.
  std::vector<std::string> readScripts = b.takeScripts(1);
  ASSERT_EQ(readScripts.size(), 1u);
  std::string aID = readScripts[0].substr(8, 36);
  EXPECT_EQ(readScripts[0], "WasRead(" + aID + "\r0a0b0c)@B.fmp12");

  EXPECT_EQ(write("Helper B", "180D", "2A38", "010203", "hex", 5.0), kOK);
  EXPECT_EQ(b.takeScripts(1), std::vector<std::string>{"Written(" + aID + "\r010203)@B.fmp12"});

  EXPECT_EQ(subscribe("Helper B", "180D", "2A37", "OnHeartRate", "hex", 5.0), kOK);
  EXPECT_EQ(b.takeScripts(1), std::vector<std::string>{"Joined(" + aID + "\r)@B.fmp12"});
  EXPECT_EQ(pluginB.setLocal("2A37", "0648", "hex"), kOK);
  EXPECT_EQ(scripts(1), std::vector<std::string>{"OnHeartRate(" + bID + "\r180D\r2A37\r0648)@Lab"});

  // A helper ended by SIGTERM takes its socket file out of the air.
  HelperProcess alone;
  auto sockets = [&] {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(alone.airDir()))
      n += e.path().extension() == ".sock";
    return n;
  };
  ASSERT_TRUE(eventually([&] { return sockets() == 1; }));
  alone.process().terminate();
  alone.process().waitForExit(ChildProcess::after(10));
  EXPECT_EQ(sockets(), 0u);
}

}  // namespace
