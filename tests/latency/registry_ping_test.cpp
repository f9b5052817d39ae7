#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tessel/engine/tessel.h"
#include "tessel/toolkit/kiv_clock.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_registry.h"

using zintar::Tessel;

namespace {

constexpr uint32_t HomeIp = 0xC0A80107;   // 192.168.1.7
constexpr uint32_t OtherIp = 0x0A000005;  // 10.0.0.5
constexpr int Window = 43200;             // what the galaxy ping asks for

std::string hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08x", static_cast<unsigned>(value));
  return text;
}

}  // namespace

TEST(RegistryPingTest, FirstWriteCreatesTheKeyWithItsThreeValues) {
  tessel_test::TempRegistry registry;
  tessel_test::FakeClock clock;
  Tessel engine;
  int32_t ping = 77;
  EXPECT_EQ(engine.getRegPing("galaxy1.example", 7000, HomeIp, Window, ping), -1);
  EXPECT_EQ(ping, 77);
  EXPECT_TRUE(registry.read().empty());  // a lookup never creates the key

  ASSERT_EQ(engine.setRegPing("galaxy1.example", 7000, HomeIp, 300), 0);
  ASSERT_EQ(engine.setRegPing("galaxy2.example", -1, HomeIp, -1), 0);  // a failed measurement
  std::string text = registry.read();
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Zintar\\Galaxy]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"galaxy1.example:7000\"=dword:0000012c\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"galaxy2.example:-1\"=dword:ffffffff\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Time\"=dword:" + hex8(static_cast<uint32_t>(KivClock::getTime32())) + "\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"LocalIp\"=dword:c0a80107\n"), std::string::npos) << text;

  EXPECT_EQ(engine.getRegPing("galaxy1.example", 7000, HomeIp, Window, ping), 0);
  EXPECT_EQ(ping, 300);
  EXPECT_EQ(engine.getRegPing("galaxy2.example", -1, HomeIp, Window, ping), 0);
  EXPECT_EQ(ping, -1);  // comes back as it was stored
  EXPECT_EQ(engine.getRegPing("galaxy3.example", 7000, HomeIp, Window, ping), -1);  // never measured
  EXPECT_EQ(engine.getRegPing(nullptr, 7000, HomeIp, Window, ping), -1);
  EXPECT_EQ(engine.setRegPing(nullptr, 7000, HomeIp, 1), -1);
}

TEST(RegistryPingTest, EntriesAreFreshForTheWindowAndFromTheSameAddressOnly) {
  tessel_test::TempRegistry registry;
  tessel_test::FakeClock clock;
  Tessel engine;
  ASSERT_EQ(engine.setRegPing("galaxy1.example", 7000, HomeIp, 120), 0);
  int64_t written = KivClock::getRealTimeMs();

  struct Case {
    int64_t ageSeconds;
    uint32_t localIp;
    bool fresh;
  } cases[] = {
      {0, HomeIp, true},
      {Window, HomeIp, true},  // stale only once Time + window is below now
      {Window + 1, HomeIp, false},
      {-3600, HomeIp, true},  // a clock set back finds the entry young
      {0, OtherIp, false},    // another address, whatever the age
  };
  for (const Case& c : cases) {
    clock.setRealTime(written + c.ageSeconds * 1000);
    int32_t ping = -5;
    int result = engine.getRegPing("galaxy1.example", 7000, c.localIp, Window, ping);
    EXPECT_EQ(result, c.fresh ? 0 : -1) << "age " << c.ageSeconds << " ip " << std::hex << c.localIp;
    EXPECT_EQ(ping, c.fresh ? 120 : -5);
  }
}

TEST(RegistryPingTest, WritingAnyEndpointRefreshesEveryEntry) {
  tessel_test::TempRegistry registry;
  tessel_test::FakeClock clock;
  Tessel engine;
  ASSERT_EQ(engine.setRegPing("old.example", 7000, HomeIp, 80), 0);
  clock.advance(int64_t(3) * 24 * 3600 * 1000);  // three days later
  int32_t ping = 0;
  EXPECT_EQ(engine.getRegPing("old.example", 7000, HomeIp, Window, ping), -1);

  ASSERT_EQ(engine.setRegPing("new.example", 7001, HomeIp, 90), 0);
  EXPECT_EQ(engine.getRegPing("old.example", 7000, HomeIp, Window, ping), 0);
  EXPECT_EQ(ping, 80);

  // A write from another address hands every entry to that address.
  ASSERT_EQ(engine.setRegPing("new.example", 7001, OtherIp, 95), 0);
  EXPECT_EQ(engine.getRegPing("old.example", 7000, HomeIp, Window, ping), -1);
  EXPECT_EQ(engine.getRegPing("old.example", 7000, OtherIp, Window, ping), 0);
  EXPECT_EQ(ping, 80);
}

