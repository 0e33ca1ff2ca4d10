// What travels through the simulated air: advertisements, link control and ATT traffic between
// nodes, and the air's own control messages.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bluetooth/cb_uuid.h"

namespace sim {

// A node's identifier: 16 bytes of a random UUID.
using NodeId = std::array<uint8_t, 16>;

struct NodeIdHash {
  size_t operator()(const NodeId& id) const noexcept;
};

// A fresh random (version 4) identifier. Any thread.
NodeId randomNodeId();
// Upper-case 8-4-4-4-12 text.
std::string nodeIdText(const NodeId& id);
// Parses the 8-4-4-4-12 form in either case; none for anything else.
std::optional<NodeId> parseNodeId(const std::string& text);

enum class MessageType : uint8_t {
  advertisement = 1,
  connectRequest,  // mtu: the central's MTU
  connectAccept,   // mtu: the link's MTU
  connectReject,   // code: the link error reported to the central
  disconnect,      // code: 6 timed out, 7 peer ended the link
  discoverServices,
  services,                 // the answer: services
  discoverCharacteristics,  // handle: the service
  characteristics,          // the answer: characteristics
  read,                     // handle: the characteristic
  readResponse,             // code: ATT result, value
  write,                    // handle, value, flag: with response
  writeResponse,            // code: ATT result
  subscribe,                // handle, flag: enable
  subscribeResponse,        // code: ATT result, flag: enabled
  notification,             // handle, value
  linkLost,  // made by the air for a node whose peer vanished; never sent between processes
  power,     // flag: on; for every helper node of the receiving process
};

// The data a peripheral advertises; shared between the messages that carry it.
struct Advertisement {
  std::optional<std::string> gapName;  // the device's own name
  std::optional<std::string> localName;
  std::optional<std::vector<uint8_t>> manufacturerData;
  std::optional<std::vector<CBUUID>> serviceUUIDs;
  std::optional<std::map<CBUUID, std::vector<uint8_t>>> serviceData;
  bool connectable = true;
};

struct ServiceEntry {
  uint32_t handle = 0;
  CBUUID uuid = CBUUID::from16(0);
  bool primary = true;
};

struct CharacteristicEntry {
  uint32_t handle = 0;
  CBUUID uuid = CBUUID::from16(0);
  uint32_t properties = 0;
};

struct Message {
  MessageType type = MessageType::advertisement;
  NodeId src{};
  NodeId dst{};
  uint32_t request = 0;  // pairs an answer with its request
  uint32_t handle = 0;
  uint8_t code = 0;
  bool flag = false;
  int16_t rssi = 0;
  uint16_t mtu = 0;
  std::vector<uint8_t> value;
  std::shared_ptr<const Advertisement> advertisement;
  std::vector<ServiceEntry> services;
  std::vector<CharacteristicEntry> characteristics;
};

// Appends the wire form of `m` to `out`.
void encodeMessage(const Message& m, std::vector<uint8_t>& out);

// Decodes one message starting at `data[pos]` and advances `pos`. None when the bytes are not a
// well-formed message (then `pos` is unspecified and the rest of the buffer must be dropped).
std::optional<Message> decodeMessage(const uint8_t* data, size_t size, size_t& pos);

}  // namespace sim
