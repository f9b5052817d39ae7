#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tessel/engine/tessel.h"
#include "tessel/engine/tessel_api.h"
#include "tessel/toolkit/kiv_clock.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_clock.h"
#include "tests/support/loopback_room.h"
#include "tests/support/raw_udp_socket.h"
#include "tests/support/temp_registry.h"
#include "tests/support/test_support.h"

using zintar::Tessel;
using zintar::TesselApi;

namespace {

constexpr int Unreachable = 60000;

struct Galaxy {
  int32_t id;
  std::string name;
  int32_t port;
  // The name length word as written; by default the name's size.
  int64_t nameLength = -1;
};

template <typename T>
void put(std::string& bytes, T value) {
  bytes.append(reinterpret_cast<const char*>(&value), sizeof(value));
}

// A galaxy list buffer as the host hands it over.
std::string galaxyList(int32_t threshold, uint32_t count, const std::vector<Galaxy>& galaxies) {
  std::string bytes;
  put(bytes, threshold);
  put(bytes, count);
  for (const Galaxy& galaxy : galaxies) {
    put(bytes, galaxy.id);
    put(bytes, galaxy.nameLength < 0 ? static_cast<uint32_t>(galaxy.name.size())
                                     : static_cast<uint32_t>(galaxy.nameLength));
    bytes += galaxy.name;
    put(bytes, galaxy.port);
  }
  return bytes;
}

std::string galaxyList(const std::vector<Galaxy>& galaxies) {
  return galaxyList(1000, static_cast<uint32_t>(galaxies.size()), galaxies);
}

int setList(Tessel& engine, const std::string& bytes) {
  return engine.setGalaxy(bytes.data(), static_cast<int>(bytes.size()));
}

// The galaxy entries at the end of a peer ping list.
std::vector<std::pair<int32_t, int32_t>> listedGalaxies(const char* list, int length) {
  int32_t peers;
  std::memcpy(&peers, list + 50, 4);
  const char* at = list + 54 + 5 * peers;
  int32_t count;
  std::memcpy(&count, at, 4);
  at += 4;
  std::vector<std::pair<int32_t, int32_t>> entries;
  for (int32_t i = 0; i < count && at + 8 <= list + length; ++i, at += 8) {
    int32_t id, ping;
    std::memcpy(&id, at, 4);
    std::memcpy(&ping, at + 4, 4);
    entries.emplace_back(id, ping);
  }
  return entries;
}


class GalaxyPingTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(engine.init(1, 0, false, 0, false, false), 0); }

  tessel_test::TempRegistry registry;
  Tessel engine;
};

}  // namespace

