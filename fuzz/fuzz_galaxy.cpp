// The galaxy list buffer the host hands to setGalaxy: a threshold, a count
// and that many entries of id, name length, name and port. The list comes
// from the world's servers through the host, so every length in it is
// checked against the buffer. After each input the parsed list must hold
// only NUL-terminated names, and the peer ping list, which copies the
// galaxies, must fit exactly the bytes it reports.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tessel/engine/tessel.h"

namespace {

using tessel_fuzz::check;

zintar::Tessel* engine = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel_fuzz::setClock(1767225600000, 1000);
  engine = new zintar::Tessel();
  // An unbound overlay host: nothing can reach this engine from outside.
  if (engine->init(7, 0, false, 0, false, false) != 0) abort();
  engine->startSession();
  engine->addPeer(7, 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The buffer is copied so that a read past its end is one past a heap
  // block of exactly size bytes, which ASan reports.
  std::vector<char> buffer(data, data + size);
  engine->setPingThreshold(-2);
  engine->setGalaxy(buffer.data(), static_cast<int>(buffer.size()));

  std::vector<PacketDef::HostIdInfo> galaxies = engine->getGalaxies();
  for (const auto& galaxy : galaxies) check(memchr(galaxy.hostInfo.host, '\0', sizeof(galaxy.hostInfo.host)) != nullptr);

  std::vector<char> list(58 + 5 * 32 + 8 * galaxies.size());
  int written = engine->getPeerPingList(list.data(), static_cast<int>(list.size()));
  check(written == static_cast<int>(58 + 5 + 8 * galaxies.size()));
  return 0;
}
