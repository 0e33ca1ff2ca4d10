#include "plugin/plugin.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "plugin/errors.h"

TEST(PluginTest, SetLastErrorTakesCatalogueTextOnlyWithoutMessage) {
  Plugin& plugin = Plugin::shared();
  plugin.setLastError(Errors::kReadError);
  EXPECT_EQ(plugin.getLastError(), -16);
  EXPECT_EQ(plugin.getLastErrorMessage(), "Reading operation failed");
  plugin.setLastError(Errors::kReadError, "");
  EXPECT_EQ(plugin.getLastErrorMessage(), "");
  plugin.setLastError(7);
  EXPECT_EQ(plugin.getLastError(), 7);
  EXPECT_EQ(plugin.getLastErrorMessage(), "Unknown error");
  plugin.setLastError(Errors::kNoError);
  EXPECT_EQ(plugin.getLastErrorMessage(), "No error");
}

TEST(PluginTest, FileNameChangesOnlyWithCommandsThatTakeOne) {
  Plugin& plugin = Plugin::shared();
  plugin.connect("device", "", 1.0, "A");
  EXPECT_EQ(plugin.currentFileName(), "A");
  plugin.stopScan();
  plugin.disconnect("device");
  plugin.setForDevice("authorization", "device", "1");
  EXPECT_EQ(plugin.currentFileName(), "A");
  plugin.startScan("", "B");
  EXPECT_EQ(plugin.currentFileName(), "B");
  plugin.subscribe("d", "s", "c", "", "hex", 1.0, "C");
  EXPECT_EQ(plugin.currentFileName(), "C");
  // A set without a device takes one, even for a word it does not know.
  plugin.set("bogus", "", "Solution.fmp12");
  EXPECT_EQ(plugin.currentFileName(), "Solution.fmp12");
}

TEST(PluginTest, HelperPortIsNotAvailable) {
  Plugin& plugin = Plugin::shared();
  plugin.setLastError(0);
  EXPECT_EQ(plugin.getHelperPort(), -1);
  EXPECT_EQ(plugin.getLastError(), Errors::kNotImplemented);
  EXPECT_EQ(plugin.getLastErrorMessage(), "helper is not available on this platform");
  plugin.setLastError(Errors::kReadError);
  plugin.setHelperPort(1234);
  EXPECT_EQ(plugin.getLastError(), Errors::kNotImplemented);
  EXPECT_EQ(plugin.getLastErrorMessage(), "helper is not available on this platform");
}

// Writers on several threads (HTTP workers and role queues do this) must not tear the pair;
// the ThreadSanitizer build turns a missing lock into a failure.
TEST(PluginTest, ConcurrentWritersLeaveAConsistentPair) {
  Plugin& plugin = Plugin::shared();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&plugin, t] {
      for (int i = 0; i < 500; ++i) {
        plugin.setLastError(-t, "thread " + std::to_string(t));
        plugin.setCurrentFileName("file " + std::to_string(t));
        (void)plugin.getLastErrorMessage();
        (void)plugin.currentFileName();
      }
    });
  }
  for (auto& th : threads) th.join();
  int64_t code = plugin.getLastError();
  EXPECT_EQ(plugin.getLastErrorMessage(), "thread " + std::to_string(-code));
}

// A command's own outcome holds what its steps recorded, also on the role's queue (an unknown
// device is found out on "central.queue"), and nothing that other threads recorded meanwhile.
TEST(PluginTest, ACommandsOutcomeIsWhatItsOwnStepsRecorded) {
  Plugin& plugin = Plugin::shared();
  const Plugin::LastError notConnected{Errors::kNotConnected,
                                       Errors::message(Errors::kNotConnected)};
  {
    Plugin::CommandOutcome outcome;
    EXPECT_EQ(outcome.recorded(), std::nullopt);
    plugin.disconnect("no such device");
    EXPECT_EQ(outcome.recorded(), notConnected);
    EXPECT_EQ(plugin.commandError(), Errors::kNotConnected);
    std::thread([&plugin] { plugin.setLastError(-16, "another command"); }).join();
    EXPECT_EQ(outcome.recorded(), notConnected);
    EXPECT_EQ(plugin.commandError(), Errors::kNotConnected);
    EXPECT_EQ(plugin.lastError(), (Plugin::LastError{-16, "another command"}));
    // Reading the last error makes the pair read the command's outcome.
    EXPECT_EQ(plugin.readLastError(), (Plugin::LastError{-16, "another command"}));
    EXPECT_EQ(outcome.recorded(), (Plugin::LastError{-16, "another command"}));
  }
  // Outside a command nothing is kept, and the shared pair is what counts.
  EXPECT_EQ(Plugin::CommandOutcome::current(), nullptr);
  plugin.setLastError(-5);
  EXPECT_EQ(plugin.commandError(), -5);
}

TEST(ErrorsTest, CatalogueTextsOfListedCodesAndUnknownErrorForOthers) {
  EXPECT_EQ(Errors::message(Errors::kNoError), "No error");
  EXPECT_EQ(Errors::message(Errors::kReadError), "Reading operation failed");
  EXPECT_EQ(Errors::message(Errors::kNotifyError), "Notification not send");
  EXPECT_EQ(Errors::message(Errors::kMultipleDevices), "Name matches multiple devices");
  EXPECT_EQ(Errors::message(Errors::kTimeoutError), "Operation timeout");
  for (int64_t code :
       {int64_t{-80}, int64_t{-300}, int64_t{1}, int64_t{-101}, int64_t{-19}, int64_t{-1}}) {
    EXPECT_EQ(Errors::message(code), "Unknown error") << code;
  }
}

TEST(ErrorsTest, BluetoothStateTexts) {
  EXPECT_EQ(Errors::bluetoothErrorMessage(CBManagerState::resetting),
            Errors::bluetoothErrorMessage(CBManagerState::poweredOff));
  EXPECT_EQ(Errors::bluetoothErrorMessage(CBManagerState::poweredOff),
            "Bluetooth is powered off or not ready");
  EXPECT_EQ(Errors::bluetoothErrorMessage(CBManagerState::unknown), "Unknown Bluetooth error");
  EXPECT_EQ(Errors::bluetoothErrorMessage(CBManagerState::unauthorized),
            "Bluetooth is not authorized");
  EXPECT_EQ(Errors::bluetoothErrorMessage(CBManagerState::unsupported),
            "Bluetooth is not supported");
  EXPECT_EQ(Errors::bluetoothErrorMessage(CBManagerState::poweredOn), "No error");
}
