// tessel-room's pipe messages and traffic stamps: messages cross a real
// pipe whole even when they arrive in pieces, bad lengths and short bodies
// are refused, and a stamp survives the trip through a payload.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <string>
#include <thread>
#include <tuple>

#include "tests/support/test_support.h"
#include "tools/room/room_wire.h"

using tessel_room::MessageChannel;
using tessel_room::MessageReader;
using tessel_room::MessageWriter;
using tessel_room::TrafficStamp;

namespace {

// A nonblocking pipe: its read end, then its write end.
std::array<int, 2> makePipe() {
  std::array<int, 2> ends{-1, -1};
  EXPECT_EQ(pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK), 0);
  return ends;
}

TEST(RoomWireTest, MessagesCrossAPipeWholeAndBadOnesAreRefused) {
  const auto there = makePipe(), back = makePipe();
  MessageChannel sender(back[0], there[1]);
  MessageChannel receiver(there[0], back[1]);

  // More than a pipe holds at once: the receiver drains while the sender
  // pushes, as the processes would.
  const std::string big(200000, 'x');
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
  EXPECT_TRUE(blob == big);
  EXPECT_EQ(std::tuple(number, small, tiny), std::tuple(-5, uint16_t(7), uint8_t(9)));
  EXPECT_FALSE(reader.u8(tiny)) << "nothing past the end";

  // A frame written a byte at a time is taken only once it is whole.
  MessageWriter second(tessel_room::MsgRosterDone);
  second.u32(42);
  uint32_t length = static_cast<uint32_t>(second.bytes().size());
  const std::string frame = std::string(reinterpret_cast<const char*>(&length), 4) + second.bytes();
  for (size_t i = 0; i < frame.size(); ++i) {
    ASSERT_EQ(write(there[1], frame.data() + i, 1), 1);
    receiver.receive();
    EXPECT_EQ(receiver.next(message), i + 1 == frame.size()) << "after byte " << i;
  }
  sender.close();
  EXPECT_TRUE(tessel_test::waitFor([&] { return !receiver.receive() && receiver.closed(); }));

  // Lengths of nothing or past the limit break the channel.
  for (uint32_t bad : {0u, MessageChannel::MaxMessageSize + 1}) {
    const auto pipe = makePipe();
    MessageChannel channel(pipe[0], -1);
    ASSERT_EQ(write(pipe[1], &bad, 4), 4);
    EXPECT_TRUE(tessel_test::waitFor([&] {
      channel.receive();
      return !channel.next(message) && channel.broken();
    })) << bad;
    close(pipe[1]);
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
  const TrafficStamp stamp{tessel_room::KindOrdered, 31, 0xA1B2C3D4, 0xFFFFFFF0};
  auto fields = [](const TrafficStamp& s) { return std::tuple(s.kind, s.origin, s.sequence, s.sentTick); };
  TrafficStamp out;
  for (size_t size : {size_t(12), size_t(1024)}) {
    const std::string payload = stamp.payload(size);
    ASSERT_EQ(payload.size(), size);
    ASSERT_TRUE(TrafficStamp::parse(payload.data(), payload.size(), out));
    EXPECT_EQ(fields(out), fields(stamp));
  }
  // Too short, no bytes, a wrong magic byte, a kind that does not exist.
  std::string good = stamp.payload(32), wrongMagic = good, wrongKind = good;
  wrongMagic[0] = 'X';
  wrongKind[1] = 9;
  EXPECT_FALSE(TrafficStamp::parse(good.data(), 11, out));
  EXPECT_FALSE(TrafficStamp::parse(nullptr, 32, out));
  EXPECT_FALSE(TrafficStamp::parse(wrongMagic.data(), wrongMagic.size(), out));
  EXPECT_FALSE(TrafficStamp::parse(wrongKind.data(), wrongKind.size(), out));
}

}  // namespace
