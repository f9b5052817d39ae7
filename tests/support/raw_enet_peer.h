// RawENetPeer: a bare ENet host that connects to an engine's overlay port
// and sends whatever bytes a test wants, as a stranger or a broken peer
// would.

#ifndef TESSEL_TESTS_SUPPORT_RAW_ENET_PEER_H_
#define TESSEL_TESTS_SUPPORT_RAW_ENET_PEER_H_

#include <enet/enet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tessel/overlay/peer_packet.h"

namespace tessel_test {

class RawENetPeer {
 public:
  // Sends from bindHost (any local address when null), so that a test can
  // stand for a machine other than the members' 127.0.0.1.
  explicit RawENetPeer(const char* bindHost = nullptr);
  ~RawENetPeer();

  // Connects to 127.0.0.1:port with the given channel count. False when no
  // connect event comes within timeoutMs.
  bool connect(int port, size_t channels = 32, int timeoutMs = 2000);
  // Sends bytes on channel, reliable or not, and flushes.
  void send(const void* bytes, size_t length, bool reliable = true, uint8_t channel = 0);
  // Services the host for up to timeoutMs; returns the payloads received,
  // and sets disconnected when the other side dropped the connection.
  std::vector<std::string> poll(int timeoutMs);
  bool disconnected() const { return disconnected_; }

 private:
  ENetHost* host_ = nullptr;
  ENetPeer* peer_ = nullptr;
  bool disconnected_ = false;
};

// The bytes a packet takes on the wire.
std::string wire(const zintar::PeerPacket& packet);
// A Data packet (with a frame record when frame is set) of size bytes of fill.
zintar::PeerPacket dataPacket(bool frame, int size, char fill);

// The bytes of the Register packet that peer id sends when it joins slot
// of room (1, 2) below its parent.
std::string registerPacket(int32_t id, uint32_t slot);

}  // namespace tessel_test

#endif  // TESSEL_TESTS_SUPPORT_RAW_ENET_PEER_H_
