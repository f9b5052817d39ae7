// Shared helpers for the test binaries.

#ifndef TESSEL_TESTS_SUPPORT_TEST_SUPPORT_H_
#define TESSEL_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zintar {
class Tessel;
class TesselJob;
}  // namespace zintar

namespace tessel_test {

class RawENetPeer;

// Polls condition every millisecond until it holds or timeout passes;
// returns its last value. Tests wait for conditions, never for a fixed time.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// The bytes of any plain value, for byte-exact comparisons.
template <typename T>
std::vector<uint8_t> bytesOf(const T& value) {
  const auto* begin = reinterpret_cast<const uint8_t*>(&value);
  return std::vector<uint8_t>(begin, begin + sizeof(T));
}

// The whole contents of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

// A UDP port on 127.0.0.1 that nothing is bound to right now, or -1.
// Another process may take it before the caller binds it.
int freeUdpPort();

// The path of a program this build makes, by name: tessel-galaxyd,
// tessel-topology and tessel-room (built with the tools) and
// tessel-fault-peer. Empty for a program that is not built; the tests
// that need it skip.
std::string toolPath(const std::string& name);

// Connects raw to the engine parent, listening on port, and registers it as
// peer 100 + slot in slot of room (1, 2). True once parent has taken the
// link as its child's.
bool joinAs(zintar::Tessel& parent, int port, RawENetPeer& raw, int slot);

// The 4-byte numbers that open the payloads of the message jobs among jobs,
// in order (-1 for a payload shorter than 4 bytes).
std::vector<int32_t> messageValues(const std::vector<zintar::TesselJob>& jobs);

}  // namespace tessel_test

#endif  // TESSEL_TESTS_SUPPORT_TEST_SUPPORT_H_
