// tessel-room run as a user runs it: a small room of peer processes must
// pass every check, its saved ping lists must plan to the same tree through
// tessel-topology, bad options must be refused with status 2 and outputs
// it cannot write with status 1.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_registry.h"
#include "tests/support/test_support.h"

namespace {

// Generous: sanitizer builds run every peer several times slower. The
// room's own steps have their time limits; this only guards the test.
constexpr int RoomLimitMs = 300000;

std::string roomPath() { return tessel_test::toolPath("tessel-room"); }

std::string topologyPath() { return tessel_test::toolPath("tessel-topology"); }

using tessel_test::readFile;

TEST(RoomToolTest, SmallRoomPassesEveryCheck) {
  if (roomPath().empty()) GTEST_SKIP() << "tools not built";
  tessel_test::TempFolder folder;
  const std::string saved = folder.path() + "/lists";
  std::string output;
  int status = tessel_test::runProgram(roomPath(),
                                       {"--peers", "5", "--duration", "2", "--capacity", "512", "--dot",
                                        folder.path() + "/tree.dot", "--save", saved},
                                       output, RoomLimitMs);
  ASSERT_EQ(status, 0) << output;
  EXPECT_NE(output.find("Result: every check held."), std::string::npos) << output;
  EXPECT_NE(output.find("ordered broadcasts: 200 sent, each reached every member exactly once"), std::string::npos)
      << output;
  EXPECT_NE(readFile(folder.path() + "/tree.dot").find("digraph"), std::string::npos);

  // The saved lists plan to the same description through tessel-topology
  // (payload 32 bytes: stored packets of up to 48).
  std::vector<std::string> args{"-q", "-o", folder.path() + "/again.bin", "-c", "512", "-d", "48"};
  for (int slot = 0; slot < 5; ++slot) args.push_back(saved + "/slot-" + std::to_string(slot) + ".pinglist");
  ASSERT_EQ(tessel_test::runProgram(topologyPath(), args, output), 0) << output;
  const std::string description = readFile(saved + "/topology.bin");
  EXPECT_FALSE(description.empty());
  EXPECT_EQ(readFile(folder.path() + "/again.bin"), description);
}

TEST(RoomToolTest, PeerThatAcceptsNoConnectionsStaysALeaf) {
  if (roomPath().empty()) GTEST_SKIP() << "tools not built";
  std::string output;
  int status = tessel_test::runProgram(
      roomPath(), {"-n", "4", "-d", "1", "-m", "0", "--closed", "1", "--no-galaxy", "-q"}, output, RoomLimitMs);
  ASSERT_EQ(status, 0) << output;
  EXPECT_NE(output.find("\n    3  leaf"), std::string::npos) << output;
  EXPECT_NE(output.find("mode 0 has no ordered delivery"), std::string::npos) << output;
}

TEST(RoomToolTest, BadOptionsAndUnwritableOutputsAreRefusedBeforeAnythingStarts) {
  if (roomPath().empty()) GTEST_SKIP() << "tools not built";
  tessel_test::TempFolder folder;
  const std::string missing = folder.path() + "/missing";
  struct Case {
    std::vector<std::string> args;
    const char* says;
    int status = 2;
  };
  const Case cases[] = {
      {{"--peers=1"}, "--peers wants a whole number from 2 to 32"},
      {{"--mode", "4"}, "--mode is 0, 3, 5 or 7"},
      {{"--rate"}, "--rate needs a value"},
      {{"--closed", "5", "--peers", "5"}, "leaves no peer"},
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"--save", missing + "/lists"}, "cannot save into", 1},
      {{"--dot=" + missing + "/tree.dot"}, "cannot write", 1},
  };
  for (const Case& c : cases) {
    std::string output;
    EXPECT_EQ(tessel_test::runProgram(roomPath(), c.args, output), c.status) << c.args[0] << ": " << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << c.args[0] << ": " << output;
  }
  EXPECT_FALSE(std::filesystem::exists(missing)) << "no folder is created";
  std::string help;
  EXPECT_EQ(tessel_test::runProgram(roomPath(), {"--help"}, help), 0);
  EXPECT_NE(help.find("--peers"), std::string::npos);
}

}  // namespace
