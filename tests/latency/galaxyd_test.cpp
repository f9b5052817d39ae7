// tessel-galaxyd, the galaxy ping responder, run as a child process.

#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/raw_udp_socket.h"
#include "tests/support/test_support.h"

TEST(GalaxydTest, EchoesDatagramsOfOneTo1484BytesFromPortsThatCannotAnswerBack) {
  if (tessel_test::toolPath("tessel-galaxyd").empty()) GTEST_SKIP() << "built without tools";
  tessel_test::GalaxyResponder responder(tessel_test::toolPath("tessel-galaxyd"));
  ASSERT_TRUE(responder.ok()) << responder.output();
  tessel_test::RawUdpSocket client;
  ASSERT_TRUE(client.ok());

  struct Case {
    size_t size;
    bool answered;
    int from = -1;  // a forged source port; -1: the client's own
  } cases[] = {{0, false},  {1, true},   {1484, true}, {1485, false}, {65507, false}, {12, false, responder.port()},
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
    answers += c.answered;
    if (c.answered && c.from < 0) {
      EXPECT_EQ(answer, probe);
      ASSERT_TRUE(client.receive(answer, 5000));
    }
    EXPECT_EQ(answer, marker);
    ++answers;
  }
  EXPECT_EQ(responder.stop(SIGINT), answers);
  EXPECT_EQ(responder.exitStatus(), 0);
}
