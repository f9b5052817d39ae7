#include <gtest/gtest.h>

#include <sys/resource.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tessel/overlay/peer_packet_queue.h"
#include "tests/support/test_support.h"

namespace {

// Puts a packet of size bytes whose first four bytes hold number and whose
// other bytes hold its low byte.
int putNumbered(PeerPacketQueue& queue, uint32_t number, int size = 8) {
  std::vector<char> bytes(static_cast<size_t>(size), static_cast<char>(number));
  if (bytes.size() >= sizeof(number)) std::memcpy(bytes.data(), &number, sizeof(number));
  return queue.put(bytes.data(), size);
}

uint32_t numberAt(const char* slot) {
  uint32_t number;
  std::memcpy(&number, slot, sizeof(number));
  return number;
}

// A ring of capacity slots with packets 0..puts-1 put into it.
void fill(PeerPacketQueue& queue, int capacity, uint32_t puts) {
  ASSERT_EQ(queue.resize(capacity, 100), 0);
  for (uint32_t n = 0; n < puts; ++n) ASSERT_EQ(putNumbered(queue, n), 0);
}

// Stderr output of body.
template <typename Body>
std::string stderrOf(Body body) {
  testing::internal::CaptureStderr();
  body();
  return testing::internal::GetCapturedStderr();
}

void expectNoStorage(PeerPacketQueue& queue) {
  EXPECT_EQ(queue.getMaxDataSize(), 0);
  char byte = 1;
  EXPECT_EQ(queue.put(&byte, 0), -1);
  EXPECT_EQ(stderrOf([&] { EXPECT_EQ(queue.put(&byte, 1), -1); }),
            "Packet size 1 is greater than allowed size 0\n");
  uint32_t index = 0;
  EXPECT_EQ(queue.get(index), nullptr);
  EXPECT_EQ(index, 0u);
}

}  // namespace

TEST(PeerPacketQueueTest, QueueWithoutStorageRefusesPutAndGet) {
  PeerPacketQueue never;
  EXPECT_EQ(never.init(), 0);
  expectNoStorage(never);

  // Refused capacities drop the old ring rather than keep half of it.
  for (int capacity : {0, -1, INT_MIN}) {
    PeerPacketQueue queue;
    fill(queue, 4, 3);
    EXPECT_EQ(queue.resize(capacity, 100), -1) << capacity;
    expectNoStorage(queue);
    EXPECT_EQ(queue.resize(2, 0), 0);  // and a later resize brings it back
    EXPECT_EQ(queue.getMaxDataSize(), 8);
    EXPECT_EQ(putNumbered(queue, 7), 0);
  }
}

TEST(PeerPacketQueueTest, ResizeChecksTheDataSize) {
  PeerPacketQueue queue;
  EXPECT_EQ(queue.init(8, 1478), 0);
  EXPECT_EQ(queue.getMaxDataSize(), 1486);
  EXPECT_EQ(putNumbered(queue, 42, 1486), 0);

  // Refused data sizes keep the ring and its packets as they were.
  for (int maxDataSize : {1479, INT_MAX, -1, INT_MIN}) {
    std::string message = stderrOf([&] { EXPECT_EQ(queue.resize(4, maxDataSize), -1) << maxDataSize; });
    EXPECT_EQ(message, maxDataSize > 0 ? "The maximum size of data must be smaller than 1478\n" : "");
    EXPECT_EQ(queue.getMaxDataSize(), 1486);
    uint32_t index = 0;
    const char* packet = queue.get(index);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(numberAt(packet), 42u);
  }

  EXPECT_EQ(queue.resize(4, 100), 0);
  EXPECT_EQ(queue.getMaxDataSize(), 108);
  uint32_t index = 0;
  EXPECT_EQ(queue.get(index), nullptr);  // resize discards what was stored
}

TEST(PeerPacketQueueTest, PutAcceptsUpToTheSlotSize) {
  PeerPacketQueue queue;
  ASSERT_EQ(queue.resize(2, 100), 0);
  EXPECT_EQ(putNumbered(queue, 0xAB, 108), 0);
  EXPECT_EQ(stderrOf([&] { EXPECT_EQ(putNumbered(queue, 1, 109), -1); }),
            "Packet size 109 is greater than allowed size 108\n");
  EXPECT_EQ(queue.put(nullptr, -5), -1);
  EXPECT_EQ(queue.put(nullptr, 4), -1);
  EXPECT_EQ(putNumbered(queue, 1, 8), 0);
  EXPECT_EQ(putNumbered(queue, 2, 8), 0);  // over the first packet's slot

  // Only the accepted packets were counted: packet 2 is the newest.
  uint32_t index = 1;
  EXPECT_EQ(numberAt(queue.get(index)), 1u);
  const char* third = queue.get(index);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(numberAt(third), 2u);
  EXPECT_EQ(third[8], char(0xAB));  // a short packet leaves the slot's tail alone
  EXPECT_EQ(queue.get(index), nullptr);
}

