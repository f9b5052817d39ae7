#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "tessel/toolkit/kiv_socket.h"

namespace {

const uint32_t Loopback = htonl(INADDR_LOOPBACK);

int localPort(const KivSocket& socket) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  if (getsockname(static_cast<int>(socket.getSocket()), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return -1;
  }
  return ntohs(address.sin_port);
}

sockaddr_in loopbackAddress(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = Loopback;
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

size_t openDescriptors() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

std::vector<char> pattern(size_t size, int seed) {
  std::vector<char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + static_cast<size_t>(seed)) & 0xFF);
  return bytes;
}

// A connected TCP pair on 127.0.0.1, reached by name: client and the
// accepted server side.
void connectPair(KivSocket& client, KivSocket& server) {
  KivSocket listener;
  ASSERT_EQ(listener.tcpListen(0, 0), 0);
  int port = localPort(listener);
  ASSERT_GT(port, 0);
  ASSERT_EQ(client.tcpConnect(KivSocket::LoopbackHost, port), 0);  // a name: its first address
  sockaddr_in from{};
  int fromLength = sizeof(from);
  ASSERT_EQ(listener.tcpAccept(server, reinterpret_cast<sockaddr*>(&from), &fromLength), 0);
  ASSERT_TRUE(server.isConnected());
  EXPECT_EQ(from.sin_addr.s_addr, Loopback);
  EXPECT_EQ(ntohs(from.sin_port), localPort(client));
}

}  // namespace

TEST(KivSocketTest, RefusedAddressesCreateNoSocket) {
  KivSocket closedPortHolder;
  ASSERT_EQ(closedPortHolder.tcpListen(0, 0), 0);
  int closedPort = localPort(closedPortHolder);
  closedPortHolder.close();  // nothing listens there any more

  size_t before = openDescriptors();
  struct Case {
    const char* what;
    int (*attempt)(KivSocket&, int closedPort);
  } cases[] = {
      {"tcp port 0", [](KivSocket& s, int) { return s.tcpConnect(KivSocket::LoopbackIp, 0); }},
      {"tcp port -1", [](KivSocket& s, int) { return s.tcpConnect(Loopback, -1); }},
      {"tcp empty host", [](KivSocket& s, int) { return s.tcpConnect("", 7000); }},
      {"tcp null host", [](KivSocket& s, int) { return s.tcpConnect(static_cast<const char*>(nullptr), 7000); }},
      {"tcp 0xFFFFFFFF", [](KivSocket& s, int) { return s.tcpConnect(0xFFFFFFFFu, 7000); }},
      {"udp port 0", [](KivSocket& s, int) { return s.udpConnect(Loopback, 0, true); }},
      {"udp empty host", [](KivSocket& s, int) { return s.udpConnect("", 7000, true); }},
      {"tcp listen port -1", [](KivSocket& s, int) { return s.tcpListen(-1, 0); }},
      {"udp listen port 70000", [](KivSocket& s, int) { return s.udpListen(70000); }},
      // These create a socket and must close it again.
      {"tcp refused", [](KivSocket& s, int port) { return s.tcpConnect(KivSocket::LoopbackIp, port); }},
  };
  for (const Case& c : cases) {
    KivSocket socket;
    EXPECT_EQ(c.attempt(socket, closedPort), -1) << c.what;
    EXPECT_EQ(socket.getSocket(), KivSocket::InvalidSocket) << c.what;
    EXPECT_FALSE(socket.isConnected()) << c.what;
  }
  EXPECT_EQ(openDescriptors(), before);

  KivSocket listener;  // a port in use cannot be bound twice
  ASSERT_EQ(listener.udpListen(0), 0);
  KivSocket second;
  EXPECT_EQ(second.udpListen(localPort(listener)), -1);
  EXPECT_EQ(second.getSocket(), KivSocket::InvalidSocket);
  EXPECT_EQ(second.errNo(), EADDRINUSE);
  EXPECT_STREQ(second.strerror(EADDRINUSE), strerror(EADDRINUSE));
}

TEST(KivSocketTest, TcpExchangeMovesLargeBuffersBothWays) {
  KivSocket client;
  KivSocket server;
  ASSERT_NO_FATAL_FAILURE(connectPair(client, server));

  const std::vector<char> up = pattern(200000, 1);
  const std::vector<char> down = pattern(100000, 2);
  std::thread serverSide([&server, &down] {
    std::vector<char> received(200000);
    if (server.reads(received.data(), static_cast<int>(received.size())) != static_cast<int>(received.size())) return;
    // Answer with a buffer of its own, then the first bytes it received.
    server.writes(down.data(), static_cast<int>(down.size()));
    server.write(received.data(), 16);
  });
  EXPECT_EQ(client.writes(up.data(), static_cast<int>(up.size())), static_cast<int>(up.size()));
  std::vector<char> answer(down.size());
  EXPECT_EQ(client.reads(answer.data(), static_cast<int>(answer.size())), static_cast<int>(answer.size()));
  EXPECT_TRUE(answer == down);
  char proof[16];
  EXPECT_EQ(client.read(proof, 16), 16);
  EXPECT_EQ(std::memcmp(proof, up.data(), 16), 0);
  serverSide.join();
}

