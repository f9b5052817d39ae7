// The overlay packet: where each header field and the FrameInfo sit on the
// wire, copies, the delay rule, Ping into Pong, and the checked entry point.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tessel/overlay/peer_packet.h"

using zintar::PeerPacket;

namespace {

PeerPacket makeData(bool frame, int size, char fill) {
  PeerPacket packet(PeerPacket::Data, frame);
  packet.header().setDataSize(uint32_t(size));
  std::memset(packet.data(), fill, size_t(size));
  return packet;
}

std::vector<uint8_t> wireBytes(const PeerPacket& packet) {
  const auto* begin = reinterpret_cast<const uint8_t*>(&packet);
  return std::vector<uint8_t>(begin, begin + packet.size(true));
}

}  // namespace

TEST(PeerPacketTest, HeaderAndFrameInfoSitWhereTheWireSaysAndAreCopied) {
  EXPECT_EQ(PeerPacket(85).header().type(), 21u);  // only the low 6 bits count
  PeerPacket framed = makeData(true, 4, 'x');
  zintar::PeerHeader& h = framed.header();
  h.setIndex(0x1FFFFFF);
  h.setSrcSlot(0x1FF);
  h.setDstSlot(3);
  h.setImmediate(true);
  h.setSequenced(true);
  framed.setFrameId(0x01020304);
  framed.setPing(5);
  EXPECT_EQ(h.word0, 33u | (1u << 6) | (0x1FFFFFFu << 7));
  EXPECT_EQ(h.word1, 0x1FFu | (3u << 9) | (1u << 18) | (1u << 19) | (4u << 21));
  auto bytes = wireBytes(framed);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 8, bytes.end()),
            (std::vector<uint8_t>{4, 3, 2, 1, 5, 0, 'x', 'x', 'x', 'x'}));
  EXPECT_EQ(framed.size(false), 10);
  // Without FrameInfo the payload follows the header, and stamping writes nothing.
  PeerPacket plain = makeData(false, 4, 'x');
  plain.stampDelay(500);
  EXPECT_EQ(wireBytes(plain), (std::vector<uint8_t>{0x21, 0, 0, 0, 0, 0, 0x80, 0, 'x', 'x', 'x', 'x'}));
  EXPECT_EQ(plain.getPing(), 60000);
  EXPECT_EQ(plain.getFrameId(), 0u);
  // A copy takes exactly size(true) bytes, however many a header set by
  // hand announces.
  plain = framed;
  EXPECT_EQ(wireBytes(plain), bytes);
  framed.header().setDataSize(2047);
  EXPECT_EQ(PeerPacket(framed).header().dataSize(), 2047u);
}

TEST(PeerPacketTest, DelayIsClampedSigned16BitDifference) {
  struct Case {
    uint32_t now, sent;
    uint16_t delay;
  } cases[] = {
      {103, 100, 5},      {105, 100, 5},     {106, 100, 6},
      {1100, 100, 1000},  {1101, 100, 1000}, {100, 103, 5},  // negative
      {5, 0xFFFFFFFE, 7},  // across the 32-bit wrap
      {40000, 0, 5},       // 16-bit difference is negative
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PeerPacket::delayFrames(c.now, c.sent), c.delay) << c.now << " - " << c.sent;
    PeerPacket packet(PeerPacket::Direct, true);
    packet.setFrameId(c.sent);
    packet.stampDelay(c.now);
    EXPECT_EQ(packet.getPing(), c.delay);
  }
}

TEST(PeerPacketTest, PingBecomesPongKeepingPayload) {
  for (bool pingFrame : {false, true})
    for (bool replierFrame : {false, true}) {
      PeerPacket ping(PeerPacket::Ping, pingFrame);
      std::memset(ping.data(), 0xEE, 16);  // nothing the Pong would read as its delay by chance
      ping.setPing(777);
      ping.header().setSrcSlot(4);
      ping.header().setIndex(99);
      ping.header().setSequenced(true);
      ping.header().setDataSize(4);
      uint32_t ticks = 0xDEADBEEF;
      std::memcpy(ping.data(), &ticks, 4);
      ASSERT_TRUE(ping.makePong(replierFrame, 0, 777));
      const auto& h = ping.header();
      EXPECT_EQ(h.word0, 37u | (uint32_t(replierFrame) << 6));  // Pong, index 0
      EXPECT_EQ(h.word1, 0u | (4u << 9) | (1u << 18) | (4u << 21));  // 0 to 4, immediate, not sequenced
      EXPECT_EQ(ping.getFrameId(), replierFrame ? 777u : 0u);
      EXPECT_EQ(ping.getPing(), replierFrame ? 5 : 60000);
      EXPECT_EQ(std::memcmp(ping.data(), &ticks, 4), 0);
    }
  // A FrameInfo must still fit beside the payload.
  for (uint32_t size : {1478u, 1479u}) {
    PeerPacket ping(PeerPacket::Ping, false);
    ping.header().setDataSize(size);
    EXPECT_EQ(ping.makePong(true, 0, 1), size == 1478) << size;
    EXPECT_EQ(ping.header().type(), size == 1478 ? PeerPacket::Pong : PeerPacket::Ping);
  }
}

TEST(PeerPacketTest, FromWireAcceptsOnlyWhatTheBufferHolds) {
  auto bytes = wireBytes(makeData(true, 20, 'p'));
  PeerPacket received;
  EXPECT_EQ(PeerPacket::fromWire(bytes.data(), bytes.size(), received), 34);
  EXPECT_EQ(wireBytes(received), bytes);
  // Too short for the header, or for what the header announces: refused
  // and the target untouched.
  PeerPacket untouched = makeData(false, 3, 'u');
  for (size_t length : {size_t(0), size_t(7), size_t(8), size_t(13), bytes.size() - 1}) {
    EXPECT_EQ(PeerPacket::fromWire(bytes.data(), length, untouched), -1) << length;
    EXPECT_EQ(untouched.header().dataSize(), 3u);
  }
  EXPECT_EQ(PeerPacket::fromWire(nullptr, 100, untouched), -1);
  // A payload above 1478 bytes is refused even when the bytes are there.
  std::vector<uint8_t> big(2100, 0);
  zintar::PeerHeader header;
  for (uint32_t size : {1478u, 1479u, 2047u}) {
    header.setDataSize(size);
    std::memcpy(big.data(), &header, sizeof(header));
    EXPECT_EQ(PeerPacket::wireSize(big.data(), big.size()), size <= 1478 ? int(8 + size) : -1) << size;
  }
}
