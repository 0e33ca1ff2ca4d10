// The peripheral role on the in-process radio: centrals of the simulated radio connect to the
// role's published profile and read, write and subscribe, as remote centrals would.
#include "peripheral/peripheral_delegate.h"

#include <gtest/gtest.h>

#include <atomic>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "bluetooth/sim/sim_peripheral_manager.h"
#include "bluetooth/sim/test_recorder.h"
#include "platform/console.h"
#include "plugin/errors.h"
#include "plugin/plugin.h"
#include "queued_scripts.h"
#include "server/script_scheduler.h"

namespace {

using sim::testing::CentralRecorder;

const char* const kProfile = R"([
  {"UUID": "180D", "characteristics": [
    {"UUID": "2A37", "properties": "read|notify", "afterSubscribe": "Subscribed",
     "afterUnsubscribe": "Unsubscribed", "format": "hex"},
    {"UUID": "2A38", "properties": "read|write", "afterRead": "Read", "afterWrite": "Written",
     "format": "HEX"},
    {"UUID": "2A39", "properties": "read|write|notify", "protection": 2}]},
  {"UUID": "180d", "characteristics": [{"UUID": "2a19", "properties": "read|write"}]}])";

// A central of the simulated radio with its own queue, connected to the role's device.
struct RadioCentral {
  RadioCentral(const std::shared_ptr<sim::Air>& air, uint16_t mtu = 185) {
    sim::CentralOptions options{.mtu = mtu, .helperNode = false};
    id = sim::nodeIdText(options.id);
    manager = sim::makeCentralManager(air, events, queue, options);
  }
  ~RadioCentral() {
    manager.reset();
    queue.sync([] {});
  }

  void connect() {
    peripheral = events.connectAll(*manager);
    ASSERT_TRUE(peripheral);
  }
  // A characteristic by "SERVICE/CHAR" as the platform writes the UUIDs (upper case).
  std::shared_ptr<CBCharacteristic> at(const std::string& place) {
    auto c = events.characteristic(place);
    EXPECT_TRUE(c) << place;
    return c;
  }
  std::string read(const std::string& place) {
    peripheral->readValue(at(place));
    return events.log.next("value");
  }
  std::string subscribe(const std::string& place, bool on = true) {
    peripheral->setNotifyValue(on, at(place));
    return events.log.next("notifying");
  }

  DispatchQueue queue{"test.central"};
  CentralRecorder events{queue};
  std::shared_ptr<CBCentralManager> manager;
  std::shared_ptr<CBPeripheral> peripheral;
  std::string id;
};

class PeripheralDelegateTest : public ScriptQueueTest {
 protected:
  void publishAndAdvertise(const std::string& profile = kProfile) {
    role.setProfile(profile);
    ASSERT_EQ(lastErrorText(), "0 No error");
    role.startAdvertising(std::nullopt);
    ASSERT_EQ(lastErrorText(), "0 No error");
  }
  // Lets every callback already delivered to the role finish.
  void settle() {
    role.queue().sync([] {});
  }

  std::shared_ptr<sim::Air> air = sim::makeInProcessAir();
  // A transmit queue of two, so that a few quick sets fill it.
  PeripheralDelegate role{[this](CBPeripheralManagerDelegate& d, DispatchQueue& q) {
    return sim::makePeripheralManager(air, d, q, sim::TransmitQueue{2});
  }};
};