TEST(KivSocketTest, UdpExchangeConnectedAndByDestinationPollWaitsAndTimesOut) {
  KivSocket server;
  ASSERT_EQ(server.udpListen(0), 0);
  int port = localPort(server);
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
  EXPECT_EQ(fromLength, static_cast<int>(sizeof(from)));
  EXPECT_EQ(ntohs(from.sin_port), localPort(connected));
  char reply[5] = "pong";
  EXPECT_EQ(server.write(reply, 5, false, reinterpret_cast<sockaddr*>(&from), fromLength), 5);
  EXPECT_EQ(connected.read(buffer, sizeof(buffer), true), 5);
  EXPECT_STREQ(buffer, "pong");

  // Not connected: the destination goes with every send, as the galaxy
  // probes do it.
  KivSocket unconnected;
  ASSERT_EQ(unconnected.udpConnect(Loopback, port, true), 0);
  EXPECT_GT(localPort(unconnected), 0);
  sockaddr_in to = loopbackAddress(port);
  EXPECT_EQ(unconnected.write(probe, 12, false, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 12);
  ASSERT_EQ(server.poll(5000), 1);
  fromLength = sizeof(from);
  EXPECT_EQ(server.read(buffer, sizeof(buffer), false, reinterpret_cast<sockaddr*>(&from), &fromLength), 12);
  EXPECT_EQ(ntohs(from.sin_port), localPort(unconnected));
}

TEST(KivSocketTest, NonBlockingReadWithoutDataGivesMinusTwoUnlessRetrying) {
  KivSocket receiver;
  ASSERT_EQ(receiver.udpListen(0), 0);
  int fd = static_cast<int>(receiver.getSocket());
  ASSERT_EQ(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
  char buffer[64];
  EXPECT_EQ(receiver.read(buffer, sizeof(buffer), false), -2);
  EXPECT_TRUE(receiver.errNo() == EAGAIN || receiver.errNo() == EWOULDBLOCK);

  // With retry the read keeps trying until the datagram is there.
  std::atomic<int> got{0};
  std::thread reader([&] { got = receiver.read(buffer, sizeof(buffer), true); });
  KivSocket sender;
  ASSERT_EQ(sender.udpConnect(Loopback, localPort(receiver), false), 0);
  EXPECT_EQ(sender.write(const_cast<char*>("late"), 4, false), 4);
  reader.join();
  EXPECT_EQ(got.load(), 4);

  EXPECT_EQ(receiver.read(buffer, -1, false), -1);  // a negative length is refused
  KivSocket closed;
  EXPECT_EQ(closed.read(buffer, sizeof(buffer), false), -1);
}

TEST(KivSocketTest, LoopingReadFailsWhenThePeerClosesEarly) {
  KivSocket client;
  KivSocket server;
  ASSERT_NO_FATAL_FAILURE(connectPair(client, server));
  std::vector<char> data = pattern(100, 3);
  EXPECT_EQ(server.write(data.data(), 100), 100);
  server.close();
  EXPECT_FALSE(server.isConnected());

  char buffer[200];
  EXPECT_EQ(client.read(buffer, 0), 0);
  EXPECT_EQ(client.read(buffer, 200), -1);
  // Writing to the closed connection fails instead of raising SIGPIPE.
  std::vector<char> more = pattern(1 << 16, 4);
  int result = 0;
  for (int i = 0; i < 16 && result >= 0; ++i) result = client.write(more.data(), static_cast<int>(more.size()));
  EXPECT_EQ(result, -1);
}

TEST(KivSocketTest, SegmentedTransfersMovePiecesOf16384Bytes) {
  KivSocket receiver;
  ASSERT_EQ(receiver.udpListen(0), 0);
  KivSocket sender;
  ASSERT_EQ(sender.udpConnect(Loopback, localPort(receiver), false), 0);

  // writes: each piece is one datagram, so the receiver sees the pieces.
  std::vector<char> data = pattern(40000, 5);
  EXPECT_EQ(sender.writes(data.data(), 40000), 40000);
  std::vector<int> sizes;
  std::vector<char> datagram(65536);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(receiver.poll(5000), 1);
    sizes.push_back(receiver.read(datagram.data(), static_cast<int>(datagram.size()), false));
  }
  EXPECT_EQ(sizes, (std::vector<int>{16384, 16384, 7232}));

  // reads: datagrams 100 bytes longer than the pieces asked for lose their
  // tails, which shows the piece sizes in what arrives.
  const int pieces[] = {16384, 16384, 7232};
  std::vector<char> expected;
  for (int i = 0; i < 3; ++i) {
    std::vector<char> big = pattern(static_cast<size_t>(pieces[i]) + 100, 10 + i);
    ASSERT_EQ(sender.write(big.data(), static_cast<int>(big.size()), false), static_cast<int>(big.size()));
    expected.insert(expected.end(), big.begin(), big.begin() + pieces[i]);
  }
  std::vector<char> received(40000);
  EXPECT_EQ(receiver.reads(received.data(), 40000), 40000);
  EXPECT_TRUE(received == expected);

  // The receive buffer is set on the first segmented read only.
  int fd = static_cast<int>(receiver.getSocket());
  int size = 1 << 18;
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size)), 0);
  int before = 0;
  socklen_t length = sizeof(before);
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &before, &length), 0);
  std::vector<char> again = pattern(16384, 20);
  ASSERT_EQ(sender.write(again.data(), 16384, false), 16384);
  EXPECT_EQ(receiver.reads(received.data(), 16384), 16384);
  int after = 0;
  ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &after, &length), 0);
  EXPECT_EQ(after, before);
}

TEST(KivSocketTest, AddressChoiceFollowsWhich) {
  struct Case {
    int count;
    int which;
    unsigned int random;
    int index;
  } cases[] = {
      {3, 0, 0, 0},  {3, 2, 0, 2},  {3, 3, 0, 2},   {3, -1, 0, 0}, {3, -3, 0, 2}, {3, -2, 7, 1},
      {3, -2, 9, 0}, {3, -4, 0, 0}, {1, -2, 12345, 0}, {0, 0, 0, -1}, {-2, -2, 3, -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KivSocket::chooseAddress(c.count, c.which, c.random), c.index)
        << "count " << c.count << " which " << c.which << " random " << c.random;
  }
}
