// PeerClient: delivery of broadcasts to the host, ordered through the
// frame store. Inner nodes of the tree log every non-immediate broadcast
// that passes them and deliver in log order; leaves pull their parent's
// log with the index of their own packets and receive bundles, and a
// parent paces its answers to each leaf.

#include <enet/enet.h>

#include <algorithm>
#include <cstring>

#include "tessel/overlay/peer_client.h"

namespace zintar {

int PeerClient::peekPacket(bool reliable) {
  if (!ordered) return 0;
  PeerPacket packet(PeerPacket::Peek, isSyncTime());
  return castPacket(packet, reliable, false);
}

void PeerClient::handlePacket(ENetEvent* event, PeerPacket* packet, size_t length, bool reliable) {
  const PeerHeader& header = packet->header();
  bool inner = hasChildren_.load(std::memory_order_relaxed);
  PeerContext* from = event != nullptr ? linkOf(event->peer) : nullptr;
  if (header.type() == PeerPacket::Data) {
    if (header.immediate()) {
      packet->stampDelay(static_cast<uint32_t>(getFrameId()));
      reportMessage(*packet);
      return;
    }
    if (event == nullptr) {
      // A leaf's own packet comes back to it from its parent.
      if (inner) {
        storePacket(packet, size_t(packet->size(true)), false);
        fetchPacket(0, true, nullptr, reliable);
      }
      return;
    }
    if (inner) {
      storePacket(packet, length, false);
      if (from != nullptr && !from->hasChild()) answerPull(header, from, event, reliable);
      return;
    }
    if (header.sequenced()) {
      // The packet carries its position in the parent's log. Only a
      // position past the newest one handed over counts: a leaf may skip
      // packets but never repeats or reorders them.
      uint32_t position = header.index();
      if (static_cast<int32_t>(position - nextSequenced.load(std::memory_order_relaxed)) >= 0) {
        nextSequenced.store(position + 1, std::memory_order_relaxed);
        fetchPacket(packet);
      }
      return;
    }
    storePacket(packet, length, true);
    fetchPacket(0, true, nullptr, reliable);
    return;
  }
  if (header.type() == PeerPacket::Peek) {
    if (header.immediate() || !inner) return;
    if (event == nullptr) {
      fetchPacket(0, true, nullptr, reliable);
    } else if (from != nullptr && !from->hasChild()) {
      answerPull(header, from, event, reliable);
    }
  }
}

int PeerClient::storePacket(const PeerPacket* packets, size_t length, bool addLinkDelay) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(packets);
  bool inner = hasChildren_.load(std::memory_order_relaxed);
  frameStore.lock();
  size_t offset = 0;
  PeerPacket packet;
  while (offset < length) {
    int size = PeerPacket::fromWire(bytes + offset, length - offset, packet);
    if (size <= 0) break;
    if (inner || readIndex.load(std::memory_order_relaxed) <= packet.header().index()) {
      int32_t parent = parentSlotId.load(std::memory_order_relaxed);
      if (addLinkDelay && parent >= 0 && parent < MaxSlots && packet.header().hasFrame()) {
        int16_t linkDelay = static_cast<int16_t>(contexts[parent].getPing());
        if (linkDelay < PeerPacket::MinDelay) linkDelay = PeerPacket::MinDelay;
        if (linkDelay > PeerPacket::MaxDelay) linkDelay = PeerPacket::MaxDelay;
        packet.setPing(static_cast<uint16_t>(packet.getPing() + linkDelay));
      }
      frameStore.put(reinterpret_cast<char*>(&packet), size);
    }
    offset += size_t(size);
  }
  frameStore.unlock();
  return 0;
}

int PeerClient::fetchPacket(uint32_t position, bool deliver, ENetEvent* event, bool reliable) {
  PeerContext* answerLink = event != nullptr ? linkOf(event->peer) : nullptr;
  if (answerLink != nullptr && !answerLink->pullStart(position, reliable, enet_time_get())) return 0;
  // Bundles never exceed 1491 bytes, built in one buffer on the stack.
  PeerPacket bundle;
  auto* bundleBytes = reinterpret_cast<uint8_t*>(&bundle);
  size_t bundleLength = 0;
  int64_t last = -1;
  frameStore.lock();
  // Delivery always continues where it stopped; read that under the lock.
  if (deliver) position = deliverIndex;
  for (;;) {
    char* stored = frameStore.get(position);
    if (stored == nullptr) break;
    auto* packet = reinterpret_cast<PeerPacket*>(stored);
    PeerHeader& header = packet->header();
    last = int64_t(header.index()) + 1;
    header.setIndex(position - 1);
    if (deliver) reportMessage(*packet);
    if (answerLink != nullptr) {
      size_t size = size_t(packet->size(true));
      if (bundleLength + size >= size_t(PeerPacket::MaxPacketSize)) {
        answerLink->sendPacket(&bundle, reliable, static_cast<unsigned>(bundleLength));
        bundleLength = 0;
      }
      std::memcpy(bundleBytes + bundleLength, stored, size);
      bundleLength += size;
    }
  }
  if (answerLink != nullptr) {
    if (bundleLength > 0) answerLink->sendPacket(&bundle, reliable, static_cast<unsigned>(bundleLength));
    answerLink->pullAnswered(position);
  }
  if (deliver) deliverIndex = position;
  if (last != -1) readIndex.store(static_cast<uint32_t>(last), std::memory_order_relaxed);
  frameStore.unlock();
  return 0;
}

void PeerClient::answerPull(const PeerHeader& pull, PeerContext* link, ENetEvent* event, bool reliable) {
  if (pull.sequenced())
    answerSequenced(pull.index(), link, reliable);
  else
    fetchPacket(pull.index(), false, event, reliable);
}

void PeerClient::answerSequenced(uint32_t position, PeerContext* link, bool reliable) {
  frameStore.lock();
  // Pulls come every frame, faster than answers travel: each packet
  // crosses the link once, and a leaf that lost one skips it.
  position = link->unsentFrom(position);
  for (;;) {
    char* stored = frameStore.get(position);
    if (stored == nullptr) break;
    auto* packet = reinterpret_cast<PeerPacket*>(stored);
    packet->header().setIndex(position - 1);
    link->sendPacket(packet, reliable, 0);
  }
  link->pullAnswered(position);
  frameStore.unlock();
}

int PeerClient::fetchPacket(PeerPacket* packet) {
  reportMessage(*packet);
  return 0;
}

bool PeerContext::pullStart(uint32_t& position, bool reliable, uint32_t nowMs) {
  ENetPeer* connection = getENetPeer();
  // Positions count up from the store's start; the difference orders them.
  bool repeats = pullAnswered_ && static_cast<int32_t>(pullEnd - position) > 0;
  // ENet's queues are only looked at on a connected peer; an answer to
  // any other is dropped by ENet anyway.
  if (repeats && connection != nullptr && connection->state == ENET_PEER_STATE_CONNECTED) {
    if (pullReliable && reliable) {
      position = pullEnd;
      return true;
    }
    uint32_t sinceFull = nowMs - pullResentAt;
    if (sinceFull < std::max(PullResendMs, 2 * connection->roundTripTime)) return false;
    bool backlogged = !enet_list_empty(&connection->outgoingCommands);
    if (backlogged && sinceFull < std::max(PullBacklogLimitMs, 2 * connection->roundTripTime)) return false;
  }
  pullResentAt = nowMs;
  pullReliable = reliable;
  return true;
}

}  // namespace zintar
