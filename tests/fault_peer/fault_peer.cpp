// tessel-fault-peer: one engine in a process of its own, driven by a test
// over standard input and output, the way a host application drives the
// library. The fault tests start one per network namespace, so that every
// engine has its own address and can be killed, restarted and cut off like
// a real peer.
//
//   tessel-fault-peer peer ID PORT MODE [KEY]
//       Runs an engine (id ID, listening on PORT, delivery mode MODE, with
//       the room key KEY, 64 hex digits, when given) and answers commands,
//       one per line; every answer ends with a line "end".
//
// Commands of a peer:
//   member ID SLOT IP PORT   a member of the next room (IP dotted)
//   tree P0 P1 ...           the parent of each slot, -1 for none
//   setup SYNC CAPACITY      startSession, the members, the description
//   connect MS               Tessel::connect
//   cast COUNT RELIABLE IMMEDIATE SIZE TAG
//                            COUNT broadcasts whose payload starts
//                            "TAG:ID:SEQ:" and is padded to SIZE bytes
//   direct ID COUNT SIZE TAG COUNT reliable one-to-one packets to ID,
//                            numbered apart for each TAG and ID
//   peek on|off              pull the parent's frame store every 20 ms,
//                            unreliably, as a host does once per frame or
//                            two (a lost answer is asked for again by the
//                            next pull; reliable pulls this often would
//                            each be answered with everything not yet
//                            received, and on a lossy link that floods it)
//   pingroot MS              pings the root every 20 ms until an answer
//                            comes back over the tree (so every link on
//                            the way has been adopted): "ok 0", or "ok -1"
//                            after MS
//   add ID SLOT IP PORT      addPeer and setPeerProperty (late join)
//   remove ID                removePeer
//   report                   every event since the last report:
//                              m TAG ORIGIN SEQ JOBPEER SIZE  a message
//                              x JOBPEER SIZE                 one that is not ours
//                              d PEER MS                      a disconnection
//                                                             (monotonic ms)
//                              e PEER CODE                    an error report
//   quit                     destroys the engine and exits
//
// Time is read with steady_clock: the tests compare these readings with
// their own, and the monotonic clock is the same in every namespace.

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tessel/engine/tessel_api.h"
#include "tessel/engine/tessel_job.h"
#include "tessel/planner/topology_description.h"
#include "tests/support/loopback_room.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

uint32_t parseIp(const std::string& dotted) {
  in_addr address{};
  if (inet_pton(AF_INET, dotted.c_str(), &address) != 1) return 0;
  return ntohl(address.s_addr);
}

struct Member {
  int32_t id;
  int slot;
  uint32_t ip;
  int port;
};

class Peer {
 public:
  Peer(int32_t id, int port, int mode, const std::string& hexKey) : id_(id) {
    if (api_.init(id, port, true, mode, false, false) != 0) {
      std::fprintf(stderr, "tessel-fault-peer: init failed (error 0x%x)\n", api_.getError());
      std::exit(2);
    }
    std::string key;
    for (size_t i = 0; i + 1 < hexKey.size(); i += 2)
      key.push_back(static_cast<char>(std::stoi(hexKey.substr(i, 2), nullptr, 16)));
    if (!key.empty() && api_.setRoomKey(reinterpret_cast<const unsigned char*>(key.data()), int(key.size())) != 0) {
      std::fprintf(stderr, "tessel-fault-peer: the key is not 64 hex digits\n");
      std::exit(2);
    }
  }

