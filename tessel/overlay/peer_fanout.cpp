#include "tessel/overlay/peer_fanout.h"

#include <enet/enet.h>

#include <cassert>
#include <cstring>

namespace zintar {

PeerFanout::PeerFanout(PeerClient& client, const ENetEvent* event)
    : owner(client), received(event), shared(nullptr), sharedSends(0), count(0) {}

PeerFanout::~PeerFanout() { flush(); }

ENetPacket* PeerFanout::share(const void* bytes, size_t length, uint32_t flags) {
  if (shared != nullptr) {
    assert(shared->dataLength == length);
    return shared;
  }
  shared = PeerClient::takeReceived(received, length, flags);
  if (shared != nullptr) {
    // The packet goes on as this member forwards it: a relay rewrites a
    // few header fields, never the length.
    std::memcpy(shared->data, bytes, length);
  } else {
    // Room to seal in place, should it end up with one keyed link alone.
    shared = PeerClient::sealablePacket(bytes, length, flags);
  }
  return shared;
}

void PeerFanout::add(ENetPeer* peer, uint8_t channel, ENetPacket* packet, bool isShared) {
  if (packet == nullptr) return;
  if (count >= PeerClient::MaxSlots) {
    assert(false && "more sends than slots in one fan-out");
    if (!isShared) enet_packet_destroy(packet);
    return;
  }
  PeerClient::ENetSendPacket& command = commands[count++];
  command = PeerClient::ENetSendPacket();
  command.command = isShared ? PeerClient::CmdSendShared : PeerClient::CmdSend;
  command.peer = peer;
  command.channel = channel;
  command.packet = packet;
  if (isShared) ++sharedSends;
}

void PeerFanout::flush() {
  if (shared != nullptr) {
    if (sharedSends == 1) {
      // A packet for one link alone is that send's own, as any other.
      for (int i = 0; i < count; ++i)
        if (commands[i].packet == shared) commands[i].command = PeerClient::CmdSend;
    } else {
      // Freed by the drain when no link took it; sharedSends is never 0
      // here, as every share is followed by its add.
      PeerClient::ENetSendPacket& release = commands[count++];
      release = PeerClient::ENetSendPacket();
      release.command = PeerClient::CmdRelease;
      release.packet = shared;
    }
  }
  owner.queueCommands(commands, count);
  shared = nullptr;
  sharedSends = 0;
  count = 0;
}

}  // namespace zintar
