#include "tools/room/room_coordinator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tessel/toolkit/kiv_clock.h"
#include "tessel/planner/topology_planner.h"
#include "tools/netshim/netshim_config.h"
#include "tools/room/room_checks.h"
#include "tools/room/room_peer.h"
#include "tools/room/room_report.h"
#include "tools/room/room_wire.h"

extern char** environ;

namespace tessel_room {

namespace {

constexpr int32_t FirstPeerId = 1000;
constexpr uint16_t RoomMajor = 7;
constexpr uint16_t RoomMinor = 300;
// Time limits of the steps, in milliseconds.
constexpr int StartLimitMs = 20000;
constexpr int StepLimitMs = 10000;
constexpr int CollectLimitMs = 30000;
constexpr int ExitLimitMs = 5000;
// Per peer ping, the worst case of one pingToPeer attempt in ping
// thresholds: the connection, three probes and the drain, each two
// thresholds long.
constexpr int PingWorstInThresholds = 10;
constexpr int PingAttempts = 3;
constexpr uint32_t ProgressEveryMs = 250;
// Once every count is complete, how long a sequenced leaf's count must
// stand still before the run stops.
constexpr uint32_t QuietMs = 300;

std::atomic<int> signalWrite{-1};

// Writes bytes to path; false with the reason in why.
bool writeFile(const std::string& path, const std::string& bytes, std::string& why);

void onSignal(int) {
  int saved = errno;
  char byte = 1;
  int fd = signalWrite.load();
  if (fd >= 0) [[maybe_unused]] ssize_t ignored = write(fd, &byte, 1);
  errno = saved;
}

// A descriptor moved to 10 or above with close-on-exec set, so that a child
// started later inherits nothing by accident and the peer's fixed
// descriptors 3 and 4 are never among the pipe ends.
int lift(int fd) {
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  return moved;
}

bool setNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const char* name = strsignal(WTERMSIG(status));
    return "was killed by signal " + std::to_string(WTERMSIG(status)) + (name ? std::string(" (") + name + ")" : "");
  }
  return "ended";
}

// Waits up to limitMs for pid to end; its status, or -1 when it still runs.
bool reapWithin(pid_t pid, int limitMs, int& status) {
  const uint32_t start = KivClock::getTickCount();
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    if (done < 0 && errno != EINTR) {
      status = 0;
      return true;  // not our child any more: nothing to reap
    }
    if (static_cast<int32_t>(KivClock::getTickCount() - start) >= limitMs) return false;
    poll(nullptr, 0, 10);
  }
}