TEST(RegistryPingTest, SimulatorPingNeedsRandomFakePresentAndZero) {
  tessel_test::TempRegistry registry;
  Tessel engine;
  const std::string node3 =
      "[HKEY_CURRENT_USER\\Software\\Zintar\\TopologySimulator\\3]\n\"galaxy1.example:7000\"=dword:00000064\n";
  struct Case {
    const char* general;  // the General key, or null for none
    int index;
    int result;
  } cases[] = {
      {nullptr, 3, -1},
      {"", 3, -1},                             // General without RandomFake
      {"\"RandomFake\"=dword:00000001\n", 3, -1},
      {"\"RandomFake\"=dword:00000000\n", 4, -1},  // no key for node 4
      {"\"RandomFake\"=dword:00000000\n", 3, 0},
  };
  for (const Case& c : cases) {
    std::string text = node3;
    if (c.general != nullptr) {
      text += "[HKEY_CURRENT_USER\\Software\\Zintar\\TopologySimulator\\General]\n" + std::string(c.general);
    }
    registry.write(text);
    int32_t ping = -9;
    EXPECT_EQ(engine.getRegSimulatorPing("galaxy1.example", 7000, c.index, ping), c.result) << text;
    EXPECT_EQ(ping, c.result == 0 ? 100 : -9);
  }
  int32_t ping = -9;
  EXPECT_EQ(engine.getRegSimulatorPing("galaxy2.example", 7000, 3, ping), -1);  // no value for that endpoint
}

TEST(RegistryPingTest, HandEditedFileStillReads) {
  tessel_test::TempRegistry registry;
  tessel_test::FakeClock clock;
  Tessel engine;
  std::string now = hex8(static_cast<uint32_t>(KivClock::getTime32()));
  // What a tester might leave behind: a byte-order mark, Windows line ends,
  // odd case, comments, blank lines, a section of another hive with
  // look-alike values, junk, spaces around '=', short hex, and a value given
  // twice (the later one counts).
  registry.write(
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; ping cache, edited by hand\r\n"
      "[hkey_current_user\\SOFTWARE\\zintar\\galaxy]\r\n"
      "\"GALAXY1.Example:7000\" = DWORD:12C\r\n"
      "this line means nothing\r\n"
      "\"time\"=dword:" + now + "\r\n"
      "\"localip\"=dword:C0A80107\r\n"
      "\"galaxy2.example:7000\"=dword:00000001\r\n"
      "\"galaxy2.example:7000\"=dword:00000002\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Zintar\\Galaxy]\r\n"
      "\"galaxy3.example:7000\"=dword:00000003\r\n"
      "[HKEY_CURRENT_USER\\Software\\Zintar\\TopologySimulator\\General]\r\n"
      "\"randomfake\"=dword:0\r\n"
      "[HKEY_CURRENT_USER\\Software\\Zintar\\TopologySimulator\\0]\r\n"
      "\"galaxy1.example:7000\"=dword:00000019");  // no line end at all
  int32_t ping = 0;
  EXPECT_EQ(engine.getRegPing("galaxy1.example", 7000, HomeIp, Window, ping), 0);
  EXPECT_EQ(ping, 300);
  EXPECT_EQ(engine.getRegPing("galaxy2.example", 7000, HomeIp, Window, ping), 0);
  EXPECT_EQ(ping, 2);
  EXPECT_EQ(engine.getRegPing("galaxy3.example", 7000, HomeIp, Window, ping), -1);
  EXPECT_EQ(engine.getRegSimulatorPing("galaxy1.example", 7000, 0, ping), 0);
  EXPECT_EQ(ping, 25);

  // A rewrite keeps the name's spelling and the line end already there.
  ASSERT_EQ(engine.setRegPing("galaxy1.example", 7000, HomeIp, 310), 0);
  EXPECT_NE(registry.read().find("\n\"GALAXY1.Example:7000\"=dword:00000136\r\nthis line means nothing\r\n"),
            std::string::npos);
  EXPECT_EQ(engine.getRegPing("galaxy1.example", 7000, HomeIp, Window, ping), 0);
  EXPECT_EQ(ping, 310);
}

TEST(RegistryPingTest, TwoProcessesWritingAtOnceLoseNothing) {
  tessel_test::TempRegistry registry;
  constexpr int PerProcess = 25;
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  pid_t children[2];
  for (int child = 0; child < 2; ++child) {
    children[child] = fork();
    ASSERT_GE(children[child], 0);
    if (children[child] == 0) {
      ::close(gate[1]);
      char ignored;
      // Both children start writing when the parent closes the gate.
      while (::read(gate[0], &ignored, 1) > 0) {
      }
      Tessel engine;
      int failures = 0;
      for (int i = 0; i < PerProcess; ++i) {
        std::string host = "galaxy" + std::to_string(child) + "-" + std::to_string(i) + ".example";
        if (engine.setRegPing(host.c_str(), 7000, HomeIp, child * 1000 + i) != 0) ++failures;
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  ::close(gate[0]);
  ::close(gate[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  Tessel engine;
  for (int child = 0; child < 2; ++child) {
    for (int i = 0; i < PerProcess; ++i) {
      std::string host = "galaxy" + std::to_string(child) + "-" + std::to_string(i) + ".example";
      int32_t ping = -1;
      EXPECT_EQ(engine.getRegPing(host.c_str(), 7000, HomeIp, Window, ping), 0) << host;
      EXPECT_EQ(ping, child * 1000 + i) << host;
    }
  }
  // One section, and no temporary file left beside the registry.
  std::string text = registry.read();
  EXPECT_EQ(std::count(text.begin(), text.end(), '['), 1);
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(registry.path()).parent_path())) {
    files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}
