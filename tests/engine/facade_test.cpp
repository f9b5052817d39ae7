#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tessel/engine/tessel_api.h"
#include "tests/support/loopback_room.h"
#include "tests/support/test_support.h"

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
  EXPECT_EQ(api.endSession(), -1);
  EXPECT_EQ(api.connect(10), -1);
  EXPECT_EQ(api.setRoomId(1, 1), -1);
  EXPECT_EQ(api.getCenterPeer(), -1);
  EXPECT_EQ(api.sendPacket(1, "x", 1, true), -1);
  EXPECT_EQ(api.castPacket("x", 1, true, true), -1);
  EXPECT_EQ(api.peekPacket(true), -1);
  EXPECT_EQ(api.sendPing(), -1);
  EXPECT_EQ(api.addPeer(1, 0), -1);
  EXPECT_EQ(api.setPeerProperty(1, 0, 0, false, false), -1);
  EXPECT_EQ(api.removePeer(1), -1);
  EXPECT_EQ(api.getPeerPingList(buffer, sizeof(buffer)), -1);
  EXPECT_EQ(api.setTopology(buffer, sizeof(buffer)), -1);
  EXPECT_EQ(api.getClosestPeer(), -1);
  EXPECT_EQ(api.getError(), 0u);
}

TEST(FacadeTest, SecondInitCreatesNothing) {
  TesselApi api;
  ASSERT_EQ(api.init(1, 0, false, 0, false, false), 0);
  Tessel* first = api.getEngine();
  EXPECT_EQ(api.init(2, 0, false, 0, false, false), 0);
  EXPECT_EQ(api.getEngine(), first);
}

TEST(FacadeTest, LocalAddressChoice) {
  struct Case {
    std::vector<uint32_t> addresses;
    uint32_t ip;
    bool real;
  } cases[] = {
      {{0x0A000005, 0xC0A80107}, 0xC0A80107, false},               // only private: the last one
      {{0x0A000005, 0xCB007109}, 0xCB007109, true},                // a public one wins
      {{0xAC200001}, 0xAC200001, true},                            // 172.32.0.1 is public
      {{0xAC1F0001}, 0xAC1F0001, false},                           // 172.31.0.1 is private
      {{0x7F000001, 0xFFFFFFFF}, 0x01020304, false},               // skipped: unchanged
      {{0x7F000002}, 0x7F000002, true},                            // other loopbacks count as public
      {{0xCB007109, 0x0A000005}, 0xCB007109, true},                // first public stops the walk
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

TEST(FacadeTest, RoomIdBounds) {
  Tessel engine;
  EXPECT_EQ(engine.setRoomId(1023, 16383), 0);
  EXPECT_EQ(engine.setRoomId(1024, 0), -1);
  EXPECT_EQ(engine.setRoomId(0, 16384), -1);
  EXPECT_EQ(engine.setRoomId(-1, 0), -1);
  EXPECT_EQ(engine.getPeerProperty().roomId.major(), 1023u);
  EXPECT_EQ(engine.getPeerProperty().roomId.minor(), 16383u);
}

TEST(FacadeTest, TwoEnginesTalkThroughTheFacade) {
  int ports[2] = {tessel_test::freeUdpPort(), tessel_test::freeUdpPort()};
  TesselApi apis[2];
  std::vector<PacketDef::PeerProperty> records;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(apis[i].init(10 + i, ports[i], true, 0, false, false), 0);
    apis[i].startSession();
    apis[i].setRoomId(3, 4);
    PacketDef::PeerProperty record;
    record.id = 10 + i;
    record.roomId.setMajor(3);
    record.roomId.setMinor(4);
    record.roomId.setSlot(uint32_t(i));
    record.ip = 0x7F000001;
    record.port = uint16_t(ports[i]);
    record.listen = 1;
    records.push_back(record);
  }
  std::string description = tessel_test::topologyDescription(0, 0, false, records, {0, 0});
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(apis[i].addPeer(10 + i, uint8_t(i)), 0);
    ASSERT_EQ(apis[i].setTopology(description.data(), int(description.size())), 0);
  }
  ASSERT_EQ(apis[0].connect(2000), 0);
  ASSERT_EQ(apis[1].connect(2000), 0);
  EXPECT_EQ(apis[1].connect(2000), 0);  // already connected
  EXPECT_EQ(apis[1].getCenterPeer(), 10);
  EXPECT_EQ(apis[1].getRootIp(), 0x7F000001u);
  ASSERT_EQ(apis[1].sendPacket(10, "hello", 6, true), 0);
  TesselJob job;
  ASSERT_TRUE(tessel_test::waitFor([&] { return apis[0].popJob(job); }));
  EXPECT_EQ(job.getType(), TesselJob::JobMessage);
  EXPECT_EQ(job.getPeerId(), 11);
  EXPECT_STREQ(job.getData(), "hello");
}
