// PeerClient: the frame clock and time synchronisation with the root of the
// tree. A joining client measures its clock against the root's with
// NTP-style exchanges over a connection of its own; the root answers from
// its service thread.

#include <enet/enet.h>

#include <cstring>

#include "tessel/overlay/peer_client.h"
#include "tessel/records/error_code.h"
#include "tessel/toolkit/kiv_net_time.h"

namespace zintar {

namespace {

// Every wait of the exchange: for the connection, for each answer, and for
// each event of the closing handshake.
constexpr enet_uint32 SyncWaitMs = 1000;
// The exchange ends after this many counted answers or this many requests.
constexpr int SyncSamples = 3;
constexpr int SyncAttempts = 10;
// A request carries one time packet; an answer adds the root's room word.
constexpr uint32_t RequestSize = KivNetTime::PacketSize;
constexpr uint32_t AnswerSize = KivNetTime::PacketSize + 4;

// The room part (major and minor) of a room word; the slot takes no part.
PacketDef::RoomId roomOnly(PacketDef::RoomId room) {
  room.setSlot(0);
  return room;
}

// A TimeSync header as both sides write it; the FrameInfo carries nothing
// the receiver reads.
PeerPacket timeSyncPacket(bool sync, uint32_t slot, uint32_t dataSize) {
  const unsigned char zeros[AnswerSize] = {};
  return PeerPacket::control(PeerPacket::TimeSync, sync, slot, slot, zeros, dataSize);
}

}  // namespace

int PeerClient::syncTime() {
  int32_t own = ownSlot();
  int32_t root = rootSlotId.load(std::memory_order_relaxed);
  if (root == own) return 0;  // the root keeps its own clock
  if (root < 0 || root >= MaxSlots) {
    reportError(ErrorCode::SendReceive);
    return -1;
  }

  ENetHost* temporary = enet_host_create(nullptr, 1, 1, 0, 0);
  if (temporary == nullptr) {
    reportError(ErrorCode::CannotCreate);
    return -1;
  }
  const PacketDef::PeerProperty rootRecord = contexts[root].getPeerProperty();
  ENetAddress address;
  // The record holds a host-order number; ENet wants network order.
  address.host = ENET_HOST_TO_NET_32(rootRecord.ip);
  address.port = rootRecord.port;
  ENetPeer* peer = enet_host_connect(temporary, &address, 1, 0);
  if (peer == nullptr) {
    enet_host_destroy(temporary);
    reportError(ErrorCode::CannotCreate);
    return -1;
  }

  ENetEvent event{};
  if (enet_host_service(temporary, &event, SyncWaitMs) <= 0 || event.type != ENET_EVENT_TYPE_CONNECT) {
    if (event.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(event.packet);
    enet_peer_disconnect_now(peer, 0);
    peer->data = nullptr;
    enet_host_destroy(temporary);
    reportError(ErrorCode::SendReceive);
    return -1;
  }

  const PacketDef::RoomId room = roomOnly(ownRoom());
  const bool sync = isSyncTime();
  int64_t sum = 0;
  int samples = 0;
  for (int attempt = 0; samples < SyncSamples && attempt < SyncAttempts; ++attempt) {
    PeerPacket request = timeSyncPacket(sync, static_cast<uint32_t>(own), RequestSize);
    KivNetTime::request(reinterpret_cast<unsigned char*>(request.data()));
    ENetPacket* outgoing = enet_packet_create(&request, size_t(request.size(true)), 0);
    if (outgoing == nullptr) {
      // The attempt is lost; the error stays even if later ones succeed.
      reportError(ErrorCode::CannotCreate);
      continue;
    }
    if (enet_peer_send(peer, 0, outgoing) != 0) enet_packet_destroy(outgoing);
    if (enet_host_service(temporary, &event, SyncWaitMs) <= 0 || event.type != ENET_EVENT_TYPE_RECEIVE) continue;

    PeerPacket answer;
    if (PeerPacket::fromWire(event.packet->data, event.packet->dataLength, answer) > 0 &&
        answer.header().type() == PeerPacket::TimeSync && answer.header().dataSize() >= AnswerSize) {
      auto* payload = reinterpret_cast<unsigned char*>(answer.data());
      PacketDef::RoomId answerRoom;
      std::memcpy(&answerRoom.word, payload + KivNetTime::PacketSize, sizeof(answerRoom.word));
      if (roomOnly(answerRoom) == room) {
        // A rejected answer counts with the -1 it reads as.
        sum += KivNetTime::getTimeOffset(payload);
        ++samples;
      }
    }
    enet_packet_destroy(event.packet);
  }
  if (samples > 0) timeOffset.store(static_cast<int32_t>(sum / samples), std::memory_order_relaxed);

  // Close gracefully: wait while events keep coming for the root's
  // acknowledgement, and cut the connection if it never comes.
  enet_peer_disconnect(peer, 0);
  bool disconnected = false;
  while (enet_host_service(temporary, &event, SyncWaitMs) > 0) {
    if (event.type == ENET_EVENT_TYPE_DISCONNECT) {
      event.peer->data = nullptr;
      disconnected = true;
    } else if (event.type == ENET_EVENT_TYPE_RECEIVE) {
      enet_packet_destroy(event.packet);
    }
  }
  if (!disconnected) enet_peer_reset(peer);
  enet_host_destroy(temporary);

  if (samples == 0) {
    // Nothing to average: the clock offset stays as it was.
    reportError(ErrorCode::SendReceive);
    return -1;
  }
  return 0;
}

void PeerClient::handleTimeSync(ENetEvent* event, const PeerPacket* packet) {
  if (event == nullptr || event->peer == nullptr || packet->header().dataSize() < RequestSize) return;
  PeerPacket answer = timeSyncPacket(isSyncTime(), static_cast<uint32_t>(ownSlot()), AnswerSize);
  unsigned char request[KivNetTime::PacketSize];
  std::memcpy(request, packet->data(), sizeof(request));
  auto* payload = reinterpret_cast<unsigned char*>(answer.data());
  KivNetTime::respond(request, payload);
  PacketDef::RoomId room =
      roomOnly(ownRoom());
  std::memcpy(payload + KivNetTime::PacketSize, &room.word, sizeof(room.word));
  ENetPacket* outgoing = enet_packet_create(&answer, size_t(answer.size(true)), 0);
  if (outgoing == nullptr) return;
  // The request came over the synchronising client's own connection, which
  // no link claims: answer straight to it, on the service thread.
  if (enet_peer_send(event->peer, 0, outgoing) != 0) enet_packet_destroy(outgoing);
}

int32_t PeerClient::getFrameId() const {
  // The millisecond count wraps at 2^32; the difference is taken on
  // unsigned values and read as signed only at the end.
  uint32_t ms = static_cast<uint32_t>(KivNetTime::getCurrentTime() - getFrameEpoch()) -
                static_cast<uint32_t>(timeOffset.load(std::memory_order_relaxed));
  return static_cast<int32_t>(ms) / 10;
}

}  // namespace zintar
