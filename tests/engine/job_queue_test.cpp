#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "tessel/engine/tessel.h"

using zintar::PeerPacket;
using zintar::Tessel;
using zintar::TesselJob;

namespace {

// An engine with its tables but without a listening overlay host.
class JobQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(engine.init(1, 0, false, 0, false, false), 0); }
  Tessel engine;
};

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

TEST_F(JobQueueTest, CallbacksQueueOneJobEachInOrder) {
  TesselJob job(TesselJob::JobMessage, 77);
  EXPECT_FALSE(engine.popJob(job));
  EXPECT_EQ(job.getPeerId(), 77);  // untouched on an empty queue
  EXPECT_TRUE(engine.emptyJob());

  engine.gotMessage(5, messageWith(1234));
  engine.gotPingPong(6, int16_t(-3));
  PacketDef::PeerProperty leaving;
  leaving.id = 31337;
  PeerPacket disconnect(PeerPacket::Disconnect, true);
  disconnect.header().setSrcSlot(2);
  disconnect.header().setDataSize(sizeof(leaving));
  std::memcpy(disconnect.data(), &leaving, sizeof(leaving));
  engine.gotDisconnect(disconnect);
  engine.gotError(8, 0x10F07);
  EXPECT_EQ(engine.getNumJobs(), 4);
  EXPECT_FALSE(engine.emptyJob());

  ASSERT_TRUE(engine.popJob(job));
  EXPECT_EQ(job.getType(), TesselJob::JobMessage);
  EXPECT_EQ(job.getPeerId(), 5);
  EXPECT_EQ(payloadOf(job), 1234);

  ASSERT_TRUE(engine.popJob(job));
  EXPECT_EQ(job.getType(), TesselJob::JobPingPong);
  EXPECT_EQ(job.getPeerId(), 6);
  EXPECT_EQ(job.getPing(), uint16_t(-3));
  EXPECT_EQ(job.getDataSize(), 0);
  EXPECT_EQ(job.getFrameId(), 0);

  ASSERT_TRUE(engine.popJob(job));
  EXPECT_EQ(job.getType(), TesselJob::JobDisconnect);
  EXPECT_EQ(job.getPeerId(), 31337);  // the departed peer, not the packet's sender
  EXPECT_EQ(job.getPing(), 60000);

  ASSERT_TRUE(engine.popJob(job));
  EXPECT_EQ(job.getType(), TesselJob::JobError);
  EXPECT_EQ(job.getPeerId(), 8);
  EXPECT_EQ(job.getError(), 0x10F07u);
  EXPECT_STREQ(job.getErrorString(), "Unrecognized packet type");

  EXPECT_FALSE(engine.popJob(job));
  EXPECT_EQ(engine.getNumJobs(), 0);
}

TEST_F(JobQueueTest, DisconnectWithoutPeerRecordNamesNobody) {
  PeerPacket shortPacket(PeerPacket::Disconnect, false);
  shortPacket.header().setDataSize(2);
  engine.gotDisconnect(shortPacket);
  TesselJob job;
  ASSERT_TRUE(engine.popJob(job));
  EXPECT_EQ(job.getPeerId(), -1);
}

TEST_F(JobQueueTest, JobPutDiscardsUntilClearedAndAFullQueueDrops) {
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
}

TEST_F(JobQueueTest, JobsFromTwoThreadsPopInOrderPerThread) {
  const int perThread = 5000;
  std::vector<std::thread> pushers;
  for (int32_t thread = 0; thread < 2; ++thread)
    pushers.emplace_back([&, thread] {
      for (int32_t i = 0; i < perThread; ++i) engine.gotMessage(thread, messageWith(i));
    });
  // Pop while the pushers run, as a host would.
  int32_t next[2] = {0, 0};
  int popped = 0;
  TesselJob job;
  while (popped < 2 * perThread) {
    if (!engine.popJob(job)) {
      std::this_thread::yield();
      continue;
    }
    int32_t thread = job.getPeerId();
    ASSERT_TRUE(thread == 0 || thread == 1);
    ASSERT_EQ(payloadOf(job), next[thread]) << "thread " << thread;
    ++next[thread];
    ++popped;
  }
  for (auto& t : pushers) t.join();
  EXPECT_TRUE(engine.emptyJob());
}

TEST(EngineStateTest, QueueIsClosedOutsideInitAndDeinit) {
  Tessel engine;
  engine.gotError(1, 1);
  EXPECT_EQ(engine.getNumJobs(), 0);
  TesselJob job;
  EXPECT_FALSE(engine.popJob(job));
  ASSERT_EQ(engine.init(1, 0, false, 0, false, false), 0);
  engine.gotError(1, 1);
  EXPECT_EQ(engine.getNumJobs(), 1);
  engine.deinit();
  engine.gotError(1, 1);
  EXPECT_EQ(engine.getNumJobs(), 0);
  EXPECT_TRUE(engine.emptyJob());
}

TEST(EngineStateTest, ErrorAndFlagsStartClear) {
  Tessel engine;
  EXPECT_EQ(engine.getError(), 0u);
  EXPECT_FALSE(engine.isSyncTime());
  EXPECT_EQ(+engine.getPeerProperty().id, -1);
  engine.setError(0x10301);
  EXPECT_EQ(engine.getError(), 0x10301u);
}
