// The frame store's ring: the sizes it refuses, where readers that fell
// behind or ran ahead land, and what a failed allocation leaves. (Clearing
// it for a new session: the second session of the integration rooms.)

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tessel/overlay/peer_packet_queue.h"

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

}  // namespace

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
