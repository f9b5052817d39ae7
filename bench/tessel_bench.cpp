// The library's performance figures next to the transport underneath,
// measured in one run on one machine:
//
//  1. one hop: a 200-byte packet from the sending application's thread
//     until the receiving application's thread pops it, unreliable and
//     reliable: TesselApi::sendPacket between two engines against two raw
//     ENet nodes;
//  2. broadcast from the root of a star of 8 and of 32 engines until the
//     last member has popped it, immediate, ordered (mode 3, leaves
//     pulling) and in one order (mode 7), against a raw ENet root sending
//     to every member directly;
//  3. throughput: reliable immediate castPacket messages per second
//     delivered at every member of an 8-engine star, against raw fan-out;
//  4. one order (mode 7) from a leaf of a tree of 32 engines three levels
//     deep, until the last member has popped it, against raw ENet nodes
//     relaying the same hops by hand: up to the root, then down the tree;
//  5. cost of a relay, run alone in a child process: CPU seconds per
//     100,000 forwarded packets (getrusage) and heap allocations per
//     forwarded packet, ENet's own counted apart;
//  6. with a room key (every packet sealed): one hop, broadcast to 8 and
//     32 immediate, and the throughput of the star of 8, against the same
//     raw ENet figures;
//  7. an idle engine with 31 links, and the resident memory of an engine
//     with 32 links and a frame store of 4096 packets (engine_cost.h).
//
// Raw and tessel samples alternate, so that both see the same load. The
// receiving side is always polled from the application's thread, which
// yields between polls (the machine may have as few as two cores).
//
// Usage: bench_tessel [--commit ID] [--out DIR] [--quick] [--detail]
//                     [--only SECTION[,SECTION...]]  (hop star8 star32 tree relay keyed idle memory)
// --quick is a smoke run with few samples; --detail prints more percentiles;
// --only runs the sections named.
// Writes DIR/<date>-<commit>.json besides printing the table.

#include <signal.h>
#include <stdlib.h>
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
#include "bench/child_process.h"
#include "bench/engine_cost.h"
#include "bench/raw_node.h"
#include "bench/tessel_room.h"
#include "tessel/engine/tessel_api.h"
#include "tests/support/test_support.h"

namespace tessel_bench {
namespace {

using Clock = std::chrono::steady_clock;
using zintar::TesselJob;

constexpr size_t PayloadSize = 200;
// A sample that has not arrived after this long is counted as lost.
constexpr auto SampleTimeout = std::chrono::milliseconds(500);
// Leaves of an ordered room pull their parent's store this often while
// they wait, each starting at a random moment after the cast. Pulls are
// reliable, so the answering bundles are too: ENet may drop unreliable
// packets on a link whose round trip grows, and a lost answer would only
// measure the next pull.
constexpr auto PullPeriod = std::chrono::microseconds(1000);

// How many samples each figure takes.
struct Plan {
  int oneHopSamples = 10000;
  int broadcastSamples8 = 3000;
  int broadcastSamples32 = 1800;
  int treeSamples = 1800;
  int throughputMessages = 20000;
  int relayPackets = 100000;
  int idleRounds = 3;
  double idleSeconds = 3;
  int warmup = 100;
  // Fresh engines and raw nodes per block (stars of 32: starBlocks).
  int blocks = 5;
  int starBlocks = 3;

