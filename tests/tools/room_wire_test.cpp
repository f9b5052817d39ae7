// tessel-room's pipe messages and traffic stamps: messages cross a real
// pipe whole even when they arrive in pieces, bad lengths and short bodies
// are refused, and a stamp survives the trip through a payload.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "tests/support/test_support.h"
#include "tools/room/room_wire.h"

using tessel_room::MessageChannel;
using tessel_room::MessageReader;
using tessel_room::MessageWriter;
using tessel_room::TrafficStamp;

namespace {

// A channel reading the far end of a pipe whose write end the test holds.
struct PipeEnds {
  int read = -1;
  int write = -1;
  PipeEnds() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
      read = ends[0];
      write = ends[1];
    }
  }
};

TEST(RoomWireTest, MessagesCrossAPipeWholeAndBadOnesAreRefused) {
  PipeEnds there, back;
  ASSERT_GE(there.read, 0);
  ASSERT_GE(back.read, 0);
  MessageChannel sender(back.read, there.write);
  MessageChannel receiver(there.read, back.write);

  // More than a pipe holds at once: the receiver drains while the sender
  // pushes, as the processes would.
  std::string big(200000, 'x');
  MessageWriter first(tessel_room::MsgPingList);
  first.blob(big).i32(-5).u16(7).u8(9);
  std::string message;
  bool sent = false;
  std::thread push([&] { sent = sender.send(first.bytes()); });
  ASSERT_TRUE(tessel_test::waitFor([&] {
    receiver.receive();
    return receiver.next(message);
  }));
  push.join();
  ASSERT_TRUE(sent);
  MessageReader reader(message);
  EXPECT_EQ(reader.type(), tessel_room::MsgPingList);
  std::string blob;
  int32_t number = 0;
  uint16_t small = 0;
  uint8_t tiny = 0;
  ASSERT_TRUE(reader.blob(blob) && reader.i32(number) && reader.u16(small) && reader.u8(tiny));
  EXPECT_EQ(blob, big);
  EXPECT_EQ(number, -5);
  EXPECT_EQ(small, 7);
  EXPECT_EQ(tiny, 9);
  EXPECT_FALSE(reader.u8(tiny)) << "nothing past the end";

  // A frame written a byte at a time is taken only once it is whole.
  MessageWriter second(tessel_room::MsgRosterDone);
  second.u32(42);
  uint32_t length = static_cast<uint32_t>(second.bytes().size());
  std::string frame = std::string(reinterpret_cast<const char*>(&length), 4) + second.bytes();
  for (size_t i = 0; i < frame.size(); ++i) {
    ASSERT_EQ(write(there.write, frame.data() + i, 1), 1);
    receiver.receive();
    EXPECT_EQ(receiver.next(message), i + 1 == frame.size()) << "after byte " << i;
  }
  sender.close();
  EXPECT_TRUE(tessel_test::waitFor([&] { return !receiver.receive() && receiver.closed(); }));

  // Lengths of nothing or past the limit break the channel.
  for (uint32_t bad : {0u, MessageChannel::MaxMessageSize + 1}) {
    PipeEnds pipe;
    MessageChannel channel(pipe.read, -1);
    ASSERT_EQ(write(pipe.write, &bad, 4), 4);
    EXPECT_TRUE(tessel_test::waitFor([&] {
      channel.receive();
      return !channel.next(message) && channel.broken();
    })) << bad;
    close(pipe.write);
  }
  // A blob whose length runs past the body is refused and consumes nothing.
  MessageWriter writer(tessel_room::MsgTopology);
  writer.u32(1000).u8(1);
  MessageReader shortBody(writer.bytes());
  EXPECT_FALSE(shortBody.blob(blob));
  EXPECT_TRUE(shortBody.u32(length));
  EXPECT_EQ(length, 1000u);
}

TEST(RoomWireTest, StampsSurviveAPayloadAndForeignBytesAreRefused) {
  TrafficStamp stamp;
  stamp.kind = tessel_room::KindOrdered;
  stamp.origin = 31;
  stamp.sequence = 0xA1B2C3D4;
  stamp.sentTick = 0xFFFFFFF0;
  for (size_t size : {size_t(12), size_t(1024)}) {
    std::string payload = stamp.payload(size);
    ASSERT_EQ(payload.size(), size);
    TrafficStamp back;
    ASSERT_TRUE(TrafficStamp::parse(payload.data(), payload.size(), back));
    EXPECT_EQ(back.kind, stamp.kind);
    EXPECT_EQ(back.origin, stamp.origin);
    EXPECT_EQ(back.sequence, stamp.sequence);
    EXPECT_EQ(back.sentTick, stamp.sentTick);
  }
  std::string good = stamp.payload(32);
  std::string wrongMagic = good;
  wrongMagic[0] = 'X';
  std::string wrongKind = good;
  wrongKind[1] = 9;
  TrafficStamp out;
  EXPECT_FALSE(TrafficStamp::parse(good.data(), 11, out));
  EXPECT_FALSE(TrafficStamp::parse(nullptr, 32, out));
  EXPECT_FALSE(TrafficStamp::parse(wrongMagic.data(), wrongMagic.size(), out));
  EXPECT_FALSE(TrafficStamp::parse(wrongKind.data(), wrongKind.size(), out));
}

}  // namespace
