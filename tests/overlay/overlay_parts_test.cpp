// The overlay's parts that need no network. The packet: where each header
// field and the FrameInfo sit on the wire, copies, the delay rule, Ping
// into Pong, and the checked entry point. The frame store's ring: the sizes
// it refuses, where readers that fell behind or ran ahead land, and what a
// failed allocation leaves (clearing it for a new session: the second
// session of the integration rooms). The local view of the tree as a pure
// function of (own slot, parent table); tables that are not trees are the
// topology fuzzer's.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tessel/overlay/peer_client.h"
#include "tests/support/raw_enet_peer.h"

using tessel_test::dataPacket;
using tessel_test::wire;
using zintar::PeerPacket;
using zintar::TopologyView;

namespace {

// Puts a packet of size bytes whose first four bytes hold number and whose
// other bytes hold its low byte.
int putNumbered(PeerPacketQueue& queue, uint32_t number, int size = 8) {
  std::vector<char> bytes(static_cast<size_t>(size), static_cast<char>(number));
  if (bytes.size() >= sizeof(number)) std::memcpy(bytes.data(), &number, sizeof(number));
  return queue.put(bytes.data(), size);
}

// The number of the packet at index, or -1 when there is none.
int64_t numberAt(PeerPacketQueue& queue, uint32_t& index) {
  const char* packet = queue.get(index);
  if (packet == nullptr) return -1;
  uint32_t number;
  std::memcpy(&number, packet, sizeof(number));
  return number;
}

std::string stderrOf(const std::function<void()>& body) {
  testing::internal::CaptureStderr();
  body();
  return testing::internal::GetCapturedStderr();
}

std::vector<int32_t> table(std::initializer_list<int32_t> head) {
  std::vector<int32_t> parents(32, -1);
  std::copy(head.begin(), head.end(), parents.begin());
  return parents;
}

std::vector<int32_t> neighbours(const TopologyView& view) {
  std::vector<int32_t> list;
  for (int32_t slot = view.linkHead; slot != -1 && list.size() < 40 && (list.empty() || slot != view.linkHead);
       slot = view.next[slot])
    list.push_back(slot);
  return list;
}

}  // namespace

