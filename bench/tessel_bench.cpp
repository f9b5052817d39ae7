// The library's performance figures next to the transport underneath,
// measured in one run on one machine:
//
//  1. one hop: a 200-byte packet from the sending application's thread
//     until the receiving application's thread pops it, unreliable and
//     reliable: TesselApi::sendPacket between two engines against two raw
//     ENet nodes;
//  2. broadcast from the root of a star of 8 and of 32 engines until the
//     last member has popped it, immediate and ordered (mode 3, leaves
//     pulling), against a raw ENet root sending to every member directly;
//  3. throughput: reliable immediate castPacket messages per second
//     delivered at every member of an 8-engine star, against raw fan-out;
//  4. cost of a relay, run alone in a child process: CPU seconds per
//     100,000 forwarded packets (getrusage) and heap allocations per
//     forwarded packet, ENet's own counted apart.
//
// Raw and tessel samples alternate, so that both see the same load. The
// receiving side is always polled from the application's thread, which
// yields between polls (the machine may have as few as two cores).
//
// Usage: bench_tessel [--commit ID] [--out DIR] [--quick]
// Writes DIR/<date>-<commit>.json besides printing the table.

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/alloc_counter.h"
#include "bench/bench_report.h"
#include "bench/raw_node.h"
#include "bench/tessel_room.h"
#include "tessel/engine/tessel_api.h"
#include "tests/support/loopback_room.h"

extern char** environ;

namespace tessel_bench {
namespace {

using Clock = std::chrono::steady_clock;
using zintar::TesselJob;

constexpr size_t PayloadSize = 200;
// A sample that has not arrived after this long is counted as lost.
constexpr auto SampleTimeout = std::chrono::milliseconds(500);
// Leaves of an ordered room pull their parent's store this often while
// they wait, each starting at a random moment after the cast.
constexpr auto PullPeriod = std::chrono::microseconds(1000);

// How many samples each figure takes.
struct Plan {
  int oneHopSamples = 3000;
  int broadcastSamples8 = 1500;
  int broadcastSamples32 = 800;
  int throughputMessages = 20000;
  int throughputRounds = 3;
  int relayPackets = 100000;
  int warmup = 200;

  void quick() {
    oneHopSamples = 300;
    broadcastSamples8 = 150;
    broadcastSamples32 = 80;
    throughputMessages = 3000;
    throughputRounds = 1;
    relayPackets = 10000;
    warmup = 20;
  }
};

double microsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Bytes 0..3: the destination's port (a raw relay routes on it); bytes
// 4..7: the sample's sequence number; the rest filler.
struct Payload {
  char bytes[PayloadSize];

  Payload() { std::memset(bytes, 'p', sizeof(bytes)); }
  void set(int32_t destination, uint32_t sequence) {
    std::memcpy(bytes, &destination, 4);
    std::memcpy(bytes + 4, &sequence, 4);
  }
  static bool sequenceOf(const void* data, size_t length, uint32_t& sequence) {
    if (length != PayloadSize) return false;
    std::memcpy(&sequence, static_cast<const char*>(data) + 4, 4);
    return true;
  }
};

// The sequence number of a message job; false for any other job.
bool messageSequence(const TesselJob& job, uint32_t& sequence) {
  return job.getType() == TesselJob::JobMessage && Payload::sequenceOf(job.getData(), job.getDataSize(), sequence);
}

bool rawSequence(ENetPacket* packet, uint32_t& sequence) {
  bool ok = Payload::sequenceOf(packet->data, packet->dataLength, sequence);
  enet_packet_destroy(packet);
  return ok;
}

void pause(std::chrono::microseconds duration) { std::this_thread::sleep_for(duration); }

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Runs the two measurements of one sample in alternating order, so that
// neither side always goes first.
void alternate(int sample, const std::function<void()>& raw, const std::function<void()>& tessel) {
  if (sample % 2 == 0) {
    raw();
    tessel();
  } else {
    tessel();
    raw();
  }
}

// --- 1. One hop ----------------------------------------------------------------

class OneHop {
 public:
  bool setup() {
    rawReceiverPort_ = tessel_test::freeUdpPort();
    rawSenderPort_ = tessel_test::freeUdpPort();
    if (!rawReceiver_.start(rawReceiverPort_, 1) || !rawSender_.start(rawSenderPort_, 1)) return false;
    rawSender_.connect(rawReceiverPort_);
    if (!room_.connect()) return false;
    return waitUntil([&] { return rawSender_.connected() == 1 && rawReceiver_.connected() == 1; },
                     std::chrono::milliseconds(5000));
  }

