// Datagrams from a hostile process in the air, decoded as the socket air decodes them and
// handed to the central role, an emulated device and the device's peripheral side. Also checks
// that what decodes encodes back to bytes that decode to the same wire form.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/emulated_device.h"
#include "bluetooth/sim/sim_central_manager.h"
#include "central/central_delegate.h"
#include "fuzz/fuzz_support.h"

namespace {

// An in-process air into which the target puts messages as if another process had sent them.
class HostileAir : public sim::Air {
 public:
  HostileAir() { startClock(); }
  ~HostileAir() override { stopClock(); }
  void send(const sim::Message& message) override { deliverLocal(message); }
  void inject(sim::Message message) {
    if (message.type == sim::MessageType::advertisement) return deliverToScanners(message);
    deliverLocal(std::move(message));
  }
};

const sim::NodeId kCentral = *sim::parseNodeId("F0220000-0000-4000-8000-000000000001");
const sim::NodeId kDevice = *sim::parseNodeId("F0220000-0000-4000-8000-000000000002");

sim::EmulatedDeviceConfig deviceConfig() {
  sim::EmulatedDeviceConfig config;
  config.id = kDevice;
  sim::EmulatedService service;
  service.uuid = CBUUID::from16(0x180D);
  sim::EmulatedCharacteristic c;
  c.uuid = CBUUID::from16(0x2A37);
  c.properties = 0x3E;
  c.value = std::vector<uint8_t>{1, 2};
  service.characteristics = {c};
  config.services = {service};
  return config;
}

struct World {
  std::shared_ptr<HostileAir> air = std::make_shared<HostileAir>();
  DispatchQueue deviceQueue{"devices"};
  sim::EmulatedDeviceObserver observer;
  std::shared_ptr<sim::EmulatedDevice> device =
      sim::EmulatedDevice::create(air, deviceConfig(), observer, deviceQueue);
  CentralDelegate central{[this](CBCentralManagerDelegate& d, DispatchQueue& q) {
    return sim::makeCentralManager(air, d, q, {kCentral, 185, true});
  }};
};

World& world() {
  static World* w = [] {
    fuzz::facade();
    auto* made = new World;  // lives as long as the process
    made->central.startScan("makeupdates=true");
    return made;
  }();
  return *w;
}

void checkRoundTrip(const sim::Message& m) {
  std::vector<uint8_t> once, twice;
  sim::encodeMessage(m, once);
  size_t pos = 0;
  auto again = sim::decodeMessage(once.data(), once.size(), pos);
  if (!again || pos != once.size()) std::abort();
  sim::encodeMessage(*again, twice);
  if (once != twice) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  world();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& w = world();
  fuzz::Input input(data, size);
  uint8_t routing = input.byte();
  std::string rest = input.rest();
  const auto* bytes = reinterpret_cast<const uint8_t*>(rest.data());
  size_t pos = 0;
  while (pos < rest.size()) {
    auto m = sim::decodeMessage(bytes, rest.size(), pos);
    if (!m) break;
    checkRoundTrip(*m);
    // A few senders only, so that the tables the messages fill stay bounded.
    m->src = sim::NodeId{};
    m->src[15] = routing & 0x0F;
    m->dst = routing & 0x10 ? kDevice : kCentral;
    w.air->inject(std::move(*m));
  }
  w.central.queue().sync([] {});
  w.deviceQueue.sync([] {});
  return 0;
}