TEST_F(PeripheralDelegateTest, AdvertisingChecksTheProfileTheFlagAndThePower) {
  role.startAdvertising(std::nullopt);
  EXPECT_EQ(lastErrorText(), "-14 No services to advertise");
  resetError();
  role.setProfile("");
  EXPECT_EQ(lastErrorText(), "0 No error");
  role.startAdvertising("");
  EXPECT_EQ(lastErrorText(), "-14 No services to advertise");
  role.startAdvertising("displayName=Lab\rbogus=1");
  EXPECT_EQ(lastErrorText(), "-50 Unknown advertising option: bogus");

  role.setProfile(kProfile);
  air->setPower(false);
  settle();
  role.startAdvertising("");
  EXPECT_EQ(lastErrorText(), "-10 Bluetooth is powered off or not ready");
  EXPECT_FALSE(role.isAdvertising());
  air->setPower(true);
  settle();

  resetError();
  role.startAdvertising("displayName=Lab Sensor");
  EXPECT_EQ(lastErrorText(), "0 No error");
  EXPECT_TRUE(role.isAdvertising());
  role.startAdvertising("displayName=Other");
  EXPECT_EQ(lastErrorText(), "-42 Already advertising");
  role.setProfile("[]");
  EXPECT_EQ(lastErrorText(), "-42 Cannot change profile while advertising");
  EXPECT_EQ(role.getProfile()->size(), 2u);

  // Centrals see the display name and no service UUIDs in the advertisement.
  RadioCentral central(air);
  central.manager->scanForPeripherals(std::nullopt, {});
  std::string seen = central.events.log.next("discover");
  EXPECT_NE(seen.find(" local=Lab Sensor connectable=1"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("services="), std::string::npos) << seen;

  resetError();
  role.stopAdvertising();
  EXPECT_EQ(lastErrorText(), "0 No error");
  EXPECT_FALSE(role.isAdvertising());
  role.stopAdvertising();
  EXPECT_EQ(lastErrorText(), "-32 Not advertising");

  // A timed stop of 0 ends advertising as soon as the queue is free.
  resetError();
  role.startAdvertising("stopAfter=0");
  EXPECT_EQ(lastErrorText(), "0 No error");
  EXPECT_TRUE(eventually([&] { return !role.isAdvertising(); }));

  // The timer is never cancelled: it also ends advertising started again after a stop.
  role.startAdvertising("stopAfter=0.2");
  role.stopAdvertising();
  role.startAdvertising("");
  EXPECT_EQ(lastErrorText(), "0 No error");
  EXPECT_TRUE(role.isAdvertising());
  EXPECT_TRUE(eventually([&] { return !role.isAdvertising(); }));
}

TEST_F(PeripheralDelegateTest, ReplacedProfileIsPublishedButOldEntriesStayInTheTable) {
  role.setProfile(
      R"([{"UUID": "1800", "characteristics": [{"UUID": "2A00", "properties": "read"}]}])");
  role.set("1800", "2A00", "old", "utf-8");
  publishAndAdvertise();
  RadioCentral central(air);
  central.connect();
  // The discovery the central logged: the two services of the new profile, and nothing else.
  auto lines = central.events.log.all();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "services ok 180D 180D"), lines.end());
  // The old characteristic is no longer published, but its entry answers the plug-in.
  EXPECT_EQ(role.get("1800", "2A00", "utf-8"), "old");
  EXPECT_EQ(role.get("180D", "2A37", "hex"), "?");
  EXPECT_EQ(lastErrorText(), "-14 Cannot get value of unset characteristic");
  EXPECT_EQ(role.get("180d", "2A37", "hex"), "?");
  EXPECT_EQ(lastErrorText(), "-50 Characteristic does not exist");

  auto reported = role.getProfile();
  ASSERT_TRUE(reported);
  EXPECT_EQ((*reported)[1].UUID, "180d");
  EXPECT_EQ((*reported)[0].characteristics[2].protection, 2);
}