  // One packet from slot 1 to slot 0 (the root).
  void tessel(Samples& samples, bool reliable, bool keep) {
    payload_.set(0, ++sequence_);
    auto start = Clock::now();
    room_.api(1).sendPacket(room_.id(0), payload_.bytes, int(PayloadSize), reliable);
    TesselJob job;
    for (;;) {
      uint32_t got;
      if (room_.api(0).popJob(job) && messageSequence(job, got) && got == sequence_) break;
      if (Clock::now() - start > SampleTimeout) {
        samples.lost += keep ? 1 : 0;
        return;
      }
      std::this_thread::yield();
    }
    if (keep) samples.micros.push_back(microsSince(start));
  }

  void raw(Samples& samples, bool reliable, bool keep) {
    payload_.set(rawReceiverPort_, ++sequence_);
    auto start = Clock::now();
    rawSender_.send(rawReceiverPort_, payload_.bytes, PayloadSize, reliable);
    for (;;) {
      ENetPacket* packet = rawReceiver_.pop();
      uint32_t got;
      if (packet != nullptr && rawSequence(packet, got) && got == sequence_) break;
      if (Clock::now() - start > SampleTimeout) {
        samples.lost += keep ? 1 : 0;
        return;
      }
      std::this_thread::yield();
    }
    if (keep) samples.micros.push_back(microsSince(start));
  }

 private:
  TesselRoom room_{{0, 0}, 0};
  RawNode rawSender_, rawReceiver_;
  int rawSenderPort_ = 0, rawReceiverPort_ = 0;
  Payload payload_;
  uint32_t sequence_ = 0;
};

Figure measureOneHop(OneHop& hop, bool reliable, const Plan& plan) {
  Figure figure;
  figure.key = reliable ? "one_hop_reliable" : "one_hop_unreliable";
  figure.label = reliable ? "one hop, reliable" : "one hop, unreliable";
  figure.unit = "us";
  figure.latency = true;
  for (int i = 0; i < plan.warmup + plan.oneHopSamples; ++i) {
    bool keep = i >= plan.warmup;
    alternate(i, [&] { hop.raw(figure.raw, reliable, keep); }, [&] { hop.tessel(figure.tessel, reliable, keep); });
    pause(std::chrono::microseconds(200));
  }
  return figure;
}

// --- 2. Broadcast and 3. throughput ------------------------------------------------

// A star of count engines (slot 0 the root, mode 3) and the same star of
// raw nodes.
class Star {
 public:
  explicit Star(int count) : count_(count), room_(TesselRoom::star(count), 3) {}

  bool setup() {
    rawPorts_.push_back(tessel_test::freeUdpPort());
    raws_.push_back(std::make_unique<RawNode>());
    if (!raws_[0]->start(rawPorts_[0], count_)) return false;
    for (int slot = 1; slot < count_; ++slot) {
      rawPorts_.push_back(tessel_test::freeUdpPort());
      raws_.push_back(std::make_unique<RawNode>());
      if (!raws_.back()->start(rawPorts_.back(), 1)) return false;
      raws_.back()->connect(rawPorts_[0]);
    }
    if (!room_.connect()) return false;
    return waitUntil([&] { return raws_[0]->connected() == count_ - 1; }, std::chrono::milliseconds(10000));
  }

  // The root broadcasts one packet; the time until every other member has
  // popped it.
  void tessel(Samples& samples, bool immediate, bool keep) {
    payload_.set(0, ++sequence_);
    std::vector<Clock::time_point> nextPull(static_cast<size_t>(count_));
    auto start = Clock::now();
    for (auto& pull : nextPull) pull = start + std::chrono::microseconds(pullPhase_(random_));
    room_.api(0).castPacket(payload_.bytes, int(PayloadSize), true, immediate);
    int waiting = count_ - 1;
    std::vector<bool> done(size_t(count_), false);
    TesselJob job;
    while (waiting > 0) {
      auto now = Clock::now();
      if (now - start > SampleTimeout) {
        samples.lost += keep ? 1 : 0;
        return;
      }
      for (int slot = 1; slot < count_; ++slot) {
        if (done[size_t(slot)]) continue;
        if (!immediate && now >= nextPull[size_t(slot)]) {
          room_.api(slot).peekPacket(false);
          nextPull[size_t(slot)] += PullPeriod;
        }
        while (room_.api(slot).popJob(job)) {
          uint32_t got;
          if (messageSequence(job, got) && got == sequence_) {
            done[size_t(slot)] = true;
            --waiting;
          }
        }
      }
      while (room_.api(0).popJob(job)) {
      }
      if (waiting > 0) std::this_thread::yield();
    }
    if (keep) samples.micros.push_back(microsSince(start));
  }

