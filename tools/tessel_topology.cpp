// tessel-topology: the topology planner for files on disk. It reads one
// peer ping list per peer (the bytes a host got from getPeerPingList, one
// file each), chooses the overlay's tree and writes the topology
// description that every peer hands to setTopology, with a readable summary
// on standard output.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tessel/planner/topology_planner.h"
#include "tools/tool_args.h"

namespace {

constexpr const char* ProgramName = "tessel-topology";
constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;
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
               "only peers that accept connections become parents.\n"
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

using tessel_tools::parseInt;

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
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: %s needs a value\n", ProgramName, arg.c_str());
        return nullptr;
      }
      return argv[++i];
    };
    auto number = [&](int low, int high, int& target) {
      const char* text = value();
      if (text == nullptr) return false;
      if (!parseInt(text, low, high, target)) {
        std::fprintf(stderr, "%s: %s wants a number from %d to %d, not '%s'\n", ProgramName, arg.c_str(), low, high,
                     text);
        return false;
      }
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return ExitOk;
    } else if (arg == "-o" || arg == "--output") {
      const char* text = value();
      if (text == nullptr) return ExitUsage;
      options.output = text;
    } else if (arg == "--dot") {
      const char* text = value();
      if (text == nullptr) return ExitUsage;
      options.dot = text;
    } else if (arg == "-f" || arg == "--fan-out") {
      if (!number(1, 31, options.planner.fanOut)) return ExitUsage;
    } else if (arg == "-c" || arg == "--capacity") {
      int capacity = 0;
      if (!number(0, MaxCapacity, capacity)) return ExitUsage;
      options.planner.capacity = capacity;
    } else if (arg == "-d" || arg == "--max-data") {
      int size = 0;
      if (!number(1, MaxDataSize, size)) return ExitUsage;
      options.planner.maxDataSize = size;
    } else if (arg == "--no-sync") {
      options.planner.syncTime = false;
    } else if (arg == "-m" || arg == "--matrix") {
      options.matrix = true;
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "%s: unknown option '%s' (see --help)\n", ProgramName, arg.c_str());
      return ExitUsage;
    } else {
      options.lists.push_back(arg);
    }
  }
  if (options.lists.empty()) {
    std::fprintf(stderr, "%s: no ping list files given (see --help)\n", ProgramName);
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
