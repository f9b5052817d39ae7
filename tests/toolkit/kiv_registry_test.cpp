#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tessel/toolkit/kiv_registry.h"
#include "tests/support/temp_registry.h"

using namespace std::string_literals;

namespace {

constexpr const char* Galaxy = "Software\\Zintar\\Galaxy";

int countOf(const std::string& text, const std::string& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// The value under name, or getDword's result when it fails.
int64_t dword(const KivRegistry& key, const char* name) {
  uint32_t value = 0xEEEEEEEE;
  int result = key.getDword(name, value);
  return result == 0 ? int64_t(value) : result;
}

// act's result when it returns within 10 s, else -2. unblock then lets a
// blocked act return, so that its thread can be joined either way.
int resultInTime(const std::function<int()>& act, const std::function<void()>& unblock) {
  std::future<int> result = std::async(std::launch::async, act);
  bool done = result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  unblock();
  int value = result.get();
  return done ? value : -2;
}

}  // namespace

TEST(KivRegistryTest, KeysAndValuesMatchWhateverTheCase) {
  tessel_test::TempRegistry registry;
  KivRegistry key;
  EXPECT_EQ(key.open(Galaxy), -1);
  EXPECT_FALSE(key.isOpen());
  EXPECT_EQ(key.setDword("Time", 1), -1);  // nothing open
  EXPECT_TRUE(registry.read().empty());

  ASSERT_EQ(key.create(Galaxy), 0);
  EXPECT_TRUE(key.isOpen());
  const std::string header = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Zintar\\Galaxy]\n";
  EXPECT_EQ(registry.read(), header);
  ASSERT_EQ(key.create("software\\ZINTAR\\galaxy\\"), 0);  // the same key: nothing is added
  EXPECT_EQ(registry.read(), header);

  struct Case { const char* path; int result; } cases[] = {
      {"SOFTWARE\\zintar\\GALAXY", 0},
      {"\\Software\\Zintar\\Galaxy\\", 0},
      {"Software\\Zintar", 0},  // a parent exists through its subkey
      {"Software\\Zin", -1},  // a prefix that is not a whole key name
      {"Software\\Zintar\\Galaxy\\Sub", -1},
      {"", -1},
      {nullptr, -1},
      {"Software\\Zintar\\Galaxy]\n[HKEY_CURRENT_USER\\X", -1},
  };
  for (const Case& c : cases) {
    KivRegistry other;
    EXPECT_EQ(other.open(c.path), c.result) << (c.path != nullptr ? c.path : "null");
    EXPECT_EQ(other.isOpen(), c.result == 0);
  }
  EXPECT_EQ(key.create("Software\\Bad\nName"), -1);
  ASSERT_EQ(key.create(Galaxy), 0);
  uint32_t value = 7;
  EXPECT_EQ(key.getDword("Time", value), -1);
  EXPECT_EQ(value, 7u);

  ASSERT_EQ(key.setDword("Time", 0x6571A2C0), 0);
  ASSERT_EQ(key.setDword("TIME", 0xFFFFFFFF), 0);  // the same value, its spelling kept
  ASSERT_EQ(key.setDword("odd \"host\\name\":7000", 42), 0);
  EXPECT_EQ(key.setDword("two\nlines", 1), -1);
  EXPECT_EQ(key.setDword(nullptr, 1), -1);

  EXPECT_EQ(registry.read(), header + "\"Time\"=dword:ffffffff\n\"odd \\\"host\\\\name\\\":7000\"=dword:0000002a\n");

  KivRegistry reader;
  ASSERT_EQ(reader.open("software\\zintar\\galaxy"), 0);
  EXPECT_EQ(dword(reader, "time"), 0xFFFFFFFF);
  EXPECT_EQ(dword(reader, "ODD \"HOST\\NAME\":7000"), 42);
  EXPECT_EQ(dword(reader, nullptr), -1);

  // A key opened through its subkey gets its own section on the first write.
  KivRegistry parent;
  ASSERT_EQ(parent.open("Software\\Zintar"), 0);
  ASSERT_EQ(parent.setDword("Version", 3), 0);
  EXPECT_EQ(dword(parent, "Version"), 3);
  EXPECT_EQ(dword(reader, "Version"), -1);  // values do not leak between keys
  EXPECT_EQ(countOf(registry.read(), "["), 2);
}

