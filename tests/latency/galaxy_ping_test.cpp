#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tessel/engine/tessel.h"
#include "tessel/engine/tessel_api.h"
#include "tessel/toolkit/kiv_clock.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_clock.h"
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
  int64_t nameLength = -1;  // the name length word as written; by default the name's size
};

template <typename T>
void put(std::string& bytes, T value) {
  bytes.append(reinterpret_cast<const char*>(&value), sizeof(value));
}

// A galaxy list buffer as the host hands it over; count -1: the list's size.
std::string galaxyList(const std::vector<Galaxy>& galaxies, int32_t threshold = 1000, int64_t count = -1) {
  std::string bytes;
  put(bytes, threshold);
  put(bytes, static_cast<uint32_t>(count < 0 ? int64_t(galaxies.size()) : count));
  for (const Galaxy& galaxy : galaxies) {
    put(bytes, galaxy.id);
    put(bytes, static_cast<uint32_t>(galaxy.nameLength < 0 ? int64_t(galaxy.name.size()) : galaxy.nameLength));
    bytes += galaxy.name;
    put(bytes, galaxy.port);
  }
  return bytes;
}

class GalaxyPingTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(engine.init(1, 0, false, 0, false, false), 0); }

  int setList(const std::string& bytes) { return engine.setGalaxy(bytes.data(), static_cast<int>(bytes.size())); }

  tessel_test::TempRegistry registry;
  Tessel engine;
};

}  // namespace

