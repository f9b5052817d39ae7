// tessel-room run as a user runs it: a small room of peer processes must
// pass every check, its saved ping lists must plan to the same tree through
// tessel-topology, bad options must be refused with status 2 and outputs
// it cannot write with status 1.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_registry.h"
#include "tests/support/test_support.h"

using tessel_test::readFile;
using tessel_test::runProgram;

namespace {

// Generous: sanitizer builds run every peer several times slower. The
// room's own steps have their time limits; this only guards the test.
constexpr int RoomLimitMs = 300000;

TEST(RoomToolTest, SmallRoomPassesEveryCheck) {
  const std::string room = tessel_test::toolPath("tessel-room");
  if (room.empty()) GTEST_SKIP() << "tools not built";
  tessel_test::TempFolder folder;
  const std::string dir = folder.path(), saved = dir + "/lists";
  std::string output;
  ASSERT_EQ(runProgram(room, {"--peers", "5", "--duration", "2", "--capacity", "512", "--dot", dir + "/tree.dot",
                              "--save", saved}, output, RoomLimitMs), 0) << output;
  EXPECT_NE(output.find("Result: every check held."), std::string::npos) << output;
  EXPECT_NE(output.find("ordered broadcasts: 200 sent, each reached every member exactly once"), std::string::npos)
      << output;
  EXPECT_NE(readFile(dir + "/tree.dot").find("digraph"), std::string::npos);

  // The saved lists plan to the same description through tessel-topology
  // (payload 32 bytes: stored packets of up to 48).
  std::vector<std::string> args{"-q", "-o", dir + "/again.bin", "-c", "512", "-d", "48"};
  for (int slot = 0; slot < 5; ++slot) args.push_back(saved + "/slot-" + std::to_string(slot) + ".pinglist");
  ASSERT_EQ(runProgram(tessel_test::toolPath("tessel-topology"), args, output), 0) << output;
  EXPECT_FALSE(readFile(saved + "/topology.bin").empty());
  EXPECT_EQ(readFile(dir + "/again.bin"), readFile(saved + "/topology.bin"));

  // A peer that accepts no connections stays a leaf; mode 0 runs without
  // ordered delivery and without the galaxy; the room key seals it all.
  ASSERT_EQ(runProgram(room, {"-n", "4", "-d", "1", "-m", "0", "--closed", "1", "--no-galaxy", "--key", "-q"},
                       output, RoomLimitMs), 0) << output;
  EXPECT_NE(output.find("\n    3  leaf"), std::string::npos) << output;
  EXPECT_NE(output.find("holds the room key of this run"), std::string::npos) << output;
  EXPECT_NE(output.find("mode 0 has no ordered delivery"), std::string::npos) << output;

  // Bad options (status 2) and outputs it cannot write (status 1) are
  // refused before anything starts; no folder is created.
  const std::string missing = dir + "/missing";
  const std::tuple<std::vector<std::string>, const char*, int> refused[] = {
      {{"--peers=1"}, "--peers wants a whole number from 2 to 32", 2},
      {{"--mode", "4"}, "--mode is 0, 3, 5 or 7", 2},
      {{"--rate"}, "--rate needs a value", 2},
      {{"--closed", "5", "--peers", "5"}, "leaves no peer", 2},
      {{"--frobnicate"}, "unknown option '--frobnicate'", 2},
      {{"--save", missing + "/lists"}, "cannot save into", 1},
      {{"--dot=" + missing + "/tree.dot"}, "cannot write", 1},
  };
  for (const auto& [args, says, status] : refused) {
    EXPECT_EQ(runProgram(room, args, output), status) << says << ": " << output;
    EXPECT_NE(output.find(says), std::string::npos) << says << ": " << output;
  }
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_EQ(runProgram(room, {"--help"}, output), 0);
  EXPECT_NE(output.find("--peers"), std::string::npos);
}

}  // namespace
