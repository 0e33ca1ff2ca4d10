// Many clients at once against the built helper: commands blocked on a silent device and idle
// keep-alive connections stall no one, and each client's subscriptions run its own scripts.
#include <algorithm>
#include <barrier>
#include <cstdio>
#include <future>

#include "central_e2e.h"
#include "tools/helper_client.h"

namespace {

using namespace central_e2e;

constexpr int kBlocked = 64;
constexpr int kIdle = 256;
// Long enough that 64 reads reach the device and the other client is served before any
// of them times out, on a loaded machine under ThreadSanitizer.
constexpr double kReadTimeout = 10.0;
constexpr int kPerClient = 10;
const std::string kVersion = "GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// FF00, FF01, ...: the notifying characteristics, one per subscription.
std::string characteristic(int i) {
  char uuid[5];
  std::snprintf(uuid, sizeof uuid, "FF%02X", i);
  return uuid;
}

// A device whose FFF1 never answers a read, whose FFF2 answers, and with a notifying
// characteristic for each subscription of the two clients (FF00 to FF13).
json busyDevice() {
  json characteristics = json::parse(R"([
    {"uuid": "FFF1", "properties": "read", "value": "00", "onRead": "ignore"},
    {"uuid": "FFF2", "properties": "read", "value": "01"}])");
  for (int i = 0; i < 2 * kPerClient; ++i) {
    characteristics.push_back({{"uuid", characteristic(i)}, {"properties", "notify"}});
  }
  json d = device(kBelt, "Belt");
  d["services"] = json::array({{{"uuid", "FFF0"}, {"characteristics", characteristics}}});
  return d;
}

class ConcurrentClientsTest : public CentralEndToEnd {
 protected:
  // The belt connected, with its characteristics known.
  void connectBusyDevice() {
    startDevices({busyDevice()});
    ASSERT_EQ(startScan(""), kOK);
    ASSERT_TRUE(eventually([&] { return discovered(kBelt); }));
    ASSERT_EQ(connect("Belt", "", 5.0), kOK);
    ASSERT_TRUE(eventually([&] { return read(kBelt, "FFF0", "FFF2", "hex", 5.0) == value("01"); }));
  }
};

// 64 reads wait on a characteristic that never answers and 256 keep-alive connections sit idle,
// while another client's commands are answered: all of them before any read has timed out.
TEST_F(ConcurrentClientsTest, BlockedCommandsAndIdleConnectionsStallNoOne) {
  connectBusyDevice();
  std::vector<std::unique_ptr<tool::HelperClient>> idle;
  for (int i = 0; i < kIdle; ++i) {
    idle.push_back(std::make_unique<tool::HelperClient>(helper.port()));
    ASSERT_TRUE(idle.back()->send(kVersion));
    ASSERT_EQ(idle.back()->nextAnswer().status, 200) << i;
  }

  std::vector<std::future<json>> reads;
  for (int i = 0; i < kBlocked; ++i) {
    reads.push_back(later("/read", {{"deviceID", kBelt},
                                    {"servID", "FFF0"},
                                    {"charID", "FFF1"},
                                    {"format", "hex"},
                                    {"timeout", kReadTimeout}}));
  }
  int seen = 0;
  ASSERT_TRUE(emulator->waitForLine(
      [&](const std::string& line) {
        seen += line.find(R"("event":"read")") != std::string::npos &&
                line.find(R"("characteristic":"FFF1")") != std::string::npos;
        return seen == kBlocked;
      },
      ChildProcess::after(20)))
      << seen << " reads reached the device";

  // Every command of this client is answered while all 64 reads still wait.
  tool::HelperClient client(helper.port());
  for (int i = 0; i < 20; ++i) {
    auto set = client.request("POST", "/setLastError", json{{"code", -i}, {"message", "m"}}.dump());
    EXPECT_EQ(set.body, json(reply(-i, "m", "0")).dump());
    auto status = client.request("POST", "/get", R"({"selector": "status"})");
    EXPECT_EQ(json::parse(status.body)["lastError"], 0);
  }
  for (auto& r : reads) {
    EXPECT_EQ(r.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "a read timed out before the other client was answered";
  }
  for (auto& r : reads) EXPECT_EQ(r.get(), reply(-100, "Operation timeout", "?"));
  // The idle connections were kept open all along and still serve.
  for (auto& connection : idle) {
    ASSERT_TRUE(connection->send(kVersion));
    EXPECT_EQ(connection->nextAnswer().body, "4.0.0.12");
  }
}

// Two clients subscribe in step, each under its own file name, so that their subscriptions
// overlap: every notification runs the script in the file of the client that subscribed to
// that characteristic.
TEST_F(ConcurrentClientsTest, EachClientsSubscriptionsRunItsOwnScripts) {
  connectBusyDevice();
  std::barrier inStep(2);
  auto subscribeAll = [port = helper.port(), &inStep](int client) {
    tool::HelperClient http(port);
    std::string file = client == 0 ? "A.fmp12" : "B.fmp12";
    int failures = 0;
    for (int i = 0; i < kPerClient; ++i) {
      inStep.arrive_and_wait();
      json subscribe = {{"deviceID", kBelt},
                        {"servID", "FFF0"},
                        {"charID", characteristic(client * kPerClient + i)},
                        {"script", "On" + file.substr(0, 1)},
                        {"format", "hex"},
                        {"timeout", 5.0},
                        {"filename", file}};
      failures += requestOrNothing(http, "POST", "/subscribe", subscribe.dump()).body != kOK.dump();
    }
    return failures;
  };
  auto a = std::async(std::launch::async, subscribeAll, 0);
  auto b = std::async(std::launch::async, subscribeAll, 1);
  ASSERT_EQ(a.get(), 0);
  ASSERT_EQ(b.get(), 0);

  std::string batch;
  for (int i = 0; i < 2 * kPerClient; ++i) {
    batch += "notify " + kBelt + " FFF0 " + characteristic(i) + " 01\n";
  }
  batch.pop_back();
  emulator->writeLine(batch);
  std::vector<std::string> expected, got = scripts(2 * kPerClient);
  for (int i = 0; i < 2 * kPerClient; ++i) {
    std::string file = i < kPerClient ? "A" : "B";
    expected.push_back("On" + file + "(" + kBelt + "\rFFF0\r" + characteristic(i) + "\r01)@" +
                       file + ".fmp12");
  }
  std::sort(got.begin(), got.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(got, expected);
}

}  // namespace
