// PeerClient: the links and who may use them. A child opens its link to
// its parent and registers on it; a parent adopts a Register only for one
// of its children. A connection that no link claims (a child that has not
// registered yet, a peer ping test, a clock synchronisation) may only
// register, test or synchronise, and is cut when it stays silent. Lost
// links are announced to the room.

#include <enet/enet.h>

#include <cstring>

#include "tessel/overlay/peer_client.h"
#include "tessel/records/error_code.h"

namespace zintar {

void PeerClient::close(int32_t slot) {
  if (slot < 0 || slot >= MaxSlots) return;
  for (auto& context : contexts) {
    if (context.getNext() == slot) {
      context.setNext(contexts[slot].getNext());
      break;
    }
  }
  if (linkHead.load(std::memory_order_relaxed) == slot) {
    // The head leaves: the list continues at its successor, or is empty
    // when the slot was its only member.
    int32_t successor = contexts[slot].getNext();
    linkHead.store(successor == slot ? -1 : successor, std::memory_order_relaxed);
  }
  treeParent[slot].store(-1, std::memory_order_relaxed);
  PacketDef::PeerProperty lost;
  if (contexts[slot].reinit(&lost)) sendDisconnect(lost);
}

PeerContext* PeerClient::linkOf(ENetPeer* peer) const {
  if (peer == nullptr) return nullptr;
  auto* context = static_cast<PeerContext*>(peer->data);
  // A link counts only while it still owns this ENet peer: a reset queued
  // by another thread may not have run yet.
  if (context == nullptr || context->getENetPeer() != peer) return nullptr;
  return context;
}

bool PeerClient::admitted(ENetEvent* event, const uint8_t* bytes, size_t length) {
  if (event == nullptr || event->peer == nullptr || linkOf(event->peer) != nullptr) return true;
  // A connection that no link claims is a child that has not registered
  // yet, a peer ping test or a clock synchronisation: nothing else may come
  // from it, or a stranger could speak for the room's members.
  if (length > 0) {
    uint32_t type = bytes[0] & 0x3Fu;
    if (type == PeerPacket::PingTest || type == PeerPacket::TimeSync)
      noteStranger(event->peer);
    if (type == PeerPacket::Register || type == PeerPacket::PingTest || type == PeerPacket::TimeSync) return true;
  }
  event->peer->data = nullptr;
  enet_peer_disconnect_now(event->peer, 0);
  return false;
}

void PeerClient::replyDirectly(ENetPeer* peer, const PeerPacket& reply) {
  ENetPacket* outgoing = sealablePacket(&reply, size_t(reply.size(true)), 0);
  if (outgoing != nullptr) sendOn(peer, 0, outgoing);
}

void PeerClient::noteStranger(const ENetPeer* peer) {
  // Only a peer of this client's own host has a place in the table (a test
  // or a fuzzer may hand the receive path an ENet peer of its own).
  int32_t index = peerIndex(peer);
  if (index >= 0 && size_t(index) < strangerSeen.size()) strangerSeen[size_t(index)] = host->serviceTime | 1u;
}

void PeerClient::cutIdleStrangers() {
  // The host's time of its last service is precise enough here and costs
  // no clock read on the pass of every packet; a tenth of the idle limit
  // between sweeps keeps the walk over the host's peers out of most passes.
  uint32_t now = host->serviceTime;
  if (now - lastIdleSweep < StrangerIdleMs / 10) return;
  lastIdleSweep = now;
  for (size_t i = 0; i < host->peerCount; ++i) {
    ENetPeer* peer = &host->peers[i];
    uint32_t& seen = strangerSeen[i];
    if (peer->state == ENET_PEER_STATE_DISCONNECTED || peer->data != nullptr) {
      seen = 0;
      continue;
    }
    // A connection half way through ENet's handshake counts from the
    // sweep that first sees it (0 marks a place not yet seen). The age is
    // signed: a stamp of this very millisecond, made odd, is a little
    // ahead of now, not four billion milliseconds behind.
    if (seen == 0) {
      seen = now | 1u;
    } else if (static_cast<int32_t>(now - seen) >= static_cast<int32_t>(StrangerIdleMs)) {
      enet_peer_disconnect_now(peer, 0);
      seen = 0;
    }
  }
}

void PeerClient::sendRegistration(ENetPeer* peer) {
  PeerContext* link = linkOf(peer);
  if (link == nullptr) return;
  const PacketDef::RoomId room = ownRoom();
  const int32_t payload[2] = {getMyPeerId(), static_cast<int32_t>(room.word)};
  PeerPacket reg = PeerPacket::control(PeerPacket::Register, isSyncTime(), room.slot(), room.slot(), payload, 8);
  link->sendPacket(&reg, true, 0);
  goEvent.set();
}

void PeerClient::handleRegister(ENetEvent& event, const PeerPacket* packet) {
  int32_t slot = static_cast<int32_t>(packet->header().srcSlot());
  int32_t claimed = -1;
  if (packet->header().dataSize() >= 4) std::memcpy(&claimed, packet->data(), sizeof(claimed));
  PeerContext& link = contexts[slot];
  ENetPeer* replaced = nullptr;
  if (isChildSlot(slot) && link.adopt(event.peer, claimed, &replaced)) {
    if (replaced != nullptr) {
      // The member came back on a new connection; the old one is dead.
      replaced->data = nullptr;
      enet_peer_disconnect_now(replaced, 0);
    }
    link.setThrottle();
    return;
  }
  // A member's working link never ends over another's Register: a repeat
  // that does not match on a link is ignored, and only a connection that
  // no link claims is cut, so that it does not keep one of the host's
  // peer places.
  if (linkOf(event.peer) != nullptr) return;
  event.peer->data = nullptr;
  enet_peer_disconnect_now(event.peer, 0);
}

int PeerClient::connectPeers(int timeoutMs) {
  int32_t parent = parentSlotId.load(std::memory_order_relaxed);
  if (parent < 0 || parent >= MaxSlots) return 0;
  parentRefused.store(false, std::memory_order_relaxed);
  connectPeer(&contexts[parent]);
  if (goEvent.timeoutWait(static_cast<unsigned int>(timeoutMs < 0 ? 0 : timeoutMs)) == KivEvent::WaitSignaled &&
      !parentRefused.load(std::memory_order_relaxed))
    return 0;
  reportError(ErrorCode::Timeout);
  return -1;
}

void PeerClient::sendDisconnect(const PacketDef::PeerProperty& property) {
  PeerPacket packet(PeerPacket::Disconnect, isSyncTime());
  packet.header().setDataSize(sizeof(property));
  std::memcpy(packet.data(), &property, sizeof(property));
  castPacket(packet, true, true);
}

void PeerClient::handleDisconnect(PeerPacket* packet, bool reliable) {
  deliverPacket(packet, reliable);
  reportDisconnect(*packet);
}

int PeerClient::handleError(PeerPacket* packet) {
  if (packet->header().dataSize() < 4 || callbacks.gotError == nullptr) return 0;
  uint32_t code;
  std::memcpy(&code, packet->data(), sizeof(code));
  callbacks.gotError(callbacks.context, originatorId(*packet), code);
  return 0;
}

}  // namespace zintar
