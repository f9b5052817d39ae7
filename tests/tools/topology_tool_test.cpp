// tessel-topology, the planner for files on disk, run as a program.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_registry.h"
#include "tests/support/test_support.h"
#include "tessel/planner/topology_planner.h"

using zintar::PingList;
using zintar::PlannerOptions;
using zintar::TopologyPlanner;

namespace {

constexpr uint32_t Loopback = 0x7F000001;
constexpr int32_t FirstId = 700;

using tessel_test::readFile;

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

// A made-up list: slot, listen flag and (slot, ping) entries.
std::string listBytes(int slot, bool listen, const std::vector<PingList::PeerEntry>& peers) {
  PingList list;
  list.self = zintar::TopologyDescription::peerRecord(FirstId + slot, slot, Loopback, 30000 + slot, listen, 1, 2);
  list.peers = peers;
  return list.encode();
}

TEST(TopologyToolTest, CommandLinePlansFilesAndSaysWhyItCannot) {
  const std::string tool = tessel_test::toolPath("tessel-topology");
  if (tool.empty()) GTEST_SKIP() << "tools not built";
  tessel_test::TempFolder folder;
  const std::string dir = folder.path();
  // A chain of latencies: 0 is close to 1, 1 to 2, 2 to 3.
  std::vector<std::string> files;
  std::vector<std::string> lists;
  for (int slot = 0; slot < 4; ++slot) {
    std::vector<PingList::PeerEntry> peers;
    for (int other = 0; other < 4; ++other) peers.push_back({other, other == slot ? 0 : 10 * std::abs(other - slot)});
    lists.push_back(listBytes(slot, true, peers));
    files.push_back(dir + "/slot" + std::to_string(slot) + ".bin");
    writeFile(files.back(), lists.back());
  }
  PlannerOptions options;
  options.fanOut = 2;
  options.capacity = 100;
  options.maxDataSize = 200;
  options.syncTime = false;
  TopologyPlanner planner(options);
  for (const auto& bytes : lists) ASSERT_EQ(planner.addPingList(bytes.data(), bytes.size()), 0);
  ASSERT_EQ(planner.plan(), 0);

  std::string output;
  std::vector<std::string> args{"-o", dir + "/out.bin", "--dot=" + dir + "/tree.dot", "-f", "2", "--capacity=100",
                                "-d", "200", "--no-sync", "--matrix"};
  args.insert(args.end(), files.rbegin(), files.rend());
  ASSERT_EQ(tessel_test::runProgram(tool, args, output), 0) << output;
  EXPECT_EQ(readFile(dir + "/out.bin"), planner.getDescription()) << "the same plan as the library's planner";
  EXPECT_NE(readFile(dir + "/tree.dot").find("digraph"), std::string::npos);
  EXPECT_NE(output.find("root slot " + std::to_string(planner.getPlan().root)), std::string::npos) << output;
  EXPECT_NE(output.find("latency ms"), std::string::npos) << output;

  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  writeFile(dir + "/junk.bin", "not a ping list");
  std::vector<PingList::PeerEntry> pair{{0, 0}, {1, 5}};
  writeFile(dir + "/closed0.bin", listBytes(0, false, pair));
  writeFile(dir + "/closed1.bin", listBytes(1, false, pair));
  const Case cases[] = {
      {"unknown option", {"--bogus", files[0]}, 2, "unknown option"},
      {"fan-out out of range", {"--fan-out=40", files[0]}, 2, "--fan-out wants a whole number from 1 to 31"},
      {"no lists", {"-o", dir + "/x.bin"}, 2, "no ping list files"},
      {"lists name peers without a list", {"-o", dir + "/half.bin", files[0], files[1]}, 0,
       "warning: 2 peers named in the lists have no list of their own (slots 2 3)"},
      {"missing file", {dir + "/missing.bin"}, 1, "cannot read"},
      {"not a list", {dir + "/junk.bin"}, 1, "junk.bin: not a ping list"},
      {"same slot twice", {files[0], files[0]}, 1, "two ping lists for slot 0"},
      {"nobody listens", {"-o", dir + "/x.bin", dir + "/closed0.bin", dir + "/closed1.bin"}, 1,
       "no tree: no peer accepts connections"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tessel_test::runProgram(tool, c.args, output), c.status) << c.name << ": " << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << c.name << ": " << output;
  }
  EXPECT_TRUE(readFile(dir + "/x.bin").empty()) << "nothing is written without a tree";
  EXPECT_EQ(tessel_test::runProgram(tool, {"--help"}, output), 0);
  EXPECT_NE(output.find("--fan-out"), std::string::npos);
}

}  // namespace
