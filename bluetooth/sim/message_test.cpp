#include "bluetooth/sim/message.h"

#include <gtest/gtest.h>

#include <set>

namespace sim {
namespace {

Message fullMessage() {
  Message m;
  m.type = MessageType::advertisement;
  m.src = randomNodeId();
  m.dst = randomNodeId();
  m.request = 0x01020304;
  m.handle = 77;
  m.code = 13;
  m.flag = true;
  m.rssi = -87;
  m.mtu = 185;
  m.value = {1, 2, 3};
  auto a = std::make_shared<Advertisement>();
  a->gapName = "Belt";
  a->localName = "HR";
  a->manufacturerData = std::vector<uint8_t>{0x4C, 0};
  a->serviceUUIDs = std::vector<CBUUID>{CBUUID::from16(0x180D)};
  a->serviceData = std::map<CBUUID, std::vector<uint8_t>>{{CBUUID::from16(0x180F), {0x64}}};
  a->connectable = false;
  m.advertisement = a;
  m.services = {{5, CBUUID::from16(0x180D), true}};
  m.characteristics = {{6, CBUUID::from16(0x2A37), 0x12}};
  return m;
}

TEST(MessageTest, EveryFieldSurvivesTheWire) {
  Message m = fullMessage();
  std::vector<uint8_t> wire;
  encodeMessage(m, wire);
  encodeMessage(m, wire);
  size_t pos = 0;
  for (int i = 0; i < 2; ++i) {
    auto d = decodeMessage(wire.data(), wire.size(), pos);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->src, m.src);
    EXPECT_EQ(d->dst, m.dst);
    EXPECT_EQ(d->request, m.request);
    EXPECT_EQ(d->handle, 77u);
    EXPECT_EQ(d->code, 13);
    EXPECT_TRUE(d->flag);
    EXPECT_EQ(d->rssi, -87);
    EXPECT_EQ(d->mtu, 185);
    EXPECT_EQ(d->value, m.value);
    EXPECT_EQ(d->advertisement->gapName, "Belt");
    EXPECT_EQ(d->advertisement->localName, "HR");
    EXPECT_EQ(d->advertisement->manufacturerData, m.advertisement->manufacturerData);
    EXPECT_EQ(d->advertisement->serviceUUIDs, m.advertisement->serviceUUIDs);
    EXPECT_EQ(d->advertisement->serviceData, m.advertisement->serviceData);
    EXPECT_FALSE(d->advertisement->connectable);
    ASSERT_EQ(d->services.size(), 1u);
    EXPECT_EQ(d->services[0].uuid, CBUUID::from16(0x180D));
    ASSERT_EQ(d->characteristics.size(), 1u);
    EXPECT_EQ(d->characteristics[0].properties, 0x12u);
  }
  EXPECT_EQ(pos, wire.size());
}

TEST(MessageTest, TruncatedOrCorruptBytesAreRefused) {
  std::vector<uint8_t> wire;
  encodeMessage(fullMessage(), wire);
  for (size_t cut = 0; cut < wire.size(); ++cut) {
    size_t pos = 0;
    EXPECT_FALSE(decodeMessage(wire.data(), cut, pos)) << cut;
  }
  // A huge count must not make the decoder allocate or read past the end.
  std::vector<uint8_t> bad = wire;
  size_t countAt = wire.size() - (4 + 24) - (4 + 21);
  bad[countAt] = 0xFF;
  bad[countAt + 1] = 0xFF;
  bad[countAt + 2] = 0xFF;
  bad[countAt + 3] = 0x7F;
  size_t pos = 0;
  EXPECT_FALSE(decodeMessage(bad.data(), bad.size(), pos));
  // Unknown types, and the air's own link-loss notes, never come off the wire.
  for (uint8_t type : {uint8_t{0}, uint8_t{17}, uint8_t{200}}) {
    bad = wire;
    bad[0] = type;
    pos = 0;
    EXPECT_FALSE(decodeMessage(bad.data(), bad.size(), pos)) << int(type);
  }
}

TEST(MessageTest, NodeIdText) {
  NodeId id = randomNodeId();
  std::string text = nodeIdText(id);
  EXPECT_EQ(text.size(), 36u);
  EXPECT_EQ(text[14], '4');
  EXPECT_EQ(parseNodeId(text), id);
  EXPECT_FALSE(parseNodeId("180D"));
}

TEST(MessageTest, IdsThatDifferOnlyAtTheEndHashApart) {
  // Device files number their ids in the last digits; a hash of the first bytes collides them all.
  std::set<size_t> hashes;
  for (int i = 0; i < 1000; ++i) {
    NodeId id{};
    id[14] = static_cast<uint8_t>(i >> 8);
    id[15] = static_cast<uint8_t>(i);
    hashes.insert(NodeIdHash{}(id));
  }
  EXPECT_EQ(hashes.size(), 1000u);
}

}  // namespace
}  // namespace sim
