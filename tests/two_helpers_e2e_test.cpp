// Two built helpers in one air: helper B publishes a profile and advertises, helper A finds it,
// connects by B's display name and reads, writes and subscribes through HTTP. Both sides' scripts
// must reach their polls with the right parameters: the two roles agree on the wire.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "helper_process.h"

namespace {

using nlohmann::json;

json call(HelperProcess& helper, const std::string& path, const json& body) {
  HttpReply reply = helper.post(path, body.dump());
  EXPECT_EQ(reply.status, 200) << path << " " << body.dump() << " -> " << reply.body;
  return json::parse(reply.body, nullptr, false);
}

std::vector<std::string> scripts(HelperProcess& helper, size_t count, double seconds = 10) {
  return helper.takeScripts(count, seconds);
}

TEST(TwoHelpers, CentralRoleOfOneDrivesThePeripheralRoleOfTheOther) {
  HelperProcess b;
  HelperProcess::Options sameAir;
  sameAir.airDir = b.airDir();
  HelperProcess a(sameAir);

  EXPECT_EQ(call(b, "/set",
                 {{"selector", "localprofile"},
                  {"filename", "B.fmp12"},
                  {"value", R"([{"UUID": "180D", "characteristics": [
                     {"UUID": "2A37", "properties": "read|notify", "afterSubscribe": "Joined",
                      "format": "hex"},
                     {"UUID": "2A38", "properties": "read|write", "afterRead": "WasRead",
                      "afterWrite": "Written", "format": "hex"}]}])"}}),
            kOK);
  EXPECT_EQ(call(b, "/setLocalChar",
                 {{"servID", "180D"}, {"charID", "2A38"}, {"value", "0A0B0C"}, {"format", "hex"}}),
            kOK);
  EXPECT_EQ(call(b, "/startAdvertising", {{"options", "displayName=Helper B"}}), kOK);

  EXPECT_EQ(call(a, "/startScan", {{"options", ""}, {"filename", "A.fmp12"}}), kOK);
  std::string bID;
  auto deadline = ChildProcess::after(10);
  while (bID.empty() && ChildProcess::Clock::now() < deadline) {
    json found = call(a, "/get", {{"selector", "uuid"}, {"deviceID", "Helper B"}});
    if (found["lastError"] == 0) bID = found["result"].get<std::string>();
  }
  ASSERT_FALSE(bID.empty()) << "helper A never saw helper B advertise";
  EXPECT_EQ(
      call(a, "/connect",
           {{"deviceID", "Helper B"}, {"options", ""}, {"filename", "A.fmp12"}, {"timeout", 5.0}}),
      kOK);

  // The characteristics are discovered just after the connection.
  json read;
  deadline = ChildProcess::after(10);
  do {
    read = call(a, "/read",
                {{"deviceID", "Helper B"},
                 {"servID", "180D"},
                 {"charID", "2A38"},
                 {"format", "hex"},
                 {"timeout", 5.0}});
  } while (read["lastError"] == -13 && ChildProcess::Clock::now() < deadline);
  EXPECT_EQ(read, json({{"lastError", 0}, {"lastErrorMessage", "No error"}, {"result", "0a0b0c"}}));

  // B learns A's central identifier from its first request.
  std::vector<std::string> readScripts = scripts(b, 1);
  ASSERT_EQ(readScripts.size(), 1u);
  std::string aID = readScripts[0].substr(8, 36);
  EXPECT_EQ(readScripts[0], "WasRead(" + aID + "\r0a0b0c)@B.fmp12");

  EXPECT_EQ(call(a, "/write",
                 {{"deviceID", "Helper B"},
                  {"servID", "180D"},
                  {"charID", "2A38"},
                  {"value", "010203"},
                  {"format", "hex"},
                  {"timeout", 5.0}}),
            kOK);
  EXPECT_EQ(scripts(b, 1), std::vector<std::string>{"Written(" + aID + "\r010203)@B.fmp12"});
  EXPECT_EQ(call(b, "/getLocalChar", {{"servID", "180D"}, {"charID", "2A38"}, {"format", "hex"}}),
            json({{"lastError", 0}, {"lastErrorMessage", "No error"}, {"result", "010203"}}));

  EXPECT_EQ(call(a, "/subscribe",
                 {{"deviceID", "Helper B"},
                  {"servID", "180D"},
                  {"charID", "2A37"},
                  {"script", "OnHeartRate"},
                  {"format", "hex"},
                  {"timeout", 5.0},
                  {"filename", "A.fmp12"}}),
            kOK);
  EXPECT_EQ(scripts(b, 1), std::vector<std::string>{"Joined(" + aID + "\r)@B.fmp12"});
  EXPECT_EQ(call(b, "/get", {{"selector", "subscribed"}})["result"], aID);
  EXPECT_EQ(call(b, "/setLocalChar",
                 {{"servID", "180D"}, {"charID", "2A37"}, {"value", "0648"}, {"format", "hex"}}),
            kOK);
  EXPECT_EQ(scripts(a, 1),
            std::vector<std::string>{"OnHeartRate(" + bID + "\r180D\r2A37\r0648)@A.fmp12"});

  json status = json::parse(
      call(b, "/get", {{"selector", "status"}, {"deviceID", aID}})["result"].get<std::string>());
  EXPECT_EQ(status["relationship"], "subscribedCentral");
  EXPECT_EQ(status["subscribedFor"], json({"2A37"}));
}

}  // namespace
