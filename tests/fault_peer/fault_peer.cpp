// tessel-fault-peer: one engine in a process of its own, driven by a test
// over standard input and output, the way a host application drives the
// library. The fault tests start one per network namespace, so that every
// engine has its own address and can be killed, restarted and cut off like
// a real peer.
//
//   tessel-fault-peer SLOT MODE [KEY]
//       Runs the engine of slot SLOT (addressed as the lab addresses its
//       hosts) in delivery mode MODE, with the room key KEY (32 bytes) when
//       given, and answers commands, one per line; every answer ends with a
//       line "end". It exits when its input ends.
//
// Commands:
//   setup P0 P1 ...          startSession with every slot whose parent Pn
//                            is not -1 as a member, and their tree
//   connect                  Tessel::connect
//   pingroot                 pings the root every 20 ms until an answer
//                            comes back over the tree (so every link on
//                            the way has been adopted): "ok 0", or "ok -1"
//   cast COUNT IMMEDIATE TAG COUNT reliable broadcasts "TAG:ID:SEQ:..."
//   direct SLOT COUNT TAG    COUNT reliable one-to-one packets to SLOT,
//                            numbered apart for each TAG and SLOT
//   peek                     from now on pulls the parent's frame store
//                            every 20 ms, unreliably, as a host does once
//                            per frame or two (a lost answer is asked for
//                            again by the next pull; reliable pulls this
//                            often would each be answered with everything
//                            not yet received, flooding a lossy link)
//   add SLOT / remove SLOT   addPeer and setPeerProperty / removePeer
//   report                   every event since the last report:
//                              m TAG ORIGIN SEQ JOBPEER SIZE  a message
//                              d PEER                         a disconnection
//                              x JOBPEER SIZE                 a foreign message
//                              e PEER CODE                    an error report

#include <poll.h>
#include <unistd.h>

#include <chrono>
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
#include "tests/faults/netns_lab.h"
#include "tests/support/loopback_room.h"

namespace {

using tessel_test::FaultPort;
using tessel_test::FirstFaultId;
using tessel_test::hostIp;
using tessel_test::steadyMs;

constexpr int PayloadSize = 120;

class Peer {
 public:
  Peer(int slot, int mode, const char* key) : id_(FirstFaultId + slot) {
    if (api_.init(id_, FaultPort, true, mode, false, false) != 0 ||
        (key != nullptr && api_.setRoomKey(reinterpret_cast<const unsigned char*>(key), int(strlen(key))) != 0)) {
      std::fprintf(stderr, "tessel-fault-peer: init or key refused (error 0x%x)\n", api_.getError());
      std::exit(2);
    }
  }

  void run() {
    std::string pending;
    int64_t lastPeek = steadyMs();
    for (;;) {
      pollfd entry{STDIN_FILENO, POLLIN, 0};
      if (poll(&entry, 1, 2) > 0) {
        char buffer[4096];
        ssize_t got = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (got <= 0) return;  // the test is gone
        pending.append(buffer, size_t(got));
        for (size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
          execute(pending.substr(0, newline));
          pending.erase(0, newline + 1);
          std::printf("end\n");
          std::fflush(stdout);
        }
      }
      drainJobs();
      if (peek_ && steadyMs() - lastPeek >= 20) {
        api_.peekPacket(false);
        lastPeek = steadyMs();
      }
    }
  }