  void quick() {
    oneHopSamples = 300;
    broadcastSamples8 = 150;
    broadcastSamples32 = 80;
    treeSamples = 80;
    throughputMessages = 3000;
    relayPackets = 10000;
    idleRounds = 1;
    idleSeconds = 1;
    warmup = 20;
    blocks = 2;
    starBlocks = 1;
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

// A setup on 127.0.0.1 can fail when another program takes one of its
// ports between the moment it was found free and the bind: such a setup is
// built anew on other ports, a few times.
template <typename Setup, typename... Args>
std::unique_ptr<Setup> buildSetup(const char* name, Args... args) {
  constexpr int Attempts = 3;
  for (int attempt = 1; attempt <= Attempts; ++attempt) {
    auto setup = std::make_unique<Setup>(args...);
    if (setup->setup()) return setup;
    std::fprintf(stderr, "%s: setup failed (attempt %d of %d)\n", name, attempt, Attempts);
  }
  return nullptr;
}

// --- 1. One hop ----------------------------------------------------------------

class OneHop {
 public:
  explicit OneHop(bool keyed = false) : room_({0, 0}, 0, 1024, keyed) {}

  bool setup() {
    rawReceiverPort_ = tessel_test::freeUdpPort();
    rawSenderPort_ = tessel_test::freeUdpPort();
    if (!rawReceiver_.start(rawReceiverPort_, 1) || !rawSender_.start(rawSenderPort_, 1)) return false;
    rawSender_.connect(rawReceiverPort_);
    if (!room_.connect()) return false;
    return tessel_test::waitFor([&] { return rawSender_.connected() == 1 && rawReceiver_.connected() == 1; },
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
  TesselRoom room_;
  RawNode rawSender_, rawReceiver_;
  int rawSenderPort_ = 0, rawReceiverPort_ = 0;
  Payload payload_;
  uint32_t sequence_ = 0;
};

Figure latencyFigure(const std::string& key, const std::string& label) {
  Figure figure;
  figure.key = key;
  figure.label = label;
  figure.unit = "us";
  figure.latency = true;
  return figure;
}

// The samples are taken in blocks, each with engines and raw nodes of its
// own: the scheduler tends to keep a thread on the core it started on, and
// a fresh set of threads per block keeps one lucky or unlucky placement
// from deciding a ratio.
// With keyed, both engines hold a room key: every packet sealed.
bool measureOneHop(const Plan& plan, std::vector<Figure>& figures, bool keyed = false) {
  const std::string key = keyed ? "_keyed" : "", label = keyed ? ", room key" : "";
  Figure unreliable = latencyFigure("one_hop_unreliable" + key, "one hop, unreliable" + label);
  Figure reliable = latencyFigure("one_hop_reliable" + key, "one hop, reliable" + label);
  int perBlock = plan.oneHopSamples / plan.blocks;
  for (int block = 0; block < plan.blocks; ++block) {
    auto setup = buildSetup<OneHop>("one hop", keyed);
    if (!setup) return false;
    OneHop& hop = *setup;
    for (int i = 0; i < plan.warmup + perBlock; ++i) {
      bool keep = i >= plan.warmup;
      alternate(i, [&] { hop.raw(unreliable.raw, false, keep); }, [&] { hop.tessel(unreliable.tessel, false, keep); });
      pause(std::chrono::microseconds(200));
      alternate(i, [&] { hop.raw(reliable.raw, true, keep); }, [&] { hop.tessel(reliable.tessel, true, keep); });
      pause(std::chrono::microseconds(200));
    }
  }
  figures.push_back(unreliable);
  figures.push_back(reliable);
  return true;
}

// --- 2. Broadcast and 3. throughput ------------------------------------------------

// A star of count engines (slot 0 the root, mode 3) and the same star of
// raw nodes.
class Star {
 public:
  Star(int count, bool keyed) : count_(count), room_(TesselRoom::star(count), 3, 1024, keyed) {}

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
    if (!room_.connect()) {
      std::fprintf(stderr, "star of %d: the engines did not connect\n", count_);
      return false;
    }
    if (!tessel_test::waitFor([&] { return raws_[0]->connected() == count_ - 1; }, std::chrono::milliseconds(10000))) {
      std::fprintf(stderr, "star of %d: %d of %d raw connections\n", count_, raws_[0]->connected(), count_ - 1);
      return false;
    }
    return true;
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
          room_.api(slot).peekPacket(true);
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

// Ordered figures only when ordered is given.
void measureBroadcast(Star& star, int samples, const Plan& plan, Figure& immediate, Figure* ordered) {
  for (int i = 0; i < plan.warmup + samples; ++i) {
    bool keep = i >= plan.warmup;
    alternate(i, [&] { star.raw(immediate.raw, keep); }, [&] { star.tessel(immediate.tessel, true, keep); });
    pause(std::chrono::microseconds(500));
    if (ordered == nullptr) continue;
    alternate(i, [&] { star.raw(ordered->raw, keep); }, [&] { star.tessel(ordered->tessel, false, keep); });
    pause(std::chrono::microseconds(500));
  }
}

// Broadcast latency in a star of count, in blocks of fresh stars (see
// measureOneHop); with throughput, one throughput round per block too.
// With keyed, every engine holds a room key, and the ordered figure is
// left out.
bool measureStar(int count, int samples, bool throughput, const Plan& plan, std::vector<Figure>& figures,
                 bool keyed = false) {
  constexpr int Window = 128;
  std::string size = std::to_string(count);
  const std::string key = keyed ? "_keyed" : "", label = keyed ? ", room key" : "";
  Figure immediate =
      latencyFigure("broadcast_" + size + "_immediate" + key, "broadcast to " + size + ", immediate" + label);
  Figure ordered = latencyFigure("broadcast_" + size + "_ordered", "broadcast to " + size + ", ordered (pull 1 ms)");
  ordered.note = "mode 3, leaves pull (reliable) every 1 ms from a random phase; raw column: the immediate raw star";
  Figure rate;
  rate.key = "throughput_" + size + key;
  rate.label = "throughput, star of " + size + ", reliable immediate" + label;
  rate.unit = "msg/s at every member";
  rate.note = "window " + std::to_string(Window) + ", best of " + std::to_string(plan.blocks);
  int blocks = count > 8 ? plan.starBlocks : plan.blocks;
  for (int block = 0; block < blocks; ++block) {
    auto setup = buildSetup<Star>("star", count, keyed);
    if (!setup) return false;
    Star& star = *setup;
    measureBroadcast(star, samples / blocks, plan, immediate, keyed ? nullptr : &ordered);
    if (!throughput) continue;
    star.rawRate(plan.throughputMessages / 10, Window);
    star.tesselRate(plan.throughputMessages / 10, Window);
    alternate(
        block, [&] { rate.rawValue = std::max(rate.rawValue, star.rawRate(plan.throughputMessages, Window)); },
        [&] { rate.tesselValue = std::max(rate.tesselValue, star.tesselRate(plan.throughputMessages, Window)); });
  }
  figures.push_back(immediate);
  if (!keyed) figures.push_back(ordered);
  if (throughput) figures.push_back(rate);
  return true;
}

// --- 2 and 4. One order everywhere ---------------------------------------------------

// A tree of engines in mode 7 (parents[s]: the parent of slot s, slot 0 the
// root) and the same tree of raw nodes relaying by hand, one member of
// which casts.
class OneOrderTree {
 public:
  OneOrderTree(const std::vector<int32_t>& parents, int caster)
      : parents_(parents), caster_(caster), room_(parents, 7) {}

  bool setup() {
    const int count = static_cast<int>(parents_.size());
    std::vector<int> links(size_t(count), 0);
    for (int slot = 1; slot < count; ++slot) {
      ++links[size_t(slot)];
      ++links[size_t(parents_[size_t(slot)])];
    }
    for (int slot = 0; slot < count; ++slot) {
      rawPorts_.push_back(tessel_test::freeUdpPort());
      raws_.push_back(std::make_unique<RawNode>());
      if (!raws_.back()->start(rawPorts_.back(), links[size_t(slot)])) return false;
    }
    for (int slot = 0; slot < count; ++slot) {
      int parentPort = slot == 0 ? 0 : rawPorts_[size_t(parents_[size_t(slot)])];
      raws_[size_t(slot)]->setTree(parentPort);
      if (slot != 0) raws_[size_t(slot)]->connect(parentPort);
    }
    if (!room_.connect()) {
      std::fprintf(stderr, "one order, %d members: the engines did not connect\n", count);
      return false;
    }
    bool linked = tessel_test::waitFor(
        [&] {
          for (int slot = 0; slot < count; ++slot)
            if (raws_[size_t(slot)]->connected() != links[size_t(slot)]) return false;
          return true;
        },
        std::chrono::milliseconds(10000));
    if (!linked) std::fprintf(stderr, "one order, %d members: the raw nodes did not connect\n", count);
    return linked;
  }

  // The caster casts one ordered broadcast; the time until every member,
  // the caster and the root included, has popped it.
  void tessel(Samples& samples, bool keep) {
    payload_.set(0, ++sequence_);
    auto start = Clock::now();
    room_.api(caster_).castPacket(payload_.bytes, int(PayloadSize), true, false);
    int waiting = room_.size();
    std::vector<bool> done(size_t(room_.size()), false);
    TesselJob job;
    while (waiting > 0) {
      if (Clock::now() - start > SampleTimeout) {
        samples.lost += keep ? 1 : 0;
        return;
      }
      for (int slot = 0; slot < room_.size(); ++slot) {
        while (room_.api(slot).popJob(job)) {
          uint32_t got;
          if (!done[size_t(slot)] && messageSequence(job, got) && got == sequence_) {
            done[size_t(slot)] = true;
            --waiting;
          }
        }
      }
      if (waiting > 0) std::this_thread::yield();
    }
    if (keep) samples.micros.push_back(microsSince(start));
  }

  // The same broadcast by hand. From the root: one enet_host_broadcast,
  // the time until every other member has popped it (the root's
  // application holds it already). From another member: sent to its
  // parent, relayed up and down; the time until every member, the caster
  // and the root included, has popped it.
  void raw(Samples& samples, bool keep) {
    payload_.set(0, ++sequence_);
    const int count = static_cast<int>(raws_.size());
    auto start = Clock::now();
    if (caster_ == 0)
      raws_[0]->broadcast(payload_.bytes, PayloadSize, true);
    else
      raws_[size_t(caster_)]->send(rawPorts_[size_t(parents_[size_t(caster_)])], payload_.bytes, PayloadSize, true);
    int waiting = caster_ == 0 ? count - 1 : count;
    std::vector<bool> done(size_t(count), false);
    done[0] = caster_ == 0;
    while (waiting > 0) {
      if (Clock::now() - start > SampleTimeout) {
        samples.lost += keep ? 1 : 0;
        return;
      }
      for (int slot = 0; slot < count; ++slot) {
        while (ENetPacket* packet = raws_[size_t(slot)]->pop()) {
          uint32_t got;
          if (rawSequence(packet, got) && !done[size_t(slot)] && got == sequence_) {
            done[size_t(slot)] = true;
            --waiting;
          }
        }
      }
      if (waiting > 0) std::this_thread::yield();
    }
    if (keep) samples.micros.push_back(microsSince(start));
  }

 private:
  std::vector<int32_t> parents_;
  int caster_;
  TesselRoom room_;
  std::vector<int> rawPorts_;
  std::vector<std::unique_ptr<RawNode>> raws_;
  Payload payload_;
  uint32_t sequence_ = 0;
};

// count members, each below the member (slot - 1) / fanOut: the levels
// filled in turn, breadth first.
std::vector<int32_t> layeredTree(int count, int fanOut) {
  std::vector<int32_t> parents(size_t(count), 0);
  for (int slot = 1; slot < count; ++slot) parents[size_t(slot)] = (slot - 1) / fanOut;
  return parents;
}

int depthOf(const std::vector<int32_t>& parents, int slot) {
  int depth = 0;
  for (; slot != 0; slot = parents[size_t(slot)]) ++depth;
  return depth;
}

// Latency of one ordered broadcast in mode 7, in blocks of fresh trees
// (see measureOneHop). The figure goes in after the row named after.
bool measureOneOrder(const std::vector<int32_t>& parents, int caster, int samples, int blocks, const Plan& plan,
                     Figure figure, const std::string& after, std::vector<Figure>& figures) {
  for (int block = 0; block < blocks; ++block) {
    auto setup = buildSetup<OneOrderTree>("one order", parents, caster);
    if (!setup) return false;
    OneOrderTree& tree = *setup;
    for (int i = 0; i < plan.warmup + samples / blocks; ++i) {
      bool keep = i >= plan.warmup;
      alternate(i, [&] { tree.raw(figure.raw, keep); }, [&] { tree.tessel(figure.tessel, keep); });
      pause(std::chrono::microseconds(500));
    }
  }
  auto place = figures.end();
  for (auto it = figures.begin(); it != figures.end(); ++it)
    if (it->key == after) place = it + 1;
  figures.insert(place, std::move(figure));
  return true;
}

// The root of a star of count casts.
bool measureOneOrderStar(int count, int samples, const Plan& plan, std::vector<Figure>& figures) {
  std::string size = std::to_string(count);
  Figure figure = latencyFigure("broadcast_" + size + "_one_order", "broadcast to " + size + ", one order (mode 7)");
  figure.note =
      "mode 7, the root casts, no pulls; until every member has popped it, the root's own delivery included; "
      "raw column: the immediate raw star";
  return measureOneOrder(TesselRoom::star(count), 0, samples, count > 8 ? plan.starBlocks : plan.blocks, plan,
                         std::move(figure), "broadcast_" + size + "_ordered", figures);
}

// A leaf three levels down a tree of 32 with a fan-out of 4 casts: three
// hops up to the root, three down to the farthest members.
bool measureOneOrderTree(const Plan& plan, std::vector<Figure>& figures) {
  constexpr int Count = 32, FanOut = 4;
  std::vector<int32_t> parents = layeredTree(Count, FanOut);
  const int caster = Count - 1;
  const int depth = depthOf(parents, caster);
  Figure figure = latencyFigure("tree_32_one_order_from_leaf", "tree of 32, one order (mode 7), from a leaf");
  figure.note = "mode 7, 32 members, fan-out 4, levels filled breadth first; a leaf at depth " +
                std::to_string(depth) + " casts (" + std::to_string(depth) + " hops up, " + std::to_string(depth) +
                " down); until every member, the caster and the root included, has popped it; raw column: raw nodes "
                "relaying the same hops by hand, up to the root, which delivers it and sends it to its children, "
                "each inner node delivering it and sending it on to its own";
  return measureOneOrder(parents, caster, plan.treeSamples, plan.starBlocks, plan, std::move(figure), "", figures);
}

// --- 5. Relay cost ---------------------------------------------------------------------

// The relay runs alone in a child process that talks over its standard
// input and output: it says "ready"; then for every round it waits for
// "start", answers "started", waits for "stop" and prints its CPU seconds
// and allocation counts for that window; "quit" ends it. Everything the
// child does in a window is the relay's service thread at work (its main
// thread sits in a read).
struct RelayCost {
  double cpuSeconds = 0;
  AllocCounts counts;
  long wakeups = 0;
  int packets = 0;
};

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
  while (readLine(stdin, line) && line == "start") {
    double cpuStart = cpuSecondsNow();
    long switchesStart = voluntarySwitchesNow();
    startCounting();
    std::printf("started\n");
    std::fflush(stdout);
    if (!readLine(stdin, line) || line != "stop") return 5;
    AllocCounts counts = stopCounting();
    double cpu = cpuSecondsNow() - cpuStart;
    // The main thread's own sleep in the read above is no wake-up of the
    // service thread.
    long wakeups = voluntarySwitchesNow() - switchesStart - 1;
    std::printf("%.6f %llu %llu %ld\n", cpu, static_cast<unsigned long long>(counts.all),
                static_cast<unsigned long long>(counts.enet), wakeups);
    std::fflush(stdout);
  }
  return line == "quit" ? 0 : 4;
}

// A sender and a receiver in this process, the relay between them in a
// child: tessel engines (slot 0 the relay, 1 sends to 2 through it) or
// raw nodes (the relay forwards by the port in the payload).
class RelayPath {
 public:
  explicit RelayPath(bool tessel) : tessel_(tessel) {}

  bool setup() {
    relayPort_ = tessel_test::freeUdpPort();
    senderPort_ = tessel_test::freeUdpPort();
    receiverPort_ = tessel_test::freeUdpPort();
    std::string line;
    if (!child_.start({"--relay", tessel_ ? "tessel" : "raw", std::to_string(relayPort_), std::to_string(senderPort_),
                       std::to_string(receiverPort_)}) ||
        !child_.hear(line) || line != "ready")
      return false;
    if (tessel_) {
      room_ = std::make_unique<TesselRoom>(std::vector<int32_t>{0, 0, 0},
                                           std::vector<int>{relayPort_, senderPort_, receiverPort_},
                                           std::vector<bool>{false, true, true}, 0);
      if (!room_->connect()) return false;
    } else {
      if (!rawSender_.start(senderPort_, 1) || !rawReceiver_.start(receiverPort_, 1)) return false;
      rawSender_.connect(relayPort_);
      rawReceiver_.connect(relayPort_);
      if (!tessel_test::waitFor([&] { return rawSender_.connected() == 1 && rawReceiver_.connected() == 1; },
                     std::chrono::milliseconds(5000)))
        return false;
    }
    // The relay forwards only once it holds both links: probe until a
    // packet comes through.
    bool through = tessel_test::waitFor(
        [&] {
          send(0);
          return received() > 0;
        },
        std::chrono::milliseconds(5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    received();
    return through;
  }

  // Sends packets through the relay, at most Window in flight. With
  // measure, the relay's figures for the window are added to cost. false
  // when packets went missing or the child did not answer.
  bool round(int packets, bool measure, RelayCost& cost) {
    std::string line;
    if (measure && (!child_.say("start") || !child_.hear(line) || line != "started")) return false;
    int sent = 0, arrived = 0;
    auto start = Clock::now();
    while (arrived < packets) {
      while (sent < packets && sent - arrived < Window) send(uint32_t(sent++));
      arrived += received();
      if (Clock::now() - start > std::chrono::seconds(60)) return false;
      std::this_thread::yield();
    }
    if (!measure) return true;
    // Acknowledgements of the last packets settle before the window closes.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!child_.say("stop") || !child_.hear(line)) return false;
    double cpu = 0;
    unsigned long long all = 0, enet = 0;
    long wakeups = 0;
    if (std::sscanf(line.c_str(), "%lf %llu %llu %ld", &cpu, &all, &enet, &wakeups) != 4) return false;
    cost.cpuSeconds += cpu;
    cost.wakeups += wakeups;
    cost.counts.all += all;
    cost.counts.enet += enet;
    cost.packets += packets;
    return true;
  }

 private:
  static constexpr int Window = 64;

  void send(uint32_t sequence) {
    if (tessel_) {
      payload_.set(0, sequence);
      room_->api(1).sendPacket(room_->id(2), payload_.bytes, int(PayloadSize), true);
    } else {
      payload_.set(receiverPort_, sequence);
      rawSender_.send(relayPort_, payload_.bytes, PayloadSize, true);
    }
  }

  int received() {
    int count = 0;
    if (tessel_) {
      TesselJob job;
      while (room_->api(2).popJob(job)) count += job.getType() == TesselJob::JobMessage;
    } else {
      while (ENetPacket* packet = rawReceiver_.pop()) {
        enet_packet_destroy(packet);
        ++count;
      }
    }
    return count;
  }

  bool tessel_;
  int relayPort_ = 0, senderPort_ = 0, receiverPort_ = 0;
  Child child_;
  std::unique_ptr<TesselRoom> room_;
  RawNode rawSender_, rawReceiver_;
  Payload payload_;
};

void measureRelays(const Plan& plan, std::vector<Figure>& figures) {
  constexpr int Rounds = 10;
  RelayCost raw, tessel;
  auto rawSetup = buildSetup<RelayPath>("raw relay", false);
  auto tesselSetup = buildSetup<RelayPath>("tessel relay", true);
  bool ok = rawSetup && tesselSetup;
  if (ok) {
    RelayPath& rawPath = *rawSetup;
    RelayPath& tesselPath = *tesselSetup;
    // Warm-up: the queues and ENet's pools grow to their working size
    // before anything is counted.
    ok = rawPath.round(plan.relayPackets / 10, false, raw) && tesselPath.round(plan.relayPackets / 10, false, tessel);
    // Raw and tessel rounds alternate, so that both meet the same load.
    for (int i = 0; i < Rounds && ok; ++i) {
      int packets = plan.relayPackets / Rounds;
      alternate(
          i, [&] { ok = ok && rawPath.round(packets, true, raw); },
          [&] { ok = ok && tesselPath.round(packets, true, tessel); });
    }
  }
  auto per = [](double value, int packets) { return packets > 0 ? value / packets : 0; };
  Figure cpu, library, enet;
  cpu.key = "relay_cpu_per_100k";
  cpu.label = "relay CPU, reliable 200-byte packets";
  cpu.unit = "cpu s per 100k forwarded";
  cpu.rawValue = per(raw.cpuSeconds, raw.packets) * 100000;
  cpu.tesselValue = per(tessel.cpuSeconds, tessel.packets) * 100000;
  // The CPU per packet follows how many packets the relay finds each time
  // it wakes, which the load decides as much as the code: said beside it.
  char wakeNote[96];
  std::snprintf(wakeNote, sizeof(wakeNote), "wake-ups per 100 packets: raw %.1f, tessel %.1f",
                per(double(raw.wakeups), raw.packets) * 100, per(double(tessel.wakeups), tessel.packets) * 100);
  cpu.note = wakeNote;
  library.key = "relay_allocs_besides_enet";
  library.label = "relay heap allocations besides ENet's";
  library.unit = "per forwarded packet";
  library.rawValue = per(double(raw.counts.all - raw.counts.enet), raw.packets);
  library.tesselValue = per(double(tessel.counts.all - tessel.counts.enet), tessel.packets);
  enet.key = "relay_allocs_enet";
  enet.label = "relay heap allocations by ENet";
  enet.unit = "per forwarded packet";
  enet.rawValue = per(double(raw.counts.enet), raw.packets);
  enet.tesselValue = per(double(tessel.counts.enet), tessel.packets);
  enet.note = "packets, commands, acknowledgements";
  for (Figure* figure : {&cpu, &library, &enet})
    if (!ok) figure->note = "FAILED: relay run incomplete";
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

// Each figure measured with a room key goes right after the same figure
// without one.
void placeKeyedRows(std::vector<Figure>& figures) {
  const std::string suffix = "_keyed";
  std::vector<Figure> keyed, placed;
  for (auto& figure : figures)
    (figure.key.size() > suffix.size() && figure.key.ends_with(suffix) ? keyed : placed).push_back(figure);
  for (auto& figure : keyed) {
    std::string base = figure.key.substr(0, figure.key.size() - suffix.size());
    auto at = std::find_if(placed.begin(), placed.end(), [&](const Figure& f) { return f.key == base; });
    placed.insert(at == placed.end() ? at : at + 1, figure);
  }
  figures = placed;
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
  // A figure's ratio, tessel / raw, against a ceiling or a floor.
  auto ratioTarget = [&](const std::string& key, double limit, bool atLeast, const std::string& text) {
    const Figure* figure = find(report.figures, key);
    if (figure == nullptr) return;
    Target target;
    target.text = text;
    target.value = figure->rawValue > 0 ? figure->tesselValue / figure->rawValue : 0;
    target.limit = limit;
    target.atLeast = atLeast;
    bool failed = figure->note.rfind("FAILED", 0) == 0;
    target.met = !failed && target.value > 0 && (atLeast ? target.value >= limit : target.value <= limit);
    report.targets.push_back(target);
  };
  latencyTarget("one_hop_unreliable", 50, 1.1, "one hop unreliable, p50 within 1.1x raw ENet");
  latencyTarget("one_hop_reliable", 50, 1.1, "one hop reliable, p50 within 1.1x raw ENet");
  latencyTarget("broadcast_32_immediate", 99, 1.2, "broadcast to 32 immediate, p99 within 1.2x the raw star");
  latencyTarget("broadcast_8_one_order", 50, 1.5, "broadcast to 8 one order, p50 within 1.5x the raw star");
  latencyTarget("broadcast_32_one_order", 50, 1.5, "broadcast to 32 one order, p50 within 1.5x the raw star");
  ratioTarget("throughput_8", 0.9, true, "throughput, star of 8, at least 0.9x the raw star");
  ratioTarget("relay_cpu_per_100k", 1.15, false, "relay CPU per forwarded packet within 1.15x raw ENet");
  // A stray allocation per 1000 packets (a pool growing) still counts as none.
  ratioTarget("relay_allocs_enet", 1.001, false, "relay: ENet allocations per forwarded packet, at most raw's");
  latencyTarget("one_hop_unreliable_keyed", 50, 1.2, "one hop unreliable, room key, p50 within 1.2x raw ENet");
  latencyTarget("one_hop_reliable_keyed", 50, 1.2, "one hop reliable, room key, p50 within 1.2x raw ENet");
  latencyTarget("broadcast_32_immediate_keyed", 99, 1.3,
                "broadcast to 32 immediate, room key, p99 within 1.3x the raw star");
  ratioTarget("throughput_8_keyed", 0.8, true, "throughput, star of 8, room key, at least 0.8x raw");
  if (const Figure* figure = find(report.figures, "relay_allocs_besides_enet")) {
    Target target;
    target.text = "relay: no heap allocation besides ENet's (per packet)";
    target.value = figure->tesselValue;
    target.limit = 0.001;  // a stray allocation per 1000 packets (a pool growing) still counts as none
    target.met = figure->note.empty() && figure->tesselValue <= target.limit;
    report.targets.push_back(target);
  }
  ratioTarget("idle_31_links_wakeups", 1.1, false, "idle, 31 links: wake-ups within 1.1x ENet's keep-alive");
  ratioTarget("idle_31_links_cpu", 1.1, false, "idle, 31 links: CPU within 1.1x ENet's keep-alive");
}

int run(int argc, char** argv) {
  Plan plan;
  std::string commit = "unknown", outDir = "bench/results", only;
  bool detail = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--quick") {
      plan.quick();
    } else if (arg == "--commit" && i + 1 < argc) {
      commit = argv[++i];
    } else if (arg == "--out" && i + 1 < argc) {
      outDir = argv[++i];
    } else if (arg == "--detail") {
      detail = true;
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: %s [--commit ID] [--out DIR] [--quick] [--detail]\n"
                   "          [--only SECTION[,SECTION...]]  (hop star8 star32 tree relay keyed idle memory)\n",
                   argv[0]);
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);

  Report report;
  report.commit = commit;
  report.date = utcNow("%Y-%m-%dT%H:%M:%SZ");
  report.cores = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  report.legend = {
      "200-byte payloads, one process on 127.0.0.1; latency = send or cast on the application's thread until the",
      "receiving application's thread pops it (broadcasts: the last member); broadcasts reliable, from the root of a",
      "star unless the note says otherwise; samples in blocks of fresh engines and raw nodes, raw and tessel",
      "alternating",
  };
  getloadavg(report.loadStart, 3);
  auto begin = Clock::now();
  auto step = [&](const char* text) {
    std::printf("[%5.1f s] %s\n", std::chrono::duration<double>(Clock::now() - begin).count(), text);
    std::fflush(stdout);
  };

  // --only takes one section or several, separated by commas.
  auto wanted = [&](const char* section) {
    return only.empty() || ("," + only + ",").find("," + std::string(section) + ",") != std::string::npos;
  };
  if (wanted("hop")) {
    step("one hop");
    if (!measureOneHop(plan, report.figures)) {
      std::fprintf(stderr, "one hop: setup failed\n");
      return 1;
    }
  }
  if (wanted("star8")) {
    step("broadcast to 8, throughput");
    if (!measureStar(8, plan.broadcastSamples8, true, plan, report.figures)) {
      std::fprintf(stderr, "star of 8: setup failed\n");
      return 1;
    }
    step("broadcast to 8, one order");
    if (!measureOneOrderStar(8, plan.broadcastSamples8, plan, report.figures)) {
      std::fprintf(stderr, "star of 8, one order: setup failed\n");
      return 1;
    }
  }
  if (wanted("star32")) {
    step("broadcast to 32");
    if (!measureStar(32, plan.broadcastSamples32, false, plan, report.figures)) {
      std::fprintf(stderr, "star of 32: setup failed\n");
      return 1;
    }
    step("broadcast to 32, one order");
    if (!measureOneOrderStar(32, plan.broadcastSamples32, plan, report.figures)) {
      std::fprintf(stderr, "star of 32, one order: setup failed\n");
      return 1;
    }
  }
  if (wanted("tree")) {
    step("tree of 32, one order from a leaf");
    if (!measureOneOrderTree(plan, report.figures)) {
      std::fprintf(stderr, "tree of 32, one order: setup failed\n");
      return 1;
    }
  }
  if (wanted("relay")) {
    step("relay cost");
    measureRelays(plan, report.figures);
  }
  if (wanted("keyed")) {
    step("with a room key: one hop, broadcast to 8 and 32, throughput");
    if (!measureOneHop(plan, report.figures, true) ||
        !measureStar(8, plan.broadcastSamples8, true, plan, report.figures, true) ||
        !measureStar(32, plan.broadcastSamples32, false, plan, report.figures, true)) {
      std::fprintf(stderr, "with a room key: setup failed\n");
      return 1;
    }
  }
  placeKeyedRows(report.figures);
  if (wanted("idle")) {
    step("idle engine");
    measureIdle(plan.idleRounds, plan.idleSeconds, report.figures);
  }
  if (wanted("memory")) {
    step("memory");
    measureMemory(report.figures);
  }

  if (detail) {
    for (const auto& figure : report.figures) {
      if (!figure.latency) continue;
      std::printf("%s\n  raw   ", figure.label.c_str());
      for (int p : {10, 25, 50, 75, 90, 95, 99}) std::printf(" %8.1f", figure.raw.percentile(p));
      std::printf("\n  tessel");
      for (int p : {10, 25, 50, 75, 90, 95, 99}) std::printf(" %8.1f", figure.tessel.percentile(p));
      std::printf("\n");
    }
  }
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
  if (argc >= 2 && std::string(argv[1]) == "--idle") return tessel_bench::idleChild(argc, argv);
  if (argc >= 2 && std::string(argv[1]) == "--memory") return tessel_bench::memoryChild(argc, argv);
  return tessel_bench::run(argc, argv);
}