TEST(KivRegistryTest, MalformedFileReadsSafelyAndKeepsWhatItDoesNotUnderstand) {
  tessel_test::TempRegistry registry;
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 7919 + 13) % 256));
  std::string huge(1 << 20, 'x');
  std::string text = garbage + "\n"s +
                     "[hkey_current_user\\SOFTWARE\\zintar\\galaxy]\r\n"  // any case, Windows line ends
                     "\"good\" = DWORD:9f\r\n"                             // blanks around '=', short hex
                     "\"TIME\"=dwo\r\n"                                    // truncated
                     "\"twice\"=dword:00000001\n\"twice\"=dword:00000002\n"  // the later one counts
                     "\"nine\"=dword:123456789\n"  // more than 32 bits
                     "\"word\"=dword:zz\n\"empty\"=dword:\n\"text\"=\"hello\"\n\"binary\"=hex:01,02\n"
                     "\"unclosed=dword:00000001\n\"\"=dword:00000001\n\"=\n"s +
                     "\"" + huge + "\"=dword:00000006\n" +
                     "\"long\"=dword:00000007" + huge + "\n" +
                     "[HKEY_LOCAL_MACHINE\\Software\\Zintar\\Galaxy]\n\"other\"=dword:00000003\n"
                     "[HKEY_CURRENT_USER\\Software\\Zin\n"  // a header cut short ends the section
                     "\"after\"=dword:00000008\n"
                     "\0\0\0\n"
                     "[]\n[\n]\n\"\n\\\n"
                     "\"nul\0name\"=dword:00000009\n"s;
  registry.write(text);

  KivRegistry key;
  ASSERT_EQ(key.open(Galaxy), 0);
  std::pair<std::string, int64_t> reads[] = {
      {"good", 0x9F}, {huge, 6},      {"twice", 2},     {"Time", -1},  {"nine", -1},  {"word", -1}, {"empty", -1},
      {"text", -1},   {"binary", -1}, {"unclosed", -1}, {"long", -1},  {"other", -1}, {"after", -1}, {"nul", -1}};
  for (const auto& [name, value] : reads) EXPECT_EQ(dword(key, name.c_str()), value) << name.substr(0, 20);

  ASSERT_EQ(key.setDword("Time", 0x12345678), 0);
  EXPECT_EQ(dword(key, "Time"), 0x12345678);
  EXPECT_EQ(dword(key, "good"), 0x9F);
  // Every line but the one rewritten is still there byte for byte, and that
  // one keeps its spelling and line end.
  std::string expected = text;
  expected.replace(expected.find("\"TIME\"=dwo\r\n"), 12, "\"TIME\"=dword:12345678\r\n");
  EXPECT_TRUE(registry.read() == expected);
  // A byte-order mark in front of the first line is not part of it.
  registry.write("\xEF\xBB\xBF[HKEY_CURRENT_USER\\Software\\Zintar\\Galaxy]\n\"bom\"=dword:00000001\n");
  EXPECT_EQ(dword(key, "bom"), 1);
}

TEST(KivRegistryTest, TwoProcessesWritingAtOnceLoseNothingAndLeaveNoTemporaryFile) {
  tessel_test::TempRegistry registry;
  pid_t children[2];
  for (int child = 0; child < 2; ++child) {
    if ((children[child] = fork()) == 0) {
      KivRegistry key;
      int failures = key.create(Galaxy);  // both make the key: one section
      for (int i = 0; i < 25; ++i) failures -= key.setDword(std::to_string(child * 25 + i).c_str(), uint32_t(i));
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  KivRegistry key;
  ASSERT_EQ(key.open(Galaxy), 0);
  for (int name = 0; name < 50; ++name) {
    EXPECT_EQ(dword(key, std::to_string(name).c_str()), name % 25) << name;
  }
  EXPECT_EQ(countOf(registry.read(), "["), 1);
  std::set<std::string> files;  // no temporary file is left beside the registry
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(registry.path()).parent_path()))
    files.insert(entry.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{"registry.reg", "registry.reg.lock"}));
}