TEST_F(PeripheralDelegateTest, SetNotifiesSubscribedAuthorizedCentralsWithinTheSmallestLimit) {
  publishAndAdvertise();
  RadioCentral big(air, 517);
  RadioCentral small(air, 23);
  big.connect();
  small.connect();

  EXPECT_EQ(big.subscribe("180D/2A37"), "notifying 2A37 ok on");
  EXPECT_EQ(small.subscribe("180D/2A39"), "notifying 2A39 ok on");
  EXPECT_EQ(big.subscribe("180D/2A39"), "notifying 2A39 ok on");
  settle();
  EXPECT_EQ(takeScripts(), std::vector<std::string>{"Subscribed(" + big.id + "\r)@Lab"});
  EXPECT_EQ(role.getSubscribedFor(big.id), (std::set<std::string>{"2A37", "2A39"}));
  EXPECT_EQ(role.getSubscribedFor("nobody"), std::nullopt);
  auto subscribed = role.getSubscribed();
  std::sort(subscribed.begin(), subscribed.end());
  auto both = std::vector<std::string>{big.id, small.id};
  std::sort(both.begin(), both.end());
  EXPECT_EQ(subscribed, both);

  // Both centrals are recipients of the unprotected characteristic: the small link limits it.
  resetError();
  role.set("180D", "2A37", std::string(21, 'x'), "utf-8");
  EXPECT_EQ(lastErrorText(), "-20 Data is too long");
  EXPECT_EQ(role.get("180D", "2A37", "utf-8"), std::string(21, 'x'));
  resetError();
  role.set("180D", "2A37", "0648", "hex");
  EXPECT_EQ(lastErrorText(), "0 No error");
  EXPECT_EQ(big.events.log.next("value"), "value 2A37 ok 0648");

  // Protection 2: only the authorized big central receives, and only its limit counts: its link
  // took the largest MTU both sides offered, so the longest value fits.
  role.setAuthorizationLevel(big.id, 2);
  role.set("180D", "2A39", std::string(512, 'y'), "utf-8");
  EXPECT_EQ(lastErrorText(), "0 No error");
  EXPECT_EQ(big.events.log.next("value"), "value 2A39 ok " + sim::testing::hex(CBData(512, 'y')));
  // A value that does not convert changes nothing.
  role.set("180D", "2A39", "300", "uint8");
  EXPECT_EQ(lastErrorText(), "-17 Invalid UInt8: 300");
  EXPECT_EQ(role.get("180D", "2A39", "utf-8"), std::string(512, 'y'));

  // Unsubscribing from the last characteristic drops the central from the list, not the table.
  EXPECT_EQ(small.subscribe("180D/2A39", false), "notifying 2A39 ok off");
  settle();
  EXPECT_EQ(role.getSubscribed(), std::vector<std::string>{big.id});
  EXPECT_TRUE(role.isKnown(small.id));
  EXPECT_EQ(small.events.log.count("value"), 0u);

  // Sets far faster than the link's queue of two empties: every value still arrives, in order.
  for (int i = 0; i < 60; ++i) role.set("180D", "2A37", std::to_string(i), "uint8");
  for (uint8_t i = 0; i < 60; ++i) {
    ASSERT_EQ(big.events.log.next("value"), "value 2A37 ok " + sim::testing::hex(CBData{i}));
  }
}

class FakeCentral : public CBCentral {
 public:
  FakeCentral(std::string id, size_t maximum) : id_(std::move(id)), maximum_(maximum) {}
  std::string identifier() const override { return id_; }
  size_t maximumUpdateValueLength() const override { return maximum_; }

 private:
  std::string id_;
  size_t maximum_;
};

class FakeRequest : public CBATTRequest {
 public:
  FakeRequest(std::shared_ptr<CBCentral> central, std::shared_ptr<CBCharacteristic> c,
              CBData value = {}, size_t offset = 0)
      : central_(std::move(central)), c_(std::move(c)), value_(std::move(value)), offset_(offset) {}
  std::shared_ptr<CBCentral> central() const override { return central_; }
  std::shared_ptr<CBCharacteristic> characteristic() const override { return c_; }
  size_t offset() const override { return offset_; }
  const CBData& value() const override { return value_; }
  void setValue(CBData value) override { value_ = std::move(value); }

 private:
  std::shared_ptr<CBCentral> central_;
  std::shared_ptr<CBCharacteristic> c_;
  CBData value_;
  size_t offset_;
};

// Records the answers the role gives and the updates it sends; refuses updates while `full`.
class AnswerRecorder : public CBPeripheralManager {
 public:
  CBManagerState state() const override { return power; }
  void removeAllServices() override {}
  void addService(const std::shared_ptr<CBMutableService>&) override {}
  void startAdvertising(const CBAdvertisingRequest&) override {}
  void stopAdvertising() override {}
  bool isAdvertising() const override { return false; }
  void respondToRequest(const std::shared_ptr<CBATTRequest>& request, CBATTError result) override {
    answers.emplace_back(request.get(), static_cast<int>(result));
  }
  bool updateValue(const CBData& value, const std::shared_ptr<CBMutableCharacteristic>&,
                   const std::optional<std::vector<std::shared_ptr<CBCentral>>>&) override {
    if (full) return false;
    sent.push_back(value);
    return true;
  }
  std::vector<std::pair<const CBATTRequest*, int>> answers;
  std::atomic<bool> full{false};
  std::atomic<CBManagerState> power{CBManagerState::poweredOn};
  std::vector<CBData> sent;
};

