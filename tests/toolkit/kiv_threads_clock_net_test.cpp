// The toolkit's parts that wait, tell the time or talk: the mutex, event
// and wake-up, the clock and the network time packets, and sockets,
// addresses and host names on 127.0.0.1.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tessel/toolkit/kiv_clock.h"
#include "tessel/toolkit/kiv_event.h"
#include "tessel/toolkit/kiv_host.h"
#include "tessel/toolkit/kiv_mutex.h"
#include "tessel/toolkit/kiv_net_time.h"
#include "tessel/toolkit/kiv_socket.h"
#include "tessel/toolkit/kiv_socket_address.h"
#include "tessel/toolkit/kiv_wakeup.h"
#include "tests/support/fake_clock.h"
#include "tests/support/test_support.h"

using NetTime = KivNetTime::NetTime;
using Packet = std::array<unsigned char, KivNetTime::PacketSize>;

namespace {

// Seconds from 1900 to 1970.
constexpr int64_t Begin1900 = 2208988800;
// 2026-01-01 00:00:00 UTC, the fake clock's start.
constexpr int64_t StartMs = 1767225600000;
constexpr uint32_t StartSeconds1900 = uint32_t(StartMs / 1000 + Begin1900);

void putWordAt(Packet& p, int offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[offset + i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

// A packet that opens with the word first and holds each stamp big-endian
// (seconds, then milliseconds) at its offset; every other byte is 0.
Packet packet(uint32_t first, std::initializer_list<std::pair<int, NetTime>> stamps) {
  Packet p{};
  putWordAt(p, 0, first);
  for (const auto& [offset, t] : stamps) {
    putWordAt(p, offset, t.seconds);
    putWordAt(p, offset + 4, t.milliseconds);
  }
  return p;
}

std::string printed(NetTime t) {
  testing::internal::CaptureStdout();
  t.print();
  return testing::internal::GetCapturedStdout();
}

std::pair<int64_t, uint16_t> timeNow() {
  std::pair<int64_t, uint16_t> time;
  KivClock::getTime(time.first, time.second);
  return time;
}

const uint32_t Loopback = htonl(INADDR_LOOPBACK);

size_t openDescriptors() {
  return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

std::vector<char> pattern(size_t size, int seed) {
  std::vector<char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + static_cast<size_t>(seed)) & 0xFF);
  return bytes;
}

// Whether from, as a read filled it in, is 127.0.0.1 at port.
bool isLoopbackAt(const sockaddr_in& from, int fromLength, int port) {
  KivSocketAddress expected;
  return expected.set(Loopback, port) == 0 && expected.matches(reinterpret_cast<const sockaddr*>(&from), fromLength);
}

}  // namespace

TEST(KivMutexTest, RecursiveForOwnerAndAutoLockReleasesOnlyItsOwnLevel) {
  KivMutex mutex;
  auto tryFromOther = [&mutex] {  // trylock from another thread, released again
    int result = 1;
    std::thread([&] {
      if ((result = mutex.trylock()) == 0) mutex.unlock();
    }).join();
    return result;
  };
  EXPECT_EQ(mutex.lock(), 0);
  EXPECT_EQ(mutex.trylock(), 0);  // already held by the caller
  {
    KivAutoLock guard(mutex);
    EXPECT_TRUE(guard.locked());
    guard.release();
    guard.release();  // a second release unlocks nothing
    EXPECT_FALSE(guard.locked());
  }
  EXPECT_EQ(tryFromOther(), -1);  // two levels are still held
  EXPECT_EQ(mutex.unlock(), 0);
  EXPECT_EQ(tryFromOther(), -1);
  mutex.unlock();
  EXPECT_EQ(tryFromOther(), 0);
  KivAutoLock guard(mutex, false);
  EXPECT_TRUE(guard.locked());
}

TEST(KivEventTest, AutoResetIsConsumedByOneWaitManualStaysSetUntilReset) {
  KivEvent idle;  // without init everything fails at once
  EXPECT_EQ(idle.wait(), -1);
  EXPECT_EQ(idle.timeoutWait(KivEvent::Infinite), KivEvent::WaitFailed);
  EXPECT_EQ(idle.signal(), -1);
  EXPECT_EQ(idle.reset(), -1);

  KivEvent automatic, manual;
  ASSERT_EQ(automatic.init(false), 0);
  EXPECT_EQ(automatic.timeoutWait(20), KivEvent::WaitTimeout);
  EXPECT_EQ(automatic.set(), 0);
  EXPECT_EQ(automatic.trywait(), 0);
  EXPECT_EQ(automatic.timeoutWait(0), KivEvent::WaitTimeout);
  ASSERT_EQ(manual.init(true), 0);
  EXPECT_EQ(manual.broadcast(), 0);
  EXPECT_EQ(manual.trywait(), 0);
  EXPECT_EQ(manual.wait(), 0);
  EXPECT_EQ(manual.reset(), 0);
  EXPECT_EQ(manual.trywait(), -1);

  // A sleeping waiter is woken by the signal, not by its own time-out.
  for (bool manualReset : {false, true}) {
    KivEvent event;
    ASSERT_EQ(event.init(manualReset), 0);
    std::atomic<int> state{0};  // 1 waiting, 2 woken
    std::thread waiter([&] {
      state = 1;
      if (event.timeoutWait(20000) == KivEvent::WaitSignaled) state = 2;
    });
    ASSERT_TRUE(tessel_test::waitFor([&] { return state == 1; }));
    event.signal();
    EXPECT_TRUE(tessel_test::waitFor([&] { return state == 2; })) << manualReset;
    waiter.join();
  }
}

TEST(KivWakeupTest, SignalOrReadableSocketEndsTheWaitAndIsConsumed) {
  KivWakeup wakeup;
  EXPECT_EQ(wakeup.signal(), -1);     // no handle yet
  EXPECT_EQ(wakeup.wait(-1, 0), 0);   // nothing to wait on
  ASSERT_EQ(wakeup.init(), 0);
  ASSERT_EQ(wakeup.init(), 0);
  EXPECT_EQ(wakeup.wait(-1, 0), 0);
  EXPECT_EQ(wakeup.signal(), 0);
  EXPECT_EQ(wakeup.signal(), 0);
  EXPECT_EQ(wakeup.wait(-1, 5000), 1);
  EXPECT_EQ(wakeup.wait(-1, 0), 0);  // both signals were consumed
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair), 0);
  EXPECT_EQ(wakeup.wait(pair[0], 0), 0);
  ASSERT_EQ(send(pair[1], "x", 1, 0), 1);
  EXPECT_EQ(wakeup.wait(pair[0], 5000), 1);
  close(pair[0]);
  close(pair[1]);
}

