// The registry ping cache: one key, a value per galaxy endpoint, and the
// time and local address of the latest write, which stamp every entry.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tessel/engine/tessel.h"
#include "tessel/toolkit/kiv_clock.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_registry.h"

using zintar::Tessel;

namespace {

constexpr uint32_t HomeIp = 0xC0A80107;   // 192.168.1.7
constexpr uint32_t OtherIp = 0x0A000005;  // 10.0.0.5
constexpr int Window = 43200;             // what the galaxy ping asks for

class RegistryPingTest : public testing::Test {
 protected:
  // The lookup's result, and the ping it gave (-5 when it left it alone).
  std::pair<int, int32_t> lookup(const char* host, int port, uint32_t localIp = HomeIp) {
    int32_t ping = -5;
    int result = engine.getRegPing(host, port, localIp, Window, ping);
    return {result, ping};
  }

  tessel_test::TempRegistry registry;
  tessel_test::FakeClock clock;
  Tessel engine;
};

using Found = std::pair<int, int32_t>;
const Found Miss{-1, -5};

}  // namespace

TEST_F(RegistryPingTest, FirstWriteCreatesTheKeyEntriesAreFreshForTheWindowAndAgeTogether) {
  EXPECT_EQ(lookup("galaxy1.example", 7000), Miss);
  EXPECT_TRUE(registry.read().empty());  // a lookup never creates the key

  ASSERT_EQ(engine.setRegPing("galaxy1.example", 7000, HomeIp, 300), 0);
  ASSERT_EQ(engine.setRegPing("galaxy2.example", -1, HomeIp, -1), 0);  // a failed measurement
  char time[32];
  std::snprintf(time, sizeof(time), "\"Time\"=dword:%08x\n", static_cast<unsigned>(KivClock::getTime32()));
  EXPECT_EQ(registry.read(),
            "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Zintar\\Galaxy]\n"
            "\"galaxy1.example:7000\"=dword:0000012c\n" + std::string(time) +
            "\"LocalIp\"=dword:c0a80107\n\"galaxy2.example:-1\"=dword:ffffffff\n");

  EXPECT_EQ(lookup("galaxy1.example", 7000), Found(0, 300));
  EXPECT_EQ(lookup("galaxy2.example", -1), Found(0, -1));  // comes back as it was stored
  EXPECT_EQ(lookup("galaxy3.example", 7000), Miss);        // never measured
  EXPECT_EQ(lookup(nullptr, 7000), Miss);
  EXPECT_EQ(engine.setRegPing(nullptr, 7000, HomeIp, 1), -1);

  // Entries are fresh for the window, from the same address, and age together.
  ASSERT_EQ(engine.setRegPing("galaxy1.example", 7000, HomeIp, 120), 0);
  const int64_t written = KivClock::getRealTimeMs();
  struct Case { int64_t ageSeconds; uint32_t localIp; bool fresh; } cases[] = {
      {0, HomeIp, true},
      {Window, HomeIp, true},  // stale only once Time + window is below now
      {Window + 1, HomeIp, false},
      {-3600, HomeIp, true},  // a clock set back finds the entry young
      {0, OtherIp, false},    // another address, whatever the age
  };
  for (const Case& c : cases) {
    clock.setRealTime(written + c.ageSeconds * 1000);
    EXPECT_EQ(lookup("galaxy1.example", 7000, c.localIp), c.fresh ? Found(0, 120) : Miss) << c.ageSeconds;
  }

  // A write of any endpoint, days later, makes every entry fresh again and
  // hands them all to the writer's address.
  clock.setRealTime(written + int64_t(3) * 24 * 3600 * 1000);
  ASSERT_EQ(engine.setRegPing("new.example", 7001, HomeIp, 90), 0);
  EXPECT_EQ(lookup("galaxy1.example", 7000), Found(0, 120));
  ASSERT_EQ(engine.setRegPing("new.example", 7001, OtherIp, 95), 0);
  EXPECT_EQ(lookup("galaxy1.example", 7000), Miss);
  EXPECT_EQ(lookup("galaxy1.example", 7000, OtherIp), Found(0, 120));
}

TEST_F(RegistryPingTest, SimulatorPingNeedsRandomFakePresentAndZero) {
  const std::string node3 =
      "[HKEY_CURRENT_USER\\Software\\Zintar\\TopologySimulator\\3]\n\"galaxy1.example:7000\"=dword:00000064\n";
  // general: the General key, or null for none.
  struct Case { const char* general; int index; const char* host; int result; } cases[] = {
      {nullptr, 3, "galaxy1.example", -1},
      {"", 3, "galaxy1.example", -1},  // General without RandomFake
      {"\"RandomFake\"=dword:00000001\n", 3, "galaxy1.example", -1},
      {"\"RandomFake\"=dword:00000000\n", 4, "galaxy1.example", -1},  // no key for node 4
      {"\"RandomFake\"=dword:00000000\n", 3, "galaxy2.example", -1},  // no value for that endpoint
      {"\"RandomFake\"=dword:00000000\n", 3, nullptr, -1},
      {"\"RandomFake\"=dword:00000000\n", 3, "galaxy1.example", 0},
  };
  for (const Case& c : cases) {
    std::string text = node3;
    if (c.general != nullptr) {
      text += "[HKEY_CURRENT_USER\\Software\\Zintar\\TopologySimulator\\General]\n" + std::string(c.general);
    }
    registry.write(text);
    int32_t ping = -9;
    EXPECT_EQ(engine.getRegSimulatorPing(c.host, 7000, c.index, ping), c.result) << text;
    EXPECT_EQ(ping, c.result == 0 ? 100 : -9);
  }
}
