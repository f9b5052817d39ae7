// PeerClient: the in-overlay ping to the root and the answer to a peer's
// ping test.

#include <enet/enet.h>

#include <cstring>

#include "tessel/overlay/peer_client.h"
#include "tessel/toolkit/kiv_clock.h"

namespace zintar {

int PeerClient::sendPing() {
  int32_t root = rootSlotId.load(std::memory_order_relaxed);
  if (root < 0 || root >= MaxSlots) return 0;
  int32_t hop = route[root].load(std::memory_order_relaxed);
  if (hop < 0 || hop >= MaxSlots) return -1;
  int32_t own = ownSlot();
  if (hop == own) return 0;
  uint32_t ticks = KivClock::getTickCount();
  PeerPacket packet = PeerPacket::control(PeerPacket::Ping, isSyncTime(), uint32_t(own), uint32_t(root), &ticks, 4,
                                          static_cast<uint32_t>(getFrameId()), PeerPacket::MinDelay);
  contexts[hop].sendPacket(&packet, false, 0);
  return 0;
}

void PeerClient::handlePing(PeerPacket* packet, bool reliable) {
  int32_t hop = route[packet->header().dstSlot()].load(std::memory_order_relaxed);
  if (hop < 0 || hop >= MaxSlots) return;
  if (hop == ownSlot()) {
    sendPong(static_cast<int32_t>(packet->header().srcSlot()), packet);
    return;
  }
  contexts[hop].sendPacket(packet, reliable, 0);
}

int PeerClient::sendPong(int32_t slot, PeerPacket* packet) {
  if (slot < 0 || slot >= MaxSlots) return -1;
  int32_t hop = route[slot].load(std::memory_order_relaxed);
  if (hop < 0 || hop >= MaxSlots) return -1;
  bool sync = isSyncTime();
  if (!packet->makePong(sync, static_cast<uint32_t>(ownSlot()), sync ? static_cast<uint32_t>(getFrameId()) : 0))
    return -1;
  packet->header().setDstSlot(static_cast<uint32_t>(slot));
  contexts[hop].sendPacket(packet, false, 0);
  return 0;
}

void PeerClient::handlePong(PeerPacket* packet, bool reliable) {
  int32_t hop = route[packet->header().dstSlot()].load(std::memory_order_relaxed);
  if (hop < 0 || hop >= MaxSlots) return;
  if (hop != ownSlot()) {
    contexts[hop].sendPacket(packet, reliable, 0);
    return;
  }
  if (packet->header().dataSize() < 2 || callbacks.gotPingPong == nullptr) return;
  uint16_t sent;
  std::memcpy(&sent, packet->data(), sizeof(sent));
  // Only the low 16 bits take part, so the result is right across any
  // wrap of the tick count.
  auto roundTrip = static_cast<uint16_t>(static_cast<uint16_t>(KivClock::getTickCount()) - sent);
  callbacks.gotPingPong(callbacks.context, originatorId(*packet), static_cast<int16_t>(roundTrip));
}

void PeerClient::handlePingTest(ENetEvent* event, const PeerPacket* packet) {
  if (event == nullptr || event->peer == nullptr || packet->header().dataSize() < 4) return;
  // The tester's tick count, echoed, and the room (without the slot).
  PacketDef::RoomId room = ownRoom();
  room.setSlot(0);
  uint32_t payload[2] = {0, room.word};
  std::memcpy(&payload[0], packet->data(), 4);
  auto own = static_cast<uint32_t>(ownSlot());
  PeerPacket reply = PeerPacket::control(PeerPacket::PingTestReply, isSyncTime(), own, own, payload, 8);
  replyDirectly(event->peer, reply);
}

}  // namespace zintar
