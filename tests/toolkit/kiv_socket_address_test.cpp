#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tessel/toolkit/kiv_host.h"
#include "tessel/toolkit/kiv_socket.h"
#include "tessel/toolkit/kiv_socket_address.h"
#include "tests/support/raw_udp_socket.h"

namespace {

constexpr uint32_t LoopbackNetworkOrder = 0x0100007F;  // 127.0.0.1 as it lies in memory

}  // namespace

TEST(KivSocketAddressTest, ResolvedAddressNamesTheDestinationOfADatagram) {
  struct Case {
    const char* name;
    int result;
  } names[] = {{"127.0.0.1", 0}, {"localhost", 0}, {"", -1}, {nullptr, -1}};
  for (const Case& c : names) {
    SCOPED_TRACE(c.name == nullptr ? "null" : c.name);
    std::vector<uint32_t> addresses;
    EXPECT_EQ(KivHost::resolve(c.name, addresses), c.result);
    if (c.result == 0) {
      ASSERT_FALSE(addresses.empty());
      EXPECT_EQ(addresses.front(), LoopbackNetworkOrder);
    }
  }

  KivSocketAddress address;
  EXPECT_EQ(address.length(), 0);
  for (int port : {0, -1, 65536}) {
    EXPECT_EQ(address.set(LoopbackNetworkOrder, port), -1) << port;
    EXPECT_EQ(address.length(), 0);
  }
  EXPECT_EQ(address.set(0xFFFFFFFFu, 7000), -1);

  tessel_test::RawUdpSocket receiver;
  ASSERT_TRUE(receiver.ok());
  ASSERT_EQ(address.set(LoopbackNetworkOrder, receiver.port()), 0);
  EXPECT_GT(address.length(), 0);
  KivSocket sender;
  ASSERT_EQ(sender.udpConnect(LoopbackNetworkOrder, receiver.port(), true), 0);
  char bytes[] = "probe";
  EXPECT_EQ(sender.write(bytes, 5, false, address.get(), address.length()), 5);
  std::string got;
  ASSERT_TRUE(receiver.receive(got, 5000));
  EXPECT_EQ(got, "probe");
}