TEST(KivClockTest, FakeSourceDrivesEveryReadingAndWrapsThenTheSystemClockIsBack) {
  {
    tessel_test::FakeClock clock((uint64_t(1) << 32) - 2, 1767225600123);
    EXPECT_EQ(KivClock::getTickCount(), 0xFFFFFFFEu);
    clock.advance(5);
    EXPECT_EQ(KivClock::getTickCount(), 3u);  // wrapped like a 32-bit tick count
    EXPECT_EQ(timeNow(), std::make_pair(int64_t(1767225600), uint16_t(128)));
    EXPECT_EQ(KivClock::getTime32(), 1767225600);
    clock.setRealTime(-1);  // before 1970: milliseconds stay in range
    EXPECT_EQ(timeNow(), std::make_pair(int64_t(-1), uint16_t(999)));
  }
  uint32_t tick = KivClock::getTickCount();
  EXPECT_GT(KivClock::getRealTimeMs(), 1700000000000);  // after 2023
  EXPECT_TRUE(tessel_test::waitFor([tick] { return KivClock::getTickCount() != tick; }));
}

TEST(KivNetTimeTest, ArithmeticCarriesAndWrapsComparisonsAreUnsigned) {
  struct Sum { NetTime start; int32_t ms; NetTime expected; } sums[] = {
      {{10, 900}, 200, {11, 100}},
      {{10, 0}, -1, {10, 0xFFFFFFFFu}},  // the carry truncates toward zero
      {{10, 500}, -1500, {9, 0}},
      {{0xFFFFFFFFu, 999}, 1, {0, 0}},  // the seconds wrap
  };
  for (const Sum& c : sums) {
    EXPECT_EQ(c.start + c.ms, c.expected) << c.start.seconds << "," << c.start.milliseconds << " + " << c.ms;
  }
  EXPECT_EQ(NetTime(11, 100) - NetTime(10, 900), 200);
  EXPECT_EQ(NetTime(10, 900) - NetTime(11, 100), -200);
  EXPECT_EQ(NetTime(0, 0) - NetTime(0xFFFFFFFFu, 0), 1000);  // across the rollover

  // Orders are unsigned per field; the seconds decide first.
  EXPECT_TRUE(NetTime(0x7FFFFFFFu, 999) < NetTime(0x80000000u, 0) && NetTime(5, 0xFFFFFFFFu) > NetTime(5, 1));
  EXPECT_TRUE(NetTime(5, 5) == NetTime(5, 5) && NetTime(5, 5) != NetTime(6, 5));
  EXPECT_FALSE(NetTime(5, 5) < NetTime(5, 5) || NetTime(5, 5) != NetTime(5, 5));
  EXPECT_EQ(printed(NetTime(90061, 5)), "1-1:1:1:5\n");  // days-hours:minutes:seconds:ms
  EXPECT_EQ(printed(NetTime(10, 0) + -1), "0-0:0:10:-1\n");
  EXPECT_EQ(printed(NetTime(0xFFFFFFFFu, 999)), "49710-6:28:15:999\n");
}

