#include "tessel/overlay/peer_packet_queue.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "tessel/overlay/peer_packet.h"

PeerPacketQueue::PeerPacketQueue()
    : bufferEnd_(nullptr), capacity_(0), slotSize_(0), writePos_(nullptr), count_(0) {}

PeerPacketQueue::~PeerPacketQueue() = default;

int PeerPacketQueue::init() { return 0; }

int PeerPacketQueue::init(int capacity, int maxDataSize) { return resize(capacity, maxDataSize); }

int PeerPacketQueue::resize(int capacity, int maxDataSize) {
  if (maxDataSize > zintar::PeerPacket::MaxDataSize) {
    std::fprintf(stderr, "The maximum size of data must be smaller than %d\n", zintar::PeerPacket::MaxDataSize);
    return -1;
  }
  // A slot must at least hold a packet header.
  if (maxDataSize < 0) return -1;

  dropStorage();
  if (capacity < 1) return -1;

  int32_t slotSize = maxDataSize + zintar::PeerPacket::HeaderSize;
  size_t bytes = size_t(capacity) * size_t(slotSize);
  buffer_.reset(new (std::nothrow) char[bytes]);
  if (!buffer_) {
    std::perror("Can't create PeerPacketQueue");
    return -1;
  }
  capacity_ = capacity;
  slotSize_ = slotSize;
  bufferEnd_ = buffer_.get() + bytes;
  writePos_ = buffer_.get();
  count_ = 0;
  return 0;
}

void PeerPacketQueue::dropStorage() {
  buffer_.reset();
  bufferEnd_ = nullptr;
  writePos_ = nullptr;
  capacity_ = 0;
  slotSize_ = 0;
  count_ = 0;
}

void PeerPacketQueue::clear() {
  writePos_ = buffer_.get();
  count_ = 0;
}

int PeerPacketQueue::put(const char* packet, int size) {
  if (size > slotSize_) {
    std::fprintf(stderr, "Packet size %d is greater than allowed size %d\n", size, slotSize_);
    return -1;
  }
  if (!buffer_ || size < 0 || (packet == nullptr && size > 0)) return -1;

  if (size > 0) std::memcpy(writePos_, packet, size_t(size));
  writePos_ += slotSize_;
  if (writePos_ >= bufferEnd_) writePos_ = buffer_.get();
  ++count_;
  return 0;
}

char* PeerPacketQueue::get(uint32_t& index) {
  if (!buffer_ || index >= count_) return nullptr;
  uint32_t capacity = uint32_t(capacity_);
  if (count_ - index > capacity) index = count_ - capacity + 1;
  char* slot = buffer_.get() + size_t(index % capacity) * size_t(slotSize_);
  ++index;
  return slot;
}
