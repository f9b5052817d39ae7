#include "tessel/overlay/peer_packet.h"

#include <cstring>

namespace zintar {

void PeerPacket::copyFrom(const PeerPacket& other) {
  // A header set by hand may announce more than the buffer holds; never copy
  // past it.
  int length = other.size(true);
  if (length > MaxPacketSize) length = MaxPacketSize;
  std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), size_t(length));
}

uint32_t PeerPacket::getFrameId() const {
  if (!header_.hasFrame()) return 0;
  FrameInfo frame;
  std::memcpy(&frame, body_, sizeof(frame));
  return frame.frameId;
}

void PeerPacket::setFrameId(uint32_t frameId) {
  if (!header_.hasFrame()) return;
  std::memcpy(body_ + offsetof(FrameInfo, frameId), &frameId, sizeof(frameId));
}

uint16_t PeerPacket::getPing() const {
  if (!header_.hasFrame()) return UnknownPing;
  FrameInfo frame;
  std::memcpy(&frame, body_, sizeof(frame));
  return frame.ping;
}

void PeerPacket::setPing(uint16_t ping) {
  if (!header_.hasFrame()) return;
  std::memcpy(body_ + offsetof(FrameInfo, ping), &ping, sizeof(ping));
}

uint16_t PeerPacket::delayFrames(uint32_t nowFrame, uint32_t packetFrame) {
  int16_t delay = static_cast<int16_t>(static_cast<uint16_t>(nowFrame - packetFrame));
  if (delay < MinDelay) return MinDelay;
  if (delay > MaxDelay) return MaxDelay;
  return static_cast<uint16_t>(delay);
}

void PeerPacket::stampDelay(uint32_t nowFrame) {
  if (!header_.hasFrame()) return;
  setPing(delayFrames(nowFrame, getFrameId()));
}

PeerPacket PeerPacket::control(unsigned short type, bool frame, uint32_t srcSlot, uint32_t dstSlot,
                               const void* payload, uint32_t size, uint32_t frameId, uint16_t delay) {
  PeerPacket packet(type, frame);
  PeerHeader& header = packet.header();
  header.setSrcSlot(srcSlot);
  header.setDstSlot(dstSlot);
  header.setImmediate(true);
  if (size > uint32_t(MaxDataSize)) size = uint32_t(MaxDataSize);
  header.setDataSize(size);
  if (size > 0) std::memcpy(packet.data(), payload, size);
  packet.setFrameId(frameId);
  packet.setPing(delay);
  return packet;
}

PeerPacket PeerPacket::pingTest(uint32_t ticks) {
  PeerPacket probe(PingTest);
  probe.header().setDataSize(sizeof(ticks));
  std::memcpy(probe.data(), &ticks, sizeof(ticks));
  return probe;
}

bool PeerPacket::makePong(bool hasFrame, uint32_t replierSlot, uint32_t frameId) {
  int length = int(header_.dataSize());
  int newOffset = hasFrame ? FrameInfoSize : 0;
  if (length + newOffset > MaxBodySize) return false;
  if (newOffset != frameBytes()) std::memmove(body_ + newOffset, data(), size_t(length));
  uint32_t pinger = header_.srcSlot();
  header_.setType(Pong);
  header_.setHasFrame(hasFrame);
  header_.setIndex(0);
  header_.setSrcSlot(replierSlot);
  header_.setDstSlot(pinger);
  header_.setImmediate(true);
  header_.setSequenced(false);
  setFrameId(frameId);
  setPing(MinDelay);
  return true;
}

int PeerPacket::wireSize(const void* bytes, size_t length) {
  if (bytes == nullptr || length < size_t(HeaderSize)) return -1;
  PeerHeader header;
  std::memcpy(&header, bytes, sizeof(header));
  if (header.dataSize() > uint32_t(MaxDataSize)) return -1;
  size_t total = HeaderSize + (header.hasFrame() ? FrameInfoSize : 0) + header.dataSize();
  if (total > length) return -1;
  return int(total);
}

int PeerPacket::fromWire(const void* bytes, size_t length, PeerPacket& out) {
  int total = wireSize(bytes, length);
  if (total < 0) return -1;
  std::memcpy(static_cast<void*>(&out), bytes, size_t(total));
  return total;
}

}  // namespace zintar
