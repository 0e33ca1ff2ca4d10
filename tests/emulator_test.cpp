// The device emulator as a process: device files and command lines, emulated devices and an
// emulated central talking through the socket air past foreign datagrams, and a killed emulator
// seen as a lost link.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "bluetooth/sim/test_recorder.h"
#include "child_process.h"

namespace {

using sim::testing::CentralRecorder;

const std::string kBelt = std::string(VELNOR_SOURCE_DIR) + "/examples/heart-rate-belt.json";
const std::string kBeltId = "5C4D2A10-7F3B-4E8A-9C61-0B2D3E4F5A61";

// Sends one datagram to the socket at `path`, as a foreign program in the air would.
void sendDatagram(const std::string& path, const std::string& bytes) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::close(fd);
}

class EmulatorTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(dir); }

  std::unique_ptr<ChildProcess> start(std::vector<std::string> args) {
    args.insert(args.begin(), {"--air", air});
    return std::make_unique<ChildProcess>(ChildProcess::Options{VELNOR_SIM_PATH, args});
  }

  // Waits for the next line that contains every part, after the ones already taken.
  static std::string expectLine(ChildProcess& p, const std::string& text) {
    auto line =
        p.waitForLine([&](const std::string& l) { return l == text; }, ChildProcess::after(5));
    EXPECT_TRUE(line) << "no line " << text;
    return line.value_or("");
  }

  std::string dir = makeTemporaryDirectory("velnor-emulator-test");
  std::string air = dir + "/air";
};

TEST_F(EmulatorTest, BadDeviceFileOrCommandLineExitsWithStatus2) {
  const std::string file = dir + "/bad.json";
  std::ofstream(file) << R"({"devices":[{"name":"x","rssi":"loud"}]})";
  auto p = start({"device", file});
  EXPECT_EQ(p->exitCode(ChildProcess::after(5)), 2);
  EXPECT_EQ(p->stderrLines(),
            std::vector<std::string>{"velnor-sim: " + file +
                                     ": devices[0].rssi: expected a number or [min, max]"});

  auto q = start({"central", "--mtu", "9"});
  EXPECT_EQ(q->exitCode(ChildProcess::after(5)), 2);
  ASSERT_FALSE(q->stderrLines().empty());
  EXPECT_EQ(q->stderrLines()[0],
            "velnor-sim: --mtu needs a whole number from 23 to 517, not \"9\"");
  EXPECT_EQ(q->stderrLines()[1], "usage: velnor-sim [--air DIR] device FILE.json");
}

TEST_F(EmulatorTest, EmulatedCentralDrivesAnEmulatedDevice) {
  auto device = start({"device", kBelt});
  expectLine(*device, R"({"event":"ready"})");
  auto central = start({"central", "--mtu", "23"});
  auto ready = central->waitForLine(
      [](const std::string& l) { return l.find("ready") != std::string::npos; },
      ChildProcess::after(5));
  ASSERT_TRUE(ready);
  std::string centralId = ready->substr(ready->size() - 38, 36);
  // Truncated, foreign and empty datagrams to every node are dropped without harm.
  for (const auto& e : std::filesystem::directory_iterator(air)) {
    for (const std::string& bytes : {std::string("VLNA\x01\x03"
                                                 "x/y\x09\x09\x09",
                                                 12),
                                     std::string("hello"), std::string()}) {
      sendDatagram(e.path(), bytes);
    }
  }

  central->writeLine("read 180D 2A38");
  expectLine(*central, R"({"event":"error","message":"not connected"})");
  central->writeLine("scan");
  auto discovered = central->waitForLine(
      [](const std::string& l) { return l.rfind(R"({"event":"discovered","id":")", 0) == 0; },
      ChildProcess::after(5));
  ASSERT_TRUE(discovered);
  EXPECT_NE(discovered->find(R"("id":")" + kBeltId + R"(","name":"HR Belt","rssi":-)"),
            std::string::npos);
  central->writeLine("connect HR Belt");
  expectLine(*central, R"({"event":"connected","id":")" + kBeltId + R"("})");
  expectLine(*device, R"({"event":"connected","device":")" + kBeltId + R"(","central":")" +
                          centralId + R"("})");
  central->writeLine("discover");
  expectLine(
      *central,
      R"({"event":"services","id":")" + kBeltId +
          R"(","services":[{"uuid":"180D","characteristics":[{"uuid":"2A37","properties":"notify"},{"uuid":"2A38","properties":"read"}]},{"uuid":"180F","characteristics":[{"uuid":"2A19","properties":"read|notify"}]}]})");
  central->writeLine("read 180D 2A38");
  expectLine(*central,
             R"({"event":"read","service":"180D","characteristic":"2A38","att":0,"value":"01"})");
  expectLine(*device, R"({"event":"read","device":")" + kBeltId +
                          R"(","service":"180D","characteristic":"2A38"})");
  central->writeLine("write 180D 2A38 02");
  expectLine(*central, R"({"event":"written","service":"180D","characteristic":"2A38","att":3})");
  central->writeLine("subscribe 180D 2A37");
  expectLine(*central,
             R"({"event":"subscribed","service":"180D","characteristic":"2A37","att":0})");
  expectLine(*device, R"({"event":"subscribed","device":")" + kBeltId +
                          R"(","service":"180D","characteristic":"2A37"})");
  // A notification longer than the small link is cut to MTU minus 3 bytes.
  device->writeLine("notify \"Pulse Belt Emulated\" 180D 2A37 " + std::string(50, 'A'));
  expectLine(*central,
             R"({"event":"notification","service":"180D","characteristic":"2A37","value":")" +
                 std::string(40, 'A') + R"("})");
  central->writeLine("write-cmd 180D 2A38 " + std::string(42, '0'));
  expectLine(*central, R"({"event":"error","message":"value of 21 bytes is longer than 20"})");
  device->writeLine("drop " + kBeltId);
  expectLine(*central, R"({"event":"disconnected","id":")" + kBeltId +
                           R"(","message":"The specified device has disconnected from us."})");
  expectLine(*device, R"({"event":"disconnected","device":")" + kBeltId + R"(","central":")" +
                          centralId + R"("})");
  central->writeLine("quit");
  EXPECT_EQ(central->exitCode(ChildProcess::after(5)), 0);
  device->terminate();
  EXPECT_EQ(device->exitCode(ChildProcess::after(5)), 0);
}

