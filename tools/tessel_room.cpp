// tessel-room: a whole room of tessel peers on this machine in one
// command. Every peer is a process of its own with its own engine on
// 127.0.0.1; this process plays the world's server for them. See --help.
//
// The same program is also each peer: started with the hidden option
// --peer, it serves its coordinator over descriptors 3 and 4.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/room/room_coordinator.h"
#include "tools/room/room_peer.h"
#include "tools/tool_args.h"

namespace {

constexpr const char* ProgramName = "tessel-room";
using tessel_tools::ExitFailure;
using tessel_tools::ExitOk;
using tessel_tools::ExitUsage;
// The most messages a run may carry (peers x peers x rate x seconds,
// roughly what the peers receive in all), so that the check stays quick.
constexpr double MaxMessages = 3e6;

void usage(FILE* out) {
  std::fprintf(
      out,
      "Usage: %s [options]\n"
      "\n"
      "Runs a room of tessel peers on this machine and checks that the library does\n"
      "its job. Every peer is a process of its own with its own engine on 127.0.0.1;\n"
      "this process plays the world's server: it starts the peers (and tessel-galaxyd\n"
      "when it is at hand), lets each measure its pings to the others and to the\n"
      "galaxy, collects their ping lists, plans the tree with the topology planner,\n"
      "hands every peer the description, connects them root first, and drives direct\n"
      "packets, immediate and ordered broadcasts with clock synchronisation on. Then it\n"
      "prints the tree, per peer the jobs received and the delays, and the checks.\n"
      "\n"
      "Room:\n"
      "  -n, --peers N            peers in the room, 2 to 32 (default 8)\n"
      "  -m, --mode M             delivery mode: 0 immediate, 3 ordered, 5 ordered and\n"
      "                           sequenced, 7 one order everywhere (default 3)\n"
      "  -f, --fan-out N          most children of one parent, 1 to 31 (default 4)\n"
      "      --closed N           the last N slots do not accept connections, so they\n"
      "                           can only be leaves (default 0)\n"
      "      --capacity N         frame store size in packets, 16 to 65536 (default:\n"
      "                           room for every ordered broadcast of the run)\n"
      "      --key                every peer holds a room key made for this run\n"
      "                           (setRoomKey): every connection is authenticated\n"
      "                           and every packet sealed\n"
      "Traffic:\n"
      "  -d, --duration S         seconds of traffic, 0.5 to 60 (default 5)\n"
      "  -r, --rate R             messages per second that every peer sends of each\n"
      "                           kind (direct, immediate, ordered), 0 to 200 (default 20)\n"
      "      --direct-rate R      the same for one kind only\n"
      "      --immediate-rate R\n"
      "      --ordered-rate R\n"
      "  -s, --size BYTES         payload size, 12 to 1024 (default 32)\n"
      "      --peek MS            how often each peer pulls ordered broadcasts\n"
      "                           (peekPacket), 1 to 1000 ms (default 10)\n"
      "Time limits:\n"
      "      --ping-threshold MS  the engines' ping threshold; each wait of pingToPeer\n"
      "                           is twice this, 10 to 2000 (default 100)\n"
      "      --connect-timeout MS connect's limit per peer, 1000 to 60000 (default 10000)\n"
      "      --drain MS           after the sending stops, how long to wait for the last\n"
      "                           messages, 100 to 60000 (default 5000)\n"
      "Distances (the latency shim, preloaded into every peer, delays and drops the\n"
      "peers' datagrams to each other):\n"
      "      --latency FILE       round trips between places: CSV, a header row\n"
      "                           \"place,A,B,...\", then one row per place in that\n"
      "                           order, \"A,MS,MS,...\", from the row's place to the\n"
      "                           column's; each datagram waits half its row's figure\n"
      "      --places A,B,...     the place of each slot in turn, names from the\n"
      "                           header (default: every place in turn)\n"
      "      --loss P             drop each datagram with probability P, 0 to 0.5\n"
      "      --jitter MS          each datagram waits a further random 0 to MS ms,\n"
      "                           0 to 1000; the order to one destination is kept\n"
      "      --netshim PATH       the shim (default: libtessel-netshim.so beside this\n"
      "                           program or in the library folder's tessel/)\n"
      "                           With distances the ping threshold defaults to the\n"
      "                           largest round trip plus twice the jitter.\n"
      "Output:\n"
      "      --dot FILE           also write the tree as a Graphviz file and, where\n"
      "                           Graphviz's dot is installed, draw it beside FILE\n"
      "                           as a PNG (tree.dot: tree.png)\n"
      "      --save DIR           write every peer's ping list (slot-N.pinglist) and the\n"
      "                           description (topology.bin) into DIR, which is created\n"
      "                           when its parent folder exists: input for\n"
      "                           tessel-topology\n"
      "      --galaxyd PATH       the galaxy ping responder to start (default:\n"
      "                           tessel-galaxyd beside this program, when it is there)\n"
      "      --no-galaxy          measure no galaxy ping\n"
      "      --summary FILE       also write the run's figures, one a line: the pings\n"
      "                           and what the matrix predicts, the tree's worst\n"
      "                           latency beside the best star and the lower bound\n"
      "  -q, --quiet              print no progress (on standard error) and no plan, only\n"
      "                           the final report\n"
      "  -h, --help               show this text and exit\n"
      "\n"
      "Galaxy pings are cached in temporary registry files, never in yours. A run needs\n"
      "at most peers x peers x rate x seconds below %.0f messages.\n"
      "\n"
      "Exit status: 0 when every check held; 1 when a check failed or the room could not\n"
      "be run (a peer died, a step timed out, no tree was possible, an output could not\n"
      "be written, the --latency file could not be read); 2 for a bad command line.\n",
      ProgramName, MaxMessages);
}

bool parseSeconds(const char* text, double low, double high, int& milliseconds) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  double parsed = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed < low || parsed > high) return false;
  milliseconds = static_cast<int>(std::lround(parsed * 1000));
  return true;
}

