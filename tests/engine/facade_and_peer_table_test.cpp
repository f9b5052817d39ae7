// The facade before and after init, the choice of the local address, and the
// engine's peer table and topology description.

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

namespace {

class PeerTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(engine.init(7, 0, false, 0, false, false), 0);
    engine.startSession();
    engine.setRoomId(5, 6);
  }
  Tessel engine;
};

// count records: peer firstId + i in slot i.
std::vector<PacketDef::PeerProperty> records(int32_t firstId, int count) {
  std::vector<PacketDef::PeerProperty> made(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) made[size_t(i)].id = firstId + i, made[size_t(i)].roomId.setSlot(uint32_t(i));
  return made;
}

int32_t readInt(const char* at) {
  int32_t value;
  std::memcpy(&value, at, 4);
  return value;
}

}  // namespace

TEST(FacadeTest, EveryCallBeforeInitIsHarmless) {
  TesselApi api;
  TesselJob job(TesselJob::JobError, 3);
  char buffer[256];
  EXPECT_FALSE(api.popJob(job));
  EXPECT_EQ(job.getPeerId(), 3);
  EXPECT_TRUE(api.emptyJob());
  EXPECT_EQ(api.getNumJobs(), 0);
  api.setJobPut(true), api.setFakePing(true);
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
  const int port = tessel_test::freeUdpPort();
  ASSERT_EQ(api.init(1, port, true, 0, false, false), 0);
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
  engine.deinit();
  EXPECT_EQ(Tessel().init(3, port, true, 0, false, false), 0) << "deinit frees the port";
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

TEST_F(PeerTableTest, AddPeerTeachesOwnSlotAndCountsOnce) {
  EXPECT_EQ(engine.addPeer(7, 3), 0);
  EXPECT_EQ(engine.getPeerProperty().roomId.slot(), 3u);
  EXPECT_EQ(engine.getPeerProperty().roomId.major(), 5u);
  EXPECT_EQ(engine.getPeerPing(3), 0);
  EXPECT_EQ(engine.addPeer(8, 32), -1);
  EXPECT_EQ(engine.addPeer(8, 31), 0);
  EXPECT_EQ(engine.addPeer(8, 31), 0);
  EXPECT_EQ(engine.getNumPeers(), 2);
  EXPECT_EQ(engine.getPeerPing(31), -1);  // this engine does not listen
  EXPECT_EQ(engine.setPeerProperty(9, 1, 2, false, true), -1);
  EXPECT_EQ(engine.setPeerProperty(8, 0x7F000001, 4000, false, true), 0);
  EXPECT_EQ(+engine.getPeerProperty(31).port, 4000);
  engine.getPeerProperty(32).id = 8;  // a scratch record, reset at every call
  EXPECT_EQ(+engine.getPeerProperty(-1).id, -1);
  EXPECT_EQ(engine.removePeer(8), 0);
  EXPECT_EQ(engine.removePeer(8), 0);  // already gone: nothing changes
  EXPECT_EQ(engine.getNumPeers(), 1);
  EXPECT_EQ(engine.removePeer(99), -1);
  // Room numbers outside 10 and 14 bits are refused and change nothing.
  for (auto [major, minor] : {std::pair{1024, 0}, {0, 16384}, {-1, 0}}) EXPECT_EQ(engine.setRoomId(major, minor), -1);
  EXPECT_EQ(engine.getPeerProperty().roomId.minor(), 6u);
  EXPECT_EQ(engine.setRoomId(1023, 16383), 0);
  EXPECT_EQ(engine.getPeerProperty().roomId.major(), 1023u);
  EXPECT_EQ(engine.getPeerProperty().roomId.minor(), 16383u);
  EXPECT_EQ(+Tessel().getPeerProperty().id, -1);
  engine.startSession();
  EXPECT_EQ(engine.getNumPeers(), 0);
}

TEST_F(PeerTableTest, PeerPingListNeverWritesPastItsBuffer) {
  engine.addPeer(7, 0);
  engine.addPeer(8, 1);
  std::vector<char> buffer(200, '\x55');
  EXPECT_EQ(engine.getPeerPingList(buffer.data(), 49), -1);
  EXPECT_EQ(buffer[0], '\x55');
  EXPECT_EQ(engine.getPeerPingList(buffer.data(), 50), -1);
  EXPECT_EQ(readInt(buffer.data()), 7);
  EXPECT_EQ(buffer[50], '\x55');
  EXPECT_EQ(engine.getPeerPingList(buffer.data(), 53), -1);
  EXPECT_EQ(engine.getPeerPingList(buffer.data(), 63), -1);  // the entries do not fit
  int written = engine.getPeerPingList(buffer.data(), int(buffer.size()));
  ASSERT_EQ(written, 58 + 10);
  EXPECT_EQ(readInt(buffer.data() + 50), 2);
  EXPECT_EQ(buffer[54], 0);
  EXPECT_EQ(readInt(buffer.data() + 55), 0);
  EXPECT_EQ(buffer[59], 1);
  EXPECT_EQ(readInt(buffer.data() + 60), -1);
  EXPECT_EQ(readInt(buffer.data() + 64), 0);  // no galaxies
  EXPECT_EQ(buffer[68], '\x55');
}

TEST_F(PeerTableTest, TopologyDescriptionIsReadWithinItsSize) {
  std::vector<PacketDef::PeerProperty> three = records(20, 3);
  three[2].roomId.setSlot(40);  // beyond the room: ignored
  std::string description = tessel_test::topologyDescription(16, 1000, true, three, {0});
  // Every cut of the description is refused or applied partly, never read past.
  for (size_t cut = 0; cut < description.size(); ++cut) {
    std::vector<char> copy(description.begin(), description.begin() + long(cut));
    EXPECT_EQ(engine.setTopology(copy.data(), int(cut)), -1) << cut;
  }
  ASSERT_EQ(engine.setTopology(description.data(), int(description.size())), 0);
  EXPECT_TRUE(engine.isSyncTime());
  EXPECT_EQ(engine.getClient().getOrderedDataLimit(), 1000);
  EXPECT_EQ(engine.getParent(0), 0);
  EXPECT_EQ(engine.getTopologyPing(0), 10);
  EXPECT_EQ(engine.getTopologyPing(1), 60000);  // a record without a tree entry
  EXPECT_EQ(+engine.getPeerProperty(1).id, 21);
  // Entries naming slots or parents beyond the room are ignored.
  std::string hostile = tessel_test::topologyDescription(0, 0, false, {}, {});
  hostile.resize(hostile.size() - 4);
  int32_t entries = 2;
  hostile.append(reinterpret_cast<const char*>(&entries), 4);
  hostile.append("\x28\x00\x05\x00\x00\x00", 6);
  hostile.append("\x02\xFF\x05\x00\x00\x00", 6);
  EXPECT_EQ(engine.setTopology(hostile.data(), int(hostile.size())), 0);
  EXPECT_EQ(engine.getParent(2), -1);
  // A data size beyond a packet's payload is refused, but caps the limit.
  std::string tooLarge = tessel_test::topologyDescription(8, 2000, false, {}, {});
  EXPECT_EQ(engine.setTopology(tooLarge.data(), int(tooLarge.size())), -1);
  EXPECT_EQ(engine.getClient().getOrderedDataLimit(), 1478);
  // Huge counts are refused, not multiplied past the buffer.
  std::string huge = tessel_test::topologyDescription(0, 0, false, {}, {});
  int32_t many = 0x7FFFFFFF;
  std::memcpy(&huge[9], &many, 4);
  EXPECT_EQ(engine.setTopology(huge.data(), int(huge.size())), -1);
}

// Found by fuzzing: a packet count of 0x24000040 made the engine ask for
// some 900 GB of frame store. Counts above the limit are refused before
// anything is allocated, and nothing after them is applied.
TEST_F(PeerTableTest, FrameStoreCountFromDescriptionIsBounded) {
  const int32_t max = zintar::PeerClient::MaxStoreCapacity;
  for (int32_t capacity : {0x24000040, max + 1, 0x7FFFFFFF, max}) {
    std::string description = tessel_test::topologyDescription(capacity, 8, true, {}, {});
    EXPECT_EQ(engine.setTopology(description.data(), int(description.size())), capacity == max ? 0 : -1) << capacity;
    EXPECT_EQ(engine.isSyncTime(), capacity == max) << capacity;
  }
}

TEST_F(PeerTableTest, ClosestPeerSkipsExcludedAndTiesGoToTheLowerSlot) {
  std::vector<PacketDef::PeerProperty> four = records(30, 4);
  four[3].excludeFromClosest = 1;  // by the description
  // Figures 10 and 13 for slots 0 and 3 by the helper; 1 and 2 tie at 50.
  std::string description = tessel_test::topologyDescription(0, 0, false, four, {0, 0, 0, 0});
  int32_t fifty = 50;
  for (size_t entry : {1u, 2u}) std::memcpy(&description[17 + 200 + 6 * entry + 2], &fifty, 4);
  ASSERT_EQ(engine.setTopology(description.data(), int(description.size())), 0);
  engine.addPeer(7, 5);
  // Before a tree exists no slot is the root; slot 0 has the best figure.
  EXPECT_EQ(engine.getClosestPeer(), 30);
  // Written through the record: the engine sees it at once, the link at the
  // next change of the table.
  engine.getPeerProperty(0).excludeFromClosest = 1;
  EXPECT_EQ(engine.getClosestPeer(), 31);
  engine.getPeerProperty(1).excludeFromClosest = 1;
  EXPECT_EQ(engine.getClosestPeer(), 32);
  engine.addPeer(7, 5);
  EXPECT_EQ(+engine.getClient().getPeerProperty(0).excludeFromClosest, 1);
}