// Requests handed to the role directly, as a platform could deliver them.
TEST_F(PeripheralDelegateTest, WriteCallbackStopsAtTheFirstFailedRequest) {
  role.setProfile(kProfile);
  auto published = [&](const std::string& servID, const std::string& charID) {
    return role.queue().sync([&] { return role.localCharFromID(servID, charID)->char_; });
  };
  AnswerRecorder answers;
  auto central = std::make_shared<FakeCentral>("C1", 182);
  // A characteristic the table does not hold, under a service it does.
  auto stranger = std::make_shared<CBMutableCharacteristic>(
      *CBUUID::fromString("2A99"), CBCharacteristicPropertyWrite, std::nullopt, 0x03);
  auto service = std::make_shared<CBMutableService>(*CBUUID::fromString("180D"), true);
  service->setCharacteristics({stranger});
  auto first = std::make_shared<FakeRequest>(central, published("180D", "2A38"), CBData{1, 2, 3});
  auto second = std::make_shared<FakeRequest>(central, stranger, CBData{4});
  auto third = std::make_shared<FakeRequest>(central, published("180D", "2A37"), CBData{5});
  role.queue().sync([&] {
    role.peripheralManagerDidReceiveWriteRequests(answers, {first, second, third});
  });
  ASSERT_EQ(answers.answers.size(), 2u);
  EXPECT_EQ(answers.answers[0], std::make_pair<const CBATTRequest*>(first.get(), 0x00));
  EXPECT_EQ(answers.answers[1], std::make_pair<const CBATTRequest*>(second.get(), 0x0A));
  EXPECT_EQ(role.get("180D", "2A38", "hex"), "010203");
  EXPECT_EQ(role.get("180D", "2A37", "hex"), "?");
  EXPECT_EQ(takeScripts(), std::vector<std::string>{"Written(C1\r010203)@Lab"});

  // A characteristic without a service is "not found" as well; a read at an offset past the
  // value gets the whole value.
  auto orphan = std::make_shared<CBMutableCharacteristic>(
      *CBUUID::fromString("2A38"), CBCharacteristicPropertyRead, std::nullopt, 0x03);
  auto orphanRead = std::make_shared<FakeRequest>(central, orphan);
  auto offsetRead = std::make_shared<FakeRequest>(central, published("180D", "2A38"), CBData{}, 7);
  role.queue().sync([&] {
    role.peripheralManagerDidReceiveReadRequest(answers, orphanRead);
    role.peripheralManagerDidReceiveReadRequest(answers, offsetRead);
  });
  EXPECT_EQ(answers.answers[2], std::make_pair<const CBATTRequest*>(orphanRead.get(), 0x0A));
  EXPECT_EQ(answers.answers[3], std::make_pair<const CBATTRequest*>(offsetRead.get(), 0x00));
  EXPECT_EQ(offsetRead->value(), (CBData{1, 2, 3}));
}