  void raw(Samples& samples, bool keep) {
    payload_.set(0, ++sequence_);
    auto start = Clock::now();
    raws_[0]->broadcast(payload_.bytes, PayloadSize, true);
    int waiting = count_ - 1;
    std::vector<bool> done(size_t(count_), false);
    while (waiting > 0) {
      if (Clock::now() - start > SampleTimeout) {
        samples.lost += keep ? 1 : 0;
        return;
      }
      for (int slot = 1; slot < count_; ++slot) {
        if (done[size_t(slot)]) continue;
        while (ENetPacket* packet = raws_[size_t(slot)]->pop()) {
          uint32_t got;
          if (rawSequence(packet, got) && got == sequence_) {
            done[size_t(slot)] = true;
            --waiting;
          }
        }
      }
      if (waiting > 0) std::this_thread::yield();
    }
    if (keep) samples.micros.push_back(microsSince(start));
  }

  // Reliable immediate broadcasts of messages packets from the root, at
  // most window of them not yet popped by the slowest member. Messages per
  // second delivered at every member.
  double tesselRate(int messages, int window) {
    std::vector<int> delivered(size_t(count_), 0);
    int sent = 0, slowest = 0;
    TesselJob job;
    auto start = Clock::now();
    while (slowest < messages) {
      while (sent < messages && sent - slowest < window) {
        payload_.set(0, uint32_t(sent));
        room_.api(0).castPacket(payload_.bytes, int(PayloadSize), true, true);
        ++sent;
      }
      slowest = messages;
      for (int slot = 1; slot < count_; ++slot) {
        while (room_.api(slot).popJob(job)) delivered[size_t(slot)] += job.getType() == TesselJob::JobMessage;
        slowest = std::min(slowest, delivered[size_t(slot)]);
      }
      while (room_.api(0).popJob(job)) {
      }
      if (Clock::now() - start > std::chrono::seconds(60)) return 0;
      std::this_thread::yield();
    }
    return messages / std::chrono::duration<double>(Clock::now() - start).count();
  }

  double rawRate(int messages, int window) {
    std::vector<int> delivered(size_t(count_), 0);
    int sent = 0, slowest = 0;
    auto start = Clock::now();
    while (slowest < messages) {
      while (sent < messages && sent - slowest < window) {
        payload_.set(0, uint32_t(sent));
        raws_[0]->broadcast(payload_.bytes, PayloadSize, true);
        ++sent;
      }
      slowest = messages;
      for (int slot = 1; slot < count_; ++slot) {
        while (ENetPacket* packet = raws_[size_t(slot)]->pop()) {
          enet_packet_destroy(packet);
          ++delivered[size_t(slot)];
        }
        slowest = std::min(slowest, delivered[size_t(slot)]);
      }
      if (Clock::now() - start > std::chrono::seconds(60)) return 0;
      std::this_thread::yield();
    }
    return messages / std::chrono::duration<double>(Clock::now() - start).count();
  }