TEST(KivNetTimeTest, RequestIsAClientPacketStampedWithTheTimeSince1900WhichWraps) {
  tessel_test::FakeClock clock(1000, StartMs + 0x0102);
  EXPECT_EQ(KivNetTime::getCurrentTime(), NetTime(StartSeconds1900, 0x0102));
  Packet p;
  p.fill(0xEE);
  KivNetTime::request(p.data());
  // Leap 0, version 3, mode 3 (client); stratum 15, poll 8; only the transmit
  // stamp is set.
  EXPECT_EQ(p, packet(0x1B0F0800, {{40, NetTime(StartSeconds1900, 0x0102)}}));
  // Early 2036 the 1900-based seconds roll over to 0.
  clock.setRealTime(((int64_t(1) << 32) - Begin1900 + 5) * 1000 + 7);
  EXPECT_EQ(KivNetTime::getCurrentTime(), NetTime(5, 7));
}

TEST(KivNetTimeTest, AnswerEchoesRequestAndStampsArrivalAndTransmit) {
  struct Case { uint32_t firstByte, expectedFirst; } cases[] = {
      {0x1B, 0x1C},  // client (3) -> server (4), version 3 kept
      {0x19, 0x1A},  // symmetric active (1) -> symmetric passive (2)
      {0x25, 0x22},  // broadcast (5), version 4 -> passive, version kept
      {0xDB, 0x1C},  // a leap indicator is not echoed
  };
  tessel_test::FakeClock clock(1000, StartMs + 250);
  const NetTime sent(0xA1B2C3D4, 0x1E5), now(StartSeconds1900, 250);
  for (const Case& c : cases) {
    // Stratum 2, poll 6, precision -6. Root dispersion and reference id (8),
    // reference (16) and originate (24) are not echoed; transmit becomes originate.
    Packet req = packet(c.firstByte << 24 | 0x0206FA, {{8, NetTime(0x11111111, 0x11111111)},
                        {16, NetTime(0x22222222, 3)}, {24, NetTime(0x33333333, 4)}, {40, sent}});
    Packet ans;
    ans.fill(0xEE);
    KivNetTime::respond(req.data(), ans.data());
    // Own stratum; receive = arrival, transmit = now.
    EXPECT_EQ(ans, packet(c.expectedFirst << 24 | 0x0F06FA, {{24, sent}, {32, now}, {40, now}})) << c.firstByte;
  }
}