bool parseFraction(const char* text, double low, double high, double& value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  double parsed = std::strtod(text, &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

// ExitOk with run set to go on, ExitOk without it after --help, else
// ExitUsage after a message (ExitFailure when the --latency file cannot
// be read).
int parseOptions(int argc, char** argv, tessel_room::RoomOptions& options, bool& run) {
  run = false;
  int rate = -1, direct = -1, immediate = -1, orderedRate = -1;
  enum : int {
    Closed = 256, Capacity, DirectRate, ImmediateRate, OrderedRate, Peek, PingThreshold, ConnectTimeout, Drain, Dot,
    Save, Galaxyd, NoGalaxy, Latency, Places, Loss, Jitter, Netshim, Summary, Key
  };
  std::string latencyFile, places;
  bool thresholdGiven = false;
  const option longOptions[] = {{"peers", required_argument, nullptr, 'n'},
                                {"mode", required_argument, nullptr, 'm'},
                                {"fan-out", required_argument, nullptr, 'f'},
                                {"closed", required_argument, nullptr, Closed},
                                {"capacity", required_argument, nullptr, Capacity},
                                {"duration", required_argument, nullptr, 'd'},
                                {"rate", required_argument, nullptr, 'r'},
                                {"direct-rate", required_argument, nullptr, DirectRate},
                                {"immediate-rate", required_argument, nullptr, ImmediateRate},
                                {"ordered-rate", required_argument, nullptr, OrderedRate},
                                {"size", required_argument, nullptr, 's'},
                                {"peek", required_argument, nullptr, Peek},
                                {"ping-threshold", required_argument, nullptr, PingThreshold},
                                {"connect-timeout", required_argument, nullptr, ConnectTimeout},
                                {"drain", required_argument, nullptr, Drain},
                                {"dot", required_argument, nullptr, Dot},
                                {"save", required_argument, nullptr, Save},
                                {"galaxyd", required_argument, nullptr, Galaxyd},
                                {"no-galaxy", no_argument, nullptr, NoGalaxy},
                                {"latency", required_argument, nullptr, Latency},
                                {"places", required_argument, nullptr, Places},
                                {"loss", required_argument, nullptr, Loss},
                                {"jitter", required_argument, nullptr, Jitter},
                                {"netshim", required_argument, nullptr, Netshim},
                                {"summary", required_argument, nullptr, Summary},
                                {"key", no_argument, nullptr, Key},
                                {"quiet", no_argument, nullptr, 'q'},
                                {"help", no_argument, nullptr, 'h'},
                                {nullptr, 0, nullptr, 0}};
  tessel_tools::ArgParser args(ProgramName, argc, argv, "n:m:f:d:r:s:qh", longOptions);
  for (int key; (key = args.next()) != -1;) {
    bool ok = true;
    switch (key) {
      case 'h':
        usage(stdout);
        return ExitOk;
      case 'n':
        ok = args.number(2, 32, options.peers);
        break;
      case 'm':
        ok = args.number(0, 7, options.mode);
        if (ok && options.mode != 0 && options.mode != 3 && options.mode != 5 && options.mode != 7) {
          args.fail("%s is 0, 3, 5 or 7, not %d", args.name().c_str(), options.mode);
          ok = false;
        }
        break;
      case 'f':
        ok = args.number(1, 31, options.fanOut);
        break;
      case Closed:
        ok = args.number(0, 31, options.closedPeers);
        break;
      case Capacity:
        ok = args.number(16, 65536, options.capacity);
        break;
      case 'd':
        ok = parseSeconds(args.value(), 0.5, 60, options.durationMs);
        if (!ok) args.fail("%s wants seconds from 0.5 to 60, not '%s'", args.name().c_str(), args.value());
        break;
      case 'r':
        ok = args.number(0, 200, rate);
        break;
      case DirectRate:
        ok = args.number(0, 200, direct);
        break;
      case ImmediateRate:
        ok = args.number(0, 200, immediate);
        break;
      case OrderedRate:
        ok = args.number(0, 200, orderedRate);
        break;
      case 's':
        ok = args.number(12, 1024, options.payloadSize);
        break;
      case Peek:
        ok = args.number(1, 1000, options.peekEveryMs);
        break;
      case PingThreshold:
        ok = args.number(10, 2000, options.pingThresholdMs);
        thresholdGiven = true;
        break;
      case ConnectTimeout:
        ok = args.number(1000, 60000, options.connectTimeoutMs);
        break;
      case Drain:
        ok = args.number(100, 60000, options.drainMs);
        break;
      case Dot:
        options.dotFile = args.value();
        break;
      case Save:
        options.saveDir = args.value();
        break;
      case Key:
        options.keyed = true;
        break;
      case Galaxyd:
        options.galaxyd = args.value();
        break;
      case NoGalaxy:
        options.galaxy = false;
        break;
      case Latency:
        latencyFile = args.value();
        break;
      case Places:
        places = args.value();
        break;
      case Loss:
        ok = parseFraction(args.value(), 0, 0.5, options.loss);
        if (!ok) args.fail("%s wants a probability from 0 to 0.5, not '%s'", args.name().c_str(), args.value());
        break;
      case Jitter:
        ok = args.number(0, 1000, options.jitterMs);
        break;
      case Netshim:
        options.netshim = args.value();
        break;
      case Summary:
        options.summaryFile = args.value();
        break;
      case 'q':
        options.quiet = true;
        break;
      default:
        ok = false;
        break;
    }
    if (!ok) return ExitUsage;
  }
  if (!args.noOperands()) return ExitUsage;
  if (rate >= 0) options.directRate = options.immediateRate = options.orderedRate = rate;
  if (direct >= 0) options.directRate = direct;
  if (immediate >= 0) options.immediateRate = immediate;
  if (orderedRate >= 0) options.orderedRate = orderedRate;
  if (options.closedPeers >= options.peers) {
    args.fail("--closed %d leaves no peer of %d that accepts connections", options.closedPeers, options.peers);
    return ExitUsage;
  }
  if (!places.empty() && latencyFile.empty()) {
    args.fail("--places needs --latency");
    return ExitUsage;
  }
  std::string why;
  if (!latencyFile.empty() && !tessel_room::LatencyMatrix::load(latencyFile, options.matrix, why)) {
    args.fail("--latency: %s", why.c_str());
    return ExitFailure;
  }
  if (!tessel_room::assignPlaces(options.matrix, places, options.peers, options.placeOfSlot, why)) {
    args.fail("--places: %s", why.c_str());
    return ExitUsage;
  }
  // Every ping must be answered within the wait of pingToPeer, twice the
  // threshold, including ENet's handshake of one round trip.
  if (options.shaped() && !thresholdGiven)
    options.pingThresholdMs = std::max(options.pingThresholdMs,
                                       int(std::ceil(options.matrix.largestRtt())) + 2 * options.jitterMs);
  const double messages = double(options.peers) * options.peers *
                          (options.directRate + options.immediateRate + options.orderedRate) * options.durationMs /
                          1000.0;
  if (messages > MaxMessages) {
    args.fail("that run would carry about %.0f messages, more than %.0f; lower --rate, --duration or --peers",
              messages, MaxMessages);
    return ExitUsage;
  }
  run = true;
  return ExitOk;
}

std::string selfPath(const char* argv0) {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length > 0) return std::string(buffer, size_t(length));
  return argv0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--peer") == 0)
    return tessel_room::runPeer(tessel_room::PeerReadFd, tessel_room::PeerWriteFd);
  tessel_room::RoomOptions options;
  bool run = false;
  int status = parseOptions(argc, argv, options, run);
  if (!run) return status;
  return tessel_room::runRoom(options, selfPath(argv[0])) == 0 ? ExitOk : ExitFailure;
}
