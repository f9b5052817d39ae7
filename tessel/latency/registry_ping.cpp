// The engine's registry ping cache: one registry key with a 32-bit value per
// galaxy endpoint, named "host:port", and two values that stamp the key as
// a whole, the time of the latest write and the local address it came
// from. Every write of any endpoint refreshes both stamps, so all entries
// age and change owner together.
//
// The topology simulator's fixed pings live under their own keys and are
// only read here; a tester writes them by hand.

#include <cstdio>
#include <string>

#include "tessel/engine/tessel.h"
#include "tessel/toolkit/kiv_clock.h"
#include "tessel/toolkit/kiv_registry.h"

namespace zintar {

namespace {

// "host:port", the port in decimal with a minus sign when negative.
bool endpointName(const char* host, int port, std::string& name) {
  if (host == nullptr) return false;
  name = host;
  name += ':';
  name += std::to_string(port);
  return true;
}

}  // namespace

int Tessel::setRegPing(const char* host, int port, uint32_t localIp, int32_t ping) {
  std::string name;
  if (!endpointName(host, port, name)) return -1;
  KivRegistry key;
  if (key.open(RegKeyRoot) != 0 && key.create(RegKeyRoot) != 0) return -1;
  if (key.setDword(name.c_str(), static_cast<uint32_t>(ping)) != 0) return -1;
  if (key.setDword(RegKeyTime, static_cast<uint32_t>(KivClock::getTime32())) != 0) return -1;
  if (key.setDword(RegKeyLocalIp, localIp) != 0) return -1;
  return 0;
}

int Tessel::getRegPing(const char* host, int port, uint32_t localIp, int window, int32_t& ping) {
  std::string name;
  if (!endpointName(host, port, name)) return -1;
  KivRegistry key;
  if (key.open(RegKeyRoot) != 0) return -1;
  uint32_t now = static_cast<uint32_t>(KivClock::getTime32());
  uint32_t stamp = 0;
  uint32_t writer = 0;
  if (key.getDword(RegKeyTime, stamp) != 0 || key.getDword(RegKeyLocalIp, writer) != 0) return -1;
  // Unsigned 32-bit arithmetic throughout, wrap-around included.
  if (stamp + static_cast<uint32_t>(window) < now) return -1;
  if (writer != localIp) return -1;
  uint32_t value = 0;
  if (key.getDword(name.c_str(), value) != 0) return -1;
  ping = static_cast<int32_t>(value);
  return 0;
}

int Tessel::getRegSimulatorPing(const char* host, int port, int simulatorIndex, int32_t& ping) {
  std::string name;
  if (!endpointName(host, port, name)) return -1;
  KivRegistry key;
  if (key.open(RegKeySimulatorGeneral) != 0) return -1;
  uint32_t randomFake = 1;
  if (key.getDword(RegKeySimulatorRandomFake, randomFake) != 0 || randomFake != 0) return -1;
  key.close();
  char path[260];
  std::snprintf(path, sizeof(path), "%s\\%d", RegKeySimulatorRoot, simulatorIndex);
  if (key.open(path) != 0) return -1;
  uint32_t value = 0;
  if (key.getDword(name.c_str(), value) != 0) return -1;
  ping = static_cast<int32_t>(value);
  return 0;
}

}  // namespace zintar
