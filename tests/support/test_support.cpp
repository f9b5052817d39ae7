#include "tests/support/test_support.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "tessel/engine/tessel.h"
#include "tests/support/loopback_room.h"
#include "tests/support/raw_enet_peer.h"
#include "tests/support/raw_udp_socket.h"

namespace tessel_test {

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int freeUdpPort() {
  // The port the system gives a socket bound to port 0, free again once the
  // socket is closed.
  RawUdpSocket probe;
  return probe.ok() ? probe.port() : -1;
}

std::string toolPath(const std::string& name) {
  // The build passes the path of each program it makes (tests/CMakeLists.txt).
  if (name == "tessel-fault-peer") return TESSEL_FAULT_PEER_PATH;
#ifdef TESSEL_GALAXYD_PATH  // the tools, built together
  if (name == "tessel-galaxyd") return TESSEL_GALAXYD_PATH;
  if (name == "tessel-topology") return TESSEL_TOPOLOGY_PATH;
  if (name == "tessel-room") return TESSEL_ROOM_PATH;
#endif
  return std::string();
}

bool joinAs(zintar::Tessel& parent, int port, RawENetPeer& raw, int slot) {
  if (!raw.connect(port)) return false;
  std::string reg = registerPacket(LoopbackRoom::FirstPeerId + slot, uint32_t(slot));
  raw.send(reg.data(), reg.size());
  return waitFor([&] { return parent.getClient().getContext(slot)->getENetPeer() != nullptr; });
}

std::vector<int32_t> messageValues(const std::vector<zintar::TesselJob>& jobs) {
  std::vector<int32_t> values;
  for (const auto& job : jobs) {
    if (job.getType() != zintar::TesselJob::JobMessage) continue;
    int32_t value = -1;  // a payload too short to hold a number
    if (job.getDataSize() >= 4) std::memcpy(&value, job.getData(), 4);
    values.push_back(value);
  }
  return values;
}

}  // namespace tessel_test
