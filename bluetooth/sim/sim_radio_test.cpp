#include "bluetooth/sim/sim_radio.h"

#include <gtest/gtest.h>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/test_recorder.h"

namespace {

using sim::testing::CentralRecorder;

TEST(SimRadioTest, UnusableAirDirectoryFallsBackToAPrivateAir) {
  auto radio = makeSimulatedRadio("/proc/version/air");
  DispatchQueue queue("central.queue");
  CentralRecorder central(queue);
  testing::internal::CaptureStderr();
  auto c = radio->makeCentralManager(central, queue);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Bluetooth: cannot use the air directory /proc/version/air: not a directory; running "
            "on a private air\n");
  EXPECT_EQ(central.log.next("state"), "state 5");
  c.reset();
  queue.sync([] {});
}

}  // namespace
