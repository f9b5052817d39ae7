// PeerClient: one order everywhere (mode 7). An ordered broadcast travels
// up the tree to the root, hop by hop and reliably; relays pass it on and do
// not deliver it. The root gives it the next position of its log, keeps it
// in the frame store and sends it down the whole tree, reliably, carrying
// that position in its index; every member, the root and the originator
// included, delivers it as it arrives. ENet keeps each link's reliable
// packets in order, and the root sends down under one lock, so every
// member sees the root's log order. Which way a packet goes follows from
// the link it came over: from a child it is on its way up, from the parent
// on its way down.

#include <enet/enet.h>

#include "tessel/overlay/peer_client.h"
#include "tessel/overlay/peer_fanout.h"

namespace zintar {

namespace {

constexpr auto inRange = PacketDef::RoomId::isSlot;

}  // namespace

int PeerClient::castOneOrder(PeerPacket& packet) {
  int32_t own = ownSlot();
  if (!inRange(own)) own = 0;
  PeerHeader& header = packet.header();
  header.setSrcSlot(static_cast<uint32_t>(own));
  header.setDstSlot(static_cast<uint32_t>(own));
  header.setImmediate(false);
  header.setSequenced(false);
  header.setIndex(0);
  packet.setFrameId(isSyncTime() ? static_cast<uint32_t>(getFrameId()) : 0);
  packet.setPing(PeerPacket::MinDelay);
  int32_t parent = parentSlotId.load(std::memory_order_relaxed);
  if (inRange(parent)) {
    contexts[parent].sendPacket(&packet, true, 0);
  } else if (rootSlotId.load(std::memory_order_relaxed) == own) {
    appendToLog(&packet);
  }
  return 0;
}

void PeerClient::handleOneOrder(ENetEvent* event, PeerPacket* packet) {
  PeerContext* from = event != nullptr ? linkOf(event->peer) : nullptr;
  if (from == nullptr) return;
  auto fromSlot = static_cast<int32_t>(from - contexts);
  int32_t parent = parentSlotId.load(std::memory_order_relaxed);
  if (fromSlot == parent) {
    uint32_t position = packet->header().index();
    // A copy of what was delivered already (a link that came up again).
    if (downStarted && static_cast<int32_t>(position - downNext) < 0) return;
    downStarted = true;
    downNext = position + 1;
    sendDown(packet, event);
    packet->stampDelay(static_cast<uint32_t>(getFrameId()));
    reportMessage(*packet);
    return;
  }
  packet->header().setDstSlot(static_cast<uint32_t>(ownSlot()));
  if (inRange(parent)) {
    PeerFanout fanout(*this, event);
    contexts[parent].sendPacket(packet, true, 0, &fanout);
  } else if (rootSlotId.load(std::memory_order_relaxed) == ownSlot()) {
    appendToLog(packet, event);
  }
}

void PeerClient::appendToLog(PeerPacket* packet, const ENetEvent* event) {
  frameStore.lock();
  packet->header().setIndex(logNext++);
  // The log is kept for what may need it later; delivery does not wait for
  // it, so a packet larger than the store's slots still goes everywhere.
  if (packet->size(true) <= frameStore.getMaxDataSize())
    frameStore.put(reinterpret_cast<const char*>(packet), packet->size(true));
  sendDown(packet, event);
  packet->stampDelay(static_cast<uint32_t>(getFrameId()));
  reportMessage(*packet);
  frameStore.unlock();
}

void PeerClient::sendDown(PeerPacket* packet, const ENetEvent* event) {
  int32_t own = ownSlot();
  int32_t parent = parentSlotId.load(std::memory_order_relaxed);
  packet->header().setDstSlot(static_cast<uint32_t>(own));
  int32_t head = linkHead.load(std::memory_order_acquire);
  if (!inRange(head)) return;
  PeerFanout fanout(*this, event);
  int32_t slot = head;
  for (int steps = 0; steps < MaxSlots && inRange(slot); ++steps) {
    if (slot != parent) contexts[slot].sendPacket(packet, true, 0, &fanout);
    slot = contexts[slot].getNext();
    if (slot == head) break;
  }
}

}  // namespace zintar