 private:
  int count_;
  TesselRoom room_;
  std::vector<int> rawPorts_;
  std::vector<std::unique_ptr<RawNode>> raws_;
  Payload payload_;
  uint32_t sequence_ = 0;
  std::mt19937 random_{14};
  std::uniform_int_distribution<int> pullPhase_{0, int(PullPeriod.count()) - 1};
};

void measureBroadcast(Star& star, int count, int samples, const Plan& plan, std::vector<Figure>& figures) {
  Figure immediate, ordered;
  immediate.key = "broadcast_" + std::to_string(count) + "_immediate";
  immediate.label = "broadcast to " + std::to_string(count) + ", immediate";
  ordered.key = "broadcast_" + std::to_string(count) + "_ordered";
  ordered.label = "broadcast to " + std::to_string(count) + ", ordered (pull 1 ms)";
  for (Figure* figure : {&immediate, &ordered}) {
    figure->unit = "us";
    figure->latency = true;
  }
  ordered.note = "raw column: the same raw star as immediate";
  for (int i = 0; i < plan.warmup + samples; ++i) {
    bool keep = i >= plan.warmup;
    alternate(i, [&] { star.raw(immediate.raw, keep); }, [&] { star.tessel(immediate.tessel, true, keep); });
    pause(std::chrono::microseconds(500));
    alternate(i, [&] { star.raw(ordered.raw, keep); }, [&] { star.tessel(ordered.tessel, false, keep); });
    pause(std::chrono::microseconds(500));
  }
  figures.push_back(immediate);
  figures.push_back(ordered);
}

Figure measureThroughput(Star& star, const Plan& plan) {
  constexpr int Window = 128;
  Figure figure;
  figure.key = "throughput_8";
  figure.label = "throughput, star of 8, reliable immediate";
  figure.unit = "msg/s at every member";
  figure.note = "window " + std::to_string(Window) + ", best of " + std::to_string(plan.throughputRounds);
  star.rawRate(plan.throughputMessages / 10, Window);
  star.tesselRate(plan.throughputMessages / 10, Window);
  for (int round = 0; round < plan.throughputRounds; ++round) {
    alternate(
        round, [&] { figure.rawValue = std::max(figure.rawValue, star.rawRate(plan.throughputMessages, Window)); },
        [&] { figure.tesselValue = std::max(figure.tesselValue, star.tesselRate(plan.throughputMessages, Window)); });
  }
  return figure;
}

// --- 4. Relay cost ---------------------------------------------------------------------

// The relay runs in a child process that talks over its standard input and
// output: it says "ready", waits for "start", answers "started", waits for
// "stop", then prints its CPU time and allocation counts for that window.
struct RelayCost {
  bool ok = false;
  double cpuSeconds = 0;
  AllocCounts counts;
};

double cpuSecondsNow() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool readLine(FILE* in, std::string& line) {
  char buffer[256];
  if (std::fgets(buffer, sizeof(buffer), in) == nullptr) return false;
  line = buffer;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return true;
}

int relayChild(const std::string& kind, int relayPort, int senderPort, int receiverPort) {
  if (!installENetCounting()) return 2;
  std::unique_ptr<TesselRoom> room;
  std::unique_ptr<RawNode> raw;
  if (kind == "tessel") {
    room = std::make_unique<TesselRoom>(std::vector<int32_t>{0, 0, 0},
                                        std::vector<int>{relayPort, senderPort, receiverPort},
                                        std::vector<bool>{true, false, false}, 0);
    // The children connect from the other process once this one is ready.
    if (!room->connect(10000, false)) return 3;
  } else {
    raw = std::make_unique<RawNode>();
    if (!raw->start(relayPort, 2)) return 3;
    raw->setRelay(true);
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::string line;
  if (!readLine(stdin, line) || line != "start") return 4;
  double cpuStart = cpuSecondsNow();
  startCounting();
  std::printf("started\n");
  std::fflush(stdout);
  if (!readLine(stdin, line) || line != "stop") return 5;
  AllocCounts counts = stopCounting();
  double cpu = cpuSecondsNow() - cpuStart;
  std::printf("%.6f %llu %llu\n", cpu, static_cast<unsigned long long>(counts.all),
              static_cast<unsigned long long>(counts.enet));
  std::fflush(stdout);
  return 0;
}

class Child {
 public:
  bool start(const std::vector<std::string>& args) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0) return false;
    if (pipe(fromChild) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    std::vector<char*> argv;
    std::string self = "/proc/self/exe";
    argv.push_back(self.data());
    std::vector<std::string> copies = args;
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int result = posix_spawn(&pid_, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    in_ = fdopen(fromChild[0], "r");
    out_ = fdopen(toChild[1], "w");
    return result == 0 && in_ != nullptr && out_ != nullptr;
  }

  bool say(const char* line) { return std::fprintf(out_, "%s\n", line) > 0 && std::fflush(out_) == 0; }
  bool hear(std::string& line) { return readLine(in_, line); }

  ~Child() {
    if (out_ != nullptr) std::fclose(out_);
    if (in_ != nullptr) std::fclose(in_);
    if (pid_ > 0) {
      int status = 0;
      // A child that does not end by itself within a few seconds is killed.
      for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
  }

 private:
  pid_t pid_ = -1;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
};

// Sends packets from the sender to the receiver through the relay, at
// most window of them in flight; true when every one arrived.
bool pump(int packets, int window, const std::function<void(uint32_t)>& send, const std::function<int()>& received) {
  int sent = 0, arrived = 0;
  auto start = Clock::now();
  while (arrived < packets) {
    while (sent < packets && sent - arrived < window) send(uint32_t(sent++));
    arrived += received();
    if (Clock::now() - start > std::chrono::seconds(120)) return false;
    std::this_thread::yield();
  }
  return true;
}

RelayCost measureRelay(bool tessel, int packets) {
  constexpr int Window = 64;
  RelayCost cost;
  int relayPort = tessel_test::freeUdpPort();
  int senderPort = tessel_test::freeUdpPort();
  int receiverPort = tessel_test::freeUdpPort();
  Child child;
  if (!child.start({"--relay", tessel ? "tessel" : "raw", std::to_string(relayPort), std::to_string(senderPort),
                    std::to_string(receiverPort)}))
    return cost;
  std::string line;
  if (!child.hear(line) || line != "ready") return cost;

  Payload payload;
  std::function<void(uint32_t)> send;
  std::function<int()> received;
  std::unique_ptr<TesselRoom> room;
  RawNode rawSender, rawReceiver;
  if (tessel) {
    room = std::make_unique<TesselRoom>(std::vector<int32_t>{0, 0, 0},
                                        std::vector<int>{relayPort, senderPort, receiverPort},
                                        std::vector<bool>{false, true, true}, 0);
    if (!room->connect()) return cost;
    send = [&](uint32_t sequence) {
      payload.set(0, sequence);
      room->api(1).sendPacket(room->id(2), payload.bytes, int(PayloadSize), true);
    };
    received = [&] {
      int count = 0;
      TesselJob job;
      while (room->api(2).popJob(job)) count += job.getType() == TesselJob::JobMessage;
      return count;
    };
  } else {
    if (!rawSender.start(senderPort, 1) || !rawReceiver.start(receiverPort, 1)) return cost;
    rawSender.connect(relayPort);
    rawReceiver.connect(relayPort);
    if (!waitUntil([&] { return rawSender.connected() == 1 && rawReceiver.connected() == 1; },
                   std::chrono::milliseconds(5000)))
      return cost;
    send = [&](uint32_t sequence) {
      payload.set(receiverPort, sequence);
      rawSender.send(relayPort, payload.bytes, PayloadSize, true);
    };
    received = [&] {
      int count = 0;
      while (ENetPacket* packet = rawReceiver.pop()) {
        enet_packet_destroy(packet);
        ++count;
      }
      return count;
    };
  }
  // The relay forwards only once it holds both links: probe until a packet
  // comes through, then warm the path up (queues and ENet's pools grow to
  // their working size) before anything is counted.
  bool through = waitUntil(
      [&] {
        send(0);
        return received() > 0;
      },
      std::chrono::milliseconds(5000));
  if (!through) return cost;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  received();
  if (!pump(packets / 10, Window, send, received)) return cost;

  if (!child.say("start") || !child.hear(line) || line != "started") return cost;
  bool all = pump(packets, Window, send, received);
  // Acknowledgements of the last packets settle before the window closes.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (!child.say("stop") || !child.hear(line)) return cost;
  unsigned long long all_ = 0, enet = 0;
  if (std::sscanf(line.c_str(), "%lf %llu %llu", &cost.cpuSeconds, &all_, &enet) != 3) return cost;
  cost.counts.all = all_;
  cost.counts.enet = enet;
  cost.ok = all;
  return cost;
}

void measureRelays(const Plan& plan, std::vector<Figure>& figures) {
  RelayCost raw = measureRelay(false, plan.relayPackets);
  RelayCost tessel = measureRelay(true, plan.relayPackets);
  double scale = 100000.0 / plan.relayPackets;
  Figure cpu, library, enet;
  cpu.key = "relay_cpu_per_100k";
  cpu.label = "relay CPU, reliable 200-byte packets";
  cpu.unit = "cpu s per 100k forwarded";
  cpu.rawValue = raw.cpuSeconds * scale;
  cpu.tesselValue = tessel.cpuSeconds * scale;
  library.key = "relay_allocs_besides_enet";
  library.label = "relay heap allocations besides ENet's";
  library.unit = "per forwarded packet";
  library.rawValue = double(raw.counts.all - raw.counts.enet) / plan.relayPackets;
  library.tesselValue = double(tessel.counts.all - tessel.counts.enet) / plan.relayPackets;
  enet.key = "relay_allocs_enet";
  enet.label = "relay heap allocations by ENet";
  enet.unit = "per forwarded packet";
  enet.rawValue = double(raw.counts.enet) / plan.relayPackets;
  enet.tesselValue = double(tessel.counts.enet) / plan.relayPackets;
  enet.note = "packets, commands, acknowledgements";
  for (Figure* figure : {&cpu, &library, &enet})
    if (!raw.ok || !tessel.ok) figure->note = "FAILED: relay run incomplete";
  figures.push_back(cpu);
  figures.push_back(library);
  figures.push_back(enet);
}

// --- Report -------------------------------------------------------------------------------

std::string utcNow(const char* format) {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[64];
  std::strftime(text, sizeof(text), format, &parts);
  return text;
}

const Figure* find(const std::vector<Figure>& figures, const std::string& key) {
  for (const auto& figure : figures)
    if (figure.key == key) return &figure;
  return nullptr;
}

void judge(Report& report) {
  auto latencyTarget = [&](const std::string& key, double p, double limit, const std::string& text) {
    const Figure* figure = find(report.figures, key);
    if (figure == nullptr) return;
    Target target;
    target.text = text;
    double raw = figure->raw.percentile(p);
    target.value = raw > 0 ? figure->tessel.percentile(p) / raw : 0;
    target.limit = limit;
    target.met = target.value > 0 && target.value <= limit;
    report.targets.push_back(target);
  };
  latencyTarget("one_hop_unreliable", 50, 1.5, "one hop unreliable, p50 within 1.5x raw ENet");
  latencyTarget("one_hop_reliable", 50, 1.5, "one hop reliable, p50 within 1.5x raw ENet");
  latencyTarget("broadcast_32_immediate", 99, 2.0, "broadcast to 32 immediate, p99 within 2x the raw star");
  if (const Figure* figure = find(report.figures, "relay_allocs_besides_enet")) {
    Target target;
    target.text = "relay: no heap allocation besides ENet's (per packet)";
    target.value = figure->tesselValue;
    target.limit = 0.001;  // a stray allocation per 1000 packets (a pool growing) still counts as none
    target.met = figure->note.empty() && figure->tesselValue <= target.limit;
    report.targets.push_back(target);
  }
}

int run(int argc, char** argv) {
  Plan plan;
  std::string commit = "unknown", outDir = "bench/results";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--quick") {
      plan.quick();
    } else if (arg == "--commit" && i + 1 < argc) {
      commit = argv[++i];
    } else if (arg == "--out" && i + 1 < argc) {
      outDir = argv[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--commit ID] [--out DIR] [--quick]\n", argv[0]);
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);

  Report report;
  report.commit = commit;
  report.date = utcNow("%Y-%m-%dT%H:%M:%SZ");
  report.cores = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  getloadavg(report.loadStart, 3);
  auto begin = Clock::now();
  auto step = [&](const char* text) {
    std::printf("[%5.1f s] %s\n", std::chrono::duration<double>(Clock::now() - begin).count(), text);
    std::fflush(stdout);
  };

  step("one hop");
  {
    OneHop hop;
    if (!hop.setup()) {
      std::fprintf(stderr, "one hop: setup failed\n");
      return 1;
    }
    report.figures.push_back(measureOneHop(hop, false, plan));
    report.figures.push_back(measureOneHop(hop, true, plan));
  }
  step("broadcast to 8, throughput");
  {
    Star star(8);
    if (!star.setup()) {
      std::fprintf(stderr, "star of 8: setup failed\n");
      return 1;
    }
    measureBroadcast(star, 8, plan.broadcastSamples8, plan, report.figures);
    report.figures.push_back(measureThroughput(star, plan));
  }
  step("broadcast to 32");
  {
    Star star(32);
    if (!star.setup()) {
      std::fprintf(stderr, "star of 32: setup failed\n");
      return 1;
    }
    measureBroadcast(star, 32, plan.broadcastSamples32, plan, report.figures);
  }
  step("relay cost");
  measureRelays(plan, report.figures);

  report.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  getloadavg(report.loadEnd, 3);
  judge(report);
  report.printTable();
  std::string path = outDir + "/" + utcNow("%Y%m%d-%H%M%S") + "-" + commit + ".json";
  if (report.writeJson(path))
    std::printf("written to %s\n", path.c_str());
  else
    std::fprintf(stderr, "could not write %s\n", path.c_str());
  return 0;
}

}  // namespace
}  // namespace tessel_bench

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "--relay")
    return tessel_bench::relayChild(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
  return tessel_bench::run(argc, argv);
}