 private:
  void execute(const std::string& line) {
    std::istringstream in(line);
    std::string command, tag;
    int count = 0, value = 0, result = 0;
    in >> command;
    if (command == "setup") {
      std::vector<int32_t> parents;
      while (in >> value) parents.push_back(value);
      result = setup(parents);
    } else if (command == "connect") {
      result = api_.connect(5000);
    } else if (command == "pingroot") {
      pongs_ = 0;
      for (int64_t deadline = steadyMs() + 10000; pongs_ == 0 && steadyMs() < deadline; drainJobs()) {
        api_.sendPing();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      result = pongs_ > 0 ? 0 : -1;
    } else if (command == "cast" && in >> count >> value >> tag) {
      for (int i = 0; i < count; ++i) {
        std::string payload = message(tag, tag);
        result += api_.castPacket(payload.data(), int(payload.size()), true, value != 0) != 0;
        pace(i);
      }
    } else if (command == "direct" && in >> value >> count >> tag) {
      for (int i = 0; i < count; ++i) {
        std::string payload = message(tag, tag + ">" + std::to_string(value));
        result += api_.sendPacket(FirstFaultId + value, payload.data(), int(payload.size()), true) != 0;
        pace(i);
      }
    } else if (command == "peek") {
      peek_ = true;
    } else if (command == "add" && in >> value) {
      result = api_.addPeer(FirstFaultId + value, static_cast<unsigned char>(value));
      if (result == 0) result = api_.setPeerProperty(FirstFaultId + value, hostIp(value), FaultPort, false, true);
    } else if (command == "remove" && in >> value) {
      result = api_.removePeer(FirstFaultId + value);
    } else if (command == "report") {
      drainJobs();
      for (const std::string& event : events_) std::printf("%s\n", event.c_str());
      events_.clear();
      return;
    } else {
      std::printf("unknown %s\n", line.c_str());
      return;
    }
    std::printf("ok %d\n", result);
  }

  // A message payload: "TAG:ID:SEQ:" padded with dots; SEQ counts the
  // messages sent under key.
  std::string message(const std::string& tag, const std::string& key) {
    std::string payload = tag + ":" + std::to_string(id_) + ":" + std::to_string(++sequence_[key]) + ":";
    payload.resize(PayloadSize, '.');
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

  int setup(const std::vector<int32_t>& parents) {
    api_.startSession();
    api_.setRoomId(1, 2);
    std::vector<PacketDef::PeerProperty> records;
    for (int slot = 0; slot < int(parents.size()); ++slot) {
      if (parents[size_t(slot)] < 0) continue;
      int32_t id = FirstFaultId + slot;
      if (api_.addPeer(id, static_cast<unsigned char>(slot)) != 0 ||
          api_.setPeerProperty(id, hostIp(slot), FaultPort, false, true) != 0)
        return -1;
      records.push_back(zintar::TopologyDescription::peerRecord(id, slot, hostIp(slot), FaultPort, true, 1, 2));
    }
    std::string description = tessel_test::topologyDescription(4096, 1478, false, records, parents);
    return api_.setTopology(description.data(), int(description.size()));
  }

  void drainJobs() {
    zintar::TesselJob job;
    while (api_.popJob(job)) {
      char event[160];
      char tag[8] = {};
      int origin = 0, seq = 0;
      switch (job.getType()) {
        case zintar::TesselJob::JobMessage: {
          std::string payload(job.getData(), job.getDataSize());
          if (std::sscanf(payload.c_str(), "%7[A-Z]:%d:%d:", tag, &origin, &seq) == 3)
            std::snprintf(event, sizeof(event), "m %s %d %d %d %zu", tag, origin, seq, job.getPeerId(), payload.size());
          else
            std::snprintf(event, sizeof(event), "x %d %zu", job.getPeerId(), payload.size());
          break;
        }
        case zintar::TesselJob::JobDisconnect:
          std::snprintf(event, sizeof(event), "d %d", job.getPeerId());
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
  std::map<std::string, int> sequence_;
  std::vector<std::string> events_;
  bool peek_ = false;
  int pongs_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  if (argc < 3) {
    std::fprintf(stderr, "usage: tessel-fault-peer SLOT MODE [KEY]\n");
    return 2;
  }
  Peer peer(std::atoi(argv[1]), std::atoi(argv[2]), argc >= 4 ? argv[3] : nullptr);
  peer.run();
  return 0;
}
