#include "bluetooth/bluez/bluez_agent.h"

#include <cstdio>

namespace bluez {

namespace {

constexpr const char* kAgentPath = "/com/velnor/helper/agent";
constexpr const char* kAgent = "org.bluez.Agent1";
constexpr const char* kAgentManager = "org.bluez.AgentManager1";
constexpr const char* kCapability = "NoInputNoOutput";
constexpr auto kControlTimeout = std::chrono::seconds(10);

// Methods run on the bus thread.
class Agent : public BusListener, public std::enable_shared_from_this<Agent> {
 public:
  explicit Agent(std::shared_ptr<Bus> bus) : bus_(std::move(bus)) {}

  void start() {
    if (bus_->connection() == nullptr) return;
    try {
      exportObject();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "BlueZ: the pairing agent cannot be exported: %s\n", e.what());
      return;
    }
    bus_->addListener(weak_from_this());
    adapterChanged();
  }

  // A bluetoothd that appears (again) has no agent of ours yet.
  void adapterChanged() override {
    bool present = bus_->adapterState() != CBManagerState::unsupported;
    {
      std::lock_guard lock(mutex_);
      if (present == present_) return;
      present_ = present;
    }
    if (present) registerAgent();
  }

 private:
  void exportObject() {
    object_ = sdbus::createObject(*bus_->connection(), kAgentPath);
    // Just Works and numeric comparison are accepted: nobody is there to compare.
    object_->registerMethod("RequestAuthorization")
        .onInterface(kAgent)
        .implementedAs([](const sdbus::ObjectPath& device) { accepted(device); });
    object_->registerMethod("RequestConfirmation")
        .onInterface(kAgent)
        .implementedAs([](const sdbus::ObjectPath& device, uint32_t) { accepted(device); });
    // A PIN or passkey would have to be typed in, and profiles of classic links are not ours.
    object_->registerMethod("RequestPinCode")
        .onInterface(kAgent)
        .implementedAs([](const sdbus::ObjectPath&) -> std::string { throw rejected(); });
    object_->registerMethod("RequestPasskey")
        .onInterface(kAgent)
        .implementedAs([](const sdbus::ObjectPath&) -> uint32_t { throw rejected(); });
    object_->registerMethod("AuthorizeService")
        .onInterface(kAgent)
        .implementedAs([](const sdbus::ObjectPath&, const std::string&) { throw rejected(); });
    object_->registerMethod("DisplayPinCode")
        .onInterface(kAgent)
        .implementedAs([](const sdbus::ObjectPath&, const std::string&) {});
    object_->registerMethod("DisplayPasskey")
        .onInterface(kAgent)
        .implementedAs([](const sdbus::ObjectPath&, uint32_t, uint16_t) {});
    object_->registerMethod("Cancel").onInterface(kAgent).implementedAs([] {});
    object_->registerMethod("Release").onInterface(kAgent).implementedAs([] {});
    object_->finishRegistration();
  }

  static void accepted(const sdbus::ObjectPath& device) {
    std::fprintf(stderr, "BlueZ: pairing with %s accepted (Just Works)\n", device.c_str());
  }

  static sdbus::Error rejected() {
    return sdbus::Error("org.bluez.Error.Rejected", "Rejected by the Velnor helper");
  }

  void registerAgent() {
    std::weak_ptr<Agent> weak = weak_from_this();
    bus_->call(
        "/org/bluez", kAgentManager, "RegisterAgent", kControlTimeout,
        [weak](sdbus::MethodReply&, const sdbus::Error* error) {
          auto self = weak.lock();
          if (!self) return;
          // Already registered: bluetoothd still has ours from before.
          if (error && error->getName() != "org.bluez.Error.AlreadyExists") {
            return report("RegisterAgent", *error);
          }
          self->requestDefault();
        },
        sdbus::ObjectPath(kAgentPath), std::string(kCapability));
  }

  void requestDefault() {
    bus_->call(
        "/org/bluez", kAgentManager, "RequestDefaultAgent", kControlTimeout,
        [](sdbus::MethodReply&, const sdbus::Error* error) {
          if (error) report("RequestDefaultAgent", *error);
        },
        sdbus::ObjectPath(kAgentPath));
  }

  static void report(const char* call, const sdbus::Error& error) {
    std::fprintf(stderr, "BlueZ: %s failed: %s\n", call, error.what());
  }

  const std::shared_ptr<Bus> bus_;
  std::unique_ptr<sdbus::IObject> object_;
  std::mutex mutex_;
  bool present_ = false;
};

}  // namespace

std::shared_ptr<void> startAgent(const std::shared_ptr<Bus>& bus) {
  auto agent = std::make_shared<Agent>(bus);
  agent->start();
  return agent;
}

}  // namespace bluez
