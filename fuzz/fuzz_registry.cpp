// The per-user registry file, which a tester may edit by hand and which
// other programs rewrite: the engine's galaxy ping cache and the topology
// simulator read it, and every write re-reads it before replacing it. The
// input is the whole file. After reading what the engine's lookups read,
// one value is written and must then read back as written, while every
// line the registry did not write stays in the file.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tessel/engine/tessel.h"
#include "tessel/toolkit/kiv_registry.h"

namespace {

using tessel_fuzz::check;

std::string path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel_fuzz::setClock(1767225600000, 1000);
  path = tessel_fuzz::scratchFolder() + "/registry.reg";
  setenv("TESSEL_REGISTRY", path.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tessel_fuzz::writeFile(path, data, size)) abort();

  // The engine's readers; none of them needs an initialised engine.
  zintar::Tessel engine;
  int32_t ping = 0;
  engine.getRegPing("galaxy1.example", 7000, 0x0A000001, 43200, ping);
  engine.getRegSimulatorPing("galaxy1.example", 7000, 3, ping);

  KivRegistry key;
  uint32_t value = 0;
  if (key.open("Software\\Zintar\\Galaxy") == 0) {
    key.getDword("Time", value);
    key.getDword("LocalIp", value);
  }

  // A name taken from the file's first bytes, so that odd names (quotes,
  // backslashes, brackets) are written and read back too.
  std::string name(reinterpret_cast<const char*>(data), size < 12 ? size : 12);
  bool usable = !name.empty() && name.find_first_of("\r\n") == std::string::npos &&
                name.find('\0') == std::string::npos;
  if (!usable) name = "probe:1";
  if (key.create("Software\\Zintar\\Galaxy") == 0 && key.setDword(name.c_str(), 0x1234ABCD) == 0) {
    uint32_t back = 0;
    check(key.getDword(name.c_str(), back) == 0 && back == 0x1234ABCD);
  }
  return 0;
}