TEST(KivNetTimeTest, OffsetFromAnswerStampsOrRefusal) {
  tessel_test::FakeClock clock(1000, StartMs);
  const NetTime now = KivNetTime::getCurrentTime();
  const NetTime t1 = now + -40;
  struct Case { const char* what; NetTime reference, originate, receive, transmit; int32_t expected; } cases[] = {
      {"sane, symmetric", {}, t1, t1 + 20, t1 + 20, 0},
      {"sane, server 100 ms behind", {}, t1, t1 + -80, t1 + -80, 100},
      {"sum -3 halves toward zero", {}, now, now + -3, now, 1},
      {"no transmit time", {}, now + -10, now + -10, {}, -1},
      {"no receive time", {}, t1, {}, t1 + 20, -1},
      {"receive before reference", t1 + 21, t1, t1 + 20, t1 + 20, -1},
      {"receive after reference", t1 + 19, t1, t1 + 20, t1 + 20, 0},
      {"round trip exactly one hour", {}, now + -3600000, now + -3600000, now + -3600000, 1800000},
      {"round trip one hour and 1 ms", {}, now + -3600001, now + -3600001, now + -3600001, -1},
      {"answer sent before it was received", {}, t1, t1 + 20, t1 + 19, -1},
      {"answer arrives before the request left", {}, now + 1, now + 1, now + 1, -1},
      {"answer held exactly one hour", {}, t1, t1 + -3600000, t1 + 0, 1800020},
      {"answer held one hour and 1 ms", {}, t1, t1 + -3600001, t1 + 0, -1},
  };
  for (const Case& c : cases) {
    Packet ans = packet(0x1C000000, {{16, c.reference}, {24, c.originate}, {32, c.receive}, {40, c.transmit}});
    EXPECT_EQ(KivNetTime::getTimeOffset(ans.data()), c.expected) << c.what;
  }
}

TEST(KivSocketTest, PortsAndHostsAreCheckedAndRefusedOnesLeaveNoSocket) {
  KivSocket closedPortHolder;
  ASSERT_EQ(closedPortHolder.tcpListen(0, 0), 0);
  int closedPort = closedPortHolder.getLocalPort();
  closedPortHolder.close();  // nothing listens there any more
  EXPECT_EQ(closedPortHolder.getLocalPort(), -1);

  size_t before = openDescriptors();
  struct Case { const char* what; int (*attempt)(KivSocket&, int closedPort); int result; } cases[] = {
      {"tcp port 0", [](KivSocket& s, int) { return s.tcpConnect(KivSocket::LoopbackIp, 0); }, -1},
      {"tcp port -1", [](KivSocket& s, int) { return s.tcpConnect(Loopback, -1); }, -1},
      {"tcp empty host", [](KivSocket& s, int) { return s.tcpConnect("", 7000); }, -1},
      {"tcp null host", [](KivSocket& s, int) { return s.tcpConnect(static_cast<const char*>(nullptr), 7000); }, -1},
      {"tcp 0xFFFFFFFF", [](KivSocket& s, int) { return s.tcpConnect(0xFFFFFFFFu, 7000); }, -1},
      {"udp port 0", [](KivSocket& s, int) { return s.udpConnect(Loopback, 0, true); }, -1},
      {"udp empty host", [](KivSocket& s, int) { return s.udpConnect("", 7000, true); }, -1},
      {"tcp listen port -1", [](KivSocket& s, int) { return s.tcpListen(-1, 0); }, -1},
      {"udp listen port 70000", [](KivSocket& s, int) { return s.udpListen(70000); }, -1},
      {"udp port 1", [](KivSocket& s, int) { return s.udpConnect(Loopback, 1, true); }, 0},
      {"udp port 65535", [](KivSocket& s, int) { return s.udpConnect(KivSocket::LoopbackIp, 65535, true); }, 0},
      // This one creates a socket and must close it again.
      {"tcp refused", [](KivSocket& s, int port) { return s.tcpConnect(KivSocket::LoopbackIp, port); }, -1},
  };
  for (const Case& c : cases) {
    KivSocket socket;
    EXPECT_EQ(c.attempt(socket, closedPort), c.result) << c.what;
    EXPECT_EQ(socket.isConnected(), c.result == 0) << c.what;
  }
  EXPECT_EQ(openDescriptors(), before);

  KivSocket listener;  // a port in use cannot be bound twice
  ASSERT_EQ(listener.udpListen(0), 0);
  KivSocket second;
  EXPECT_EQ(second.udpListen(listener.getLocalPort()), -1);
  EXPECT_EQ(second.getSocket(), KivSocket::InvalidSocket);
  EXPECT_EQ(second.errNo(), EADDRINUSE);
  EXPECT_STREQ(second.strerror(EADDRINUSE), strerror(EADDRINUSE));

  // Addresses for datagrams: a port from 1 to 65535 and any ip but
  // 0xFFFFFFFF; a refused one leaves the address empty.
  KivSocketAddress address;
  struct { uint32_t ip; int port, result; } sets[] = {
      {Loopback, 1, 0}, {Loopback, 65535, 0}, {Loopback, 0, -1}, {Loopback, 65536, -1}, {0xFFFFFFFFu, 80, -1}};
  for (const auto& c : sets) {
    EXPECT_EQ(address.set(c.ip, c.port), c.result) << c.port;
    EXPECT_EQ(address.length(), c.result == 0 ? int(sizeof(sockaddr_in)) : 0) << c.port;
  }
  EXPECT_FALSE(address.matches(address.get(), int(sizeof(sockaddr_in))));  // empty
  std::vector<uint32_t> resolved;
  EXPECT_EQ(KivHost::resolve("", resolved), -1);
  ASSERT_EQ(KivHost::resolve("127.0.0.1", resolved), 0);
  EXPECT_EQ(resolved, std::vector<uint32_t>{Loopback});
  std::vector<uint32_t> local;
  EXPECT_TRUE(KivHost::getLocalAddresses(local) != 0 || !local.empty());  // where the host's name resolves
}

