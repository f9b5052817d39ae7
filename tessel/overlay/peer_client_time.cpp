// PeerClient: the frame clock and time synchronisation with the root of the
// tree. A joining client measures its clock against the root's with
// NTP-style exchanges over a connection of its own; the root answers from
// its service thread.

#include <enet/enet.h>

#include <cstring>

#include "tessel/overlay/peer_client.h"
#include "tessel/overlay/short_exchange.h"
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

  const PacketDef::PeerProperty rootRecord = contexts[root].getPeerProperty();
  RoomKey::Secret secret;
  const bool keyed = getRoomKey(secret);
  ShortExchange exchange;
  ShortExchange::Opened opened =
      exchange.open(rootRecord.ip, rootRecord.port, SyncWaitMs, keyed ? secret.bytes : nullptr);
  if (opened != ShortExchange::Opened::Connected) {
    countRejected(exchange.getRejected());
    reportError(opened == ShortExchange::Opened::NoHost ? ErrorCode::CannotCreate : ErrorCode::SendReceive);
    return -1;
  }

  const PacketDef::RoomId room = ownRoom();
  const bool sync = isSyncTime();
  int64_t sum = 0;
  int samples = 0;
  for (int attempt = 0; samples < SyncSamples && attempt < SyncAttempts; ++attempt) {
    PeerPacket request = timeSyncPacket(sync, static_cast<uint32_t>(own), RequestSize);
    KivNetTime::request(reinterpret_cast<unsigned char*>(request.data()));
    PeerPacket answer;
    ShortExchange::Answer got = exchange.ask(request, answer);
    if (got == ShortExchange::Answer::NotSent) {
      // The attempt is lost; the error stays even if later ones succeed.
      reportError(ErrorCode::CannotCreate);
      continue;
    }
    if (got != ShortExchange::Answer::Whole || answer.header().type() != PeerPacket::TimeSync ||
        answer.header().dataSize() < AnswerSize)
      continue;
    auto* payload = reinterpret_cast<unsigned char*>(answer.data());
    PacketDef::RoomId answerRoom;
    std::memcpy(&answerRoom.word, payload + KivNetTime::PacketSize, sizeof(answerRoom.word));
    if (answerRoom.sameRoom(room)) {
      // A rejected answer counts with the -1 it reads as.
      sum += KivNetTime::getTimeOffset(payload);
      ++samples;
    }
  }
  if (samples > 0) timeOffset.store(static_cast<int32_t>(sum / samples), std::memory_order_relaxed);
  exchange.close();
  countRejected(exchange.getRejected());

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
  // The room without the slot.
  PacketDef::RoomId room = ownRoom();
  room.setSlot(0);
  std::memcpy(payload + KivNetTime::PacketSize, &room.word, sizeof(room.word));
  replyDirectly(event->peer, answer);
}

int32_t PeerClient::getFrameId() const {
  // The millisecond count wraps at 2^32; the difference is taken on
  // unsigned values and read as signed only at the end.
  uint32_t ms = static_cast<uint32_t>(KivNetTime::getCurrentTime() - getFrameEpoch()) -
                static_cast<uint32_t>(timeOffset.load(std::memory_order_relaxed));
  return static_cast<int32_t>(ms) / 10;
}

}  // namespace zintar
