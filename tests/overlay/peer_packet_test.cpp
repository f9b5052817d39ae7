#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tessel/overlay/peer_packet.h"
#include "tessel/records/packet_def.h"

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

TEST(PeerPacketTest, HeaderBitFieldsSitWhereTheWireSays) {
  PeerPacket packet(85);  // only the low 6 bits count
  EXPECT_EQ(packet.header().type(), 21u);
  EXPECT_FALSE(packet.header().hasFrame());

  zintar::PeerHeader h;
  h.setType(PeerPacket::Data);
  h.setHasFrame(true);
  h.setIndex(0x1FFFFFF);
  h.setSrcSlot(0x1FF);
  h.setDstSlot(3);
  h.setImmediate(true);
  h.setSequenced(true);
  h.setDataSize(1478);
  EXPECT_EQ(h.word0, 33u | (1u << 6) | (0x1FFFFFFu << 7));
  EXPECT_EQ(h.word1, 0x1FFu | (3u << 9) | (1u << 18) | (1u << 19) | (1478u << 21));
  // Setting one field never disturbs another.
  h.setDstSlot(0);
  h.setIndex(0);
  EXPECT_EQ(h.type(), 33u);
  EXPECT_EQ(h.srcSlot(), 0x1FFu);
  EXPECT_EQ(h.dataSize(), 1478u);
  EXPECT_TRUE(h.immediate());
  EXPECT_TRUE(h.sequenced());
  EXPECT_EQ(h.word1 & (1u << 20), 0u);  // reserved bit stays clear
}

TEST(PeerPacketTest, FrameInfoSitsBeforeThePayloadOnlyWhenFlagged) {
  PeerPacket framed = makeData(true, 4, 'x');
  EXPECT_EQ(framed.size(false), 10);
  EXPECT_EQ(framed.size(true), 18);
  framed.setFrameId(0x01020304);
  framed.setPing(5);
  EXPECT_EQ(wireBytes(framed),
            (std::vector<uint8_t>{0x61, 0, 0, 0, 0, 0, 0x80, 0, 4, 3, 2, 1, 5, 0, 'x', 'x', 'x', 'x'}));
  PeerPacket plain = makeData(false, 4, 'x');
  auto before = wireBytes(plain);
  EXPECT_EQ(before.size(), 12u);
  EXPECT_EQ(plain.getPing(), 60000);
  EXPECT_EQ(plain.getFrameId(), 0u);
  plain.setPing(7);
  plain.setFrameId(1234);
  EXPECT_EQ(wireBytes(plain), before);
  EXPECT_EQ(plain.maxSize(), 1484);
}

TEST(PeerPacketTest, CopyTakesExactlyTheMeaningfulBytes) {
  PeerPacket source = makeData(true, 10, 's');
  PeerPacket target = makeData(true, 100, 't');
  target = source;
  EXPECT_EQ(wireBytes(target), wireBytes(source));
  // Bytes beyond size(true) keep what the destination held.
  const char* raw = reinterpret_cast<const char*>(&target);
  EXPECT_EQ(raw[24], 't');
  EXPECT_EQ(raw[113], 't');

  PeerPacket copy(&source);
  EXPECT_EQ(wireBytes(copy), wireBytes(source));
  PeerPacket empty(static_cast<const PeerPacket*>(nullptr));
  EXPECT_EQ(empty.header().word0, 0u);
  EXPECT_EQ(empty.header().word1, 0u);

  // A header set by hand to more than the buffer holds copies no further.
  PeerPacket oversized(PeerPacket::Data, true);
  oversized.header().setDataSize(2047);
  PeerPacket copied(oversized);
  EXPECT_EQ(copied.header().dataSize(), 2047u);
}

TEST(PeerPacketTest, DelayIsClampedSigned16BitDifference) {
  struct Case {
    uint32_t now, sent;
    uint16_t delay;
  } cases[] = {
      {103, 100, 5},          {105, 100, 5},   {106, 100, 6},
      {1100, 100, 1000},      {1101, 100, 1000}, {100, 103, 5},  // negative
      {5, 0xFFFFFFFE, 7},     // across the 32-bit wrap
      {40000, 0, 5},          // 16-bit difference is negative
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PeerPacket::delayFrames(c.now, c.sent), c.delay) << c.now << " - " << c.sent;
    PeerPacket packet(PeerPacket::Direct, true);
    packet.setFrameId(c.sent);
    packet.stampDelay(c.now);
    EXPECT_EQ(packet.getPing(), c.delay);
  }
  PeerPacket plain(PeerPacket::Direct, false);
  plain.stampDelay(500);
  EXPECT_EQ(plain.getPing(), 60000);
}