TEST(KivSocketTest, TcpMovesLargeBuffersBothWaysAndFailsOnceThePeerHasGone) {
  KivSocket listener, client, server;
  ASSERT_EQ(listener.tcpListen(0, 0), 0);
  ASSERT_EQ(client.tcpConnect(KivSocket::LoopbackHost, listener.getLocalPort()), 0);  // a name: its first address
  sockaddr_in from{};
  int fromLength = sizeof(from);
  ASSERT_EQ(listener.tcpAccept(server, reinterpret_cast<sockaddr*>(&from), &fromLength), 0);
  ASSERT_TRUE(server.isConnected());
  EXPECT_TRUE(isLoopbackAt(from, fromLength, client.getLocalPort()));

  const std::vector<char> up = pattern(200000, 1), down = pattern(100000, 2);
  std::thread serverSide([&] {
    std::vector<char> received(up.size());
    if (server.reads(received.data(), int(received.size())) == int(up.size()) && received == up) {
      server.writes(down.data(), int(down.size()));
      server.write(down.data(), 100);  // and 100 bytes more before it closes
    }
    server.close();
  });
  EXPECT_EQ(client.writes(up.data(), int(up.size())), int(up.size()));
  std::vector<char> answer(down.size());
  EXPECT_EQ(client.reads(answer.data(), int(answer.size())), int(answer.size()));
  EXPECT_TRUE(answer == down);
  serverSide.join();
  EXPECT_FALSE(server.isConnected());
  char buffer[200];
  EXPECT_EQ(client.read(buffer, 0), 0);
  EXPECT_EQ(client.read(buffer, 200), -1);  // 100 bytes came, then the end
  // Writing to the closed connection fails instead of raising SIGPIPE.
  int result = 0;
  for (int i = 0; i < 16 && result >= 0; ++i) result = client.write(up.data(), 1 << 16);
  EXPECT_EQ(result, -1);
}

