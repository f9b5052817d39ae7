// tessel-topology: the topology planner for files on disk. It reads one
// peer ping list per peer (the bytes a host got from getPeerPingList, one
// file each), chooses the overlay's tree and writes the topology
// description that every peer hands to setTopology, with a readable summary
// on standard output.

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tessel/planner/topology_planner.h"
#include "tools/tool_args.h"

namespace {

constexpr const char* ProgramName = "tessel-topology";
using tessel_tools::ExitFailure;
using tessel_tools::ExitOk;
using tessel_tools::ExitUsage;
constexpr int MaxCapacity = 65536;
constexpr int MaxDataSize = 1478;

void usage(FILE* out) {
  std::fprintf(out,
               "Usage: %s [options] LIST...\n"
               "\n"
               "Plans a room's overlay tree from its peers' ping lists (the bytes of\n"
               "getPeerPingList, one file per peer) and writes the topology description\n"
               "that every peer passes to setTopology. The tree keeps the worst\n"
               "root-to-member latency as small as it can, ties going to the smaller sum;\n"
               "only peers that accept connections become parents. Peers that the lists name\n"
               "but that have no list of their own are left out, with a warning.\n"
               "\n"
               "  -o, --output FILE    write the description here (default topology.bin)\n"
               "  -f, --fan-out N      most children of one parent, 1 to 31 (default 4)\n"
               "  -c, --capacity N     frame store size in packets, 0 to %d; 0 leaves each\n"
               "                       peer's store as it is (default 256)\n"
               "  -d, --max-data N     largest data size of a stored packet, 1 to %d\n"
               "                       (default %d)\n"
               "      --no-sync        switch clock synchronisation off (default on)\n"
               "      --dot FILE       also write the tree as a Graphviz file\n"
               "  -m, --matrix         also print the latency matrix\n"
               "  -q, --quiet          print nothing when all goes well\n"
               "  -h, --help           show this text and exit\n"
               "\n"
               "Exit status: 0 when the description was written; 1 when no tree is\n"
               "possible (the reason is printed) or a file cannot be read or written;\n"
               "2 for a bad command line.\n",
               ProgramName, MaxCapacity, MaxDataSize, MaxDataSize);
}

bool readFile(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(bytes.data(), std::streamsize(bytes.size()));
  out.close();
  return !out.fail();
}

struct Options {
  zintar::PlannerOptions planner;
  std::string output = "topology.bin";
  std::string dot;
  bool matrix = false;
  bool quiet = false;
  std::vector<std::string> lists;
};

// ExitOk with run set to go on; ExitOk without it after --help; ExitUsage.
int parseOptions(int argc, char** argv, Options& options, bool& run) {
  run = false;
  constexpr int NoSync = 256, Dot = 257;
  const option longOptions[] = {{"output", required_argument, nullptr, 'o'},
                                {"fan-out", required_argument, nullptr, 'f'},
                                {"capacity", required_argument, nullptr, 'c'},
                                {"max-data", required_argument, nullptr, 'd'},
                                {"no-sync", no_argument, nullptr, NoSync},
                                {"dot", required_argument, nullptr, Dot},
                                {"matrix", no_argument, nullptr, 'm'},
                                {"quiet", no_argument, nullptr, 'q'},
                                {"help", no_argument, nullptr, 'h'},
                                {nullptr, 0, nullptr, 0}};
  tessel_tools::ArgParser args(ProgramName, argc, argv, "o:f:c:d:mqh", longOptions);
  for (int key; (key = args.next()) != -1;) {
    int number = 0;
    switch (key) {
      case 'h':
        usage(stdout);
        return ExitOk;
      case 'o':
        options.output = args.value();
        break;
      case Dot:
        options.dot = args.value();
        break;
      case 'f':
        if (!args.number(1, 31, options.planner.fanOut)) return ExitUsage;
        break;
      case 'c':
        if (!args.number(0, MaxCapacity, number)) return ExitUsage;
        options.planner.capacity = number;
        break;
      case 'd':
        if (!args.number(1, MaxDataSize, number)) return ExitUsage;
        options.planner.maxDataSize = number;
        break;
      case NoSync:
        options.planner.syncTime = false;
        break;
      case 'm':
        options.matrix = true;
        break;
      case 'q':
        options.quiet = true;
        break;
      default:
        return ExitUsage;
    }
  }
  options.lists = args.operands();
  if (options.lists.empty()) {
    args.fail("no ping list files given (see --help)");
    return ExitUsage;
  }
  run = true;
  return ExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool run = false;
  int status = parseOptions(argc, argv, options, run);
  if (!run) return status;

  zintar::TopologyPlanner planner(options.planner);
  for (const std::string& path : options.lists) {
    std::string bytes;
    if (!readFile(path, bytes)) {
      std::fprintf(stderr, "%s: cannot read '%s'\n", ProgramName, path.c_str());
      return ExitFailure;
    }
    if (planner.addPingList(bytes.data(), bytes.size()) != 0) {
      std::fprintf(stderr, "%s: %s: %s\n", ProgramName, path.c_str(), planner.getError().c_str());
      return ExitFailure;
    }
  }
  // A list that is missing leaves its peer out of the tree: say so, even
  // when quiet.
  const std::vector<int> unlisted = planner.getUnlistedSlots();
  if (!unlisted.empty()) {
    std::string slots;
    for (int slot : unlisted) slots += " " + std::to_string(slot);
    std::fprintf(stderr, "%s: warning: %zu peers named in the lists have no list of their own (slots%s); the tree "
                 "leaves them out\n", ProgramName, unlisted.size(), slots.c_str());
  }
  if (options.matrix && !options.quiet) std::fputs(planner.latencyTable().c_str(), stdout);
  if (planner.plan() != 0) {
    std::fprintf(stderr, "%s: no tree: %s\n", ProgramName, planner.getError().c_str());
    return ExitFailure;
  }
  if (!writeFile(options.output, planner.getDescription())) {
    std::fprintf(stderr, "%s: cannot write '%s'\n", ProgramName, options.output.c_str());
    return ExitFailure;
  }
  if (!options.dot.empty() && !writeFile(options.dot, planner.dot())) {
    std::fprintf(stderr, "%s: cannot write '%s'\n", ProgramName, options.dot.c_str());
    return ExitFailure;
  }
  if (!options.quiet) {
    std::fputs(planner.summary().c_str(), stdout);
    std::printf("description: %zu bytes written to %s\n", planner.getDescription().size(), options.output.c_str());
  }
  return ExitOk;
}
