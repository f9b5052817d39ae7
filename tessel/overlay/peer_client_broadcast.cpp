// PeerClient: the broadcast path. A broadcast leaves its originator to
// every neighbour (ordered ones only to neighbours with children), each
// member relays it to its other neighbours, and every member then hands it
// to its receive path (ordered delivery decides when it reaches the host).

#include <enet/enet.h>

#include <cstring>

#include "tessel/overlay/peer_client.h"
#include "tessel/overlay/peer_fanout.h"

namespace zintar {

namespace {

constexpr auto inRange = PacketDef::RoomId::isSlot;

}  // namespace

int PeerClient::castPacket(const char* data, int size, bool reliable, bool immediate) {
  if (static_cast<unsigned>(size) > static_cast<unsigned>(PeerPacket::MaxDataSize)) return -1;
  if (size > 0 && data == nullptr) return -1;
  PeerPacket packet(PeerPacket::Data, isSyncTime());
  packet.header().setDataSize(static_cast<uint32_t>(size));
  if (size > 0) std::memcpy(packet.data(), data, size_t(size));
  // A frame store slot holds orderedDataLimit bytes after the header, and
  // the packet's FrameInfo takes 6 of them: a packet that would not fit
  // goes immediate instead of being lost at every store.
  int stored = size + (packet.header().hasFrame() ? PeerPacket::FrameInfoSize : 0);
  if (!oneOrder && stored > orderedDataLimit.load(std::memory_order_relaxed)) immediate = true;
  return castPacket(packet, reliable, immediate);
}

int PeerClient::castPacket(PeerPacket& packet, bool reliable, bool immediate) {
  if (oneOrder && !immediate && packet.header().type() == PeerPacket::Data) return castOneOrder(packet);
  int32_t own = ownSlot();
  if (!inRange(own)) own = 0;
  PeerHeader& header = packet.header();
  header.setSrcSlot(static_cast<uint32_t>(own));
  header.setDstSlot(static_cast<uint32_t>(own));
  bool sendImmediate = !ordered || immediate;
  header.setImmediate(sendImmediate);
  header.setSequenced(sequenced);
  packet.setFrameId(isSyncTime() ? static_cast<uint32_t>(getFrameId()) : 0);
  if (!ordered) {
    header.setIndex(0);
  } else if (sequenced) {
    // A sequenced leaf's packets are its pulls: they ask its parent for the
    // log from the position it needs next.
    uint32_t counter = static_cast<uint32_t>(sendCounter.fetch_add(1, std::memory_order_relaxed) + 1);
    header.setIndex(hasChildren_.load(std::memory_order_relaxed) ? counter
                                                                  : nextSequenced.load(std::memory_order_relaxed));
  } else {
    frameStore.lock();
    header.setIndex(readIndex.load(std::memory_order_relaxed));
    frameStore.unlock();
  }
  packet.setPing(PeerPacket::MinDelay);
  int32_t head = linkHead.load(std::memory_order_acquire);
  if (inRange(head)) {
    PeerFanout fanout(*this);
    int32_t slot = head;
    for (int steps = 0; steps < MaxSlots && inRange(slot); ++steps) {
      if (sendImmediate || contexts[slot].hasChild()) contexts[slot].sendPacket(&packet, reliable, 0, &fanout);
      slot = contexts[slot].getNext();
      if (slot == head) break;
    }
    // Out before the own delivery below.
    fanout.flush();
  }
  if (header.type() == PeerPacket::Disconnect) {
    // The own announcement of a lost link reaches the own engine at once.
    reportDisconnect(packet);
    return 0;
  }
  handlePacket(nullptr, &packet, size_t(packet.size(true)), reliable);
  return 0;
}

// Relays a broadcast that arrived from neighbour dstSlot to every other
// neighbour; delivery to the host is handlePacket's.
int PeerClient::deliverPacket(PeerPacket* packet, bool reliable, const ENetEvent* event) {
  PeerHeader& header = packet->header();
  int32_t last = static_cast<int32_t>(header.dstSlot());
  if (!inRange(last)) return 0;
  int32_t next = contexts[last].getNext();
  header.setDstSlot(static_cast<uint32_t>(ownSlot()));
  if (hasChildren_.load(std::memory_order_relaxed) && header.hasFrame())
    packet->stampDelay(static_cast<uint32_t>(getFrameId()));
  bool immediate = header.immediate();
  PeerFanout fanout(*this, event);
  for (int steps = 0; steps < MaxSlots && inRange(next) && next != last; ++steps) {
    if (immediate || contexts[next].hasChild()) contexts[next].sendPacket(packet, reliable, 0, &fanout);
    next = contexts[next].getNext();
  }
  return 0;
}

void PeerClient::handleData(ENetEvent* event, PeerPacket* packet, size_t length, bool reliable) {
  if (oneOrder && !packet->header().immediate()) {
    // Nobody pulls in mode 7: a Peek is from another mode's member.
    if (packet->header().type() == PeerPacket::Data) handleOneOrder(event, packet);
    return;
  }
  if (packet->header().type() == PeerPacket::Data) deliverPacket(packet, reliable, event);
  handlePacket(event, packet, length, reliable);
}

}  // namespace zintar
