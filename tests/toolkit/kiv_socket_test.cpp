#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <iterator>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "tessel/toolkit/kiv_host.h"
#include "tessel/toolkit/kiv_socket.h"
#include "tessel/toolkit/kiv_socket_address.h"

namespace {

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
