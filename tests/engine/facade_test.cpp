#include <gtest/gtest.h>

#include <vector>

#include "tessel/engine/tessel_api.h"

using zintar::Tessel;
using zintar::TesselApi;
using zintar::TesselJob;

TEST(FacadeTest, EveryCallBeforeInitIsHarmless) {
  TesselApi api;
  TesselJob job(TesselJob::JobError, 3);
  char buffer[256];
  EXPECT_FALSE(api.popJob(job));
  EXPECT_EQ(job.getPeerId(), 3);
  EXPECT_TRUE(api.emptyJob());
  EXPECT_EQ(api.getNumJobs(), 0);
  api.setJobPut(true);
  api.startSession();
  const int results[] = {api.endSession(), api.connect(10), api.setRoomId(1, 1), api.getCenterPeer(),
                         api.sendPacket(1, "x", 1, true), api.castPacket("x", 1, true, true), api.peekPacket(true),
                         api.sendPing(), api.addPeer(1, 0), api.setPeerProperty(1, 0, 0, false, false),
                         api.removePeer(1), api.getPeerPingList(buffer, sizeof(buffer)),
                         api.setTopology(buffer, sizeof(buffer)), api.getClosestPeer()};
  for (size_t i = 0; i < std::size(results); ++i) EXPECT_EQ(results[i], -1) << "call " << i;
  EXPECT_EQ(api.getError(), 0u);
}

TEST(FacadeTest, SecondInitCreatesNothingAndLastErrorIsClearedByStartSessionOnly) {
  TesselApi api;
  ASSERT_EQ(api.init(1, 0, false, 0, false, false), 0);
  Tessel& engine = *api.getEngine();
  EXPECT_EQ(api.init(2, 0, false, 0, false, false), 0);
  EXPECT_EQ(api.getEngine(), &engine);
  EXPECT_EQ(api.getError(), 0u);
  EXPECT_FALSE(engine.isSyncTime());
  engine.setError(0x10301);
  ASSERT_EQ(api.endSession(), 0);
  EXPECT_EQ(api.getError(), 0x10301u);
  api.startSession();
  EXPECT_EQ(api.getError(), 0u);
}

TEST(FacadeTest, LocalAddressChoice) {
  struct Case { std::vector<uint32_t> addresses; uint32_t ip; bool real; } cases[] = {
      {{0x0A000005, 0xC0A80107}, 0xC0A80107, false},  // only private: the last one
      {{0x0A000005, 0xCB007109}, 0xCB007109, true},   // a public one wins
      {{0xAC200001}, 0xAC200001, true},               // 172.32.0.1 is public
      {{0xAC1F0001}, 0xAC1F0001, false},              // 172.31.0.1 is private
      {{0x7F000001, 0xFFFFFFFF}, 0x01020304, false},  // skipped: unchanged
      {{0x7F000002}, 0x7F000002, true},               // other loopbacks count as public
      {{0xCB007109, 0x0A000005}, 0xCB007109, true},   // first public stops the walk
      {{}, 0x01020304, false},
  };
  for (const auto& c : cases) {
    uint32_t ip = 0x01020304;
    bool real = false;
    Tessel::chooseLocalAddress(c.addresses, ip, real);
    EXPECT_EQ(ip, c.ip);
    EXPECT_EQ(real, c.real);
  }
}