TEST_F(GalaxyPingTest, ListChecksRunInOrderAndKeepWhatWasReadBeforeAFailure) {
  const std::vector<Galaxy> base = {{7, "base.example", 7000}};
  const std::string name63(63, 'n'), name64(64, 'm');
  struct Case {
    const char* what;
    std::string bytes;
    int result;
    int threshold;  // -2: left as it was
    std::vector<Galaxy> list;
  } cases[] = {
      {"3 bytes", galaxyList(800, 1, base).substr(0, 3), -1, -2, base},
      {"6 bytes set the threshold", galaxyList(800, 1, base).substr(0, 6), -1, 800, base},
      {"count 0", galaxyList(800, 0, {{1, "a", 1}}), -1, 800, base},
      {"second name of 65 bytes", galaxyList(800, 2, {{1, "a", 1}, {2, std::string(65, 'x'), 2}}), -1, 800,
       {{1, "a", 1}}},
      {"second entry cut in its port", galaxyList(800, 2, {{1, "a", 1}, {2, "b", 2}}).substr(0, 8 + 13 + 10), -1,
       800, {{1, "a", 1}}},
      {"name length with the top bit set", galaxyList(800, 1, {{1, "abc", 1, 0x80000003}}), -1, 800, {}},
      {"64-byte name without NUL", galaxyList(800, 1, {{1, name64, 1}}), -1, 800, {}},
      {"64-byte name ending in NUL", galaxyList(800, 1, {{1, name63 + '\0', 9}}), 0, 800, {{1, name63, 9}}},
      {"duplicates, empty name, trailing bytes",
       galaxyList(800, 3, {{5, "10.0.0.1", 7000}, {5, "dup", 7001}, {-3, "", -1}}) + "junk", 0, 800,
       {{5, "10.0.0.1", 7000}, {5, "dup", 7001}, {-3, "", -1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(setList(engine, galaxyList(base)), 0);
    engine.setPingThreshold(-2);
    EXPECT_EQ(setList(engine, c.bytes), c.result);
    EXPECT_EQ(engine.getPingThreshold(), c.threshold);
    std::vector<PacketDef::HostIdInfo> list = engine.getGalaxies();
    ASSERT_EQ(list.size(), c.list.size());
    for (size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[i].id, c.list[i].id);
      EXPECT_EQ(std::string(list[i].hostInfo.host), c.list[i].name);
      EXPECT_EQ(list[i].hostInfo.port, c.list[i].port);
    }
  }

  // A threshold fixed by the host outlasts every list until it hands the
  // choice back.
  engine.setPingThreshold(300);
  EXPECT_EQ(setList(engine, galaxyList(800, 1, base)), 0);
  EXPECT_EQ(engine.getPingThreshold(), 300);
  engine.setPingThreshold(-2);
  EXPECT_EQ(setList(engine, galaxyList(800, 1, base)), 0);
  EXPECT_EQ(engine.getPingThreshold(), 800);
}

TEST(GalaxyLifecycleTest, GalaxyOperationsFailAndTouchNothingOutsideInitAndDeinit) {
  tessel_test::TempRegistry registry;
  const std::string list = galaxyList(800, 1, {{3, "127.0.0.1", 7000}});
  Tessel engine;
  auto expectClosed = [&] {
    // No threshold is fixed, so a list that were read would set 800.
    int threshold = engine.getPingThreshold();
    EXPECT_EQ(setList(engine, list), -1);
    EXPECT_EQ(engine.getPingThreshold(), threshold);
    EXPECT_EQ(engine.pingToGalaxy(3, 1, 10), -1);
    EXPECT_EQ(engine.pingToAllGalaxy(1, 10), -1);
    EXPECT_EQ(engine.getError(), 0u);
    engine.setPingToGalaxy(3, 5);
    EXPECT_EQ(engine.getPingToGalaxy(3), -1);
    EXPECT_TRUE(engine.getGalaxies().empty());
  };
  {
    SCOPED_TRACE("before init");
    expectClosed();
  }
  ASSERT_EQ(engine.init(1, 0, false, 0, false, false), 0);
  EXPECT_EQ(setList(engine, list), 0);
  engine.deinit();
  engine.setPingThreshold(-2);
  {
    SCOPED_TRACE("after deinit");
    expectClosed();
  }
  EXPECT_EQ(TesselApi().pingToAllGalaxy(1, 10), -1);
}

TEST(GalaxyResponderTest, MeasuredPingLandsInTableCacheAndPingListAndIsReusedWithoutTraffic) {
  if (tessel_test::toolPath("tessel-galaxyd").empty()) GTEST_SKIP() << "built without tools";
  tessel_test::TempRegistry registry;
  tessel_test::GalaxyResponder responder(tessel_test::toolPath("tessel-galaxyd"));
  ASSERT_TRUE(responder.ok()) << responder.output();
  TesselApi api;
  ASSERT_EQ(api.init(1, 0, false, 0, false, false), 0);
  const int port = responder.port();
  std::string list = galaxyList({{11, "127.0.0.1", port}, {12, "127.0.0.1", port}, {13, "localhost", port}});
  ASSERT_EQ(api.setGalaxy(list.data(), int(list.size())), 0);

  int ping = api.pingToGalaxy(11, 3, 2000);
  EXPECT_GE(ping, 0);
  EXPECT_LT(ping, 1000);
  EXPECT_EQ(api.getPingToGalaxy(11), ping);
  int32_t cached = -7;
  EXPECT_EQ(api.getRegPing("127.0.0.1", port, api.getLocalIp(), 43200, cached), 0);
  EXPECT_EQ(cached, ping);

  // Within the window the cache answers: no probe leaves.
  EXPECT_EQ(api.pingToGalaxy(11, 3, 2000), ping);
  int byName = api.pingToGalaxy(13, 2, 2000);
  EXPECT_GE(byName, 0);
  EXPECT_LT(byName, 1000);

  // Ids outside the list fail at once and leave no trace.
  EXPECT_EQ(api.pingToGalaxy(99, 3, 2000), -1);
  EXPECT_EQ(api.getPingToGalaxy(99), -1);

  api.setPingToGalaxy(11, 42);
  EXPECT_EQ(api.getPingToGalaxy(11), 42);
  api.setPingToGalaxy(12, 42);  // never measured: stays without a value
  EXPECT_EQ(api.getPingToGalaxy(12), -1);

  api.addPeer(1, 0);
  char buffer[512];
  int length = api.getPeerPingList(buffer, sizeof(buffer));
  ASSERT_EQ(length, 58 + 5 + 3 * 8);
  std::vector<std::pair<int32_t, int32_t>> expected = {{11, 42}, {12, -1}, {13, byName}};
  EXPECT_EQ(listedGalaxies(buffer, length), expected);

  EXPECT_EQ(responder.stop(SIGTERM), 3 + 2);
  EXPECT_EQ(responder.exitStatus(), 0);
}

TEST(GalaxyResponderTest, UnansweredGalaxiesAreUnreachableUntilOneAnswers) {
  if (tessel_test::toolPath("tessel-galaxyd").empty()) GTEST_SKIP() << "built without tools";
  tessel_test::TempRegistry registry;
  Tessel engine;
  ASSERT_EQ(engine.init(1, 0, false, 0, false, false), 0);
  tessel_test::RawUdpSocket silent;  // bound, never answers
  ASSERT_TRUE(silent.ok());
  const std::vector<Galaxy> dead = {{21, "127.0.0.1", silent.port()}, {22, "127.0.0.1", 0}};
  ASSERT_EQ(setList(engine, galaxyList(dead)), 0);

  EXPECT_LT(engine.pingToGalaxy(21, 2, 50), 0);
  EXPECT_EQ(engine.getPingToGalaxy(21), Unreachable);
  int32_t cached = 0;
  EXPECT_EQ(engine.getRegPing("127.0.0.1", silent.port(), engine.getLocalIp(), 43200, cached), 0);
  EXPECT_LT(cached, 0);
  EXPECT_LT(engine.pingToGalaxy(22, 2, 50), 0);  // no socket for port 0
  EXPECT_EQ(engine.getPingToGalaxy(22), Unreachable);

  // A value set by hand does not survive the next measurement.
  engine.setPingToGalaxy(21, 40);
  EXPECT_EQ(engine.pingToAllGalaxy(1, 50), -1);
  EXPECT_EQ(engine.getError(), 0x10F05u);
  EXPECT_EQ(engine.getPingToGalaxy(21), Unreachable);

  tessel_test::GalaxyResponder responder(tessel_test::toolPath("tessel-galaxyd"));
  ASSERT_TRUE(responder.ok()) << responder.output();
  std::vector<Galaxy> mixed = dead;
  mixed.push_back({23, "127.0.0.1", responder.port()});
  ASSERT_EQ(setList(engine, galaxyList(mixed)), 0);
  engine.setError(0);
  EXPECT_EQ(engine.pingToAllGalaxy(1, 500), 0);
  EXPECT_EQ(engine.getError(), 0u);
  EXPECT_LT(engine.getPingToGalaxy(23), Unreachable);

  // The answered galaxy's value stays after a list without it.
  ASSERT_EQ(setList(engine, galaxyList(dead)), 0);
  EXPECT_EQ(engine.pingToAllGalaxy(1, 50), 0);
  EXPECT_EQ(responder.stop(SIGINT), 1);
}

TEST_F(GalaxyPingTest, ProbesCarryTheTickCountAndThePingIsTheMeanOfTheSixSmallestHalves) {
  tessel_test::FakeClock clock(0x12345678);
  struct Case {
    const char* what;
    // Per probe: how far the responder moves the clock before echoing it;
    // negative: moves it that far and stays silent.
    std::vector<int> delays;
    int timeout;
    int ping;
    // Before each answer: the probe echoed from another port and with
    // another tick count, and the previous probe echoed again.
    bool forged = false;
  } cases[] = {
      {"one answer after 41 ms", {41}, 2000, 20},
      {"ten answers: six smallest", {41, 21, 61, 81, 25, 101, 201, 23, 301, 27}, 2000, (10 + 11 + 12 + 13 + 20 + 30) / 6},
      {"three answers: all of them", {20, 22, 24}, 2000, 11},
      {"two answers: truncated mean", {20, 22}, 2000, 10},
      {"a probe without answer is skipped", {41, -1, 61}, 100, 25},
      {"no answer at all", {-1, -1}, 100, -1},
      {"forged, late and repeated answers are ignored", {-1, 41, -1}, 200, 20, true},
  };
  tessel_test::RawUdpSocket stranger;
  int32_t id = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tessel_test::RawUdpSocket galaxy;
    ASSERT_TRUE(galaxy.ok());
    ++id;
    ASSERT_EQ(setList(engine, galaxyList({{id, "127.0.0.1", galaxy.port()}})), 0);
    std::vector<std::string> probes;
    std::thread script([&] {
      for (int delay : c.delays) {
        std::string bytes;
        sockaddr_in from{};
        if (!galaxy.receive(bytes, 5000, &from)) return;
        clock.advance(std::abs(delay));
        if (c.forged) {
          std::string otherTicks = bytes;
          otherTicks[11] = static_cast<char>(~otherTicks[11]);
          stranger.sendTo(bytes, from);
          galaxy.sendTo(otherTicks, from);
          if (!probes.empty()) galaxy.sendTo(probes.back(), from);
        }
        probes.push_back(bytes);
        if (delay >= 0) galaxy.sendTo(bytes, from);
      }
    });
    uint32_t start = KivClock::getTickCount();
    int ping = engine.pingToGalaxy(id, static_cast<int>(c.delays.size()), c.timeout);
    script.join();
    EXPECT_EQ(ping, c.ping);
    EXPECT_EQ(engine.getPingToGalaxy(id), c.ping < 0 ? Unreachable : c.ping);

    ASSERT_EQ(probes.size(), c.delays.size());
    uint32_t ticks = start;
    for (size_t i = 0; i < probes.size(); ++i) {
      std::string expected("\x12\x00\x00\x00\x00\x00\x80\x00", 8);
      put(expected, ticks);
      EXPECT_EQ(probes[i], expected) << "probe " << i;
      ticks += uint32_t(std::abs(c.delays[i]));
    }
  }
}