TEST_F(PeripheralDelegateTest, RefusedUpdatesWaitBoundedAndWhatIsDroppedIsLogged) {
  AnswerRecorder radio;
  radio.full = true;
  PeripheralDelegate flooded{[&](CBPeripheralManagerDelegate&, DispatchQueue&) {
    return std::shared_ptr<CBPeripheralManager>(&radio, [](CBPeripheralManager*) {});
  }};
  flooded.setProfile(kProfile);
  auto ready = [&] {
    flooded.queue().sync([&] { flooded.peripheralManagerIsReadyToUpdateSubscribers(radio); });
  };
  ::testing::internal::CaptureStdout();
  // Three more than one characteristic may keep waiting: its three oldest make room. Another
  // characteristic has its own allowance.
  const size_t sets = PeripheralDelegate::kMostWaitingUpdates + 3;
  for (size_t i = 0; i < sets; ++i) flooded.set("180D", "2A37", std::to_string(i), "uint8");
  flooded.set("180D", "2A39", "255", "uint8");
  radio.full = false;
  ready();
  std::vector<CBData> expected;
  for (size_t i = 3; i < sets; ++i) expected.push_back({static_cast<uint8_t>(i)});
  expected.push_back({255});
  EXPECT_EQ(radio.sent, expected);
  // A set while others wait goes behind them, even when the radio would take it at once.
  radio.full = true;
  flooded.set("180D", "2A37", "1", "uint8");
  radio.full = false;
  flooded.set("180D", "2A37", "2", "uint8");
  ready();
  expected.insert(expected.end(), {{1}, {2}});
  EXPECT_EQ(radio.sent, expected);

  // Updates still waiting when the radio goes off are dropped, and said so.
  radio.full = true;
  flooded.set("180D", "2A37", "7", "uint8");
  radio.power = CBManagerState::poweredOff;
  flooded.queue().sync([&] { flooded.peripheralManagerDidUpdateState(radio); });
  radio.full = false;
  ready();
  EXPECT_EQ(radio.sent.size(), expected.size());
  Console::flush(std::chrono::seconds(10));
  std::string out = ::testing::internal::GetCapturedStdout();
  std::string full =
      "(" + std::to_string(PeripheralDelegate::kMostWaitingUpdates) + " waiting for the radio): ";
  for (const std::string& dropped :
       {full + "00", full + "01", full + "02", std::string("(Bluetooth is not on): 07")}) {
    EXPECT_NE(out.find("PeripheralDelegate: Dropped a notification of 2A37 " + dropped + "\n"),
              std::string::npos)
        << dropped << out;
  }
  EXPECT_EQ(out.find(full + "03"), std::string::npos);
}

// Malformed profiles each get a message and change nothing; a valid one then works.
TEST_F(PeripheralDelegateTest, RejectedProfilesChangeNothing) {
  publishAndAdvertise();
  RadioCentral central(air);
  central.connect();
  role.set("180D", "2A38", "kept", "utf-8");
  role.stopAdvertising();
  auto before = profileToJSON(*role.getProfile()).dump();

  // Each stage of the decoding and of the checks, nesting deep enough to exhaust a recursive
  // reader, and a profile too large to be taken.
  std::vector<std::string> bad = {
      "{",
      "[]]",
      "{}",
      "[[]]",
      "[{}]",
      "[1e999]",
      std::string(100000, '[') + std::string(100000, ']'),
      "[{\"UUID\": \"180D\", \"characteristics\": [" + std::string(20000, '[') +
          std::string(20000, ']') + "]}]",
      "[\"\xFF\xFE\"]",
      "[{\"UUID\": \"\xC0\xAF\", \"characteristics\": []}]",
      R"([{"UUID": "{180D}", "characteristics": []}])",
      R"([{"UUID": "180D", "characteristics": [{"UUID": "2A37", "properties": "shout"}]}])",
  };
  std::string huge = "[";
  for (int i = 0; i < 5000; ++i) huge += R"({"UUID": "180D", "characteristics": []},)";
  huge += R"({"UUID": "180D", "characteristics": [{"UUID": "2A37"}]}])";
  bad.push_back(huge);
  for (const auto& text : bad) {
    resetError();
    role.setProfile(text);
    EXPECT_EQ(Plugin::shared().getLastError(), Errors::kWrongParameters) << text.substr(0, 80);
    EXPECT_FALSE(Plugin::shared().getLastErrorMessage().empty());
    ASSERT_EQ(profileToJSON(*role.getProfile()).dump(), before) << text.substr(0, 80);
  }
  // The table and the published services are as they were.
  EXPECT_EQ(role.get("180D", "2A38", "utf-8"), "kept");
  EXPECT_EQ(central.read("180D/2A38"), "value 2A38 ok 6B657074");

  resetError();
  role.setProfile(
      R"([{"UUID": "1811", "characteristics": [{"UUID": "2A46", "properties": "read"}]}])");
  EXPECT_EQ(lastErrorText(), "0 No error");
  EXPECT_EQ(role.getProfile()->at(0).UUID, "1811");
}

}  // namespace
