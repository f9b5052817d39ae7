#include "tessel/engine/tessel_job.h"

#include <algorithm>
#include <cstring>

#include "tessel/engine/tessel_error.h"

namespace zintar {

TesselJob::TesselJob() { clear(); }

TesselJob::TesselJob(unsigned short jobType) {
  clear();
  type = jobType;
}

TesselJob::TesselJob(unsigned short jobType, int32_t jobPeerId) {
  clear();
  type = jobType;
  peerId = jobPeerId;
}

TesselJob::TesselJob(unsigned short jobType, int32_t jobPeerId, const PeerPacket& packet) {
  clear();
  type = jobType;
  error = 0;
  setData(jobPeerId, packet);
}

TesselJob::TesselJob(const TesselJob& other)
    : type(other.type),
      peerId(other.peerId),
      error(other.error),
      frameId(other.frameId),
      ping(other.ping),
      dataSize(other.dataSize),
      externalData(other.externalData) {
  data[0] = 0;
  if (externalData == nullptr) {
    std::memcpy(data, other.data, std::min<size_t>(dataSize, sizeof(data)));
  }
}

TesselJob& TesselJob::operator=(const TesselJob& other) {
  if (this != &other) std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(*this));
  return *this;
}

TesselJob::~TesselJob() { clear(); }

void TesselJob::clear() {
  type = JobNone;
  peerId = -1;
  error = 0;
  frameId = 0;
  ping = UnknownPing;
  dataSize = 0;
  externalData = nullptr;
  data[0] = 0;
}

const char* TesselJob::getErrorString() const { return errorText(error); }

void TesselJob::setData(int32_t jobPeerId, const PeerPacket& packet) {
  peerId = jobPeerId;
  if (packet.header().hasFrame()) {
    frameId = static_cast<int32_t>(packet.getFrameId());
    ping = packet.getPing();
  } else {
    frameId = 0;
    ping = UnknownPing;
  }
  // The payload may not run past the packet's own buffer nor past ours.
  size_t available =
      size_t(packet.maxSize()) - (packet.header().hasFrame() ? size_t(PeerPacket::FrameInfoSize) : 0);
  size_t length = std::min<size_t>({packet.header().dataSize(), available, sizeof(data)});
  dataSize = static_cast<uint16_t>(length);
  std::memcpy(data, packet.data(), length);
  externalData = nullptr;
}

}  // namespace zintar