  void run() {
    std::string pending;
    auto lastPeek = Clock::now();
    for (;;) {
      pollfd entry{STDIN_FILENO, POLLIN, 0};
      if (poll(&entry, 1, 2) > 0) {
        char buffer[4096];
        ssize_t got = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (got <= 0) return;  // the test is gone
        pending.append(buffer, size_t(got));
        size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
          std::string line = pending.substr(0, newline);
          pending.erase(0, newline + 1);
          if (!execute(line)) return;
          std::printf("end\n");
          std::fflush(stdout);
        }
      }
      drainJobs();
      if (peek_ && Clock::now() - lastPeek >= std::chrono::milliseconds(20)) {
        api_.peekPacket(false);
        lastPeek = Clock::now();
      }
    }
  }

 private:
  bool execute(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    if (command == "member") {
      Member member{};
      std::string ip;
      in >> member.id >> member.slot >> ip >> member.port;
      member.ip = parseIp(ip);
      members_.push_back(member);
    } else if (command == "tree") {
      parents_.clear();
      int32_t parent;
      while (in >> parent) parents_.push_back(parent);
    } else if (command == "setup") {
      int sync = 0;
      int capacity = 0;
      in >> sync >> capacity;
      std::printf("ok %d\n", setup(sync != 0, capacity));
    } else if (command == "connect") {
      int timeout = 5000;
      in >> timeout;
      std::printf("ok %d\n", api_.connect(timeout));
    } else if (command == "cast") {
      int count = 0, reliable = 1, immediate = 1, size = 0;
      std::string tag;
      in >> count >> reliable >> immediate >> size >> tag;
      int failed = 0;
      for (int i = 0; i < count; ++i) {
        std::string payload = message(tag, size);
        failed += api_.castPacket(payload.data(), int(payload.size()), reliable != 0, immediate != 0) != 0;
        pace(i);
      }
      std::printf("ok %d\n", failed);
    } else if (command == "direct") {
      int32_t to = -1;
      int count = 0, size = 0;
      std::string tag;
      in >> to >> count >> size >> tag;
      int failed = 0;
      for (int i = 0; i < count; ++i) {
        std::string payload = message(tag, size, tag + ">" + std::to_string(to));
        failed += api_.sendPacket(to, payload.data(), int(payload.size()), true) != 0;
        pace(i);
      }
      std::printf("ok %d\n", failed);
    } else if (command == "peek") {
      std::string on;
      in >> on;
      peek_ = on == "on";
      std::printf("ok 0\n");
    } else if (command == "pingroot") {
      int timeout = 10000;
      in >> timeout;
      pongs_ = 0;
      auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
      while (pongs_ == 0 && Clock::now() < deadline) {
        api_.sendPing();
        for (int i = 0; i < 10 && pongs_ == 0; ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
          drainJobs();
        }
      }
      std::printf("ok %d\n", pongs_ > 0 ? 0 : -1);
    } else if (command == "add") {
      Member member{};
      std::string ip;
      in >> member.id >> member.slot >> ip >> member.port;
      int result = api_.addPeer(member.id, static_cast<unsigned char>(member.slot));
      if (result == 0)
        result = api_.setPeerProperty(member.id, parseIp(ip), member.port, false, true);
      std::printf("ok %d\n", result);
    } else if (command == "remove") {
      int32_t peer = -1;
      in >> peer;
      std::printf("ok %d\n", api_.removePeer(peer));
    } else if (command == "report") {
      drainJobs();
      for (const std::string& event : events_) std::printf("%s\n", event.c_str());
      events_.clear();
    } else if (command == "quit") {
      return false;
    } else {
      std::printf("unknown %s\n", command.c_str());
    }
    return true;
  }

  // A message payload: "TAG:ID:SEQ:" padded with dots; SEQ counts the
  // messages sent under key (the tag by default).
  std::string message(const std::string& tag, int size, const std::string& key = "") {
    int seq = ++sequence_[key.empty() ? tag : key];
    std::string payload = tag + ":" + std::to_string(id_) + ":" + std::to_string(seq) + ":";
    if (int(payload.size()) < size) payload.append(size_t(size) - payload.size(), '.');
    return payload;
  }

  // A burst of sends leaves the jobs of this engine waiting; take them now
  // and then, so that the queue stays short.
  void pace(int sent) {
    if (sent % 8 == 7) {
      drainJobs();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  int setup(bool sync, int capacity) {
    api_.startSession();
    api_.setRoomId(1, 2);
    std::vector<PacketDef::PeerProperty> records;
    for (const Member& member : members_) {
      if (api_.addPeer(member.id, static_cast<unsigned char>(member.slot)) != 0) return -1;
      if (api_.setPeerProperty(member.id, member.ip, member.port, false, true) != 0) return -1;
      records.push_back(
          zintar::TopologyDescription::peerRecord(member.id, member.slot, member.ip, member.port, true, 1, 2));
    }
    std::string description = tessel_test::topologyDescription(capacity, 1478, sync, records, parents_);
    members_.clear();
    return api_.setTopology(description.data(), int(description.size()));
  }

  void drainJobs() {
    zintar::TesselJob job;
    while (api_.popJob(job)) {
      char event[160];
      switch (job.getType()) {
        case zintar::TesselJob::JobMessage: {
          std::string payload(job.getData(), job.getDataSize());
          char tag[8] = {};
          int origin = 0, seq = 0;
          if (std::sscanf(payload.c_str(), "%7[A-Z]:%d:%d:", tag, &origin, &seq) == 3) {
            std::snprintf(event, sizeof(event), "m %s %d %d %d %u", tag, origin, seq, job.getPeerId(),
                          unsigned(job.getDataSize()));
          } else {
            std::snprintf(event, sizeof(event), "x %d %u", job.getPeerId(), unsigned(job.getDataSize()));
          }
          break;
        }
        case zintar::TesselJob::JobDisconnect:
          std::snprintf(event, sizeof(event), "d %d %lld", job.getPeerId(), static_cast<long long>(nowMs()));
          break;
        case zintar::TesselJob::JobError:
          std::snprintf(event, sizeof(event), "e %d %u", job.getPeerId(), job.getError());
          break;
        case zintar::TesselJob::JobPingPong:
          ++pongs_;
          continue;
        default:
          continue;
      }
      events_.push_back(event);
    }
  }

  zintar::TesselApi api_;
  int32_t id_;
  std::vector<Member> members_;
  std::vector<int32_t> parents_;
  std::map<std::string, int> sequence_;
  std::vector<std::string> events_;
  bool peek_ = false;
  int pongs_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  if (argc >= 5 && std::strcmp(argv[1], "peer") == 0) {
    Peer peer(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), argc >= 6 ? argv[5] : "");
    peer.run();
    return 0;
  }
  std::fprintf(stderr, "usage: tessel-fault-peer peer ID PORT MODE [KEY]\n");
  return 2;
}
