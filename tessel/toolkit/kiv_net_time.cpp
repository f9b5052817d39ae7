#include "tessel/toolkit/kiv_net_time.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "tessel/toolkit/kiv_clock.h"

namespace {

void putWord(unsigned char* at, uint32_t value) {
  at[0] = static_cast<unsigned char>(value >> 24);
  at[1] = static_cast<unsigned char>(value >> 16);
  at[2] = static_cast<unsigned char>(value >> 8);
  at[3] = static_cast<unsigned char>(value);
}

uint32_t getWord(const unsigned char* at) {
  return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 | uint32_t(at[3]);
}

void putStamp(unsigned char* at, const KivNetTime::NetTime& stamp) {
  putWord(at, stamp.seconds);
  putWord(at + 4, stamp.milliseconds);
}

KivNetTime::NetTime getStamp(const unsigned char* at) { return KivNetTime::NetTime(getWord(at), getWord(at + 4)); }

bool isZero(const KivNetTime::NetTime& stamp) { return stamp == KivNetTime::NetTime(); }

}  // namespace

int32_t KivNetTime::NetTime::operator-(const NetTime& other) const {
  // Unsigned arithmetic wraps without undefined behaviour; the result is
  // the same 32 bits the signed formula gives.
  uint32_t ms = (seconds - other.seconds) * 1000u - other.milliseconds + milliseconds;
  return static_cast<int32_t>(ms);
}

KivNetTime::NetTime KivNetTime::NetTime::operator+(int32_t ms) const {
  int32_t total = static_cast<int32_t>(milliseconds + static_cast<uint32_t>(ms));
  int32_t carry = total / 1000;
  return NetTime(seconds + static_cast<uint32_t>(carry), static_cast<uint32_t>(total - carry * 1000));
}

void KivNetTime::NetTime::print() const {
  // The fields print as 32-bit signed numbers, so a negative millisecond
  // field left by operator+ shows as such.
  std::printf("%" PRId32 "-%" PRId32 ":%" PRId32 ":%" PRId32 ":%" PRId32 "\n", int32_t(seconds / 86400),
              int32_t(seconds / 3600 % 24), int32_t(seconds / 60 % 60), int32_t(seconds % 60),
              static_cast<int32_t>(milliseconds));
}

KivNetTime::~KivNetTime() = default;

KivNetTime::NetTime KivNetTime::getCurrentTime() { return getCurrentTime(NetTimeBegin); }

KivNetTime::NetTime KivNetTime::getCurrentTime(uint32_t epochOffset) {
  int64_t seconds;
  uint16_t milliseconds;
  KivClock::getTime(seconds, milliseconds);
  return NetTime(static_cast<uint32_t>(static_cast<uint64_t>(seconds)) + epochOffset, milliseconds);
}

void KivNetTime::request(unsigned char* buffer) {
  NetTimeData data;
  buildPacket(data, true);
  pack(buffer, PacketSize, data);
}

void KivNetTime::respond(unsigned char* request, unsigned char* response) {
  NetTimeData data;
  unpack(data, request, PacketSize);
  buildPacket(data, false);
  pack(response, PacketSize, data);
}

int32_t KivNetTime::getTimeOffset(unsigned char* answer) {
  NetTimeData data;
  unpack(data, answer, PacketSize);
  const NetTime& t1 = data.originate;
  const NetTime& t2 = data.receive;
  const NetTime& t3 = data.transmit;
  const NetTime& t4 = data.arrival;

  if (isZero(t1) || isZero(t2)) return -1;
  if (!isZero(data.reference) && t2 < data.reference) return -1;
  // Taken unsigned, a negative interval is as insane as one over an hour.
  if (static_cast<uint32_t>(t3 - t2) > uint32_t(NetTimeInsanity) ||
      static_cast<uint32_t>(t4 - t1) > uint32_t(NetTimeInsanity)) {
    return -1;
  }
  uint32_t sum = static_cast<uint32_t>(t2 - t1);
  if (!isZero(t3)) sum += static_cast<uint32_t>(t3 - t4);
  return static_cast<int32_t>(static_cast<int32_t>(sum) * -0.5);
}

void KivNetTime::pack(unsigned char* buffer, int length, NetTimeData& data) {
  if (length <= 0) return;
  std::memset(buffer, 0, size_t(length));
  if (length < PacketSize) return;
  buffer[0] = static_cast<unsigned char>((data.leap & 0x3) << 6 | (data.version & 0x7) << 3 | (data.mode & 0x7));
  buffer[1] = data.stratum;
  buffer[2] = data.poll;
  buffer[3] = static_cast<unsigned char>(data.precision);
  putStamp(buffer + NetTimeOriginate, data.originate);
  putStamp(buffer + NetTimeReceive, data.receive);
  putStamp(buffer + NetTimeTransmit, data.transmit);
}

void KivNetTime::unpack(NetTimeData& data, unsigned char* buffer, int /*length*/) {
  data.arrival = getCurrentTime();
  data.leap = static_cast<uint8_t>(buffer[0] >> 6);
  data.version = static_cast<uint8_t>(buffer[0] >> 3 & 0x7);
  data.mode = static_cast<uint8_t>(buffer[0] & 0x7);
  data.stratum = buffer[1];
  data.poll = buffer[2];
  data.precision = static_cast<int8_t>(buffer[3]);
  data.rootDelay = 0;
  data.rootDispersion = getWord(buffer + NetTimeDispField);
  data.reference = getStamp(buffer + NetTimeReference);
  data.originate = getStamp(buffer + NetTimeOriginate);
  data.receive = getStamp(buffer + NetTimeReceive);
  data.transmit = getStamp(buffer + NetTimeTransmit);
}

void KivNetTime::buildPacket(NetTimeData& data, bool request) {
  data.leap = 0;
  data.stratum = NetTimeStratum;
  data.reference = NetTime();
  data.rootDispersion = 0;
  if (request) {
    data.version = NetTimeVersion;
    data.mode = NetTimeClient;
    data.poll = NetTimePolling;
    data.precision = NetTimePrecision;
    data.originate = NetTime();
    data.receive = NetTime();
  } else {
    // Version, poll and precision stay as the request had them.
    data.mode = data.mode == NetTimeClient ? NetTimeServer : NetTimePassive;
    data.originate = data.transmit;
    data.receive = data.arrival;
  }
  // Last, so that the answer's transmit time is as late as possible.
  data.transmit = getCurrentTime();
}

void KivNetTime::print(const NetTimeData& data) {
  std::printf("Reference: ");
  data.reference.print();
  std::printf("Originate: ");
  data.originate.print();
  std::printf("Receive: ");
  data.receive.print();
  std::printf("Transmit: ");
  data.transmit.print();
}
