#include "bench/engine_cost.h"

#include <enet/enet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "bench/child_process.h"
#include "bench/raw_node.h"
#include "bench/tessel_room.h"
#include "tessel/engine/tessel.h"
#include "tests/support/test_support.h"

namespace tessel_bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int IdleMembers = 32;
// Rooms and stores of the memory figure: the room of 32 with a store of
// 4096 is the figure itself, the others give the slopes.
constexpr int MemoryMembers = 32;
constexpr int SmallRoomMembers = 8;
constexpr int MemoryStore = 4096;
constexpr int SmallStore = 1024;
// The delivery mode of the engines: that of the stars' latency rows.
constexpr int Mode = 3;
constexpr size_t PayloadSize = 200;
constexpr auto LinkTimeout = std::chrono::milliseconds(10000);

std::string joined(const std::vector<int>& ports) {
  std::string text;
  for (int port : ports) {
    if (!text.empty()) text += ',';
    text += std::to_string(port);
  }
  return text;
}

std::vector<int> split(const char* text) {
  std::vector<int> ports;
  for (const char* c = text; *c != 0;) {
    ports.push_back(std::atoi(c));
    while (*c != 0 && *c != ',') ++c;
    if (*c == ',') ++c;
  }
  return ports;
}

// The root of a star (slot 0, in this process) or a raw host in its
// place, and how many of its links are up.
struct Root {
  std::unique_ptr<TesselRoom> room;
  std::unique_ptr<RawNode> raw;

  bool start(bool tessel, const std::vector<int>& ports, int capacity, bool timerWait) {
    const int members = static_cast<int>(ports.size());
    if (tessel) {
      std::vector<bool> local(size_t(members), false);
      local[0] = true;
      room = std::make_unique<TesselRoom>(TesselRoom::star(members), ports, local, Mode, capacity);
      // The members connect from the other process once this one is ready.
      return room->connect(10000, false);
    }
    raw = std::make_unique<RawNode>();
    raw->setTimerWait(timerWait);
    return raw->start(ports[0], members - 1);
  }

  int links() {
    if (raw) return raw->connected();
    int up = 0;
    const zintar::PeerClient& client = room->api(0).getEngine()->getClient();
    for (int slot = 1; slot < room->size(); ++slot) {
      const zintar::PeerContext* link = client.getContext(slot);
      ENetPeer* peer = link != nullptr ? link->getENetPeer() : nullptr;
      up += peer != nullptr && peer->state == ENET_PEER_STATE_CONNECTED;
    }
    return up;
  }
};

// The other members of the star, in this process.
struct Members {
  std::unique_ptr<TesselRoom> room;
  std::vector<std::unique_ptr<RawNode>> raws;

  // timerWait: raw members sleep until ENet's next timer, as the raw root
  // of the idle figure does, rather than at most 10 ms (tessel members are
  // serviced the way the library services them).
  bool connect(bool tessel, const std::vector<int>& ports, int capacity, bool timerWait) {
    const int members = static_cast<int>(ports.size());
    if (tessel) {
      std::vector<bool> local(size_t(members), true);
      local[0] = false;
      room = std::make_unique<TesselRoom>(TesselRoom::star(members), ports, local, Mode, capacity);
      return room->connect();
    }
    for (int slot = 1; slot < members; ++slot) {
      raws.push_back(std::make_unique<RawNode>());
      raws.back()->setTimerWait(timerWait);
      if (!raws.back()->start(tessel_test::freeUdpPort(), 1)) return false;
      raws.back()->connect(ports[0]);
    }
    return tessel_test::waitFor(
        [&] {
          for (auto& raw : raws)
            if (raw->connected() != 1) return false;
          return true;
        },
        LinkTimeout);
  }
};