TEST(PeerPacketQueueTest, ReadersBehindSkipAndReadersAheadWait) {
  struct Case {
    int capacity;
    uint32_t puts;
    uint32_t index;
    int64_t packet;  // -1: nothing
    uint32_t indexAfter;
  };
  const Case cases[] = {
      {4, 6, 0, 3, 4},  // overwritten: skips to 6 - 4 + 1
      {4, 6, 1, 3, 4},
      {4, 6, 2, 2, 3},  // the oldest packet still held
      {4, 6, 5, 5, 6},  // the newest
      {4, 6, 6, -1, 6},  // nothing new yet
      {4, 6, 1000, -1, 1000},
      {4, 6, UINT32_MAX, -1, UINT32_MAX},
      {4, 1000, 0, 997, 998},
      {4, 1000, 996, 996, 997},
      {4, 1000, 997, 997, 998},
      {4, 0, 0, -1, 0},
      {1, 1, 0, 0, 1},
      {1, 3, 0, 2, 4},  // one slot: the skip lands on the index being written next
      {3, 5, 2, 2, 3},  // a capacity that is not a power of two
      {3, 5, 1, 3, 4},
  };
  for (const Case& c : cases) {
    PeerPacketQueue queue;
    fill(queue, c.capacity, c.puts);
    uint32_t index = c.index;
    queue.lock();
    const char* packet = queue.get(index);
    queue.unlock();
    std::string what = std::to_string(c.capacity) + " slots, " + std::to_string(c.puts) + " puts, index " +
                       std::to_string(c.index);
    if (c.packet < 0) {
      EXPECT_EQ(packet, nullptr) << what;
    } else {
      EXPECT_NE(packet, nullptr) << what;
      if (packet != nullptr) {
        EXPECT_EQ(numberAt(packet), uint32_t(c.packet)) << what;
      }
    }
    EXPECT_EQ(index, c.indexAfter) << what;
  }
}

TEST(PeerPacketQueueTest, ClearRestartsNumberingAndKeepsStorage) {
  PeerPacketQueue queue;
  fill(queue, 4, 6);
  queue.clear();
  EXPECT_EQ(queue.getMaxDataSize(), 108);
  uint32_t stale = 3;
  uint32_t fresh = 0;
  EXPECT_EQ(queue.get(stale), nullptr);
  ASSERT_EQ(putNumbered(queue, 100), 0);
  EXPECT_EQ(queue.get(stale), nullptr);  // until count passes the stale index
  EXPECT_EQ(stale, 3u);
  const char* packet = queue.get(fresh);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(numberAt(packet), 100u);
}

TEST(PeerPacketQueueTest, LockSerialisesWriterAndReaderThreads) {
  // The ring is larger than the run, so the reader sees every packet whole
  // and in order; the thread sanitizer checks the locking.
  constexpr uint32_t Packets = 2000;
  constexpr int Size = 64;
  PeerPacketQueue queue;
  ASSERT_EQ(queue.resize(int(Packets), Size - 8), 0);

  std::thread writer([&] {
    for (uint32_t n = 0; n < Packets; ++n) {
      queue.lock();
      putNumbered(queue, n, Size);
      queue.unlock();
    }
  });
  uint32_t index = 0;
  uint32_t expected = 0;
  bool whole = true;
  bool allSeen = tessel_test::waitFor([&] {
    queue.lock();
    while (const char* packet = queue.get(index)) {
      whole = whole && numberAt(packet) == expected && packet[Size - 1] == char(expected);
      ++expected;
    }
    queue.unlock();
    return expected == Packets;
  });
  writer.join();
  EXPECT_TRUE(allSeen);
  EXPECT_TRUE(whole);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TESSEL_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TESSEL_TEST_SANITIZED 1
#endif

#ifndef TESSEL_TEST_SANITIZED
namespace {

// Runs in a child whose address space is capped, so that a ring of some
// 3 TB cannot be had; exits 0 when the queue then refuses everything rather
// than keep a stale ring.
void resizeBeyondMemory() {
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = rlim_t(1) << 34;
  setrlimit(RLIMIT_AS, &limit);
  PeerPacketQueue queue;
  bool ok = queue.resize(4, 100) == 0 && putNumbered(queue, 1) == 0;
  ok = ok && queue.resize(INT_MAX, 1478) == -1;
  char byte = 0;
  uint32_t index = 0;
  ok = ok && queue.getMaxDataSize() == 0 && queue.put(&byte, 0) == -1 && queue.get(index) == nullptr;
  std::exit(ok ? 0 : 1);
}

}  // namespace

// The sanitizers' allocators abort on such a request instead of failing it,
// so this runs in the plain build only.
TEST(PeerPacketQueueDeathTest, FailedAllocationLeavesNoStorage) {
  EXPECT_EXIT(resizeBeyondMemory(), testing::ExitedWithCode(0), "Can't create PeerPacketQueue: .+");
}
#endif