// Ends pid for good: waits limitMs, then kills it, and always reaps it.
int endProcess(pid_t pid, int limitMs) {
  int status = 0;
  if (reapWithin(pid, limitMs, status)) return status;
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

struct Child {
  int slot = 0;
  int32_t peerId = -1;
  bool listen = true;
  pid_t pid = -1;
  bool reaped = false;
  int exitStatus = 0;
  MessageChannel channel;
  std::string failure;

  int port = -1;
  bool rosterDone = false;
  bool hasPingList = false;
  std::string pingList;
  bool topologyDone = false;
  int32_t topologyResult = -1;
  bool connected = false;
  int32_t connectResult = -1;
  uint32_t connectError = 0;
  uint32_t connectMs = 0;
  uint32_t progressSent = 0;
  uint32_t got[4] = {};
  bool sentDone = false;
  bool final = false;
  PeerRun run;
};

class Room {
 public:
  Room(const RoomOptions& options, const std::string& self) : options_(options), self_(self) {}
  ~Room();
  int run();

 private:
  bool startGalaxyd();
  void stopGalaxyd();
  bool startPeers();
  // Writes the latency shim's configuration and port table into the
  // temporary folder and finds the shim, when the run has distances.
  bool prepareShim();
  // The environment of the peer in slot: ours, with the shim preloaded
  // when the run has distances.
  std::vector<std::string> peerEnvironment(int slot) const;
  bool spawnPeer(Child& child);
  bool writeSummary(const DistanceFigures& distances, const RoomVerdict& verdict);
  void shutdown();
  // Reads and handles messages until done() holds. False, with the reason
  // in failure_, on time-out (pending() names who is late), on a peer that
  // failed or died, or on Ctrl-C. onTick runs after every wake-up.
  bool await(const std::string& step, int limitMs, const std::function<bool()>& done,
             const std::function<std::string()>& pending, const std::function<void()>& onTick = nullptr);
  void handle(Child& child, const std::string& message);
  bool sendAll(const MessageWriter& message);
  bool checkOutputs();
  bool plan();
  bool connectAll();
  bool runTraffic();
  bool collect();
  bool saveFiles();
  bool renderPng();
  // Progress on standard error while the peers start, measure and
  // connect: the step and how many peers are done (doneWord) with it.
  void stepProgress(const char* step, const char* doneWord, const std::function<bool(const Child&)>& done);
  void progress(bool last);
  // Ends a progress line that is being redrawn on a terminal before
  // anything else is printed.
  void endProgressLine();
  std::string pendingWhere(const std::function<bool(const Child&)>& done) const;

  RoomOptions options_;
  std::string self_;
  std::string tempDir_;
  // The room key every peer gets with --key, else empty.
  std::string roomKey_;
  std::string netshim_;
  std::string shimConfig_;
  std::vector<std::unique_ptr<Child>> children_;
  pid_t galaxyPid_ = -1;
  int galaxyOut_ = -1;
  int galaxyPort_ = 0;
  int galaxyStatus_ = 0;
  int signalRead_ = -1;
  int signalWriteEnd_ = -1;
  std::string failure_;
  zintar::TopologyPlanner planner_;
  std::string description_;
  uint32_t runStart_ = 0;
  uint32_t trafficStart_ = 0;
  uint32_t lastProgress_ = 0;
  std::string lastStep_;
  bool lineOpen_ = false;
  bool tty_ = false;
};

Room::~Room() {
  shutdown();
  if (signalRead_ >= 0) close(signalRead_);
  if (signalWriteEnd_ >= 0) {
    signalWrite.store(-1);
    close(signalWriteEnd_);
  }
  if (!tempDir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(tempDir_, ignored);
  }
}

std::string Room::pendingWhere(const std::function<bool(const Child&)>& done) const {
  std::string slots;
  for (const auto& child : children_)
    if (!done(*child)) slots += (slots.empty() ? "" : " ") + std::to_string(child->slot);
  return slots.empty() ? std::string() : "slots " + slots;
}

bool Room::startGalaxyd() {
  if (!options_.galaxy) return true;
  std::string path = options_.galaxyd;
  if (path.empty()) {
    std::filesystem::path beside = std::filesystem::path(self_).parent_path() / "tessel-galaxyd";
    if (access(beside.c_str(), X_OK) != 0) {
      if (!options_.quiet) std::printf("No tessel-galaxyd beside tessel-room: galaxy pings skipped.\n");
      return true;
    }
    path = beside.string();
  } else if (access(path.c_str(), X_OK) != 0) {
    failure_ = "cannot run the galaxy responder '" + path + "'";
    return false;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    failure_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  std::vector<std::string> args{path, "--bind", "127.0.0.1", "--port", "0"};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int result = posix_spawn(&galaxyPid_, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  if (result != 0) {
    close(ends[0]);
    galaxyPid_ = -1;
    failure_ = "cannot start '" + path + "': " + std::strerror(result);
    return false;
  }
  galaxyOut_ = ends[0];
  setNonBlocking(galaxyOut_);
  // Its first line names the port: "tessel-galaxyd: answering on 127.0.0.1:PORT".
  std::string line;
  const uint32_t start = KivClock::getTickCount();
  while (line.find('\n') == std::string::npos) {
    int left = StepLimitMs - static_cast<int32_t>(KivClock::getTickCount() - start);
    if (left <= 0 || !waitReadable(galaxyOut_, left)) break;
    char buffer[256];
    ssize_t got = read(galaxyOut_, buffer, sizeof(buffer));
    if (got <= 0 && !(got < 0 && (errno == EINTR || errno == EAGAIN))) break;
    if (got > 0) line.append(buffer, size_t(got));
  }
  size_t colon = line.rfind(':');
  if (line.find('\n') == std::string::npos || colon == std::string::npos) {
    failure_ = "the galaxy responder did not report its port";
    return false;
  }
  galaxyPort_ = std::atoi(line.c_str() + colon + 1);
  if (galaxyPort_ <= 0) {
    failure_ = "the galaxy responder reported no usable port";
    return false;
  }
  return true;
}

void Room::stopGalaxyd() {
  if (galaxyPid_ < 0) return;
  kill(galaxyPid_, SIGTERM);
  galaxyStatus_ = endProcess(galaxyPid_, ExitLimitMs);
  galaxyPid_ = -1;
  if (galaxyOut_ >= 0) close(galaxyOut_);
  galaxyOut_ = -1;
}

bool Room::spawnPeer(Child& child) {
  int toPeer[2], fromPeer[2];
  if (pipe(toPeer) != 0) return false;
  if (pipe(fromPeer) != 0) {
    close(toPeer[0]);
    close(toPeer[1]);
    return false;
  }
  int peerIn = lift(toPeer[0]), ourOut = lift(toPeer[1]);
  int ourIn = lift(fromPeer[0]), peerOut = lift(fromPeer[1]);
  if (peerIn < 0 || ourOut < 0 || ourIn < 0 || peerOut < 0) {
    for (int fd : {peerIn, ourOut, ourIn, peerOut})
      if (fd >= 0) close(fd);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, peerIn, PeerReadFd);
  posix_spawn_file_actions_adddup2(&actions, peerOut, PeerWriteFd);
  std::vector<std::string> args{self_, "--peer"};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> variables = peerEnvironment(child.slot);
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  int result = posix_spawn(&child.pid, self_.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(peerIn);
  close(peerOut);
  if (result != 0) {
    child.pid = -1;
    close(ourIn);
    close(ourOut);
    return false;
  }
  setNonBlocking(ourIn);
  setNonBlocking(ourOut);
  child.channel.open(ourIn, ourOut);
  return true;
}

bool Room::startPeers() {
  char pattern[] = "/tmp/tessel-room.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    failure_ = std::string("cannot make a temporary folder: ") + std::strerror(errno);
    return false;
  }
  tempDir_ = pattern;
  if (!prepareShim()) return false;
  if (options_.keyed) {
    // random_device reads the kernel's random source here.
    std::random_device random;
    while (roomKey_.size() < 32) roomKey_.push_back(static_cast<char>(random() & 0xFF));
  }
  for (int slot = 0; slot < options_.peers; ++slot) {
    auto child = std::make_unique<Child>();
    child->slot = slot;
    child->peerId = FirstPeerId + slot;
    child->listen = slot < options_.peers - options_.closedPeers;
    if (!spawnPeer(*child)) {
      failure_ = "cannot start the peer for slot " + std::to_string(slot) + ": " + std::strerror(errno);
      return false;
    }
    children_.push_back(std::move(child));
  }
  for (auto& child : children_) {
    MessageWriter setup(MsgSetup);
    setup.u8(static_cast<uint8_t>(child->slot)).i32(child->peerId).i32(options_.mode);
    setup.u16(RoomMajor).u16(RoomMinor).u8(child->listen ? 1 : 0).i32(options_.pingThresholdMs);
    setup.blob(tempDir_ + "/registry-" + std::to_string(child->slot) + ".reg").blob(roomKey_);
    if (!child->channel.send(setup.bytes())) {
      failure_ = "cannot reach the peer for slot " + std::to_string(child->slot);
      return false;
    }
  }
  auto ready = [](const Child& child) { return child.port > 0; };
  stepProgress("starting the peers", "ready", ready);
  return await("start", StartLimitMs, [&] { return pendingWhere(ready).empty(); },
               [&] { return pendingWhere(ready); }, [&] { stepProgress("starting the peers", "ready", ready); });
}

bool Room::prepareShim() {
  if (!options_.shaped()) return true;
  if (!options_.netshim.empty()) {
    netshim_ = options_.netshim;
  } else {
    const std::filesystem::path bin = std::filesystem::path(self_).parent_path();
    for (const std::filesystem::path& folder : {bin, bin / TESSEL_NETSHIM_FROM_BIN}) {
      std::filesystem::path candidate = folder / "libtessel-netshim.so";
      if (access(candidate.c_str(), R_OK) == 0) {
        netshim_ = candidate.lexically_normal().string();
        break;
      }
    }
    if (netshim_.empty()) {
      failure_ = "no libtessel-netshim.so beside tessel-room for the distances (see --netshim)";
      return false;
    }
  }
  // The dynamic loader looks a bare name up in its folders, not here.
  std::error_code error;
  netshim_ = std::filesystem::absolute(netshim_, error).string();
  if (error || access(netshim_.c_str(), R_OK) != 0) {
    failure_ = "cannot read the latency shim '" + netshim_ + "'";
    return false;
  }
  const std::string ports = tempDir_ + "/netshim.ports";
  shimConfig_ = tempDir_ + "/netshim.conf";
  if (!writeFile(ports, std::string(tessel_netshim::PortTableSize, '\0'), failure_)) return false;
  return writeFile(shimConfig_, shimConfiguration(options_.matrix, options_.loss, options_.jitterMs, ports),
                   failure_);
}

std::vector<std::string> Room::peerEnvironment(int slot) const {
  std::vector<std::string> variables;
  std::string preload, asan;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable = *entry;
    if (netshim_.empty()) {
      variables.push_back(variable);
    } else if (variable.rfind("LD_PRELOAD=", 0) == 0) {
      preload = variable.substr(11);
    } else if (variable.rfind("ASAN_OPTIONS=", 0) == 0) {
      asan = variable.substr(13);
    } else if (variable.rfind("TESSEL_NETSHIM_", 0) != 0) {
      variables.push_back(variable);
    }
  }
  if (netshim_.empty()) return variables;
  variables.push_back("LD_PRELOAD=" + netshim_ + (preload.empty() ? "" : ":" + preload));
  // A sanitizer build's runtime then no longer comes first; it works all
  // the same.
  variables.push_back("ASAN_OPTIONS=" + (asan.empty() ? "" : asan + ":") + "verify_asan_link_order=0");
  variables.push_back(std::string(tessel_netshim::ConfigVariable) + "=" + shimConfig_);
  variables.push_back(std::string(tessel_netshim::PlaceVariable) + "=" +
                      std::to_string(options_.placeOfSlot[size_t(slot)]));
  variables.push_back(std::string(tessel_netshim::SeedVariable) + "=" + std::to_string(slot + 1));
  return variables;
}

void Room::shutdown() {
  // Ask politely, then insist.
  for (auto& child : children_)
    if (child->pid > 0 && !child->reaped) child->channel.send(MessageWriter(MsgQuit).bytes(), 200);
  const uint32_t start = KivClock::getTickCount();
  for (auto& child : children_) {
    if (child->pid <= 0 || child->reaped) continue;
    int left = std::max(0, ExitLimitMs - static_cast<int32_t>(KivClock::getTickCount() - start));
    child->exitStatus = endProcess(child->pid, left);
    child->reaped = true;
    child->channel.close();
  }
  stopGalaxyd();
}

bool Room::sendAll(const MessageWriter& message) {
  for (auto& child : children_) {
    if (!child->channel.send(message.bytes())) {
      failure_ = "cannot reach the peer for slot " + std::to_string(child->slot);
      return false;
    }
  }
  return true;
}

void Room::handle(Child& child, const std::string& message) {
  MessageReader reader(message);
  bool ok = true;
  switch (reader.type()) {
    case MsgReady:
      ok = reader.i32(child.port) && child.port > 0;
      break;
    case MsgRosterDone:
      child.rosterDone = true;
      break;
    case MsgPingList:
      ok = reader.blob(child.pingList);
      child.hasPingList = ok;
      break;
    case MsgTopologyDone:
      ok = reader.i32(child.topologyResult);
      child.topologyDone = ok;
      break;
    case MsgConnected:
      ok = reader.i32(child.connectResult) && reader.u32(child.connectError) && reader.u32(child.connectMs);
      child.connected = ok;
      break;
    case MsgProgress:
      ok = reader.u32(child.progressSent) && reader.u32(child.got[KindDirect]) &&
           reader.u32(child.got[KindImmediate]) && reader.u32(child.got[KindOrdered]);
      break;
    case MsgSentDone: {
      uint32_t count = 0;
      ok = reader.u32(count) && count == children_.size();
      child.run.directTo.assign(count, 0);
      for (uint32_t i = 0; ok && i < count; ++i) ok = reader.u32(child.run.directTo[i]);
      ok = ok && reader.u32(child.run.immediateSent) && reader.u32(child.run.orderedSent) &&
           reader.u32(child.run.sendFailures);
      child.sentDone = ok;
      break;
    }
    case MsgRecords: {
      uint32_t count = 0;
      ok = reader.u32(count);
      for (uint32_t i = 0; ok && i < count; ++i) {
        Delivery d;
        ok = reader.u8(d.kind) && reader.u8(d.origin) && reader.u32(d.sequence) && reader.i32(d.peerId) &&
             reader.u16(d.figure) && reader.i32(d.wallMs);
        if (ok) child.run.received.push_back(d);
      }
      break;
    }
    case MsgFinal: {
      uint32_t total = 0;
      ok = reader.u32(total);
      for (int type = 0; ok && type < JobTypes; ++type) ok = reader.u32(child.run.jobs[type]);
      if (ok && total != child.run.received.size())
        child.failure = "slot " + std::to_string(child.slot) + " reported " + std::to_string(total) +
                        " deliveries but " + std::to_string(child.run.received.size()) + " came over the pipe";
      child.final = ok;
      break;
    }
    case MsgFailed: {
      std::string why;
      child.failure = reader.blob(why) ? why : "slot " + std::to_string(child.slot) + " failed";
      break;
    }
    default:
      ok = false;
      break;
  }
  if (!ok && child.failure.empty())
    child.failure = "slot " + std::to_string(child.slot) + " sent a malformed message";
}

bool Room::await(const std::string& step, int limitMs, const std::function<bool()>& done,
                 const std::function<std::string()>& pending, const std::function<void()>& onTick) {
  const uint32_t start = KivClock::getTickCount();
  std::string message;
  for (;;) {
    for (auto& child : children_) {
      if (!child->failure.empty()) {
        failure_ = "during " + step + ": " + child->failure;
        return false;
      }
    }
    if (done()) return true;
    int left = limitMs - static_cast<int32_t>(KivClock::getTickCount() - start);
    if (left <= 0) {
      failure_ = "timed out after " + std::to_string(limitMs / 1000) + " s during " + step + ", waiting for " +
                 pending();
      return false;
    }
    std::vector<pollfd> waits;
    std::vector<Child*> owners;
    for (auto& child : children_) {
      if (child->reaped || child->channel.readFd() < 0) continue;
      waits.push_back({child->channel.readFd(), POLLIN, 0});
      owners.push_back(child.get());
    }
    waits.push_back({signalRead_, POLLIN, 0});
    int ready = poll(waits.data(), waits.size(), std::min(left, 100));
    if (ready < 0 && errno != EINTR) {
      failure_ = std::string("poll: ") + std::strerror(errno);
      return false;
    }
    if (waits.back().revents != 0) {
      failure_ = "interrupted during " + step;
      return false;
    }
    for (size_t i = 0; i < owners.size(); ++i) {
      if (waits[i].revents == 0) continue;
      Child& child = *owners[i];
      child.channel.receive();
      while (child.channel.next(message)) handle(child, message);
      if (child.channel.broken() && child.failure.empty())
        child.failure = "slot " + std::to_string(child.slot) + " sent a malformed message";
      if (child.channel.closed()) {
        int status = 0;
        std::string how = "closed its pipe";
        if (reapWithin(child.pid, 1000, status)) {
          child.reaped = true;
          how = describeStatus(status);
        }
        failure_ = "the peer in slot " + std::to_string(child.slot) + " (pid " + std::to_string(child.pid) + ") " +
                   how + " during " + step + (child.failure.empty() ? "" : ": " + child.failure);
        return false;
      }
    }
    if (onTick) onTick();
  }
}

bool Room::plan() {
  MessageWriter roster(MsgRoster);
  roster.u32(static_cast<uint32_t>(children_.size()));
  for (auto& child : children_)
    roster.i32(child->peerId).u8(static_cast<uint8_t>(child->slot)).i32(child->port).u8(child->listen ? 1 : 0);
  roster.i32(galaxyPort_);
  if (!sendAll(roster)) return false;
  auto rostered = [](const Child& child) { return child.rosterDone; };
  if (!await("the roster", StepLimitMs, [&] { return pendingWhere(rostered).empty(); },
             [&] { return pendingWhere(rostered); }))
    return false;

  if (!sendAll(MessageWriter(MsgMeasure))) return false;
  auto measured = [](const Child& child) { return child.hasPingList; };
  const int measureLimit =
      StepLimitMs * 2 + (options_.peers - 1) * PingAttempts * PingWorstInThresholds * options_.pingThresholdMs;
  stepProgress("measuring pings", "done", measured);
  if (!await("the ping measurements", measureLimit, [&] { return pendingWhere(measured).empty(); },
             [&] { return pendingWhere(measured); }, [&] { stepProgress("measuring pings", "done", measured); }))
    return false;

  zintar::PlannerOptions plannerOptions;
  plannerOptions.fanOut = options_.fanOut;
  plannerOptions.syncTime = true;
  plannerOptions.maxDataSize = options_.payloadSize + 16;
  if (options_.capacity > 0) {
    plannerOptions.capacity = options_.capacity;
  } else {
    // Room for every ordered broadcast of the run, so that no reader falls
    // a whole store behind.
    int64_t total = int64_t(options_.peers) * options_.orderedRate * options_.durationMs / 1000;
    plannerOptions.capacity = static_cast<int32_t>(std::clamp<int64_t>(2 * total + 256, 256, 65536));
  }
  planner_ = zintar::TopologyPlanner(plannerOptions);
  for (auto& child : children_) {
    if (planner_.addPingList(child->pingList.data(), child->pingList.size()) != 0) {
      failure_ = "the ping list of slot " + std::to_string(child->slot) + ": " + planner_.getError();
      return false;
    }
  }
  if (planner_.plan() != 0) {
    failure_ = "no tree: " + planner_.getError();
    return false;
  }
  description_ = planner_.getDescription();
  if (!saveFiles()) return false;
  endProgressLine();
  if (!options_.quiet) std::fputs(describeRoom(options_, planner_, galaxyPort_).c_str(), stdout);
  if (!options_.quiet && options_.shaped())
    std::fputs(describeDistances(options_, measureDistances(options_, planner_)).c_str(), stdout);
  std::fflush(stdout);
  if (!renderPng()) return false;

  MessageWriter topology(MsgTopology);
  topology.blob(description_);
  if (!sendAll(topology)) return false;
  auto described = [](const Child& child) { return child.topologyDone; };
  if (!await("the topology", StepLimitMs, [&] { return pendingWhere(described).empty(); },
             [&] { return pendingWhere(described); }))
    return false;
  for (auto& child : children_) {
    if (child->topologyResult != 0) {
      failure_ = "setTopology refused the description at slot " + std::to_string(child->slot);
      return false;
    }
  }
  return true;
}

// The folder a file goes into; "." for a bare name.
std::filesystem::path folderOf(const std::filesystem::path& path) {
  std::filesystem::path folder = path.lexically_normal();
  if (!folder.has_filename()) folder = folder.parent_path();
  folder = folder.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

bool isWritableFolder(const std::filesystem::path& folder) {
  std::error_code error;
  return std::filesystem::is_directory(folder, error) && access(folder.c_str(), W_OK) == 0;
}

// Writes bytes to path; false with the reason in why.
bool writeFile(const std::string& path, const std::string& bytes, std::string& why) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(bytes.data(), std::streamsize(bytes.size()));
  if (out) out.close();
  if (out) return true;
  why = "cannot write '" + path + "'" + (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
  return false;
}

// A file beside dot named after it, with the extension .png.
std::string pngBeside(const std::string& dot) {
  std::filesystem::path png = std::filesystem::path(dot).replace_extension(".png");
  return png == std::filesystem::path(dot) ? dot + ".png" : png.string();
}

// The full name of program in a folder of PATH, or empty.
std::string findInPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "";
  for (size_t start = 0; start <= folders.size();) {
    size_t end = folders.find(':', start);
    if (end == std::string::npos) end = folders.size();
    std::string folder = folders.substr(start, end - start);
    std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

bool Room::checkOutputs() {
  // Refused before anything starts, so that a long run does not end in a
  // file it cannot write, and nothing is created on the way.
  if (!options_.dotFile.empty() && !isWritableFolder(folderOf(options_.dotFile))) {
    failure_ = "cannot write '" + options_.dotFile + "': the folder " + folderOf(options_.dotFile).string() +
               " does not exist or cannot be written";
    return false;
  }
  if (!options_.summaryFile.empty() && !isWritableFolder(folderOf(options_.summaryFile))) {
    failure_ = "cannot write '" + options_.summaryFile + "': the folder " + folderOf(options_.summaryFile).string() +
               " does not exist or cannot be written";
    return false;
  }
  if (!options_.saveDir.empty()) {
    std::error_code error;
    const bool exists = std::filesystem::exists(options_.saveDir, error);
    if (exists && !isWritableFolder(options_.saveDir)) {
      failure_ = "cannot save into '" + options_.saveDir + "': not a folder that can be written";
      return false;
    }
    if (!exists && !isWritableFolder(folderOf(options_.saveDir))) {
      failure_ = "cannot save into '" + options_.saveDir + "': the folder " + folderOf(options_.saveDir).string() +
                 " does not exist or cannot be written";
      return false;
    }
  }
  return true;
}

bool Room::writeSummary(const DistanceFigures& distances, const RoomVerdict& verdict) {
  if (options_.summaryFile.empty()) return true;
  std::string text = "# tessel-room: the figures of one run (see --help)\n";
  char line[160];
  for (const auto& ping : distances.pings) {
    std::snprintf(line, sizeof(line), "ping %d %d %d %.2f\n", ping.from, ping.to, int(ping.measured),
                  options_.matrix.empty() ? -1.0 : ping.matrix);
    text += line;
  }
  auto figure = [&](const char* name, const TreeFigure& tree) {
    std::snprintf(line, sizeof(line), "%s %d %.2f\n", name, tree.root, tree.worst);
    text += line;
  };
  figure("tree", distances.tree);
  figure("star", distances.star);
  figure("bound", distances.bound);
  text += std::string("passed ") + (verdict.passed ? "1" : "0") + "\n";
  errno = 0;
  return writeFile(options_.summaryFile, text, failure_);
}

bool Room::saveFiles() {
  errno = 0;
  if (!options_.dotFile.empty() && !writeFile(options_.dotFile, planner_.dot(), failure_)) return false;
  if (options_.saveDir.empty()) return true;
  // Only the folder itself: its parent was there when the run began.
  std::error_code error;
  std::filesystem::create_directory(options_.saveDir, error);
  if (error) {
    failure_ = "cannot create '" + options_.saveDir + "': " + error.message();
    return false;
  }
  for (auto& child : children_) {
    const std::string name = "slot-" + std::to_string(child->slot) + ".pinglist";
    if (!writeFile((std::filesystem::path(options_.saveDir) / name).string(), child->pingList, failure_)) return false;
  }
  return writeFile((std::filesystem::path(options_.saveDir) / "topology.bin").string(), description_, failure_);
}

bool Room::renderPng() {
  if (options_.dotFile.empty()) return true;
  const std::string dot = findInPath("dot");
  if (dot.empty()) {
    if (!options_.quiet)
      std::printf("\nThe tree is in %s (with Graphviz installed, a PNG of it too).\n", options_.dotFile.c_str());
    return true;
  }
  const std::string png = pngBeside(options_.dotFile);
  std::vector<std::string> args{dot, "-Tpng", "-o", png, options_.dotFile};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int result = posix_spawn(&pid, dot.c_str(), nullptr, nullptr, argv.data(), environ);
  if (result != 0) {
    failure_ = "cannot start '" + dot + "': " + std::strerror(result);
    return false;
  }
  int status = 0;
  if (!reapWithin(pid, StepLimitMs, status)) status = endProcess(pid, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    failure_ = "Graphviz's dot could not draw '" + png + "': it " + describeStatus(status);
    return false;
  }
  if (!options_.quiet) std::printf("\nThe tree is in %s, drawn in %s.\n", options_.dotFile.c_str(), png.c_str());
  std::fflush(stdout);
  return true;
}

bool Room::connectAll() {
  const int root = planner_.getPlan().root;
  const int32_t rootId = FirstPeerId + root;
  const int limit = 2 * options_.connectTimeoutMs + StepLimitMs;
  auto connect = [&](Child& child) {
    MessageWriter message(MsgConnect);
    message.i32(rootId).i32(options_.connectTimeoutMs);
    if (!child.channel.send(message.bytes())) {
      failure_ = "cannot reach the peer for slot " + std::to_string(child.slot);
      return false;
    }
    return true;
  };
  auto check = [&](const Child& child) {
    if (child.connectResult == 0) return true;
    char error[32];
    std::snprintf(error, sizeof(error), "0x%X", unsigned(child.connectError));
    failure_ = child.connectResult == -2
                   ? "slot " + std::to_string(child.slot) + " connected but never heard the root's answer to a ping"
                   : "connect failed at slot " + std::to_string(child.slot) + ", error " + error;
    return false;
  };
  // The root first: a child's link goes to an engine that is already up.
  Child& first = *children_[size_t(root)];
  auto connected = [](const Child& child) { return child.connected; };
  auto tick = [&] { stepProgress("connecting, the root first", "connected", connected); };
  tick();
  if (!connect(first)) return false;
  if (!await("the root's connect", limit, [&] { return first.connected; }, [&] { return "the root"; }, tick) ||
      !check(first))
    return false;
  for (auto& child : children_)
    if (child->slot != root && !connect(*child)) return false;
  if (!await("connect", limit, [&] { return pendingWhere(connected).empty(); },
             [&] { return pendingWhere(connected); }, tick))
    return false;
  for (auto& child : children_)
    if (!check(*child)) return false;
  return true;
}

void Room::stepProgress(const char* step, const char* doneWord, const std::function<bool(const Child&)>& done) {
  if (options_.quiet) return;
  const uint32_t now = KivClock::getTickCount();
  const bool newStep = step != lastStep_;
  if (!newStep && now - lastProgress_ < (tty_ ? ProgressEveryMs : 1000)) return;
  lastProgress_ = now;
  lastStep_ = step;
  size_t count = 0;
  for (auto& child : children_) count += done(*child) ? 1 : 0;
  char line[160];
  std::snprintf(line, sizeof(line), "[%5.1f s] %s: %zu of %d %s", (now - runStart_) / 1000.0, step, count,
                options_.peers, doneWord);
  if (tty_) {
    std::fprintf(stderr, "\r%-100s", line);
    lineOpen_ = true;
  } else {
    std::fprintf(stderr, "%s\n", line);
  }
  std::fflush(stderr);
}

void Room::endProgressLine() {
  if (!lineOpen_) return;
  std::fprintf(stderr, "\r%-100s\r", "");
  std::fflush(stderr);
  lineOpen_ = false;
}

void Room::progress(bool last) {
  if (options_.quiet) return;
  const uint32_t now = KivClock::getTickCount();
  if (!last && now - lastProgress_ < (tty_ ? ProgressEveryMs : 1000)) return;
  lastProgress_ = now;
  uint64_t sent = 0, got[4] = {};
  for (auto& child : children_) {
    sent += child->progressSent;
    for (int kind = KindDirect; kind <= KindOrdered; ++kind) got[kind] += child->got[kind];
  }
  const double elapsed = (now - trafficStart_) / 1000.0;
  char when[32];
  if (last)
    std::snprintf(when, sizeof(when), "[done]");
  else
    std::snprintf(when, sizeof(when), "[%5.1f s of %.1f]", std::min(elapsed, options_.durationMs / 1000.0),
                  options_.durationMs / 1000.0);
  char line[160];
  std::snprintf(line, sizeof(line), "%s sent %llu  received: direct %llu  immediate %llu  ordered %llu", when,
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(got[KindDirect]),
                static_cast<unsigned long long>(got[KindImmediate]), static_cast<unsigned long long>(got[KindOrdered]));
  if (tty_) {
    std::fprintf(stderr, "\r%-100s%s", line, last ? "\n" : "");
    lineOpen_ = !last;
  } else {
    std::fprintf(stderr, "%s\n", line);
  }
  std::fflush(stderr);
}

bool Room::runTraffic() {
  MessageWriter traffic(MsgTraffic);
  traffic.u32(uint32_t(options_.durationMs)).u32(uint32_t(options_.directRate));
  traffic.u32(uint32_t(options_.immediateRate)).u32(uint32_t(options_.orderedRate));
  traffic.u32(uint32_t(options_.payloadSize)).u32(uint32_t(options_.peekEveryMs));
  trafficStart_ = KivClock::getTickCount();
  lastProgress_ = trafficStart_;
  if (!sendAll(traffic)) return false;
  auto sentDone = [](const Child& child) { return child.sentDone; };
  if (!await("traffic", options_.durationMs + CollectLimitMs, [&] { return pendingWhere(sentDone).empty(); },
             [&] { return pendingWhere(sentDone); }, [&] { progress(false); }))
    return false;

  // Everything is sent: let it arrive. Complete means every member holds
  // as many messages of each kind as were meant for it; a sequenced leaf
  // may skip ordered broadcasts, so for it the count must only stand still.
  const bool sequenced = options_.mode == 5;
  const auto& plan = planner_.getPlan();
  std::vector<uint32_t> wanted[4];
  for (int kind = KindDirect; kind <= KindOrdered; ++kind) wanted[kind].assign(children_.size(), 0);
  for (auto& from : children_) {
    for (size_t to = 0; to < children_.size(); ++to) {
      wanted[KindDirect][to] += from->run.directTo[to];
      wanted[KindImmediate][to] += from->run.immediateSent;
      wanted[KindOrdered][to] += from->run.orderedSent;
    }
  }
  std::vector<uint32_t> lastCount(children_.size(), 0);
  uint32_t lastChange = KivClock::getTickCount();
  auto complete = [&] {
    bool all = true;
    for (auto& child : children_) {
      const size_t s = size_t(child->slot);
      const bool leaf = plan.children(child->slot).empty();
      if (child->got[KindOrdered] != lastCount[s]) {
        lastCount[s] = child->got[KindOrdered];
        lastChange = KivClock::getTickCount();
      }
      for (int kind = KindDirect; kind <= KindOrdered; ++kind) {
        if (kind == KindOrdered && sequenced && leaf) continue;
        if (child->got[kind] < wanted[kind][s]) all = false;
      }
    }
    return all && (!sequenced || KivClock::getTickCount() - lastChange >= QuietMs);
  };
  if (!await("delivery", options_.drainMs, complete, [] { return std::string("the last messages"); },
             [&] { progress(false); })) {
    // Not a failure of the run itself: the checks below count what is
    // missing. A dead peer or Ctrl-C is.
    if (failure_.rfind("timed out", 0) != 0) return false;
    failure_.clear();
  }
  progress(true);
  return true;
}

bool Room::collect() {
  if (!sendAll(MessageWriter(MsgStop))) return false;
  auto finished = [](const Child& child) { return child.final; };
  return await("collecting the deliveries", CollectLimitMs, [&] { return pendingWhere(finished).empty(); },
               [&] { return pendingWhere(finished); });
}

int Room::run() {
  tty_ = isatty(STDERR_FILENO) != 0;
  runStart_ = KivClock::getTickCount();
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "tessel-room: pipe: %s\n", std::strerror(errno));
    return 1;
  }
  signalRead_ = ends[0];
  signalWriteEnd_ = ends[1];
  signalWrite.store(signalWriteEnd_);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  bool ok = checkOutputs() && startGalaxyd() && startPeers() && plan() && connectAll() && runTraffic() && collect();
  if (!ok) {
    endProgressLine();
    std::fprintf(stderr, "tessel-room: %s\n", failure_.c_str());
    shutdown();
    return 1;
  }
  shutdown();
  // A peer that ends badly after all (a sanitizer's report at exit, say)
  // fails the run too.
  for (auto& child : children_) {
    if (WIFEXITED(child->exitStatus) && WEXITSTATUS(child->exitStatus) == 0) continue;
    std::fprintf(stderr, "tessel-room: the peer in slot %d %s after the run\n", child->slot,
                 describeStatus(child->exitStatus).c_str());
    return 1;
  }
  if (!(WIFEXITED(galaxyStatus_) && WEXITSTATUS(galaxyStatus_) == 0)) {
    std::fprintf(stderr, "tessel-room: the galaxy responder %s\n", describeStatus(galaxyStatus_).c_str());
    return 1;
  }

  std::vector<PeerRun> runs;
  std::vector<uint32_t> connectMs;
  for (auto& child : children_) {
    child->run.peerId = child->peerId;
    child->run.parent = planner_.getPlan().parent[child->slot];
    child->run.listen = child->listen;
    runs.push_back(child->run);
    connectMs.push_back(child->connectMs);
  }
  RoomVerdict verdict = checkRoom(options_.mode, runs);
  const DistanceFigures distances = measureDistances(options_, planner_);
  if (options_.shaped())
    for (Check& check : distanceChecks(options_, distances)) verdict.checks.push_back(std::move(check));
  std::fputs(describeRun(options_, planner_, runs, connectMs, verdict, options_.shaped() ? &distances : nullptr).c_str(),
             stdout);
  std::fflush(stdout);
  if (!writeSummary(distances, verdict)) {
    std::fprintf(stderr, "tessel-room: %s\n", failure_.c_str());
    return 1;
  }
  return verdict.passed ? 0 : 1;
}

}  // namespace

int runRoom(const RoomOptions& options, const std::string& self) {
  Room room(options, self);
  return room.run();
}

}  // namespace tessel_room
