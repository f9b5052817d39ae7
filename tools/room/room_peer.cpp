#include "tools/room/room_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tessel/engine/tessel_api.h"
#include "tessel/toolkit/kiv_clock.h"
#include "tools/room/room_checks.h"
#include "tools/room/room_wire.h"

namespace tessel_room {

namespace {

using zintar::TesselApi;
using zintar::TesselJob;

constexpr uint32_t Loopback = 0x7F000001;
// How long a peer waits for the coordinator's next word before it decides
// that the coordinator is stuck.
constexpr int IdleLimitMs = 180000;
// Attempts at an engine on a free port, and at one peer's ping.
constexpr int PortAttempts = 5;
constexpr int PingAttempts = 3;
// Galaxy probes: how many, and how long each waits for its answer.
constexpr int GalaxyProbes = 3;
constexpr int GalaxyProbeWaitMs = 200;
// Pace of the traffic loop: the longest sleep between two looks at the
// job queue, the progress reports, and the pings to the root.
constexpr int LoopSleepMs = 1;
constexpr uint32_t ProgressEveryMs = 200;
constexpr uint32_t PingEveryMs = 1000;
constexpr uint32_t PongWaitEveryMs = 100;
// Records per MsgRecords message.
constexpr size_t RecordsPerMessage = 4096;
constexpr size_t PingListBufferSize = 8192;

struct RosterEntry {
  int32_t peerId;
  int slot;
  int port;
  bool listen;
};

// A UDP port on 127.0.0.1 that nothing holds right now, or -1.
int freePort() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

// The galaxy list buffer with one galaxy, 127.0.0.1:port, id 1.
std::string galaxyList(int threshold, int port) {
  std::string bytes;
  auto put = [&](int32_t value) { bytes.append(reinterpret_cast<const char*>(&value), 4); };
  const std::string host = "127.0.0.1";
  put(threshold);
  put(1);
  put(1);
  put(static_cast<int32_t>(host.size()));
  bytes += host;
  put(port);
  return bytes;
}

class Peer {
 public:
  Peer(int readFd, int writeFd) : channel_(readFd, writeFd) {}
  int run();

 private:
  bool handle(const std::string& message);
  bool setup(MessageReader& reader);
  bool roster(MessageReader& reader);
  bool measure();
  bool topology(MessageReader& reader);
  bool connect(MessageReader& reader);
  bool traffic(MessageReader& reader);
  bool report();
  bool fail(const std::string& why);
  bool send(const MessageWriter& message) { return channel_.send(message.bytes()); }
  // Pops every job, recording messages.
  void drainJobs();
  // Waits up to timeoutMs for the coordinator's next message; false when
  // the coordinator is gone.
  bool nextMessage(std::string& message, int timeoutMs);

  MessageChannel channel_;
  std::unique_ptr<TesselApi> api_;
  int slot_ = -1;
  int32_t peerId_ = -1;
  int mode_ = 0;
  bool listen_ = true;
  int port_ = -1;
  int pingThreshold_ = 100;
  int16_t roomMajor_ = 0;
  int16_t roomMinor_ = 0;
  std::vector<RosterEntry> roster_;
  int galaxyPort_ = 0;
  bool quit_ = false;

