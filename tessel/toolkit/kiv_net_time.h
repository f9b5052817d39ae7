// KivNetTime builds, answers and evaluates 48-byte time packets shaped like
// those of NTP version 3, so that a peer learns how far its clock is from
// another peer's clock with one request and one answer: the asking side
// calls request() and, when the answer is back, getTimeOffset(); the
// answering side calls respond(). It also supplies NetTime, the clock value
// (seconds and milliseconds since 1 January 1900) on which the overlay's
// frame clock runs.
//
// Unlike standard NTP, the second word of every timestamp holds whole
// milliseconds (0..999), not a binary fraction of a second. Every multi-byte
// field on the wire is big-endian. Both ends of an exchange are this library.
//
// Every operation is static and works only on its arguments and the clock
// (read through KivClock), so any thread may call any of them at any time.
// No operation checks buffer sizes: every buffer handed in holds at least
// PacketSize bytes.

#ifndef TESSEL_TOOLKIT_KIV_NET_TIME_H_
#define TESSEL_TOOLKIT_KIV_NET_TIME_H_

#include <cstdint>

#include "tessel/tessel_export.h"

class TESSEL_EXPORT KivNetTime {
 public:
  // Bytes in one time packet.
  static constexpr int PacketSize = 48;

  // Seconds since 1 January 1900 00:00 UTC (modulo 2^32) and milliseconds
  // within the second. A plain 8-byte value.
  class TESSEL_EXPORT NetTime {
   public:
    NetTime() : seconds(0), milliseconds(0) {}
    NetTime(uint32_t secs, uint32_t millis) : seconds(secs), milliseconds(millis) {}

    // this - other in milliseconds, in 32-bit arithmetic that wraps.
    int32_t operator-(const NetTime& other) const;
    // A new value ms milliseconds later (earlier when ms is negative). The
    // carry is taken with division truncated toward zero, so a sum that
    // stays negative leaves a negative millisecond field (NetTime(10, 0) + -1
    // is NetTime(10, 0xFFFFFFFF)).
    NetTime operator+(int32_t ms) const;

    bool operator==(const NetTime& other) const {
      return seconds == other.seconds && milliseconds == other.milliseconds;
    }
    bool operator!=(const NetTime& other) const { return !(*this == other); }
    // Seconds first, then milliseconds, both unsigned.
    bool operator<(const NetTime& other) const {
      return seconds != other.seconds ? seconds < other.seconds : milliseconds < other.milliseconds;
    }
    bool operator>(const NetTime& other) const { return other < *this; }

    // Writes "days-hours:minutes:seconds:milliseconds" and a line break to
    // standard output.
    void print() const;

    uint32_t seconds;
    uint32_t milliseconds;
  };

  // One time packet, unpacked. Every field starts at zero.
  struct TESSEL_EXPORT NetTimeData {
    uint8_t leap = 0;     // 2 bits on the wire; always 0 in packets built here
    uint8_t version = 0;  // 3 bits on the wire
    uint8_t mode = 0;     // 3 bits on the wire; one of the mode constants
    uint8_t stratum = 0;
    uint8_t poll = 0;
    int8_t precision = 0;
    uint32_t rootDelay = 0;       // never carried
    uint32_t rootDispersion = 0;  // 0 in packets built here
    uint32_t referenceId = 0;     // never carried
    NetTime reference;
    NetTime originate;  // T1: when the request left the asking peer
    NetTime receive;    // T2: when the request reached the answering peer
    NetTime transmit;   // T3: when the packet left its sender
    NetTime arrival;    // T4: when this packet was unpacked; not on the wire
  };

  KivNetTime() {}
  KivNetTime(const KivNetTime&) {}
  KivNetTime& operator=(const KivNetTime&) { return *this; }
  virtual ~KivNetTime();

  // The wall clock as seconds since 1900 (modulo 2^32) and milliseconds.
  static NetTime getCurrentTime();
  // Writes a client request stamped with the current time into buffer.
  static void request(unsigned char* buffer);
  // Reads the request in request and writes its answer into response: the
  // request's transmit time as originate, its arrival as receive, and the
  // current time as transmit.
  static void respond(unsigned char* request, unsigned char* response);
  // Reads an answer and returns the local clock minus the answering peer's
  // clock in milliseconds (positive when the local clock is ahead). -1 when
  // the answer lacks its originate or receive time, receives before its
  // reference time, or spans more than an hour either way; a true offset of
  // -1 ms reads the same.
  static int32_t getTimeOffset(unsigned char* answer);

 private:
  static constexpr int NetTimeVersion = 3;
  static constexpr int32_t NetTimeInsanity = 3600000;
  static constexpr int NetTimeFudge = 0;
  static constexpr int NetTimeStratum = 15;
  static constexpr int NetTimePolling = 8;
  static constexpr int NetTimePrecision = 0;
  // Byte offsets of the fields after the first word.
  static constexpr int NetTimeDispField = 8;
  static constexpr int NetTimeReference = 16;
  static constexpr int NetTimeOriginate = 24;
  static constexpr int NetTimeReceive = 32;
  static constexpr int NetTimeTransmit = 40;
  // Seconds from 1 January 1900 to 1 January 1970.
  static constexpr uint32_t NetTimeBegin = 2208988800u;
  // Association modes.
  static constexpr int NetTimeActive = 1;
  static constexpr int NetTimePassive = 2;
  static constexpr int NetTimeClient = 3;
  static constexpr int NetTimeServer = 4;
  static constexpr int NetTimeBroadcast = 5;

  // The wall clock with epochOffset added to its seconds since 1970.
  static NetTime getCurrentTime(uint32_t epochOffset);
  // Clears length bytes of buffer, then writes the first word and the
  // originate, receive and transmit timestamps of data; every other field
  // goes out as zero. Writes no field when length is below PacketSize.
  static void pack(unsigned char* buffer, int length, NetTimeData& data);
  // Stamps data.arrival with the current time, then reads PacketSize bytes
  // of buffer (length is not consulted). Root delay reads as 0; the
  // reference id is not read.
  static void unpack(NetTimeData& data, unsigned char* buffer, int length);
  // Fills a request (request true) or the answer to the request that data
  // holds; the transmit time is read last.
  static void buildPacket(NetTimeData& data, bool request);
  // Writes the four timestamps of data to standard output.
  static void print(const NetTimeData& data);
};

static_assert(sizeof(KivNetTime::NetTime) == 8);

#endif  // TESSEL_TOOLKIT_KIV_NET_TIME_H_
