#include "tests/support/test_support.h"

#include <fstream>
#include <iterator>
#include <thread>

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

}  // namespace tessel_test