  std::vector<Delivery> received_;
  uint32_t jobs_[JobTypes] = {};
  uint32_t got_[4] = {};
};

bool Peer::fail(const std::string& why) {
  send(MessageWriter(MsgFailed).blob("slot " + std::to_string(slot_) + ": " + why));
  return false;
}

bool Peer::nextMessage(std::string& message, int timeoutMs) {
  const uint32_t start = KivClock::getTickCount();
  for (;;) {
    if (channel_.next(message)) return true;
    if (channel_.broken() || channel_.closed()) return false;
    int left = timeoutMs - static_cast<int32_t>(KivClock::getTickCount() - start);
    if (left < 0) return false;
    if (waitReadable(channel_.readFd(), left) && !channel_.receive()) return false;
  }
}

int Peer::run() {
  std::string message;
  while (!quit_) {
    if (!nextMessage(message, IdleLimitMs)) {
      if (!channel_.closed())
        std::fprintf(stderr, "tessel-room: peer in slot %d: no word from the coordinator, giving up\n", slot_);
      return 1;
    }
    if (!handle(message)) return 1;
  }
  return 0;
}

bool Peer::handle(const std::string& message) {
  MessageReader reader(message);
  switch (reader.type()) {
    case MsgSetup:
      return setup(reader);
    case MsgRoster:
      return roster(reader);
    case MsgMeasure:
      return measure();
    case MsgTopology:
      return topology(reader);
    case MsgConnect:
      return connect(reader);
    case MsgTraffic:
      return traffic(reader);
    case MsgQuit:
      quit_ = true;
      return true;
    default:
      return fail("unexpected message " + std::to_string(reader.type()));
  }
}

bool Peer::setup(MessageReader& reader) {
  uint8_t slot, listen;
  int32_t mode, threshold;
  uint16_t major, minor;
  std::string registry, key;
  if (!reader.u8(slot) || !reader.i32(peerId_) || !reader.i32(mode) || !reader.u16(major) || !reader.u16(minor) ||
      !reader.u8(listen) || !reader.i32(threshold) || !reader.blob(registry) || !reader.blob(key))
    return fail("malformed setup");
  slot_ = slot;
  mode_ = mode;
  roomMajor_ = static_cast<int16_t>(major);
  roomMinor_ = static_cast<int16_t>(minor);
  listen_ = listen != 0;
  pingThreshold_ = threshold;
  // A registry file of its own: the galaxy ping cache of this run stays
  // out of the user's.
  if (!registry.empty()) setenv("TESSEL_REGISTRY", registry.c_str(), 1);
  for (int attempt = 0; attempt < PortAttempts; ++attempt) {
    port_ = freePort();
    if (port_ <= 0) continue;
    api_ = std::make_unique<TesselApi>();
    if (api_->init(peerId_, port_, listen_, mode_, false, false) == 0) {
      // An empty key leaves the room without one.
      if (!key.empty() &&
          api_->setRoomKey(reinterpret_cast<const unsigned char*>(key.data()), static_cast<int>(key.size())) != 0)
        return fail("setRoomKey refused the room key");
      return send(MessageWriter(MsgReady).i32(port_));
    }
    char reason[64];
    std::snprintf(reason, sizeof(reason), "0x%X", unsigned(api_->getError()));
    api_.reset();
    if (attempt + 1 == PortAttempts) return fail(std::string("engine init failed, error ") + reason);
  }
  return fail("no free port for the engine");
}

bool Peer::roster(MessageReader& reader) {
  uint32_t count;
  if (!api_ || !reader.u32(count) || count > 32) return fail("malformed roster");
  roster_.clear();
  for (uint32_t i = 0; i < count; ++i) {
    RosterEntry entry{};
    uint8_t slot, listen;
    if (!reader.i32(entry.peerId) || !reader.u8(slot) || !reader.i32(entry.port) || !reader.u8(listen))
      return fail("malformed roster");
    entry.slot = slot;
    entry.listen = listen != 0;
    roster_.push_back(entry);
  }
  if (!reader.i32(galaxyPort_)) return fail("malformed roster");
  api_->startSession();
  if (api_->setRoomId(roomMajor_, roomMinor_) != 0) return fail("setRoomId refused the room");
  api_->setPingThreshold(pingThreshold_);
  for (const RosterEntry& entry : roster_)
    if (api_->addPeer(entry.peerId, static_cast<unsigned char>(entry.slot)) != 0)
      return fail("addPeer refused slot " + std::to_string(entry.slot));
  for (const RosterEntry& entry : roster_)
    if (api_->setPeerProperty(entry.peerId, Loopback, entry.port, false, entry.listen) != 0)
      return fail("setPeerProperty refused peer " + std::to_string(entry.peerId));
  return send(MessageWriter(MsgRosterDone));
}

bool Peer::measure() {
  if (!api_) return fail("measure before setup");
  if (galaxyPort_ > 0) {
    std::string list = galaxyList(pingThreshold_, galaxyPort_);
    if (api_->setGalaxy(list.data(), static_cast<int>(list.size())) == 0)
      api_->pingToAllGalaxy(GalaxyProbes, GalaxyProbeWaitMs);
  }
  for (const RosterEntry& entry : roster_) {
    if (entry.peerId == peerId_ || !entry.listen) continue;
    // Pings travel unreliably: a lost probe is tried again.
    for (int attempt = 0; attempt < PingAttempts; ++attempt)
      if (api_->pingToPeer(entry.peerId) >= 0) break;
  }
  std::string buffer(PingListBufferSize, '\0');
  int written = api_->getPeerPingList(buffer.data(), static_cast<int>(buffer.size()));
  if (written < 0) return fail("getPeerPingList failed");
  buffer.resize(size_t(written));
  return send(MessageWriter(MsgPingList).blob(buffer));
}

bool Peer::topology(MessageReader& reader) {
  std::string description;
  if (!api_ || !reader.blob(description)) return fail("malformed topology");
  int result = api_->setTopology(description.data(), static_cast<int>(description.size()));
  return send(MessageWriter(MsgTopologyDone).i32(result));
}

bool Peer::connect(MessageReader& reader) {
  int32_t rootId, timeoutMs;
  if (!api_ || !reader.i32(rootId) || !reader.i32(timeoutMs)) return fail("malformed connect");
  const uint32_t start = KivClock::getTickCount();
  int32_t result = api_->connect(timeoutMs);
  uint32_t error = api_->getError();
  if (result == 0 && rootId != peerId_) {
    // Connected means linked to the parent; a ping answered by the root
    // shows that the whole path up works.
    bool answered = false;
    uint32_t lastPing = start - PongWaitEveryMs;
    while (!answered && static_cast<int32_t>(KivClock::getTickCount() - start) < timeoutMs) {
      if (KivClock::getTickCount() - lastPing >= PongWaitEveryMs) {
        api_->sendPing();
        lastPing = KivClock::getTickCount();
      }
      TesselJob job;
      while (api_->popJob(job)) {
        if (job.getType() < JobTypes) ++jobs_[job.getType()];
        answered = answered || (job.getType() == TesselJob::JobPingPong && job.getPeerId() == rootId);
      }
      if (!answered) waitReadable(-1, 5);
    }
    if (!answered) result = -2;
  }
  uint32_t took = KivClock::getTickCount() - start;
  return send(MessageWriter(MsgConnected).i32(result).u32(error).u32(took));
}

void Peer::drainJobs() {
  TesselJob job;
  while (api_->popJob(job)) {
    const uint32_t now = KivClock::getTickCount();
    if (job.getType() < JobTypes) ++jobs_[job.getType()];
    if (job.getType() != TesselJob::JobMessage) continue;
    Delivery delivery;
    TrafficStamp stamp;
    if (TrafficStamp::parse(job.getData(), job.getDataSize(), stamp)) {
      delivery.kind = stamp.kind;
      delivery.origin = stamp.origin;
      delivery.sequence = stamp.sequence;
      delivery.wallMs = static_cast<int32_t>(now - stamp.sentTick);
      if (stamp.kind < 4) ++got_[stamp.kind];
    }
    delivery.peerId = job.getPeerId();
    delivery.figure = job.getPing();
    received_.push_back(delivery);
  }
}

bool Peer::traffic(MessageReader& reader) {
  uint32_t durationMs, rates[4] = {}, size, peekEveryMs;
  if (!api_ || !reader.u32(durationMs) || !reader.u32(rates[KindDirect]) || !reader.u32(rates[KindImmediate]) ||
      !reader.u32(rates[KindOrdered]) || !reader.u32(size) || !reader.u32(peekEveryMs))
    return fail("malformed traffic");
  const bool ordered = mode_ == 3 || mode_ == 5;
  std::vector<int> others;
  int32_t idOfSlot[32];
  for (int32_t& id : idOfSlot) id = -1;
  for (const RosterEntry& entry : roster_) {
    if (entry.slot >= 0 && entry.slot < 32) idOfSlot[entry.slot] = entry.peerId;
    if (entry.peerId != peerId_) others.push_back(entry.slot);
  }
  std::vector<uint32_t> directTo(roster_.size(), 0);
  uint32_t sent[4] = {};
  uint32_t tried[4] = {};
  uint32_t failures = 0;
  const uint32_t start = KivClock::getTickCount();
  uint32_t lastPeek = start, lastPing = start, lastProgress = start;
  bool sentDone = false;
  std::string message;
  for (;;) {
    const uint32_t now = KivClock::getTickCount();
    const uint32_t elapsed = now - start;
    if (!sentDone) {
      const uint64_t upTo = std::min(elapsed, durationMs);
      for (int kind = KindDirect; kind <= KindOrdered; ++kind) {
        // Sends fall due evenly over the time; a refused one counts as
        // tried, not as sent, so sequence numbers stay without gaps.
        const uint64_t due = upTo * rates[kind] / 1000;
        while (tried[kind] < due) {
          const uint32_t attempt = tried[kind]++;
          TrafficStamp stamp;
          stamp.kind = static_cast<uint8_t>(kind);
          stamp.origin = static_cast<uint8_t>(slot_);
          stamp.sentTick = KivClock::getTickCount();
          int result = -1;
          if (kind == KindDirect) {
            if (others.empty()) break;
            const int to = others[(attempt + size_t(slot_)) % others.size()];
            stamp.sequence = directTo[size_t(to)];
            std::string payload = stamp.payload(size);
            result = api_->sendPacket(idOfSlot[to], payload.data(), int(payload.size()), true);
            if (result == 0) ++directTo[size_t(to)];
          } else {
            stamp.sequence = sent[kind];
            std::string payload = stamp.payload(size);
            result = api_->castPacket(payload.data(), int(payload.size()), true, kind == KindImmediate);
          }
          if (result == 0) {
            ++sent[kind];
          } else {
            ++failures;
          }
        }
      }
      if (elapsed >= durationMs) {
        MessageWriter done(MsgSentDone);
        done.u32(static_cast<uint32_t>(directTo.size()));
        for (uint32_t count : directTo) done.u32(count);
        done.u32(sent[KindImmediate]).u32(sent[KindOrdered]).u32(failures);
        if (!send(done)) return false;
        sentDone = true;
      }
    }
    if (ordered && now - lastPeek >= peekEveryMs) {
      api_->peekPacket(true);
      lastPeek = now;
    }
    if (now - lastPing >= PingEveryMs) {
      api_->sendPing();
      lastPing = now;
    }
    drainJobs();
    if (now - lastProgress >= ProgressEveryMs) {
      MessageWriter progress(MsgProgress);
      progress.u32(sent[KindDirect] + sent[KindImmediate] + sent[KindOrdered]);
      progress.u32(got_[KindDirect]).u32(got_[KindImmediate]).u32(got_[KindOrdered]);
      if (!send(progress)) return false;
      lastProgress = now;
    }
    if (waitReadable(channel_.readFd(), LoopSleepMs) && !channel_.receive()) return false;
    while (channel_.next(message)) {
      MessageReader command(message);
      if (command.type() == MsgStop) return report();
      if (command.type() == MsgQuit) {
        quit_ = true;
        return true;
      }
      return fail("unexpected message " + std::to_string(command.type()) + " during traffic");
    }
    if (channel_.broken()) return false;
  }
}

bool Peer::report() {
  drainJobs();
  for (size_t first = 0; first < received_.size(); first += RecordsPerMessage) {
    size_t last = std::min(received_.size(), first + RecordsPerMessage);
    MessageWriter records(MsgRecords);
    records.u32(static_cast<uint32_t>(last - first));
    for (size_t i = first; i < last; ++i) {
      const Delivery& d = received_[i];
      records.u8(d.kind).u8(d.origin).u32(d.sequence).i32(d.peerId).u16(d.figure).i32(d.wallMs);
    }
    if (!send(records)) return false;
  }
  MessageWriter final(MsgFinal);
  final.u32(static_cast<uint32_t>(received_.size()));
  for (uint32_t count : jobs_) final.u32(count);
  return send(final);
}

}  // namespace

int runPeer(int readFd, int writeFd) {
  // The coordinator handles Ctrl-C and ends its peers itself; a peer whose
  // coordinator dies goes with it.
  signal(SIGINT, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  for (int fd : {readFd, writeFd}) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
      std::fprintf(stderr, "tessel-room: a peer was started without its pipes (it is started by tessel-room)\n");
      return 1;
    }
  }
  Peer peer(readFd, writeFd);
  return peer.run();
}

}  // namespace tessel_room
