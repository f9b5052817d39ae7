// Tessel: the galaxy list and the latency to each galaxy.
//
// A galaxy's ping endpoint answers every probe datagram with one datagram
// to the probe's source that echoes the probe. A probe is a 12-byte
// PingTest packet whose payload is the sender's tick count, and a sample
// is half the time from sending a probe to reading its echo. Anyone can
// send a datagram to the probe socket, so only an echo from the galaxy's
// own address and port that carries the tick count of the probe being
// waited for counts; a probe that timed out is given up, and its late echo
// is dropped like any other stray datagram.
//
// galaxyMutex is held for the whole measurement of one galaxy, so readers
// of the galaxy tables wait for a running measurement.

#include <algorithm>
#include <cstring>
#include <vector>

#include "tessel/engine/tessel.h"
#include "tessel/engine/tessel_error.h"
#include "tessel/overlay/peer_packet.h"
#include "tessel/toolkit/kiv_clock.h"
#include "tessel/toolkit/kiv_host.h"
#include "tessel/toolkit/kiv_socket.h"
#include "tessel/toolkit/kiv_socket_address.h"

namespace zintar {

namespace {

// Reads the 32-bit little-endian word at offset when it lies inside the
// buffer; false otherwise.
bool readWord(const char* buffer, int64_t length, int64_t offset, uint32_t& value) {
  if (offset + 4 > length) return false;
  std::memcpy(&value, buffer + offset, sizeof(value));
  return true;
}

// Waits up to timeout milliseconds from sent for the galaxy's echo of the
// probe stamped sent, reading into answer, and gives half the round trip
// in sample. Stray datagrams are read and dropped without ending the wait,
// so a flood of them cannot cut a probe short either. False when no echo
// came in time.
bool awaitEcho(KivSocket& socket, const KivSocketAddress& galaxy, uint32_t sent, int timeout, char* answer,
               int answerSize, int32_t& sample) {
  constexpr int EchoSize = PeerPacket::HeaderSize + sizeof(sent);
  for (int64_t wait = timeout;;) {
    if (socket.poll(static_cast<int>(wait)) != 1) return false;
    KivSocketAddress source;
    int sourceLength = KivSocketAddress::StorageSize;
    int got = socket.read(answer, answerSize, false, source.get(), &sourceLength);
    if (got <= 0) return false;
    const uint32_t now = KivClock::getTickCount();
    uint32_t echoed = ~sent;
    if (got >= EchoSize) std::memcpy(&echoed, answer + PeerPacket::HeaderSize, sizeof(echoed));
    if (echoed == sent && galaxy.matches(source.get(), sourceLength)) {
      sample = static_cast<int32_t>(now - sent) / 2;
      return true;
    }
    // A tick count that went back must not stretch the wait past timeout.
    wait = std::min<int64_t>(timeout, static_cast<int64_t>(timeout) - static_cast<int32_t>(now - sent));
    if (wait <= 0) return false;
  }
}

// The mean of the smallest samples, at most count of them; truncates.
int meanOfSmallest(std::vector<int32_t>& samples, size_t count) {
  std::sort(samples.begin(), samples.end());
  size_t n = std::min(samples.size(), count);
  int64_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += samples[i];
  return static_cast<int>(sum / static_cast<int64_t>(n));
}

}  // namespace

int Tessel::setGalaxy(const char* buffer, int length) {
  KivAutoLock guard(galaxyMutex);
  if (!galaxies || buffer == nullptr || length < 4) return -1;
  int32_t threshold;
  std::memcpy(&threshold, buffer, sizeof(threshold));
  // The threshold is taken before any further check, so a list that fails
  // later has still set it.
  int fixed = hostPingThreshold.load(std::memory_order_relaxed);
  pingThreshold.store(fixed == -2 ? threshold : fixed, std::memory_order_relaxed);

  const int64_t size = length;
  uint32_t count = 0;
  if (!readWord(buffer, size, 4, count) || count == 0) return -1;
  galaxies->clear();
  int64_t at = 8;
  for (uint32_t i = 0; i < count; ++i) {
    PacketDef::HostIdInfo entry;
    uint32_t id = 0;
    uint32_t nameLength = 0;
    uint32_t port = 0;
    if (!readWord(buffer, size, at, id)) return -1;
    at += 4;
    if (!readWord(buffer, size, at, nameLength)) return -1;
    at += 4;
    if (nameLength > MaxGalaxyNameLength || at + nameLength > size) return -1;
    // The stored name must end in a NUL within its 64 bytes: a full-length
    // name without one cannot be kept whole, so it is refused rather than
    // cut.
    if (nameLength == MaxGalaxyNameLength && std::memchr(buffer + at, '\0', nameLength) == nullptr) return -1;
    std::memcpy(entry.hostInfo.host, buffer + at, nameLength);
    at += nameLength;
    if (!readWord(buffer, size, at, port)) return -1;
    at += 4;
    entry.id = static_cast<int32_t>(id);
    entry.hostInfo.port = static_cast<int32_t>(port);
    galaxies->push_back(entry);
  }
  return 0;
}

void Tessel::setGalaxyPing(int32_t galaxyId, int ping) { (*galaxyPings)[galaxyId] = ping < 0 ? UnreachablePing : ping; }

int Tessel::pingToGalaxy(int32_t galaxyId, int count, int timeout) {
  const uint32_t localIp = copyPeerProperty().ip;
  KivAutoLock guard(galaxyMutex);
  if (!galaxies || !galaxyPings || galaxyId == -1) return -1;
  auto found = std::find_if(galaxies->begin(), galaxies->end(),
                            [galaxyId](const PacketDef::HostIdInfo& entry) { return entry.id == galaxyId; });
  if (found == galaxies->end()) return -1;
  const PacketDef::HostInfo target = found->hostInfo;

  int32_t ping = -1;
  if (getRegPing(target.host, target.port, localIp, GalaxyCacheWindow, ping) >= 0 && ping >= 0) {
    setGalaxyPing(galaxyId, ping);
    return ping;
  }

  std::vector<uint32_t> addresses;
  if (KivHost::resolve(target.host, addresses) < 0) {
    setGalaxyPing(galaxyId, ping);
    return ping;
  }
  KivSocket socket;
  KivSocketAddress to;
  if (socket.udpConnect(addresses.front(), target.port, true) < 0 || to.set(addresses.front(), target.port) < 0) {
    setGalaxyPing(galaxyId, ping);
    return ping;
  }

  std::vector<int32_t> samples;
  // A huge count must not turn into a huge allocation up front.
  samples.reserve(static_cast<size_t>(std::clamp(count, 0, 1024)));
  char answer[MaxGalaxyAnswerSize];
  for (int probe = 0; probe < count; ++probe) {
    const uint32_t sent = KivClock::getTickCount();
    PeerPacket datagram = PeerPacket::pingTest(sent);
    if (socket.write(reinterpret_cast<char*>(&datagram), GalaxyProbeSize, false, to.get(), to.length()) !=
        GalaxyProbeSize)
      continue;
    int32_t sample;
    if (!awaitEcho(socket, to, sent, timeout, answer, MaxGalaxyAnswerSize, sample)) continue;
    ping = sample;
    samples.push_back(ping);
  }
  socket.close();

  if (!samples.empty()) ping = meanOfSmallest(samples, GalaxySampleCount);
  setGalaxyPing(galaxyId, ping);
  // A failed measurement is cached too; a later lookup treats it as a miss.
  setRegPing(target.host, target.port, localIp, ping);
  return ping;
}

int Tessel::pingToAllGalaxy(int count, int timeout) {
  std::vector<PacketDef::HostIdInfo> list;
  {
    KivAutoLock guard(galaxyMutex);
    if (!galaxies) return -1;
    list = *galaxies;
  }
  for (const PacketDef::HostIdInfo& entry : list) pingToGalaxy(entry.id, count, timeout);
  int best = UnreachablePing;
  {
    KivAutoLock guard(galaxyMutex);
    if (!galaxyPings) return -1;
    for (const auto& [id, ping] : *galaxyPings) best = std::min(best, ping);
  }
  if (best == UnreachablePing) {
    setError(ErrorCode::SendReceive);
    return -1;
  }
  return 0;
}

int Tessel::getPingToGalaxy(int32_t galaxyId) {
  KivAutoLock guard(galaxyMutex);
  if (!galaxyPings) return -1;
  auto found = galaxyPings->find(galaxyId);
  return found == galaxyPings->end() ? -1 : found->second;
}

void Tessel::setPingToGalaxy(int32_t galaxyId, int ping) {
  KivAutoLock guard(galaxyMutex);
  if (!galaxyPings) return;
  auto found = galaxyPings->find(galaxyId);
  if (found != galaxyPings->end()) found->second = ping;
}

std::vector<PacketDef::HostIdInfo> Tessel::getGalaxies() {
  KivAutoLock guard(galaxyMutex);
  return galaxies ? *galaxies : std::vector<PacketDef::HostIdInfo>();
}

void Tessel::setPingThreshold(int value) {
  hostPingThreshold.store(value, std::memory_order_relaxed);
  pingThreshold.store(value, std::memory_order_relaxed);
}

}  // namespace zintar
