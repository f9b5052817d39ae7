#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "tessel/engine/tessel.h"

using zintar::PeerPacket;
using zintar::Tessel;
using zintar::TesselJob;

namespace {

PeerPacket messageWith(int32_t value) {
  PeerPacket packet(PeerPacket::Data, false);
  packet.header().setDataSize(sizeof(value));
  std::memcpy(packet.data(), &value, sizeof(value));
  return packet;
}

int32_t payloadOf(const TesselJob& job) {
  int32_t value = 0;
  std::memcpy(&value, job.getData(), sizeof(value));
  return value;
}

}  // namespace

// Each test's engine has its tables but no listening overlay host.
TEST(JobQueueTest, CallbacksQueueOneJobEachInOrder) {
  Tessel engine;
  ASSERT_EQ(engine.init(1, 0, false, 0, false, false), 0);
  TesselJob job(TesselJob::JobMessage, 77);
  EXPECT_FALSE(engine.popJob(job));
  EXPECT_EQ(job.getPeerId(), 77);  // untouched on an empty queue
  engine.gotMessage(5, messageWith(1234));
  engine.gotPingPong(6, int16_t(-3));
  PacketDef::PeerProperty leaving;
  leaving.id = 31337;
  PeerPacket disconnect(PeerPacket::Disconnect, true);
  disconnect.header().setSrcSlot(2);
  disconnect.header().setDataSize(sizeof(leaving));
  std::memcpy(disconnect.data(), &leaving, sizeof(leaving));
  engine.gotDisconnect(disconnect);
  PeerPacket shortPacket(PeerPacket::Disconnect, false);
  shortPacket.header().setDataSize(2);
  engine.gotDisconnect(shortPacket);
  engine.gotError(8, 0x10F07);
  EXPECT_EQ(engine.getNumJobs(), 5);
  EXPECT_FALSE(engine.emptyJob());
  const struct { uint16_t type; int32_t peer; uint16_t ping; } expected[] = {
      {TesselJob::JobMessage, 5, 60000},
      {TesselJob::JobPingPong, 6, uint16_t(-3)},
      {TesselJob::JobDisconnect, 31337, 60000},  // the departed peer, not the packet's sender
      {TesselJob::JobDisconnect, -1, 60000},     // no record: nobody
      {TesselJob::JobError, 8, 60000},
  };
  for (const auto& e : expected) {
    ASSERT_TRUE(engine.popJob(job));
    EXPECT_EQ(job.getType(), e.type);
    EXPECT_EQ(job.getPeerId(), e.peer);
    EXPECT_EQ(job.getPing(), e.ping);
  }
  EXPECT_EQ(job.getError(), 0x10F07u);
  EXPECT_STREQ(job.getErrorString(), "Unrecognized packet type");
  EXPECT_FALSE(engine.popJob(job));
  EXPECT_TRUE(engine.emptyJob());
}

TEST(JobQueueTest, QueueIsClosedOutsideInitJobPutDiscardsAndAFullQueueDrops) {
  Tessel engine;
  engine.gotError(1, 1);
  EXPECT_EQ(engine.getNumJobs(), 0);
  ASSERT_EQ(engine.init(1, 0, false, 0, false, false), 0);
  engine.setJobPut(true);
  engine.gotMessage(1, messageWith(1));
  engine.gotError(1, 1);
  EXPECT_EQ(engine.getNumJobs(), 0);
  engine.setJobPut(false);
  engine.gotMessage(1, messageWith(2));
  EXPECT_EQ(engine.getNumJobs(), 1);
  EXPECT_EQ(engine.setJobLimit(0), -1);
  EXPECT_EQ(engine.setJobLimit(2), 0);
  for (int i = 0; i < 3; ++i) engine.gotError(1, 1);
  EXPECT_EQ(engine.getNumJobs(), 2);
  EXPECT_EQ(engine.getDroppedJobs(), 2u);  // discarded while put: not counted
  engine.deinit();
  engine.gotError(1, 1);
  EXPECT_EQ(engine.getNumJobs(), 0);
  TesselJob job;
  EXPECT_FALSE(engine.popJob(job));
}

TEST(JobQueueTest, JobsFromTwoThreadsPopInOrderPerThread) {
  Tessel engine;
  ASSERT_EQ(engine.init(1, 0, false, 0, false, false), 0);
  const int perThread = 5000;
  std::vector<std::thread> pushers;
  for (int32_t thread = 0; thread < 2; ++thread)
    pushers.emplace_back([&, thread] {
      for (int32_t i = 0; i < perThread; ++i) engine.gotMessage(thread, messageWith(i));
    });
  // Pop while the pushers run, as a host would.
  int32_t next[2] = {0, 0};
  TesselJob job;
  for (int popped = 0; popped < 2 * perThread;) {
    if (!engine.popJob(job)) {
      std::this_thread::yield();
      continue;
    }
    int32_t thread = job.getPeerId();
    ASSERT_TRUE(thread == 0 || thread == 1);
    ASSERT_EQ(payloadOf(job), next[thread]++) << "thread " << thread;
    ++popped;
  }
  for (auto& t : pushers) t.join();
}
