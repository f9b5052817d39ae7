// Pings to galaxies (measured against scripted sockets and tessel-galaxyd)
// and their registry cache, and the ping test to one peer against real
// engines and scripted ENet peers on 127.0.0.1.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tessel/engine/tessel_api.h"
#include "tessel/toolkit/kiv_clock.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_root.h"
#include "tests/support/raw_udp_socket.h"
#include "tests/support/temp_registry.h"
#include "tests/support/test_support.h"

using zintar::PeerPacket;
using zintar::Tessel;
using zintar::TesselApi;

namespace {

constexpr int Unreachable = 60000;
constexpr int Window = 43200;  // the freshness the galaxy ping asks of the cache

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

constexpr uint32_t Loopback = 0x7F000001;
constexpr int32_t TesterId = 100;
constexpr int32_t PeerId = 200;
constexpr unsigned char PeerSlot = 5;

// A tester (engine or facade) in room (1, 2) that knows itself in slot 0
// and PeerId in PeerSlot at 127.0.0.1:port.
template <typename Engine>
bool makeTester(Engine& tester, int port, bool listen) {
  if (tester.init(TesterId, 0, false, 0, false, false) != 0) return false;
  tester.setRoomId(1, 2);
  return tester.addPeer(TesterId, 0) == 0 && tester.addPeer(PeerId, PeerSlot) == 0 &&
         tester.setPeerProperty(PeerId, Loopback, port, false, listen) == 0;
}

// A PingTestReply to request naming room (major, minor), with or without a
// frame record.
std::string pingTestReply(const std::string& request, uint32_t major, uint32_t minor, bool frame) {
  PeerPacket reply(PeerPacket::PingTestReply, frame);
  reply.header().setDataSize(8);
  reply.setFrameId(0);
  reply.setPing(0);
  std::memcpy(reply.data(), request.data() + PeerPacket::HeaderSize, 4);
  PacketDef::RoomId room;
  room.setMajor(major);
  room.setMinor(minor);
  std::memcpy(reply.data() + 4, &room.word, 4);
  return std::string(reinterpret_cast<const char*>(&reply), size_t(reply.size(true)));
}

constexpr uint32_t HomeIp = 0xC0A80107;   // 192.168.1.7
constexpr uint32_t OtherIp = 0x0A000005;  // 10.0.0.5
using Found = std::pair<int, int32_t>;
const Found Miss{-1, -5};

// The registry ping cache: one key, a value per galaxy endpoint, and the
// time and local address of the latest write, which stamp every entry.
class RegistryPingTest : public testing::Test {
 protected:
  // The lookup's result, and the ping it gave (-5 when it left it alone).
  Found lookup(const char* host, int port, uint32_t localIp = HomeIp) {
    int32_t ping = -5;
    return {engine.getRegPing(host, port, localIp, Window, ping), ping};
  }

