// PeerPacket is the one message format of the overlay: an 8-byte PeerHeader,
// an optional 6-byte FrameInfo and a payload of at most 1478 bytes, sent as
// the data of one ENet packet byte for byte as it lies in memory. Only the
// first size(true) bytes of a packet are meaningful; the rest of its buffer
// is never initialised, copied or sent.
//
// The header's two 32-bit little-endian words hold bit fields numbered from
// the least significant bit:
//   word 0: type (bits 0-5), hasFrame (6), index (7-31)
//   word 1: srcSlot (0-8), dstSlot (9-17), immediate (18), sequenced (19),
//           reserved (20), dataSize (21-31)
// They are read and written with shifts and masks only.
//
// Bytes that arrive from outside the process enter through fromWire(), the
// single bounds-checked entry point; nothing else reads a received buffer.
//
// Plain value type; any thread may use it.

#ifndef TESSEL_OVERLAY_PEER_PACKET_H_
#define TESSEL_OVERLAY_PEER_PACKET_H_

#include <cstddef>
#include <cstdint>

#include "tessel/tessel_export.h"

namespace zintar {

#pragma pack(push, 1)

class TESSEL_EXPORT PeerHeader {
 public:
  PeerHeader() : word0(0), word1(0) {}

  uint32_t type() const { return word0 & 0x3Fu; }
  bool hasFrame() const { return (word0 >> 6) & 1u; }
  uint32_t index() const { return word0 >> 7; }
  uint32_t srcSlot() const { return word1 & 0x1FFu; }
  uint32_t dstSlot() const { return (word1 >> 9) & 0x1FFu; }
  bool immediate() const { return (word1 >> 18) & 1u; }
  bool sequenced() const { return (word1 >> 19) & 1u; }
  uint32_t dataSize() const { return word1 >> 21; }

  // Each setter keeps only the field's width of its argument.
  void setType(uint32_t value) { word0 = (word0 & ~0x3Fu) | (value & 0x3Fu); }
  void setHasFrame(bool value) { word0 = (word0 & ~(1u << 6)) | (uint32_t(value) << 6); }
  void setIndex(uint32_t value) { word0 = (word0 & 0x7Fu) | (value << 7); }
  void setSrcSlot(uint32_t value) { word1 = (word1 & ~0x1FFu) | (value & 0x1FFu); }
  void setDstSlot(uint32_t value) { word1 = (word1 & ~(0x1FFu << 9)) | ((value & 0x1FFu) << 9); }
  void setImmediate(bool value) { word1 = (word1 & ~(1u << 18)) | (uint32_t(value) << 18); }
  void setSequenced(bool value) { word1 = (word1 & ~(1u << 19)) | (uint32_t(value) << 19); }
  void setDataSize(uint32_t value) { word1 = (word1 & 0x1FFFFFu) | ((value & 0x7FFu) << 21); }

  uint32_t word0;
  uint32_t word1;
};

// The sender's frame clock when the packet was stamped, and the packet's
// delay in frames (5 when sent).
struct TESSEL_EXPORT FrameInfo {
  uint32_t frameId = 0;
  uint16_t ping = 0;
};

// Two 32-bit words declared with the packet; no packet type carries it.
struct TESSEL_EXPORT ChunkInfo {
  uint32_t word0 = 0;
  uint32_t word1 = 0;
};

class TESSEL_EXPORT PeerPacket {
 public:
  // Packet type codes. Every other code is dropped unread by receivers.
  static constexpr uint32_t Register = 17;
  static constexpr uint32_t PingTest = 18;
  static constexpr uint32_t PingTestReply = 19;
  static constexpr uint32_t TimeSync = 20;
  // The handshake of a connection in a room with a key (RoomKey); they
  // never reach the packet handlers.
  static constexpr uint32_t KeyHello = 21;
  static constexpr uint32_t KeyProof = 22;
  static constexpr uint32_t Disconnect = 24;
  static constexpr uint32_t Data = 33;
  static constexpr uint32_t Peek = 34;
  static constexpr uint32_t Direct = 35;
  static constexpr uint32_t Ping = 36;
  static constexpr uint32_t Pong = 37;
  static constexpr uint32_t Error = 62;

  static constexpr int HeaderSize = 8;
  static constexpr int FrameInfoSize = 6;
  // The largest payload any sender accepts.
  static constexpr int MaxDataSize = 1478;
  // The body after the header, and the whole packet buffer, which is also
  // the largest ENet packet the overlay sends.
  static constexpr int MaxBodySize = 1484;
  static constexpr int MaxPacketSize = 1492;
  // The ping of a packet without FrameInfo, and of unknown latency.
  static constexpr uint16_t UnknownPing = 60000;
  // The delay a sender writes, and the bounds of a measured delay.
  static constexpr uint16_t MinDelay = 5;
  static constexpr uint16_t MaxDelay = 1000;

