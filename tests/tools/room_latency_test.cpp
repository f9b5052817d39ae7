// tessel-room's distances: the round-trip matrix it reads, the places it
// hands out, and the yardsticks it holds the planner's tree against.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/room/room_latency.h"

using tessel_room::LatencyMatrix;

namespace {

TEST(RoomLatencyTest, MatrixIsReadOrRefusedAndPlacesAreHandedOutInTurn) {
  // Three places where going through B is shorter than the direct A-C link.
  LatencyMatrix matrix;
  std::string why;
  ASSERT_TRUE(LatencyMatrix::parse("place,A,B,C\nA,0,20,100\nB,20,0,20\nC,100,24,0\n", matrix, why)) << why;
  ASSERT_EQ(matrix.size(), 3);
  EXPECT_EQ(matrix.find("b"), 1);
  EXPECT_EQ(matrix.find("D"), -1);
  EXPECT_EQ(matrix.largestRtt(), 100);
  // The shim holds each direction back by half its row's round trip.
  EXPECT_DOUBLE_EQ(matrix.expectedPing(1, 2), (20 + 24) / 4.0);

  const std::pair<const char*, const char*> refused[] = {
      {"", "no header row"},
      {"place\n", "not 1 to"},
      {"place,A,A\nA,0,1\nA,1,0\n", "named twice"},
      {"place,A,B\nA,0,1\n", "2 places in the header but 1 rows"},
      {"place,A,B\nA,0,1\nC,1,0\n", "row 2 is not B"},
      {"place,A,B\nA,0,1\nB,1\n", "row 2 is not B"},
      {"place,A,B\nA,0,fast\nB,1,0\n", "'fast' is not a round trip"},
      {"place,A,B\nA,0,-1\nB,1,0\n", "'-1' is not a round trip"},
  };
  for (const auto& [text, reason] : refused) {
    LatencyMatrix untouched = matrix;
    EXPECT_FALSE(LatencyMatrix::parse(text, untouched, why)) << text;
    EXPECT_NE(why.find(reason), std::string::npos) << text << ": " << why;
    EXPECT_EQ(untouched.size(), 3) << "a refused matrix changes nothing";
  }

  std::vector<int> places;
  ASSERT_TRUE(tessel_room::assignPlaces(matrix, "", 5, places, why));
  EXPECT_EQ(places, (std::vector<int>{0, 1, 2, 0, 1}));
  ASSERT_TRUE(tessel_room::assignPlaces(matrix, "c,A", 3, places, why));
  EXPECT_EQ(places, (std::vector<int>{2, 0, 2}));
  EXPECT_FALSE(tessel_room::assignPlaces(matrix, "A,Z", 3, places, why));
  EXPECT_NE(why.find("no place 'Z'"), std::string::npos) << why;
  const std::string config = tessel_room::shimConfiguration(matrix, 0.05, 3, "/tmp/ports");
  for (const char* line : {"places 3\n", "delay 0 2 50000\n", "delay 2 1 12000\n", "loss 0.050000\n",
                           "jitter 3000\n", "ports /tmp/ports\n"})
    EXPECT_NE(config.find(line), std::string::npos) << line << " in\n" << config;
}

TEST(RoomLatencyTest, YardsticksIgnoreTheFanOut) {
  // Latency as the planner would use it: symmetric, -1 unknown.
  const std::vector<std::vector<double>> link = {{0, 10, 50, 12}, {10, 0, 10, -1}, {50, 10, 0, 45}, {12, -1, 45, 0}};
  auto latency = [&](int a, int b) { return link[size_t(a)][size_t(b)]; };
  auto everyone = [](int) { return true; };
  auto notOne = [](int slot) { return slot != 1; };
  // Stars: roots 0 and 2 reach everyone (worst 50), 1 and 3 do not (an
  // unknown link). Shortest paths from 0: 1 at 10, 2 at 20 through 1, 3 at 12.
  tessel_room::TreeFigure star = tessel_room::bestStar(4, latency, everyone);
  EXPECT_EQ(std::pair(star.root, star.worst), std::pair(0, 50.0));
  tessel_room::TreeFigure bound = tessel_room::lowerBound(4, latency, everyone);
  EXPECT_EQ(std::pair(bound.root, bound.worst), std::pair(0, 20.0));
  // A member that cannot relay passes no path on and cannot be a root:
  // from 0 the way to 2 is then 50 direct; from 3, 1 is 22 away through
  // 0 and 2 is 45 direct.
  bound = tessel_room::lowerBound(4, latency, notOne);
  EXPECT_EQ(std::pair(bound.root, bound.worst), std::pair(3, 45.0));
  EXPECT_EQ(tessel_room::bestStar(4, latency, notOne).root, 0);
  // The tree 0 -> 1 -> 2, 0 -> 3.
  EXPECT_EQ(tessel_room::treeWorst({0, 0, 1, 0}, latency), 20);
}

}  // namespace
