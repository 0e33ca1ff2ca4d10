#include "central/discovery.h"

#include <gtest/gtest.h>

#include "tests/fake_central.h"

namespace {

std::string domText(const std::vector<Discovery>& list) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& d : list) array.push_back(DiscoveryJSON(d));
  return array.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string writerText(const std::vector<Discovery>& list) {
  DiscoveryListWriter writer;
  for (const auto& d : list) writer.add(d);
  return std::move(writer).finish();
}

Discovery discovery(const std::string& id, std::optional<std::string> name) {
  Discovery d;
  d.peripheral = std::make_shared<FakePeripheral>(id, std::nullopt);
  d.RSSI = -60;
  d.timestamp = std::chrono::system_clock::now();
  d.name = std::move(name);
  d.connectable = true;
  d.serviceData.emplace();
  return d;
}

// The list answer is written without the JSON library's objects; it must read the same.
TEST(DiscoveryListWriter, WritesWhatTheJSONObjectsWouldWrite) {
  EXPECT_EQ(writerText({}), "[]");

  Discovery full = discovery("A0000000-0000-0000-0000-000000000001", "Pulse H1");
  full.vendorID = 76;
  full.serviceUUIDs = std::vector<std::string>{"180D", "6E400001-B5A3-F393-E0A9-E50E24DCCA9E"};
  full.serviceData = std::map<std::string, std::string>{{"180F", "5a"}, {"180D", "01ab"}};
  Discovery sparse = discovery("A0000000-0000-0000-0000-000000000002", std::nullopt);
  sparse.connectable = false;
  sparse.RSSI = -60.5F;
  sparse.serviceUUIDs = std::vector<std::string>{};
  Discovery escaped = discovery("A0000000-0000-0000-0000-000000000003",
                                std::string("q\"b\\s/\b\f\n\r\t\x01\x1f\x7f"));
  Discovery accented =
      discovery("A0000000-0000-0000-0000-000000000004", "Caf\xC3\xA9 \xE2\x9D\xA4");
  Discovery broken =
      discovery("A0000000-0000-0000-0000-000000000005", "bad \xC3 \xFF end \xE2\x9D");

  std::vector<Discovery> list = {full, sparse, escaped, accented, broken};
  for (const auto& d : list) {
    SCOPED_TRACE(d.peripheral->identifier());
    EXPECT_EQ(writerText({d}), domText({d}));
  }
  EXPECT_EQ(writerText(list), domText(list));
}

}  // namespace