  tessel_test::TempRegistry registry;
  tessel_test::FakeClock clock;
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
    EXPECT_EQ(engine.getRegPing("127.0.0.1", galaxy.port(), engine.getLocalIp(), Window, cached), 0);
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
  // Answered: from 0 up to half the timeout, neither a failure nor unreachable.
  for (int32_t measured : {11, 13}) EXPECT_LT(unsigned(engine.getPingToGalaxy(measured)), 1000u) << measured;
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

TEST(PeerPingTest, FirstAnswerEndsTheProbesOnlyTheOwnRoomCountsAndThePingIsHalfTheRoundTrip) {
  using Reply = std::string (*)(const std::string&);
  Reply sameRoom = [](const std::string& r) { return pingTestReply(r, 1, 2, false); };
  // answer: what the scripted peer answers to a probe; empty: nothing.
  struct Case { const char* what; Reply answer; bool listen; int threshold, ping; size_t probes; } cases[] = {
      {"same room", sameRoom, true, 100, 20, 1},
      {"same room, frame record", [](const std::string& r) { return pingTestReply(r, 1, 2, true); }, true, 100, 20, 1},
      {"another room", [](const std::string& r) { return pingTestReply(r, 1, 3, false); }, true, 100, -1, 1},
      {"a broken reply", [](const std::string&) { return std::string("\x13\x00\x00", 3); }, true, 100, -1, 1},
      {"silence", [](const std::string&) { return std::string(); }, true, 100, -1, 3},
      {"peer does not listen", sameRoom, false, 100, -1, 0},
      {"ping test switched off", sameRoom, true, -1, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tessel_test::FakeClock clock;
    tessel_test::FakeRoot peer([&](const tessel_test::FakeRoot::Received& packet) {
      clock.advance(40);  // the round trip
      return tessel_test::FakeRoot::Answer{c.answer(packet.bytes), false};
    });
    ASSERT_TRUE(peer.ok());
    Tessel tester;
    ASSERT_TRUE(makeTester(tester, peer.port(), c.listen));
    tester.setPingThreshold(c.threshold);
    EXPECT_EQ(tester.pingToPeer(PeerId), c.ping);
    EXPECT_EQ(tester.getPeerPing(PeerSlot), c.ping);
    EXPECT_EQ(peer.count(PeerPacket::PingTest), c.probes);
    // Every probe is the 12-byte request with the tester's tick count.
    for (const auto& probe : peer.received()) {
      EXPECT_EQ(probe.bytes.size(), 12u);
      EXPECT_EQ(probe.bytes.substr(0, 8), std::string("\x12\x00\x00\x00\x00\x00\x80\x00", 8));
      EXPECT_FALSE(probe.reliable);
    }
  }
}

TEST(PeerPingTest, ListeningEngineAnswersSilentPortAndUnknownIdGiveNoResult) {
  const int peerPort = tessel_test::freeUdpPort();
  Tessel peer;
  ASSERT_EQ(peer.init(PeerId, peerPort, true, 0, false, false), 0);
  peer.setRoomId(1, 2);
  TesselApi api;
  ASSERT_TRUE(makeTester(api, peerPort, true));
  api.setPingThreshold(500);
  EXPECT_LT(unsigned(api.pingToPeer(PeerId)), 1000u);  // answered: from 0 up to the wait
  EXPECT_EQ(TesselApi().pingToPeer(PeerId), -1);

  // The same peer moved to a port that is bound but never answers.
  tessel_test::RawUdpSocket watch;
  ASSERT_TRUE(watch.ok());
  ASSERT_EQ(api.setPeerProperty(PeerId, Loopback, watch.port(), false, true), 0);
  api.setPingThreshold(20);
  EXPECT_EQ(api.pingToPeer(PeerId), -1);
  EXPECT_EQ(api.getEngine()->getPeerPing(PeerSlot), -1);
  // Loopback delivery is done when the send returns: the attempt is waiting.
  EXPECT_TRUE(watch.pending());
  std::string drained;
  while (watch.receive(drained, 0)) {
  }
  EXPECT_EQ(api.pingToPeer(999), -1);
  EXPECT_FALSE(watch.pending());
}

TEST_F(RegistryPingTest, FirstWriteCreatesTheKeyEntriesAreFreshForTheWindowAndAgeTogether) {
  EXPECT_EQ(lookup("galaxy1.example", 7000), Miss);
  EXPECT_TRUE(registry.read().empty());  // a lookup never creates the key

  ASSERT_EQ(engine.setRegPing("galaxy1.example", 7000, HomeIp, 300), 0);
  ASSERT_EQ(engine.setRegPing("galaxy2.example", -1, HomeIp, -1), 0);  // a failed measurement
  char time[32];
  std::snprintf(time, sizeof(time), "\"Time\"=dword:%08x\n", static_cast<unsigned>(KivClock::getTime32()));
  EXPECT_EQ(registry.read(),
            "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Zintar\\Galaxy]\n"
            "\"galaxy1.example:7000\"=dword:0000012c\n" + std::string(time) +
            "\"LocalIp\"=dword:c0a80107\n\"galaxy2.example:-1\"=dword:ffffffff\n");

  EXPECT_EQ(lookup("galaxy1.example", 7000), Found(0, 300));
  EXPECT_EQ(lookup("galaxy2.example", -1), Found(0, -1));  // comes back as it was stored
  EXPECT_EQ(lookup("galaxy3.example", 7000), Miss);        // never measured
  EXPECT_EQ(lookup(nullptr, 7000), Miss);
  EXPECT_EQ(engine.setRegPing(nullptr, 7000, HomeIp, 1), -1);

  // Entries are fresh for the window, from the same address, and age together.
  ASSERT_EQ(engine.setRegPing("galaxy1.example", 7000, HomeIp, 120), 0);
  const int64_t written = KivClock::getRealTimeMs();
  struct Case { int64_t ageSeconds; uint32_t localIp; bool fresh; } cases[] = {
      {0, HomeIp, true},
      {Window, HomeIp, true},  // stale only once Time + window is below now
      {Window + 1, HomeIp, false},
      {-3600, HomeIp, true},  // a clock set back finds the entry young
      {0, OtherIp, false},    // another address, whatever the age
  };
  for (const Case& c : cases) {
    clock.setRealTime(written + c.ageSeconds * 1000);
    EXPECT_EQ(lookup("galaxy1.example", 7000, c.localIp), c.fresh ? Found(0, 120) : Miss) << c.ageSeconds;
  }

  // A write of any endpoint, days later, makes every entry fresh again and
  // hands them all to the writer's address.
  clock.setRealTime(written + int64_t(3) * 24 * 3600 * 1000);
  ASSERT_EQ(engine.setRegPing("new.example", 7001, HomeIp, 90), 0);
  EXPECT_EQ(lookup("galaxy1.example", 7000), Found(0, 120));
  ASSERT_EQ(engine.setRegPing("new.example", 7001, OtherIp, 95), 0);
  EXPECT_EQ(lookup("galaxy1.example", 7000), Miss);
  EXPECT_EQ(lookup("galaxy1.example", 7000, OtherIp), Found(0, 120));
}

TEST_F(RegistryPingTest, SimulatorPingNeedsRandomFakePresentAndZero) {
  const std::string node3 =
      "[HKEY_CURRENT_USER\\Software\\Zintar\\TopologySimulator\\3]\n\"galaxy1.example:7000\"=dword:00000064\n";
  // general: the General key, or null for none.
  struct Case { const char* general; int index; const char* host; int result; } cases[] = {
      {nullptr, 3, "galaxy1.example", -1},
      {"", 3, "galaxy1.example", -1},  // General without RandomFake
      {"\"RandomFake\"=dword:00000001\n", 3, "galaxy1.example", -1},
      {"\"RandomFake\"=dword:00000000\n", 4, "galaxy1.example", -1},  // no key for node 4
      {"\"RandomFake\"=dword:00000000\n", 3, "galaxy2.example", -1},  // no value for that endpoint
      {"\"RandomFake\"=dword:00000000\n", 3, nullptr, -1},
      {"\"RandomFake\"=dword:00000000\n", 3, "galaxy1.example", 0},
  };
  for (const Case& c : cases) {
    std::string text = node3;
    if (c.general != nullptr) {
      text += "[HKEY_CURRENT_USER\\Software\\Zintar\\TopologySimulator\\General]\n" + std::string(c.general);
    }
    registry.write(text);
    int32_t ping = -9;
    EXPECT_EQ(engine.getRegSimulatorPing(c.host, 7000, c.index, ping), c.result) << text;
    EXPECT_EQ(ping, c.result == 0 ? 100 : -9);
  }
}
