// TesselJob is one event handed to the host application: a message that
// arrived, a ping answer, a disconnection or an error reported by a peer.
// It is a fixed-size value with an inline 1480-byte payload and no heap
// memory, copied by value into and out of the engine's job queue.
//
// Plain value type; any thread may use it.

#ifndef TESSEL_ENGINE_TESSEL_JOB_H_
#define TESSEL_ENGINE_TESSEL_JOB_H_

#include <cstdint>

#include "tessel/overlay/peer_packet.h"
#include "tessel/tessel_export.h"

namespace zintar {

class TESSEL_EXPORT TesselJob {
 public:
  // Job types.
  static constexpr uint16_t JobNone = 0;
  static constexpr uint16_t JobMessage = 1;
  static constexpr uint16_t JobPingPong = 2;
  static constexpr uint16_t JobDisconnect = 3;
  static constexpr uint16_t JobError = 4;

  static constexpr int MaxDataSize = 1480;
  static constexpr uint16_t UnknownPing = 60000;

  TesselJob();
  explicit TesselJob(unsigned short type);
  TesselJob(unsigned short type, int32_t peerId);
  // A job of the given type carrying packet's frame id, delay and payload
  // (see setData); error 0.
  TesselJob(unsigned short type, int32_t peerId, const PeerPacket& packet);
  // Copies the fields and, when there is no external data, only the first
  // dataSize payload bytes.
  TesselJob(const TesselJob& other);
  // Copies the whole record, all payload bytes included.
  TesselJob& operator=(const TesselJob& other);
  ~TesselJob();

  // Resets every field to its default.
  void clear();

  unsigned short getType() const { return type; }
  void setType(unsigned short value) { type = value; }
  int32_t getPeerId() const { return peerId; }
  void setPeerId(int32_t value) { peerId = value; }
  uint32_t getError() const { return error; }
  void setError(uint32_t value) { error = value; }
  // The message of the error code.
  const char* getErrorString() const;
  int32_t getFrameId() const { return frameId; }
  unsigned short getPing() const { return ping; }
  void setPing(unsigned short value) { ping = value; }
  unsigned short getDataSize() const { return dataSize; }
  // The external data when set, else the inline payload.
  const char* getData() const { return externalData != nullptr ? externalData : data; }

  // Takes peerId and the packet's frame id, delay and payload (frame id 0
  // and ping 60000 without FrameInfo). The payload is cut to what the packet
  // buffer and the 1480-byte inline buffer hold, so a header that announces
  // more is never read or written past. type and error are left as they are.
  void setData(int32_t peerId, const PeerPacket& packet);

 private:
  uint16_t type;
  int32_t peerId;
  uint32_t error;
  int32_t frameId;
  uint16_t ping;
  uint16_t dataSize;
  const char* externalData;
  char data[MaxDataSize];
};

}  // namespace zintar

#endif  // TESSEL_ENGINE_TESSEL_JOB_H_