// The peak resident set of a process, in KiB.
long peakResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST_F(EmulatorTest, OverlongInputLinesAreRefusedAndSkippedInBoundedMemory) {
  const std::string refused =
      R"({"event":"error","message":"line longer than 65536 bytes skipped"})";
  auto device = start({"device", kBelt});
  expectLine(*device, R"({"event":"ready"})");
  size_t before = device->stdoutLines().size();
  long peakBefore = peakResidentKiB(device->pid());
  ASSERT_GT(peakBefore, 0);

  std::string command = "notify Nobody 180D 2A37 ";
  device->writeLine(command + std::string(65536 - command.size(), '0'));         // at the bound
  device->writeLine(command + std::string(65536 - command.size(), '0') + "\r");  // CR not counted
  device->writeLine(command + std::string(65537 - command.size(), '0'));         // one byte more
  device->writeLine(std::string(8 << 20, 'x'));  // a flood without a newline for 8 MiB
  device->writeLine("notify Last 180D 2A37 01");
  expectLine(*device, R"({"event":"error","message":"no device \"Last\""})");

  auto lines = device->stdoutLines();
  std::vector<std::string> after(lines.begin() + static_cast<long>(before), lines.end());
  // A line at the bound is read whole: its value is then too long for a characteristic.
  const std::string nobody = R"({"event":"error","message":"a value holds at most 512 bytes"})";
  EXPECT_EQ(after,
            (std::vector<std::string>{nobody, nobody, refused, refused,
                                      R"({"event":"error","message":"no device \"Last\""})"}));
  // The flood was dropped as it came, never held.
  EXPECT_LT(peakResidentKiB(device->pid()) - peakBefore, 4 * 1024);
  device->closeStdin();
  EXPECT_EQ(device->exitCode(ChildProcess::after(5)), 0);
}

TEST_F(EmulatorTest, KilledEmulatorIsALostLinkAndItsSocketIsCleanedUp) {
  auto device = start({"device", kBelt});
  expectLine(*device, R"({"event":"ready"})");
  auto socketAir = sim::makeSocketAir(air);
  DispatchQueue queue("central.queue");
  CentralRecorder events(queue);
  auto central = sim::makeCentralManager(socketAir, events, queue);
  central->scanForPeripherals(std::nullopt, {});
  ASSERT_NE(events.log.next("discover " + kBeltId), "");
  central->connect(events.peripheral(kBeltId));
  ASSERT_EQ(events.log.next("connected"), "connected " + kBeltId);

  device->kill();
  device->waitForExit(ChildProcess::after(5));
  EXPECT_EQ(
      events.log.next("disconnected"),
      "disconnected " + kBeltId + " CBErrorDomain/6 The connection has timed out unexpectedly.");
  // The dead process's socket file goes; only ours is left.
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(air))
    files += e.path().extension() == ".sock";
  EXPECT_EQ(files, 1u);
  central.reset();
  queue.sync([] {});
  EXPECT_EQ(events.offQueue, 0);
}

}  // namespace
