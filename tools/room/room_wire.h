// The messages between tessel-room's coordinator and its peer processes,
// and the payload of the traffic the peers send each other through the
// library.
//
// Pipe messages: a little-endian 32-bit length n (1 to MaxMessageSize),
// then n bytes: one type byte and the body. Bodies are built with
// MessageWriter and read with MessageReader, which refuses to read past the
// end (every read reports whether it succeeded). MessageChannel wraps one
// pipe end: it sends whole messages with a time limit and collects
// incoming bytes until a whole message is there.
//
// Traffic payload (TrafficStamp): 12 bytes at the front of every packet a
// peer sends through the library, padded to the chosen size:
//   0  1  'R'
//   1  1  kind (Direct, Immediate, Ordered)
//   2  1  the sender's slot
//   3  1  0
//   4  4  sequence number: per destination for direct packets, per kind
//         for broadcasts, counted from 0
//   8  4  the sender's millisecond tick count when sending
//
// Single-threaded; each process drives its own channels.

#ifndef TESSEL_TOOLS_ROOM_ROOM_WIRE_H_
#define TESSEL_TOOLS_ROOM_ROOM_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace tessel_room {

// Message types, coordinator to peer.
enum CoordinatorMessage : uint8_t {
  MsgSetup = 1,     // index, peer id, room, mode, listen, thresholds, room key
  MsgRoster = 2,    // every peer's id, slot, port and listen flag; galaxy port
  MsgMeasure = 3,   // measure pings, answer with the ping list
  MsgTopology = 4,  // the topology description
  MsgConnect = 5,   // connect, then wait for the root's pong
  MsgTraffic = 6,   // start sending for a while, then keep receiving
  MsgStop = 7,      // stop receiving, send what was received
  MsgQuit = 8,      // end the engine and exit
};

// Message types, peer to coordinator.
enum PeerMessage : uint8_t {
  MsgReady = 101,         // the engine is up: its port
  MsgRosterDone = 102,    //
  MsgPingList = 103,      // the bytes of getPeerPingList
  MsgTopologyDone = 104,  // setTopology's result
  MsgConnected = 105,     // connect's result, error code, milliseconds taken
  MsgProgress = 106,      // counts sent and received so far
  MsgSentDone = 107,      // everything sent: per destination and per kind
  MsgRecords = 108,       // a chunk of what was received, in order
  MsgFinal = 109,         // jobs by type; the end of the records
  MsgFailed = 110,        // a reason text; the peer gives up
};

class MessageWriter {
 public:
  explicit MessageWriter(uint8_t type) { bytes_.push_back(static_cast<char>(type)); }
  MessageWriter& u8(uint8_t value);
  MessageWriter& u16(uint16_t value);
  MessageWriter& u32(uint32_t value);
  MessageWriter& i32(int32_t value) { return u32(static_cast<uint32_t>(value)); }
  // A 32-bit length and the bytes.
  MessageWriter& blob(const std::string& value);
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

class MessageReader {
 public:
  // Reads the body of message (its type byte is skipped).
  explicit MessageReader(const std::string& message) : bytes_(message), offset_(message.empty() ? 0 : 1) {}
  uint8_t type() const { return bytes_.empty() ? 0 : static_cast<uint8_t>(bytes_[0]); }
  // Each read fails (false, value untouched) when the bytes run out.
  bool u8(uint8_t& value);
  bool u16(uint16_t& value);
  bool u32(uint32_t& value);
  bool i32(int32_t& value);
  bool blob(std::string& value);
  bool atEnd() const { return offset_ == bytes_.size(); }

 private:
  bool take(void* out, size_t size);
  const std::string& bytes_;
  size_t offset_;
};

class MessageChannel {
 public:
  static constexpr uint32_t MaxMessageSize = 1u << 20;

  MessageChannel() = default;
  MessageChannel(int readFd, int writeFd) : readFd_(readFd), writeFd_(writeFd) {}
  MessageChannel(const MessageChannel&) = delete;
  MessageChannel& operator=(const MessageChannel&) = delete;
  ~MessageChannel() { close(); }

  void open(int readFd, int writeFd);
  void close();
  int readFd() const { return readFd_; }

  // Sends one whole message, waiting at most timeoutMs for the pipe to take
  // it. False when the far end is gone, the time ran out or the message is
  // too large.
  bool send(const std::string& message, int timeoutMs = 5000);
  // Reads what the pipe holds now without waiting. False at the end of the
  // stream or on an error (closed() then says so).
  bool receive();
  // Takes the next whole message, if one is complete. False when none is,
  // or when the stream carries a length outside 1..MaxMessageSize (broken()
  // then says so).
  bool next(std::string& message);
  bool closed() const { return closed_; }
  bool broken() const { return broken_; }

 private:
  int readFd_ = -1;
  int writeFd_ = -1;
  std::string buffer_;
  bool closed_ = false;
  bool broken_ = false;
};

// Waits up to timeoutMs until fd is readable (or at its end). True when it
// is; false on time-out or interruption by a signal.
bool waitReadable(int fd, int timeoutMs);

enum TrafficKind : uint8_t {
  KindDirect = 1,
  KindImmediate = 2,
  KindOrdered = 3,
};

struct TrafficStamp {
  static constexpr size_t Size = 12;
  static constexpr char Magic = 'R';

  uint8_t kind = 0;
  uint8_t origin = 0;
  uint32_t sequence = 0;
  uint32_t sentTick = 0;

  // Writes the stamp at the front of a payload of size bytes (at least
  // Size), the rest filled with a pattern.
  std::string payload(size_t size) const;
  // Reads a stamp; false when the bytes are too short or not a stamp.
  static bool parse(const char* data, size_t size, TrafficStamp& out);
};

}  // namespace tessel_room

#endif  // TESSEL_TOOLS_ROOM_ROOM_WIRE_H_
