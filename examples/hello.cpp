// Two engines on this machine: peer 101 sends one packet to peer 100 over 127.0.0.1.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tessel/engine/tessel_api.h"
#include "tessel/planner/topology_description.h"
#include "tessel/toolkit/kiv_socket.h"

int main() {
  const uint32_t loopback = 0x7F000001;  // 127.0.0.1 as a host-order number
  zintar::TesselApi peers[2];            // peer ids 100 and 101, in slots 0 and 1
  zintar::TopologyDescription topology;  // the tree: slot 0 the root, slot 1 its child
  for (int slot = 0; slot < 2; ++slot) {
    KivSocket probe;  // a free UDP port: bind port 0 and ask which one it got
    const int port = probe.udpListen(0) == 0 ? probe.getLocalPort() : -1;
    probe.close();
    if (peers[slot].init(100 + slot, port, true, 0, false, false) != 0) return 1;
    peers[slot].addPeer(100 + slot, static_cast<unsigned char>(slot));  // its own slot
    topology.addPeer(zintar::TopologyDescription::peerRecord(100 + slot, slot, loopback, port), 0);
  }
  const std::string bytes = topology.encode();
  for (auto& peer : peers)  // the root first: the child's link goes to it
    if (peer.setTopology(bytes.data(), int(bytes.size())) != 0 || peer.connect(5000) != 0) return 1;

  const char text[] = "hello from peer 101";
  if (peers[1].sendPacket(100, text, sizeof(text), true) != 0) return 1;
  zintar::TesselJob job;
  for (int ms = 0; ms < 5000 && !peers[0].popJob(job); ++ms)  // up to 5 s for it to arrive
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (job.getType() != zintar::TesselJob::JobMessage) return 1;
  std::printf("peer 100 got \"%s\" from peer %d\n", job.getData(), int(job.getPeerId()));
  return 0;
}
