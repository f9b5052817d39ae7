// The engine's job queue, the jobs it hands out and the texts of its error
// codes.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tessel/engine/tessel_api.h"
#include "tests/support/raw_enet_peer.h"

using zintar::ErrorCode;
using tessel_test::dataPacket;
using zintar::PeerPacket;
using zintar::Tessel;
using zintar::TesselJob;

// Each test's engine has its tables but no listening overlay host.
TEST(JobQueueTest, CallbacksQueueOneJobEachInOrder) {
  Tessel engine;
  ASSERT_EQ(engine.init(1, 0, false, 0, false, false), 0);
  TesselJob job(TesselJob::JobMessage, 77);
  EXPECT_FALSE(engine.popJob(job));
  EXPECT_EQ(job.getPeerId(), 77);  // untouched on an empty queue
  engine.gotMessage(5, dataPacket(false, 4, 'm'));
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
  engine.gotMessage(1, dataPacket(false, 4, 'a'));
  engine.gotError(1, 1);
  EXPECT_EQ(engine.getNumJobs(), 0);
  engine.setJobPut(false);
  engine.gotMessage(1, dataPacket(false, 4, 'b'));
  EXPECT_EQ(engine.getNumJobs(), 1);
  EXPECT_EQ(engine.setJobLimit(0), -1);
  EXPECT_EQ(engine.setJobLimit(2), 0);
  for (int i = 0; i < 3; ++i) engine.gotError(1, 1);
  EXPECT_EQ(engine.getNumJobs(), 2);
  EXPECT_EQ(engine.getDroppedJobs(), 2u);  // discarded while put: not counted
  TesselJob job;
  ASSERT_TRUE(engine.popJob(job));  // the other one waits on the host's side
  engine.gotError(1, 1);
  engine.gotError(1, 1);
  EXPECT_EQ(engine.getNumJobs(), 2);  // the limit counts both
  EXPECT_EQ(engine.getDroppedJobs(), 3u);
  engine.deinit();
  engine.gotError(1, 1);
  EXPECT_EQ(engine.getNumJobs(), 0);
  EXPECT_FALSE(engine.popJob(job));
}

TEST(JobQueueTest, JobsFromTwoThreadsPopInOrderPerThread) {
  Tessel engine;
  ASSERT_EQ(engine.init(1, 0, false, 0, false, false), 0);
  const int perThread = 5000;
  std::vector<std::thread> pushers;
  for (int32_t thread = 0; thread < 2; ++thread)
    pushers.emplace_back([&, thread] {
      for (int32_t i = 0; i < perThread; ++i) {
        PeerPacket packet = dataPacket(false, 4, 0);
        std::memcpy(packet.data(), &i, 4);
        engine.gotMessage(thread, packet);
      }
    });
  // Pop while the pushers run, as a host would.
  int32_t next[2] = {0, 0}, payload = 0;
  TesselJob job;
  for (int popped = 0; popped < 2 * perThread;) {
    if (!engine.popJob(job)) {
      std::this_thread::yield();
      continue;
    }
    int32_t thread = job.getPeerId();
    ASSERT_TRUE(thread == 0 || thread == 1);
    std::memcpy(&payload, job.getData(), 4);
    ASSERT_EQ(payload, next[thread]++) << "thread " << thread;
    ++popped;
  }
  for (auto& t : pushers) t.join();
}

TEST(ErrorTextTest, EveryCodeTheLibrarySetsHasAText) {
  for (uint32_t code : {ErrorCode::Successful, ErrorCode::NoTopology, ErrorCode::Timeout, ErrorCode::CannotCreate,
                        ErrorCode::NoSystemInfo, ErrorCode::SendReceive, ErrorCode::UnknownPacketType})
    EXPECT_STRNE(zintar::errorText(code), "Unknown error") << std::hex << code;
  EXPECT_STREQ(zintar::errorText(0x10301), "Timeout");
  EXPECT_STREQ(zintar::errorText(0x00000), "Successful");  // the table's ends
  EXPECT_STREQ(zintar::errorText(0x10F07), "Unrecognized packet type");
  for (uint32_t code : {0x00002u, 0x10104u, 0x10F09u, 0xFFFFFFFFu})
    EXPECT_STREQ(zintar::errorText(code), "Unknown error") << std::hex << code;
  TesselJob job;
  job.setError(0x10F03);
  EXPECT_STREQ(job.getErrorString(), "Can't retrive system information");
}

TEST(TesselJobTest, MessageTakesFrameDelayAndPayloadWithinBothBuffersAndClearRestoresTheDefaults) {
  PeerPacket framed = dataPacket(true, 12, 'm');
  framed.setFrameId(123456);
  framed.setPing(17);
  TesselJob job(TesselJob::JobMessage, 9, framed);
  EXPECT_EQ(job.getPeerId(), 9);
  EXPECT_EQ(job.getFrameId(), 123456);
  EXPECT_EQ(job.getPing(), 17);
  EXPECT_EQ(std::string(job.getData(), size_t(job.getDataSize())), std::string(12, 'm'));
  job.setError(5);
  job.clear();
  EXPECT_EQ(job.getType(), TesselJob::JobNone);
  EXPECT_EQ(job.getPeerId(), -1);
  EXPECT_EQ(job.getError(), 0u);
  EXPECT_EQ(job.getFrameId(), 0);
  EXPECT_EQ(job.getPing(), 60000);
  EXPECT_EQ(job.getDataSize(), 0);
  EXPECT_EQ(job.getData()[0], 0);
  TesselJob plain(TesselJob::JobMessage, 9, dataPacket(false, 1478, 'n'));
  EXPECT_EQ(plain.getFrameId(), 0);
  EXPECT_EQ(plain.getPing(), 60000);
  EXPECT_EQ(plain.getDataSize(), 1478);
  // Headers that claim more than any packet can hold: the copy stops at the
  // packet's buffer and at the job's 1480 bytes (ASan checks the rest).
  for (bool frame : {false, true}) {
    PeerPacket packet = dataPacket(frame, frame ? 1478 : 1484, 'z');
    packet.header().setDataSize(2047);
    job.setData(3, packet);
    EXPECT_EQ(job.getDataSize(), frame ? 1478 : 1480);
    EXPECT_EQ(job.getData()[job.getDataSize() - 1], 'z');
  }
}

TEST(TesselJobTest, CopyConstructorCopiesUsedPayloadAssignmentCopiesAll) {
  // A job whose buffer holds 'f' beyond its 4 used bytes of 's'.
  TesselJob source;
  source.setData(1, dataPacket(false, 1480, 'f'));
  source.setData(2, dataPacket(false, 4, 's'));
  TesselJob assigned;
  assigned = source;
  EXPECT_EQ(assigned.getPeerId(), 2);
  EXPECT_EQ(std::string(assigned.getData(), 6), "ssssff");  // the whole buffer came along
  TesselJob copied(source);
  EXPECT_EQ(copied.getDataSize(), 4);
  EXPECT_EQ(std::string(copied.getData(), 4), "ssss");
}