TEST(PeerPacketTest, HeaderAndFrameInfoSitWhereTheWireSaysAndAreCopied) {
  EXPECT_EQ(PeerPacket(85).header().type(), 21u);  // only the low 6 bits count
  PeerPacket framed = dataPacket(true, 4, 'x');
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
  std::string bytes = wire(framed);
  EXPECT_EQ(bytes.substr(8), std::string("\4\3\2\1\5\0xxxx", 10));
  EXPECT_EQ(framed.size(false), 10);
  // Without FrameInfo the payload follows the header, and stamping writes nothing.
  PeerPacket plain = dataPacket(false, 4, 'x');
  plain.stampDelay(500);
  EXPECT_EQ(wire(plain), std::string("\x21\0\0\0\0\0\x80\0xxxx", 12));
  EXPECT_EQ(plain.getPing(), 60000);
  EXPECT_EQ(plain.getFrameId(), 0u);
  // A copy takes exactly size(true) bytes, however many a header set by
  // hand announces.
  plain = framed;
  EXPECT_EQ(wire(plain), bytes);
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
  std::string bytes = wire(dataPacket(true, 20, 'p'));
  PeerPacket received;
  EXPECT_EQ(PeerPacket::fromWire(bytes.data(), bytes.size(), received), 34);
  EXPECT_EQ(wire(received), bytes);
  // Too short for the header, or for what the header announces: refused
  // and the target untouched.
  PeerPacket untouched = dataPacket(false, 3, 'u');
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

TEST(TopologyTest, LocalViewsOfOneTreeAndNoneWithoutNeighbours) {
  // 0 is the root with children 1 and 2; 3 hangs below 1.
  auto parents = table({0, 0, 0, 1});
  struct Case {
    int32_t own, parent;
    std::vector<int32_t> list;
    bool hasChildren;
    std::vector<int32_t> route;  // slots 0..4
  } cases[] = {
      {1, 0, {0, 3}, true, {0, 1, 0, 3, -1}},
      {0, -1, {1, 2}, true, {0, 1, 2, 1, -1}},
      {2, 0, {0}, false, {0, 0, 2, 0, -1}},
      {3, 1, {1}, false, {1, 1, 1, 3, -1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.own);
    TopologyView view;
    ASSERT_TRUE(view.build(c.own, 32, parents.data()));
    EXPECT_EQ(view.rootSlotId, 0);
    EXPECT_EQ(view.parentSlotId, c.parent);
    EXPECT_EQ(neighbours(view), c.list);
    EXPECT_EQ(view.hasChildren, c.hasChildren);
    EXPECT_EQ(std::vector<bool>(view.hasChild, view.hasChild + 4), (std::vector<bool>{true, true, false, false}));
    EXPECT_EQ(std::vector<int32_t>(view.route, view.route + 5), c.route);
  }
  // No neighbour is no topology.
  EXPECT_FALSE(TopologyView().build(0, 32, table({0}).data()));  // a lonely root
  EXPECT_FALSE(TopologyView().build(5, 32, table({0, 0}).data()));  // outside the tree
  EXPECT_FALSE(TopologyView().build(40, 32, table({0, 0}).data()));
  EXPECT_FALSE(TopologyView().build(0, 0, table({0, 0}).data()));
  EXPECT_TRUE(TopologyView().build(0, 64, std::vector<int32_t>(64, 0).data()));  // cut to 32 entries
}

TEST(PeerPacketQueueTest, RefusedSizesAndCapacities) {
  PeerPacketQueue queue;
  EXPECT_EQ(queue.init(), 0);
  char byte = 1;
  EXPECT_EQ(stderrOf([&] { EXPECT_EQ(queue.put(&byte, 1), -1); }), "Packet size 1 is greater than allowed size 0\n");
  EXPECT_EQ(queue.put(&byte, 0), -1) << "no ring";
  EXPECT_EQ(queue.init(8, 1478), 0);
  EXPECT_EQ(putNumbered(queue, 42, 1486), 0);
  EXPECT_EQ(putNumbered(queue, 43, 1487), -1);
  EXPECT_EQ(queue.put(nullptr, -5), -1);
  EXPECT_EQ(queue.put(nullptr, 4), -1);
  // Refused data sizes keep the ring and its packets as they were; refused
  // capacities drop the ring rather than keep half of it.
  for (int maxDataSize : {1479, INT_MAX, -1, INT_MIN}) {
    std::string message = stderrOf([&] { EXPECT_EQ(queue.resize(4, maxDataSize), -1) << maxDataSize; });
    EXPECT_EQ(message, maxDataSize > 0 ? "The maximum size of data must be smaller than 1478\n" : "");
    uint32_t index = 0;
    EXPECT_EQ(numberAt(queue, index), 42) << maxDataSize;
  }
  for (int capacity : {0, -1, INT_MIN}) {
    EXPECT_EQ(queue.resize(capacity, 100), -1) << capacity;
    EXPECT_EQ(queue.getMaxDataSize(), 0);
    uint32_t index = 0;
    EXPECT_EQ(numberAt(queue, index), -1);
    EXPECT_EQ(index, 0u);
    ASSERT_EQ(queue.resize(1, 0), 0);  // a slot for the header alone
    EXPECT_EQ(queue.getMaxDataSize(), 8);
    ASSERT_EQ(putNumbered(queue, 7), 0);
  }
}

TEST(PeerPacketQueueTest, ReadersBehindSkipAndReadersAheadWait) {
  const struct Case {
    int capacity;
    uint32_t puts, index;
    int64_t packet;  // -1: nothing
    uint32_t indexAfter;
  } cases[] = {
      {4, 6, 0, 3, 4},  // overwritten: skips to 6 - 4 + 1
      {4, 6, 2, 2, 3},  // the oldest packet still held
      {4, 6, 5, 5, 6},  // the newest
      {4, 6, 6, -1, 6},  // nothing new yet
      {4, 1000, 0, 997, 998},
      {4, 0, 0, -1, 0},
      {1, 3, 0, 2, 4},  // one slot: the skip lands on the index being written next
      {3, 5, 2, 2, 3},  // a capacity that is not a power of two
      {3, 5, 1, 3, 4},
  };
  for (const Case& c : cases) {
    PeerPacketQueue queue;
    ASSERT_EQ(queue.resize(c.capacity, 100), 0);
    for (uint32_t n = 0; n < c.puts; ++n) ASSERT_EQ(putNumbered(queue, n), 0);
    uint32_t index = c.index;
    EXPECT_EQ(numberAt(queue, index), c.packet) << c.capacity << " slots, " << c.puts << " puts, index " << c.index;
    EXPECT_EQ(index, c.indexAfter) << c.capacity << " slots, " << c.puts << " puts, index " << c.index;
  }
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TESSEL_TEST_SANITIZED 1
#endif
#endif
#if !defined(TESSEL_TEST_SANITIZED) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// In a child whose address space is capped, a ring of some 3 TB cannot be
// had: the queue then refuses everything rather than keep a stale ring.
// (The sanitizers' allocators abort on such a request instead of failing it.)
TEST(PeerPacketQueueDeathTest, FailedAllocationLeavesNoStorage) {
  auto resizeBeyondMemory = [] {
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = rlim_t(1) << 34;
    setrlimit(RLIMIT_AS, &limit);
    PeerPacketQueue queue;
    bool ok = queue.resize(4, 100) == 0 && putNumbered(queue, 1) == 0 && queue.resize(INT_MAX, 1478) == -1;
    uint32_t index = 0;
    std::exit(ok && queue.getMaxDataSize() == 0 && numberAt(queue, index) == -1 ? 0 : 1);
  };
  EXPECT_EXIT(resizeBeyondMemory(), testing::ExitedWithCode(0), "Can't create PeerPacketQueue: .+");
}
#endif