TEST(PeerPacketTest, PingBecomesPongKeepingPayload) {
  for (bool pingFrame : {false, true}) {
    for (bool replierFrame : {false, true}) {
      PeerPacket ping(PeerPacket::Ping, pingFrame);
      ping.header().setSrcSlot(4);
      ping.header().setDstSlot(0);
      ping.header().setImmediate(true);
      ping.header().setIndex(99);
      ping.header().setDataSize(4);
      uint32_t ticks = 0xDEADBEEF;
      std::memcpy(ping.data(), &ticks, 4);
      ASSERT_TRUE(ping.makePong(replierFrame, 0, 777));
      const auto& h = ping.header();
      EXPECT_EQ(h.type(), PeerPacket::Pong);
      EXPECT_EQ(h.hasFrame(), replierFrame);
      EXPECT_EQ(h.srcSlot(), 0u);
      EXPECT_EQ(h.dstSlot(), 4u);
      EXPECT_TRUE(h.immediate());
      EXPECT_FALSE(h.sequenced());
      EXPECT_EQ(h.index(), 0u);
      EXPECT_EQ(ping.getFrameId(), replierFrame ? 777u : 0u);
      EXPECT_EQ(ping.getPing(), replierFrame ? 5 : 60000);
      uint32_t echoed = 0;
      std::memcpy(&echoed, ping.data(), 4);
      EXPECT_EQ(echoed, ticks);
    }
  }
}

TEST(PeerPacketTest, FromWireAcceptsOnlyWhatTheBufferHolds) {
  PeerPacket sent = makeData(true, 20, 'p');
  auto bytes = wireBytes(sent);
  PeerPacket received;
  EXPECT_EQ(PeerPacket::fromWire(bytes.data(), bytes.size(), received), 34);
  EXPECT_EQ(wireBytes(received), bytes);

  // Too short for the header, or for what the header announces: refused and
  // the target untouched.
  PeerPacket untouched = makeData(false, 3, 'u');
  for (size_t length : {size_t(0), size_t(7), size_t(8), size_t(13), bytes.size() - 1}) {
    EXPECT_EQ(PeerPacket::fromWire(bytes.data(), length, untouched), -1) << length;
    EXPECT_EQ(untouched.header().dataSize(), 3u);
  }
  EXPECT_EQ(PeerPacket::fromWire(nullptr, 100, untouched), -1);

  // A payload above 1478 bytes is refused even when the bytes are there.
  std::vector<uint8_t> big(2100, 0);
  zintar::PeerHeader header;
  header.setType(PeerPacket::Data);
  for (uint32_t size : {1478u, 1479u, 1484u, 2047u}) {
    header.setDataSize(size);
    std::memcpy(big.data(), &header, sizeof(header));
    int expected = size <= 1478 ? int(8 + size) : -1;
    EXPECT_EQ(PeerPacket::wireSize(big.data(), big.size()), expected) << size;
  }
}

TEST(PeerPacketTest, BundleIsWalkedPacketByPacket) {
  std::vector<uint8_t> bundle;
  for (int i = 0; i < 3; ++i) {
    auto bytes = wireBytes(makeData(i != 1, 10 * (i + 1), char('a' + i)));
    bundle.insert(bundle.end(), bytes.begin(), bytes.end());
  }
  bundle.push_back(0xEE);  // a truncated trailer must stop the walk
  std::vector<char> firstBytes;
  size_t offset = 0;
  PeerPacket packet;
  for (int n; (n = PeerPacket::fromWire(bundle.data() + offset, bundle.size() - offset, packet)) > 0;) {
    firstBytes.push_back(packet.data()[0]);
    offset += size_t(n);
  }
  EXPECT_EQ(firstBytes, (std::vector<char>{'a', 'b', 'c'}));
  EXPECT_EQ(offset, bundle.size() - 1);
}
