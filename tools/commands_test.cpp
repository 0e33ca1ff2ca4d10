#include "tools/commands.h"

#include <gtest/gtest.h>

#include "thrown.h"

namespace tool {
namespace {

std::string errorOf(const std::function<void()>& fn) {
  return thrown<CommandError>(fn);
}

TEST(InvocationTest, BadCommandLinesSayWhatIsWrong) {
  auto bad = [](std::vector<std::string> args) {
    return errorOf([&] { parseInvocation(args, "/tmp/velnor-air"); });
  };
  EXPECT_EQ(bad({}), "missing command");
  EXPECT_EQ(bad({"device"}), "device needs exactly one device file");
  EXPECT_EQ(bad({"central", "--mtu", "22"}),
            "--mtu needs a whole number from 23 to 517, not \"22\"");
  EXPECT_EQ(bad({"central", "--mtu", "185x"}),
            "--mtu needs a whole number from 23 to 517, not \"185x\"");
  EXPECT_EQ(bad({"central", "--verbose"}), "unexpected argument \"--verbose\" for central");
  EXPECT_EQ(bad({"power", "maybe"}), "power needs on or off");
  EXPECT_EQ(bad({"device", "f.json", "--air"}), "--air needs a directory");
  EXPECT_EQ(bad({"peripheral"}), "unknown command \"peripheral\"");
  EXPECT_EQ(bad({"capture", "Belt"}), "capture needs --helper PORT");
  EXPECT_EQ(bad({"capture", "--helper", "24100"}), "capture needs a device name or identifier");
  EXPECT_EQ(bad({"capture", "--helper", "70000", "Belt"}),
            "--helper needs a whole number from 1 to 65535, not \"70000\"");
  EXPECT_EQ(bad({"capture", "--helper", "1", "Belt", "--seconds", "0"}),
            "--seconds needs a whole number from 1 to 86400, not \"0\"");
  EXPECT_EQ(bad({"capture", "--helper", "1", "Belt", "Strap"}),
            "unexpected argument \"Strap\" for capture");
  EXPECT_EQ(bad({"capture", "--helper", "1", "Belt", "--out"}), "--out needs a value");
}

TEST(DeviceCommandTest, ParsesEveryCommand) {
  auto c = parseDeviceCommand("notify \"Pulse H1\" 180d 2A37 06aF");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->kind, DeviceCommand::Kind::notify);
  EXPECT_EQ(c->device, "Pulse H1");
  EXPECT_EQ(c->service.UUIDString(), "180D");
  EXPECT_EQ(c->value, (std::vector<uint8_t>{0x06, 0xAF}));
  EXPECT_EQ(parseDeviceCommand("  set Belt 180D 2A38 \"\"")->value.size(), 0u);
  EXPECT_TRUE(parseDeviceCommand("advertise Belt on")->on);
  EXPECT_EQ(parseDeviceCommand("drop Belt")->kind, DeviceCommand::Kind::drop);
  EXPECT_FALSE(parseDeviceCommand("   ").has_value());

  auto bad = [](const std::string& line) { return errorOf([&] { parseDeviceCommand(line); }); };
  EXPECT_EQ(bad("notify Belt 180D 2A37"), "usage: notify DEVICE SERVICE CHAR HEX");
  EXPECT_EQ(bad("notify Belt 180D 2A37 123"), "not hex bytes: \"123\"");
  EXPECT_EQ(bad("set Belt 18 2A37 12"), "not a UUID: \"18\"");
  EXPECT_EQ(parseDeviceCommand("set Belt 180D 2A38 " + std::string(1024, 'f'))->value.size(), 512u);
  EXPECT_EQ(bad("notify Belt 180D 2A37 " + std::string(1026, 'f')),
            "a value holds at most 512 bytes");
  EXPECT_EQ(bad("advertise Belt maybe"), "usage: advertise DEVICE on|off");
  EXPECT_EQ(bad("drop \"Belt"), "a quote is not closed");
  EXPECT_EQ(bad("explode Belt"), "unknown command \"explode\"");
}

TEST(CentralCommandTest, ParsesEveryCommand) {
  EXPECT_EQ(parseCentralCommand("connect HR Belt ")->target, "HR Belt");
  EXPECT_EQ(parseCentralCommand("connect \"HR Belt\"")->target, "HR Belt");
  auto c = parseCentralCommand("write-cmd 180D 2A39 01");
  EXPECT_EQ(c->kind, CentralCommand::Kind::writeCommand);
  EXPECT_EQ(c->characteristic.UUIDString(), "2A39");
  EXPECT_EQ(c->value, (std::vector<uint8_t>{1}));
  EXPECT_EQ(parseCentralCommand("unsubscribe 180D 2A37")->kind, CentralCommand::Kind::unsubscribe);

  auto bad = [](const std::string& line) { return errorOf([&] { parseCentralCommand(line); }); };
  EXPECT_EQ(bad("read 180D"), "usage: read SERVICE CHAR");
  EXPECT_EQ(bad("write 180D 2A39 xyz1"), "not hex bytes: \"xyz1\"");
  EXPECT_EQ(bad("scan now"), "usage: scan");
  EXPECT_EQ(bad("connect"), "usage: connect NAME_OR_ID");
  EXPECT_EQ(bad("fly"), "unknown command \"fly\"");
}

}  // namespace
}  // namespace tool