// Ports for the members, told to the child before anything binds them:
// distinct (a port the system hands out twice in a row is picked again).
// A raw root needs only its own port: the raw members bind theirs.
std::vector<int> freePorts(bool tessel, int members) {
  std::vector<int> ports;
  while (ports.size() < size_t(tessel ? members : 1)) {
    int port = tessel_test::freeUdpPort();
    if (port > 0 && std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
  }
  ports.resize(size_t(members), 0);
  return ports;
}

// Another program may take one of the picked ports before it is bound: a
// setup that fails is built anew on other ports, a few times.
constexpr int SetupAttempts = 3;

// --- Idle ----------------------------------------------------------------------------

struct IdleCost {
  double cpuSeconds = 0;
  long wakeups = 0;
  double seconds = 0;
};

// Child and members of one idle star; rounds of start, a quiet window, stop.
class IdleStar {
 public:
  explicit IdleStar(bool tessel) : tessel_(tessel) {}

  bool setup() {
    std::vector<int> ports = freePorts(tessel_, IdleMembers);
    std::string line;
    if (!child_.start({"--idle", tessel_ ? "tessel" : "raw", joined(ports)}) || !child_.hear(line) ||
        line != "ready") {
      std::fprintf(stderr, "idle: the child did not start (%s)\n", line.c_str());
      return false;
    }
    if (!members_.connect(tessel_, ports, 1024, true)) {
      std::fprintf(stderr, "idle: the members did not connect\n");
      return false;
    }
    return true;
  }

  bool round(double seconds, IdleCost& cost) {
    std::string line;
    if (!child_.say("start") || !child_.hear(line) || line != "started") {
      std::fprintf(stderr, "idle: the child did not start a window (%s)\n", line.c_str());
      return false;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    if (!child_.say("stop") || !child_.hear(line)) return false;
    double cpu = 0, wall = 0;
    long wakeups = 0;
    if (std::sscanf(line.c_str(), "%lf %ld %lf", &cpu, &wakeups, &wall) != 3) return false;
    cost.cpuSeconds += cpu;
    cost.wakeups += wakeups;
    cost.seconds += wall;
    return true;
  }

 private:
  bool tessel_;
  Child child_;
  Members members_;
};

// --- Memory --------------------------------------------------------------------------

struct Memory {
  long resident = 0;
  long heap = 0;
};

bool memoryOnce(bool tessel, int members, int capacity, Memory& memory) {
  std::vector<int> ports = freePorts(tessel, members);
  Child child;
  std::string line;
  if (!child.start({"--memory", tessel ? "tessel" : "raw", std::to_string(capacity), joined(ports)}) ||
      !child.hear(line) || line != "ready")
    return false;
  Members others;
  if (!others.connect(tessel, ports, capacity, false)) return false;
  if (!child.say("measure") || !child.hear(line)) return false;
  return std::sscanf(line.c_str(), "%ld %ld", &memory.resident, &memory.heap) == 2;
}

bool memoryOf(bool tessel, int members, int capacity, Memory& memory) {
  for (int attempt = 1; attempt <= SetupAttempts; ++attempt) {
    if (memoryOnce(tessel, members, capacity, memory)) return true;
    std::fprintf(stderr, "memory: setup failed (attempt %d of %d)\n", attempt, SetupAttempts);
  }
  return false;
}

double kilobytes(long bytes) { return double(bytes) / 1024.0; }

}  // namespace

bool measureIdle(int rounds, double seconds, std::vector<Figure>& figures) {
  IdleCost raw, tessel;
  // One star at a time: the members of the other would add their own
  // keep-alives to the machine's load, not to the root's figures.
  bool ok = true;
  for (int i = 0; i < rounds && ok; ++i) {
    for (bool side : {i % 2 == 1, i % 2 == 0}) {
      bool done = false;
      for (int attempt = 1; attempt <= SetupAttempts && !done; ++attempt) {
        IdleStar star(side);
        done = star.setup() && star.round(seconds, side ? tessel : raw);
        if (!done) std::fprintf(stderr, "idle: setup failed (attempt %d of %d)\n", attempt, SetupAttempts);
      }
      ok = ok && done;
    }
  }
  auto perSecond = [](double value, double seconds) { return seconds > 0 ? value / seconds : 0; };
  Figure cpu, wakeups;
  cpu.key = "idle_31_links_cpu";
  cpu.label = "idle engine, 31 links: CPU";
  cpu.unit = "cpu ms per s";
  cpu.rawValue = perSecond(raw.cpuSeconds * 1000, raw.seconds);
  cpu.tesselValue = perSecond(tessel.cpuSeconds * 1000, tessel.seconds);
  wakeups.key = "idle_31_links_wakeups";
  wakeups.label = "idle engine, 31 links: wake-ups";
  wakeups.unit = "per s";
  wakeups.rawValue = perSecond(double(raw.wakeups), raw.seconds);
  wakeups.tesselValue = perSecond(double(tessel.wakeups), tessel.seconds);
  wakeups.note = "raw: an ENet host woken only by its socket and ENet's own timers";
  for (Figure* figure : {&cpu, &wakeups})
    if (!ok) figure->note = "FAILED: idle run incomplete";
  figures.push_back(cpu);
  figures.push_back(wakeups);
  return ok;
}

bool measureMemory(std::vector<Figure>& figures) {
  Memory tessel, tesselSmallRoom, tesselSmallStore, raw, rawSmallRoom;
  bool ok = memoryOf(true, MemoryMembers, MemoryStore, tessel) &&
            memoryOf(true, SmallRoomMembers, MemoryStore, tesselSmallRoom) &&
            memoryOf(true, MemoryMembers, SmallStore, tesselSmallStore) &&
            memoryOf(false, MemoryMembers, 0, raw) && memoryOf(false, SmallRoomMembers, 0, rawSmallRoom);
  const double links = MemoryMembers - SmallRoomMembers;
  const double slots = MemoryStore - SmallStore;
  char note[256];
  Figure total, perLink, perSlot;
  total.key = "memory_32_links_store_4096";
  total.label = "memory, 32 links, store of 4096";
  total.unit = "KB resident";
  total.rawValue = kilobytes(raw.resident);
  total.tesselValue = kilobytes(tessel.resident);
  std::snprintf(note, sizeof(note),
                "a room of 32: the root holds 31 links; store filled once; heap in use %.0f KB (raw %.0f KB)",
                kilobytes(tessel.heap), kilobytes(raw.heap));
  total.note = note;
  // Per link and per slot from the heap: a few kilobytes spread over a
  // resident figure that moves by whole pages with every thread stack and
  // library page touched would be mostly noise.
  perLink.key = "memory_per_link";
  perLink.label = "memory per link";
  perLink.unit = "heap bytes";
  perLink.rawValue = double(raw.heap - rawSmallRoom.heap) / links;
  perLink.tesselValue = double(tessel.heap - tesselSmallRoom.heap) / links;
  std::snprintf(note, sizeof(note), "rooms of 32 and 8; resident %.0f bytes per link (raw %.0f)",
                double(tessel.resident - tesselSmallRoom.resident) / links,
                double(raw.resident - rawSmallRoom.resident) / links);
  perLink.note = note;
  perSlot.key = "memory_per_store_slot";
  perSlot.label = "memory per store slot";
  perSlot.unit = "heap bytes";
  perSlot.tesselValue = double(tessel.heap - tesselSmallStore.heap) / slots;
  std::snprintf(note, sizeof(note), "stores of 4096 and 1024 packets; resident %.0f bytes per slot",
                double(tessel.resident - tesselSmallStore.resident) / slots);
  perSlot.note = note;
  for (Figure* figure : {&total, &perLink, &perSlot})
    if (!ok) figure->note = "FAILED: memory run incomplete";
  figures.push_back(total);
  figures.push_back(perLink);
  figures.push_back(perSlot);
  return ok;
}

// "--idle tessel|raw PORTS": says "ready"; for every "start" waits until
// every link is up, answers "started", and at "stop" prints its CPU
// seconds, its voluntary context switches and the seconds in between.
int idleChild(int argc, char** argv) {
  if (argc != 4) return 2;
  const bool tessel = std::strcmp(argv[2], "tessel") == 0;
  const std::vector<int> ports = split(argv[3]);
  Root root;
  if (!root.start(tessel, ports, 1024, true)) return 3;
  std::printf("ready\n");
  std::fflush(stdout);
  std::string line;
  while (readLine(stdin, line) && line == "start") {
    const int links = static_cast<int>(ports.size()) - 1;
    if (!tessel_test::waitFor([&] { return root.links() == links; }, LinkTimeout)) return 5;
    // The links' handshakes and first acknowledgements settle first.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double cpuStart = cpuSecondsNow();
    long switchesStart = voluntarySwitchesNow();
    auto start = Clock::now();
    std::printf("started\n");
    std::fflush(stdout);
    if (!readLine(stdin, line) || line != "stop") return 5;
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    // The main thread's own sleep in the read above is not a wake-up of
    // the service thread.
    long switches = voluntarySwitchesNow() - switchesStart - 1;
    std::printf("%.6f %ld %.6f\n", cpuSecondsNow() - cpuStart, switches, wall);
    std::fflush(stdout);
  }
  return line == "quit" ? 0 : 4;
}

// "--memory tessel|raw CAPACITY PORTS": says "ready"; at "measure" waits
// until every link is up, fills the frame store once, and prints the
// resident and heap bytes added since it started.
int memoryChild(int argc, char** argv) {
  if (argc != 5) return 2;
  const long residentStart = residentBytesNow();
  const long heapStart = heapBytesNow();
  const bool tessel = std::strcmp(argv[2], "tessel") == 0;
  const int capacity = std::atoi(argv[3]);
  const std::vector<int> ports = split(argv[4]);
  Root root;
  if (!root.start(tessel, ports, capacity, false)) return 3;
  std::printf("ready\n");
  std::fflush(stdout);
  std::string line;
  if (!readLine(stdin, line) || line != "measure") return 4;
  const int links = static_cast<int>(ports.size()) - 1;
  if (!tessel_test::waitFor([&] { return root.links() == links; }, LinkTimeout)) return 5;
  if (tessel) {
    // Ordered broadcasts from the root of a star go to no link (the
    // members are leaves, which pull), into the root's store and to its
    // own host: every slot of the store is written once.
    zintar::TesselApi& api = root.room->api(0);
    char payload[PayloadSize];
    std::memset(payload, 'p', sizeof(payload));
    zintar::TesselJob job;
    for (int i = 0; i < capacity; ++i) {
      api.castPacket(payload, int(PayloadSize), true, false);
      while (api.popJob(job)) {
      }
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::printf("%ld %ld\n", residentBytesNow() - residentStart, heapBytesNow() - heapStart);
  std::fflush(stdout);
  while (readLine(stdin, line) && line != "quit") {
  }
  return 0;
}

}  // namespace tessel_bench