  PeerPacket() {}
  explicit PeerPacket(unsigned short type) { header_.setType(type); }
  PeerPacket(unsigned short type, bool frame) {
    header_.setType(type);
    header_.setHasFrame(frame);
  }
  // Copies exactly the source's size(true) bytes; bytes beyond are left as
  // they were.
  PeerPacket(const PeerPacket& other) { copyFrom(other); }
  // As the copy constructor; null gives an empty packet.
  explicit PeerPacket(const PeerPacket* other) {
    if (other != nullptr) copyFrom(*other);
  }
  PeerPacket& operator=(const PeerPacket& other) {
    if (this != &other) copyFrom(other);
    return *this;
  }

  PeerHeader& header() { return header_; }
  const PeerHeader& header() const { return header_; }
  // The payload: 14 bytes into the packet with FrameInfo, 8 without.
  char* data() { return body_ + frameBytes(); }
  const char* data() const { return body_ + frameBytes(); }
  // dataSize, plus 6 with FrameInfo, plus 8 when withHeader is true.
  int size(bool withHeader) const {
    return int(header_.dataSize()) + frameBytes() + (withHeader ? HeaderSize : 0);
  }
  int maxSize() const { return MaxBodySize; }

  // FrameInfo fields: 0 and UnknownPing without FrameInfo; the setters do
  // nothing without it.
  uint32_t getFrameId() const;
  void setFrameId(uint32_t frameId);
  uint16_t getPing() const;
  void setPing(uint16_t ping);

  // Stamps the delay of a packet arriving at frame nowFrame: the signed
  // 16-bit difference to the packet's frame id, clamped to MinDelay..MaxDelay.
  // Without FrameInfo nothing is written.
  void stampDelay(uint32_t nowFrame);
  // The delay rule itself: (int16)(nowFrame - packetFrame) clamped.
  static uint16_t delayFrames(uint32_t nowFrame, uint32_t packetFrame);

  // A packet as the overlay's own control traffic is written: type, a
  // FrameInfo (frameId, delay) when frame is true, srcSlot and dstSlot,
  // marked immediate, and size bytes of payload (at most MaxDataSize).
  static PeerPacket control(unsigned short type, bool frame, uint32_t srcSlot, uint32_t dstSlot,
                            const void* payload, uint32_t size, uint32_t frameId = 0, uint16_t delay = 0);
  // The probe of a peer ping test and of a galaxy ping: PingTest without a
  // FrameInfo, the sender's tick count as its 4-byte payload.
  static PeerPacket pingTest(uint32_t ticks);

  // Turns a received Ping into the Pong that answers it: type Pong, hasFrame
  // from the replier's synchronisation flag, srcSlot the replier, dstSlot
  // the pinger, immediate, not sequenced, index 0, frameId the replier's
  // current frame and ping 5. The payload keeps its bytes, moved when the
  // FrameInfo appears or disappears. Returns false (packet unchanged) when
  // the payload would not fit.
  bool makePong(bool hasFrame, uint32_t replierSlot, uint32_t frameId);

  // Bytes received from the network. Returns the size(true) of the packet at
  // the start of the buffer when the buffer holds the whole 8-byte header,
  // the size(true) the header announces, and a payload of at most
  // MaxDataSize bytes; otherwise -1. Reads nothing beyond length.
  static int wireSize(const void* bytes, size_t length);
  // As wireSize(), and on success copies the packet into out; on -1 out is
  // unchanged. Bundles are walked by calling it at each next offset.
  static int fromWire(const void* bytes, size_t length, PeerPacket& out);

 private:
  int frameBytes() const { return header_.hasFrame() ? FrameInfoSize : 0; }
  void copyFrom(const PeerPacket& other);

  PeerHeader header_;
  char body_[MaxBodySize];
};

#pragma pack(pop)

static_assert(sizeof(PeerHeader) == 8);
static_assert(sizeof(FrameInfo) == 6);
static_assert(offsetof(FrameInfo, ping) == 4);
static_assert(sizeof(ChunkInfo) == 8);
static_assert(sizeof(PeerPacket) == PeerPacket::MaxPacketSize);

}  // namespace zintar

#endif  // TESSEL_OVERLAY_PEER_PACKET_H_