TEST(KivSocketTest, UdpExchangeConnectedAndByDestinationPollTimesOutNonBlockingReadGivesMinusTwo) {
  KivSocket server;
  ASSERT_EQ(server.udpListen(0), 0);
  int port = server.getLocalPort();
  EXPECT_EQ(server.poll(0), 0);
  EXPECT_EQ(server.poll(30), 0);
  EXPECT_EQ(server.poll(-1), -1);  // never an endless wait
  EXPECT_EQ(KivSocket().poll(0), -1);

  KivSocket connected;
  ASSERT_EQ(connected.udpConnect(KivSocket::LoopbackIp, port, false), 0);
  char probe[12] = "probe-12345";
  EXPECT_EQ(connected.write(probe, 12, false), 12);
  ASSERT_EQ(server.poll(5000), 1);
  char buffer[1484];
  sockaddr_in from{};
  int fromLength = sizeof(from);
  ASSERT_EQ(server.read(buffer, sizeof(buffer), false, reinterpret_cast<sockaddr*>(&from), &fromLength), 12);
  EXPECT_EQ(std::memcmp(buffer, probe, 12), 0);
  EXPECT_TRUE(isLoopbackAt(from, fromLength, connected.getLocalPort()));
  EXPECT_FALSE(isLoopbackAt(from, fromLength, port));
  EXPECT_EQ(server.write(const_cast<char*>("pong"), 5, false, reinterpret_cast<sockaddr*>(&from), fromLength), 5);
  EXPECT_EQ(connected.read(buffer, sizeof(buffer), true), 5);
  EXPECT_STREQ(buffer, "pong");
  EXPECT_EQ(connected.write(probe, 0, false), 0);  // an empty datagram: 0 bytes each way
  ASSERT_EQ(server.poll(5000), 1);
  EXPECT_EQ(server.read(buffer, sizeof(buffer), false), 0);

  // Not connected: the destination goes with every send, as the galaxy
  // probes do it.
  KivSocket unconnected;
  ASSERT_EQ(unconnected.udpConnect(Loopback, port, true), 0);
  KivSocketAddress to;
  ASSERT_EQ(to.set(Loopback, port), 0);
  EXPECT_EQ(unconnected.write(probe, 12, false, to.get(), to.length()), 12);
  ASSERT_EQ(server.poll(5000), 1);
  fromLength = sizeof(from);
  EXPECT_EQ(server.read(buffer, sizeof(buffer), false, reinterpret_cast<sockaddr*>(&from), &fromLength), 12);
  EXPECT_TRUE(isLoopbackAt(from, fromLength, unconnected.getLocalPort()));

  // Made non-blocking, a read without data gives -2, unless it retries until
  // the datagram is there.
  int fd = static_cast<int>(server.getSocket());
  ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
  EXPECT_EQ(server.read(buffer, sizeof(buffer), false), -2);
  EXPECT_TRUE(server.errNo() == EAGAIN || server.errNo() == EWOULDBLOCK);
  std::atomic<int> got{0};
  std::thread reader([&] { got = server.read(buffer, sizeof(buffer), true); });
  EXPECT_EQ(connected.write(const_cast<char*>("late"), 4, false), 4);
  reader.join();
  EXPECT_EQ(got.load(), 4);
  EXPECT_EQ(server.read(buffer, 0, false), -2);
  EXPECT_EQ(server.read(buffer, -1, false), -1);  // a negative length is refused
  EXPECT_EQ(KivSocket().read(buffer, sizeof(buffer), false), -1);  // no socket
}

TEST(KivSocketTest, AddressChoiceFollowsWhich) {
  struct Case { int count, which; unsigned int random; int index; } cases[] = {
      {3, 0, 0, 0},  {3, 2, 0, 2},  {3, 3, 0, 2},   {3, -1, 0, 0}, {3, -3, 0, 2}, {3, -2, 7, 1},
      {3, -2, 9, 0}, {3, -4, 0, 0}, {1, -2, 12345, 0}, {0, 0, 0, -1}, {-2, -2, 3, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KivSocket::chooseAddress(c.count, c.which, c.random), c.index)
        << "count " << c.count << " which " << c.which << " random " << c.random;
  }
}