TEST(KivRegistryTest, UnusableRegistryReadsEmptyAndIsNeverOverwrittenOrWaitedForLong) {
  tessel_test::TempRegistry registry;
  // A registry path that is a folder.
  ASSERT_EQ(mkdir(registry.path().c_str(), 0755), 0);
  KivRegistry key;
  EXPECT_EQ(key.open(Galaxy), -1);
  EXPECT_EQ(key.create(Galaxy), -1);
  ASSERT_EQ(rmdir(registry.path().c_str()), 0);

  // A FIFO without a writer, whose opening for reading would block.
  ASSERT_EQ(mkfifo(registry.path().c_str(), 0600), 0);
  int writer = -1;
  EXPECT_EQ(resultInTime([&] { return key.create(Galaxy); },
                         [&] { writer = open(registry.path().c_str(), O_RDWR | O_CLOEXEC); }),
            -1);
  close(writer);
  ASSERT_EQ(unlink(registry.path().c_str()), 0);

  // A lock that another writer never lets go of.
  registry.write("[HKEY_CURRENT_USER\\Software\\Zintar\\Galaxy]\n");
  ASSERT_EQ(key.open(Galaxy), 0);
  int holder = open((registry.path() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);
  EXPECT_EQ(resultInTime([&] { return key.setDword("Time", 1); }, [&] { close(holder); }), -1);

  // A link is followed, and stays a link.
  tessel_test::TempFolder elsewhere;
  ASSERT_EQ(unlink(registry.path().c_str()), 0);
  ASSERT_EQ(symlink((elsewhere.path() + "/registry.reg").c_str(), registry.path().c_str()), 0);
  ASSERT_EQ(key.setDword("Time", 5), 0);
  EXPECT_TRUE(std::filesystem::is_symlink(registry.path()));
  EXPECT_NE(registry.read().find("\"Time\"=dword:00000005\n"), std::string::npos);
  ASSERT_EQ(unlink(registry.path().c_str()), 0);

  // A file too large to be a registry: reads as empty, writes fail.
  registry.write("[HKEY_CURRENT_USER\\Software\\Zintar\\Galaxy]\n\"good\"=dword:00000005\n");
  ASSERT_EQ(truncate(registry.path().c_str(), static_cast<off_t>(KivRegistry::MaxFileSize) + 1), 0);
  EXPECT_EQ(key.open(Galaxy), -1);
  EXPECT_EQ(key.create(Galaxy), -1);
  EXPECT_EQ(std::filesystem::file_size(registry.path()), KivRegistry::MaxFileSize + 1);
  ASSERT_EQ(truncate(registry.path().c_str(), 0), 0);
  EXPECT_EQ(key.create(Galaxy), 0);  // an empty file is an empty registry
}

TEST(KivRegistryTest, FileLocationFollowsTheEnvironment) {
  tessel_test::TempFolder xdg;
  tessel_test::TempFolder home;
  tessel_test::ScopedEnv noExplicit("TESSEL_REGISTRY", nullptr);
  tessel_test::ScopedEnv homeEnv("HOME", home.path().c_str());
  struct Case { const char* xdgValue; std::string expected; } cases[] = {
      {xdg.path().c_str(), xdg.path() + "/zintar/registry.reg"},
      {nullptr, home.path() + "/.config/zintar/registry.reg"},
      {"relative/config", home.path() + "/.config/zintar/registry.reg"},  // not absolute: ignored
  };
  for (const Case& c : cases) {
    tessel_test::ScopedEnv xdgEnv("XDG_CONFIG_HOME", c.xdgValue);
    EXPECT_EQ(KivRegistry::getPath(), c.expected);
    KivRegistry key;
    ASSERT_EQ(key.create(Galaxy), 0);  // the folders are made on the first write
    EXPECT_TRUE(std::filesystem::is_regular_file(c.expected)) << c.expected;
  }
  tessel_test::ScopedEnv explicitPath("TESSEL_REGISTRY", (xdg.path() + "/mine.reg").c_str());
  EXPECT_EQ(KivRegistry::getPath(), xdg.path() + "/mine.reg");
}