TEST_F(GalaxyPingTest, ListChecksRunInOrderAndKeepWhatWasReadBeforeAFailure) {
  const std::vector<Galaxy> base = {{7, "base.example", 7000}};
  const std::string name63(63, 'n'), name64(64, 'm');
  // threshold -2: left as it was.
  struct Case { const char* what; std::string bytes; int result, threshold; std::vector<Galaxy> list; } cases[] = {
      {"3 bytes", galaxyList(base, 800).substr(0, 3), -1, -2, base},
      {"6 bytes set the threshold", galaxyList(base, 800).substr(0, 6), -1, 800, base},
      {"count 0", galaxyList({{1, "a", 1}}, 800, 0), -1, 800, base},
      {"second name of 65 bytes", galaxyList({{1, "a", 1}, {2, std::string(65, 'x'), 2}}, 800), -1, 800,
       {{1, "a", 1}}},
      {"second entry cut in its port", galaxyList({{1, "a", 1}, {2, "b", 2}}, 800).substr(0, 8 + 13 + 10), -1,
       800, {{1, "a", 1}}},
      {"name length with the top bit set", galaxyList({{1, "abc", 1, 0x80000003}}, 800), -1, 800, {}},
      {"64-byte name without NUL", galaxyList({{1, name64, 1}}, 800), -1, 800, {}},
      {"64-byte name ending in NUL", galaxyList({{1, name63 + '\0', 9}}, 800), 0, 800, {{1, name63, 9}}},
      {"duplicates, empty name, trailing bytes",
       galaxyList({{5, "10.0.0.1", 7000}, {5, "dup", 7001}, {-3, "", -1}}, 800) + "junk", 0, 800,
       {{5, "10.0.0.1", 7000}, {5, "dup", 7001}, {-3, "", -1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(setList(galaxyList(base)), 0);
    engine.setPingThreshold(-2);
    EXPECT_EQ(setList(c.bytes), c.result);
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
  EXPECT_EQ(setList(galaxyList(base, 800)), 0);
  EXPECT_EQ(engine.getPingThreshold(), 300);
  engine.setPingThreshold(-2);
  EXPECT_EQ(setList(galaxyList(base, 800)), 0);
  EXPECT_EQ(engine.getPingThreshold(), 800);

  // Before init every galaxy call fails and changes nothing.
  Tessel idle;
  const std::string list = galaxyList(base, 800);
  const int threshold = idle.getPingThreshold();
  EXPECT_EQ(idle.setGalaxy(list.data(), int(list.size())), -1);
  EXPECT_EQ(idle.getPingThreshold(), threshold);
  EXPECT_EQ(idle.pingToGalaxy(7, 1, 10), -1);
  EXPECT_EQ(idle.pingToAllGalaxy(1, 10), -1);
  EXPECT_EQ(idle.getError(), 0u);
  idle.setPingToGalaxy(7, 5);
  EXPECT_EQ(idle.getPingToGalaxy(7), -1);
  EXPECT_TRUE(idle.getGalaxies().empty());
  EXPECT_EQ(TesselApi().pingToAllGalaxy(1, 10), -1);
}

TEST_F(GalaxyPingTest, ProbesCarryTheTickCountThePingIsTheMeanOfTheSixSmallestHalvesAndIsCached) {
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
    ASSERT_EQ(setList(galaxyList({{id, "127.0.0.1", galaxy.port()}})), 0);
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
    // The result is cached, a failure too; a cached failure is a miss and a
    // cached ping is the answer, without a probe.
    int32_t cached = -7;
    EXPECT_EQ(engine.getRegPing("127.0.0.1", galaxy.port(), engine.getLocalIp(), 43200, cached), 0);
    EXPECT_EQ(cached, c.ping);
    if (c.ping >= 0) {
      EXPECT_EQ(engine.pingToGalaxy(id, 3, 100), c.ping);
      EXPECT_FALSE(galaxy.pending());
    }
  }
}

// tessel-galaxyd, the galaxy ping responder, run as a child process: first
// what it echoes, then the engine measuring it beside galaxies that never
// answer.
TEST_F(GalaxyPingTest, GalaxydEchoesAndTheEngineMeasuresAnsweringGalaxiesOnly) {
  if (tessel_test::toolPath("tessel-galaxyd").empty()) GTEST_SKIP() << "built without tools";
  tessel_test::GalaxyResponder responder(tessel_test::toolPath("tessel-galaxyd"));
  ASSERT_TRUE(responder.ok()) << responder.output();
  tessel_test::RawUdpSocket client;
  ASSERT_TRUE(client.ok());
  // from: a forged source port; -1: the client's own.
  struct Case { size_t size; bool answered; int from = -1; } cases[] = {{0, false},  {1, true},   {1484, true}, {1485, false}, {65507, false}, {12, false, responder.port()},
               {12, false, 0}, {12, false, 1023}, {12, true, 1024}};
  int64_t answers = 0;
  unsigned char fill = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes from port " << c.from);
    std::string probe(c.size, '\0');
    for (char& byte : probe) byte = static_cast<char>(fill++ * 37 + 11);
    bool sent = c.from < 0 ? client.sendTo(probe, responder.port())
                           : tessel_test::RawUdpSocket::sendForged(probe, c.from, responder.port());
    if (!sent && c.from >= 0) break;  // forging needs CAP_NET_RAW
    ASSERT_TRUE(sent);
    // A marker after each datagram: the first answer to arrive shows
    // whether the datagram before it was answered, without waiting for
    // silence.
    const std::string marker = "marker" + std::to_string(c.size);
    ASSERT_TRUE(client.sendTo(marker, responder.port()));
    std::string answer;
    ASSERT_TRUE(client.receive(answer, 5000));
    answers += c.answered + 1;
    if (c.answered && c.from < 0) {
      EXPECT_EQ(answer, probe);
      ASSERT_TRUE(client.receive(answer, 5000));
    }
    EXPECT_EQ(answer, marker);
  }

  tessel_test::RawUdpSocket silent;  // bound, never answers
  ASSERT_TRUE(silent.ok());
  const std::vector<Galaxy> dead = {{21, "127.0.0.1", silent.port()}, {22, "127.0.0.1", 0}};  // no socket for 0
  ASSERT_EQ(setList(galaxyList({{-1, "127.0.0.1", silent.port()}})), 0);
  EXPECT_EQ(engine.pingToGalaxy(-1, 1, 10), -1);  // -1 names no galaxy, even one listed
  EXPECT_EQ(engine.getPingToGalaxy(-1), -1);
  ASSERT_EQ(setList(galaxyList(dead)), 0);
  EXPECT_EQ(engine.pingToAllGalaxy(1, 50), -1);
  EXPECT_EQ(engine.getError(), 0x10F05u);
  EXPECT_EQ(engine.getPingToGalaxy(21), Unreachable);
  EXPECT_EQ(engine.getPingToGalaxy(22), Unreachable);

  std::vector<Galaxy> mixed = dead;
  mixed.push_back({11, "127.0.0.1", responder.port()});
  mixed.push_back({13, "localhost", responder.port()});
  ASSERT_EQ(setList(galaxyList(mixed)), 0);
  engine.setError(0);
  engine.setPingToGalaxy(21, 40);  // a value set by hand does not survive the next measurement
  EXPECT_EQ(engine.pingToAllGalaxy(1, 500), 0);
  EXPECT_EQ(engine.getError(), 0u);
  EXPECT_EQ(engine.getPingToGalaxy(21), Unreachable);
  for (int32_t measured : {11, 13}) {
    EXPECT_GE(engine.getPingToGalaxy(measured), 0);
    EXPECT_LT(engine.getPingToGalaxy(measured), 1000);
  }
  EXPECT_EQ(engine.pingToGalaxy(99, 3, 2000), -1);  // not in the list: no trace
  EXPECT_EQ(engine.getPingToGalaxy(99), -1);
  engine.setPingToGalaxy(11, 42);
  engine.setPingToGalaxy(99, 42);  // never measured: stays without a value
  EXPECT_EQ(engine.getPingToGalaxy(11), 42);
  EXPECT_EQ(engine.getPingToGalaxy(99), -1);

  // The galaxies close the peer ping list: their count, then id and ping.
  engine.addPeer(1, 0);
  char buffer[512];
  int length = engine.getPeerPingList(buffer, sizeof(buffer));
  ASSERT_EQ(length, 58 + 5 + 4 * 8);
  std::string tail;
  put(tail, int32_t(4));
  for (int32_t id : {21, 22, 11, 13}) put(tail, id), put(tail, engine.getPingToGalaxy(id));
  EXPECT_EQ(std::string(buffer + 50 + 4 + 5, tail.size()), tail);

  // An answered galaxy's value stays after a list without it.
  ASSERT_EQ(setList(galaxyList(dead)), 0);
  EXPECT_EQ(engine.pingToAllGalaxy(1, 50), 0);
  EXPECT_EQ(responder.stop(SIGINT), answers + 2);  // and one probe each to 11 and 13
  EXPECT_EQ(responder.exitStatus(), 0);
}
