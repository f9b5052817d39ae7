// The toolkit's file-backed parts, each on files in a temp folder: the
// file wrapper, the log and its configuration, and the registry.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tessel/toolkit/kiv_file.h"
#include "tessel/toolkit/kiv_log.h"
#include "tessel/toolkit/kiv_log_config.h"
#include "tessel/toolkit/kiv_registry.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_registry.h"
#include "tests/support/test_support.h"

using namespace std::string_literals;
using tessel_test::readFile;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Each test works on one file in a folder of its own.
class KivFileTest : public testing::Test {
 protected:
  std::string path(const std::string& name) const { return folder_.path() + "/" + name; }

  tessel_test::TempFolder folder_;
  const std::string path_ = path("data");
};

// 2008-03-31 23:59:59.500 UTC: one second before a new day, hour and month.
constexpr int64_t BeforeMidnight = 1207007999500;
const std::string TooLongText = "Log is longer than the allowed maximum length 4096\n";

// Local time is UTC and the clock stands just before midnight.
class KivLogTest : public KivFileTest {
 protected:
  KivLogTest() : zone_("TZ", "UTC0"), clock_(1000, BeforeMidnight) { tzset(); }
  ~KivLogTest() override { tzset(); }

  tessel_test::ScopedEnv zone_;
  tessel_test::FakeClock clock_;
};

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

TEST_F(KivFileTest, OpenModesCreateKeepOrEmptyTheFile) {
  // after: the file's contents afterwards; null: still missing.
  struct Case { bool exists, write, truncate, opens; const char* after; } cases[] = {
      {false, false, false, false, nullptr}, {false, false, true, false, nullptr}, {true, false, true, true, "hello"},
      {false, true, false, true, ""},        {true, true, false, true, "hello"},   {true, true, true, true, ""},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(path_);
    if (c.exists) put(path_, "hello");
    KivFile file;
    EXPECT_EQ(file.open(path_.c_str(), c.write, c.truncate), c.opens ? 0 : -1);
    EXPECT_EQ(file.isOpen(), c.opens);
    EXPECT_EQ(std::filesystem::exists(path_), c.after != nullptr);
    if (c.after != nullptr) {
      EXPECT_EQ(readFile(path_), c.after) << c.exists << c.write << c.truncate;
      EXPECT_EQ(file.write("!", 1, 5), c.write ? 1 : -1);
    }
  }
  std::filesystem::remove(path_);
  EXPECT_FALSE(KivFile(path_.c_str()).isOpen());
  EXPECT_TRUE(KivFile(path_.c_str(), true).isOpen());
  KivFile folderItself;
  EXPECT_EQ(folderItself.openToRead(folder_.path().c_str()), -1);
}

TEST_F(KivFileTest, TransfersNameTheirOffsetAndLeaveThePointer) {
  KivFile file(path_.c_str(), true);
  ASSERT_TRUE(file.isOpen());
  EXPECT_EQ(file.write("abcd", 4), 4);
  EXPECT_EQ(file.write("wxyz", 4), 4);  // the pointer has not moved: same place
  EXPECT_EQ(file.write("12345", 5, 10), 5);
  EXPECT_EQ(file.seek(0, KivFile::SeekCurrent), 0u);
  EXPECT_EQ(readFile(path_), std::string("wxyz\0\0\0\0\0\0" "12345", 15));

  char bytes[16] = {};
  EXPECT_EQ(file.seek(10, KivFile::SeekSet), 10u);
  struct Case { const char* what; std::function<int()> transfer; int result; const char* read; } cases[] = {
      {"read at the pointer", [&] { return file.read(bytes, 5); }, 5, "12345"},
      {"past the end", [&] { return file.read(bytes, 6); }, -1, nullptr},
      {"beyond the end", [&] { return file.read(bytes, 1, 100); }, -1, nullptr},
      {"nothing into no buffer", [&] { return file.read(nullptr, 0, 0); }, 0, nullptr},
      {"at an offset", [&] { return file.read(bytes, 4, 0); }, 4, "wxyz"},
      {"64-bit offset", [&] { return file.read64(bytes, 2, uint64_t(12)); }, 2, "34"},
      {"negative offset", [&] { return file.read(bytes, 1, -1); }, -1, nullptr},
      {"negative write offset", [&] { return file.write("x", 1, -1); }, -1, nullptr},
      {"negative count", [&] { return file.read(bytes, -1); }, -1, nullptr},
      {"append", [&] { return file.append("abc", 3); }, 3, nullptr},
      {"the appended bytes", [&] { return file.read(bytes, 3, 15); }, 3, "abc"},
  };
  for (const Case& c : cases) {
    memset(bytes, 0, sizeof(bytes));
    EXPECT_EQ(c.transfer(), c.result) << c.what;
    if (c.read != nullptr) {
      EXPECT_STREQ(bytes, c.read) << c.what;
    }
    EXPECT_EQ(file.seek(0, KivFile::SeekCurrent), 10u) << c.what;
  }
  EXPECT_EQ(file.size(), 18u);

  file.close();
  EXPECT_FALSE(file.isOpen());
  EXPECT_EQ(file.read(bytes, 1, 0), -1);
  EXPECT_EQ(file.size(), KivFile::SeekFailed);
  EXPECT_EQ(file.seek(0, KivFile::SeekSet), KivFile::SeekFailed);
  EXPECT_EQ(file.lock(0, 0, true), -1);
}

TEST_F(KivFileTest, TruncateKeepsAnEarlierPointerElseEndsThere) {
  struct Case { unsigned int pointer, length, pointerAfter; } cases[] = {
      {8, 3, 3}, {1, 3, 1}, {3, 3, 3}, {8, 20, 8}, {5, 0, 0}};
  for (const Case& c : cases) {
    put(path_, "0123456789");
    KivFile file(path_.c_str(), true);
    ASSERT_EQ(file.seek(c.pointer, KivFile::SeekSet), c.pointer);
    EXPECT_EQ(file.truncate(c.length), 0);
    EXPECT_EQ(file.size(), c.length);
    EXPECT_EQ(file.seek(0, KivFile::SeekCurrent), c.pointerAfter) << c.pointer << " " << c.length;
  }
  KivFile readOnly(path_.c_str());
  EXPECT_EQ(readOnly.truncate(1), -1);
}

TEST_F(KivFileTest, SixtyFourBitFormsReachPastFourGiB) {
  KivFile file(path_.c_str(), true, true);
  const uint64_t far = uint64_t(5) << 30;
  ASSERT_EQ(file.write64("far", 3, far), 3);
  EXPECT_EQ(file.append64("end", 3), 3);
  EXPECT_EQ(file.size64(), far + 6);
  EXPECT_EQ(file.size(), uint32_t(far + 6));  // the low 32 bits
  EXPECT_EQ(file.seek64(far, KivFile::SeekSet), far);
  EXPECT_EQ(file.seek(0, KivFile::SeekCurrent), uint32_t(far));
  char bytes[7] = {};
  EXPECT_EQ(file.read64(bytes, 6), 6);
  EXPECT_STREQ(bytes, "farend");
  EXPECT_EQ(file.seek64(~uint64_t(0), KivFile::SeekCurrent), far - 1);  // one byte back
  EXPECT_EQ(file.truncate64(far + 1), 0);
  EXPECT_EQ(file.seek64(0, KivFile::SeekCurrent), far - 1);
}

TEST_F(KivFileTest, LocksKeepOtherOpeningsOut) {
  // probe: another opening's one-byte shared try at probeOffset.
  struct Case { const char* content; int offset, length; bool exclusive; int probeOffset, probe; } cases[] = {
      {"0123456789", 0, 0, true, 9, -1},  // length 0: the whole contents,
      {"0123456789", 0, 0, true, 10, 0},  // but nothing beyond them
      {"0123456789", 2, 3, true, 4, -1},  {"0123456789", 2, 3, true, 5, 0},
      {"0123456789", 0, 0, false, 0, 0},  // shared locks share
      {"", 0, 0, true, 100, -1},          // an empty file: all that is appended later
  };
  for (const Case& c : cases) {
    put(path_, c.content);
    KivFile holder(path_.c_str(), true), other(path_.c_str(), true);
    ASSERT_EQ(holder.lock(c.offset, c.length, c.exclusive), 0);
    EXPECT_EQ(other.lock(c.probeOffset, 1, false), c.probe) << c.offset << "+" << c.length << " " << c.probeOffset;
    other.unlock(c.probeOffset, 1, false);
    EXPECT_EQ(holder.unlock(c.offset, c.length, c.exclusive), 0);
    EXPECT_EQ(other.lock(c.probeOffset, 1, false), 0);
  }
  KivFile holder(path_.c_str(), true), other(path_.c_str(), true), readOnly(path_.c_str());
  ASSERT_EQ(holder.lock64(0, ~uint64_t(0), true), 0);  // a negative length: to the end
  EXPECT_EQ(other.lock64(50, 1, false), -1);
  EXPECT_EQ(readOnly.lock(0, 1, true), -1);  // exclusive needs write access
  EXPECT_EQ(holder.lock(-1, 1, true), -1);
}

TEST_F(KivLogTest, FileNamesCarryTheDateOfTheWriteOnlyNewFilesTheHeaderAndFoldersAreMade) {
  struct Case { int type; const char* extension; const char* before; const char* after; } cases[] = {
      {KivLog::None, "log", "app.log", "app.log"},
      {KivLog::Daily, "log", "app.2008.03.31.log", "app.2008.04.01.log"},
      {KivLog::Hourly, "", "app.2008.03.31.23", "app.2008.04.01.00"},
      {KivLog::Monthly, "txt", "app.2008.03.txt", "app.2008.04.txt"},
      {7, nullptr, "app.2008.03.31", "app.2008.04.01"},  // any other type: daily
  };
  int index = 0;
  for (const Case& c : cases) {
    clock_.setRealTime(BeforeMidnight);
    std::string folder = path("case" + std::to_string(index++) + "/deep/logs");
    KivLog log;
    log.setExtension(c.extension);
    log.setHeader("# head");
    ASSERT_EQ(log.init((folder + "/app").c_str(), KivLog::LogType(c.type), KivLog::Warning, false, false, false), 0);
    EXPECT_EQ(log.out(KivLog::Error, "before\n"), 0);  // the folders were made by init
    clock_.advance(1000);
    EXPECT_EQ(log.out(KivLog::Error, "after\n"), 0);
    const bool oneFile = std::string(c.before) == c.after;
    EXPECT_EQ(readFile(folder + "/" + c.before), oneFile ? "# head\nbefore\nafter\n" : "# head\nbefore\n") << c.before;
    EXPECT_EQ(readFile(folder + "/" + c.after), oneFile ? "# head\nbefore\nafter\n" : "# head\nafter\n") << c.after;
  }
  // Folders: each one above the last component, the last too when asked;
  // none below a file.
  EXPECT_EQ(kivCreateDirectory(path("made/deeper").c_str(), true), 0);
  EXPECT_TRUE(std::filesystem::is_directory(path("made/deeper")));
  std::ofstream(path("file")) << "x";
  EXPECT_EQ(kivCreateDirectory(path("file/below/it").c_str(), false), -1);
  EXPECT_EQ(kivCreateDirectory("", false), -1);
}

TEST_F(KivLogTest, LevelFiltersWritingAndEchoAndTheDatePrefixNeedsRoom) {
  struct Case { KivLog::LogLevel logLevel, messageLevel; bool verbose, passes; } cases[] = {
      {KivLog::Warning, KivLog::Debug, true, false},    {KivLog::Warning, KivLog::Warning, true, true},
      {KivLog::Warning, KivLog::Critical, false, true}, {KivLog::Profile, KivLog::Detail, false, false},
  };
  std::string name = path("filter");
  for (const Case& c : cases) {
    std::filesystem::remove(name);
    KivLog log;
    ASSERT_EQ(log.init(name.c_str(), KivLog::None, c.logLevel, false, false, c.verbose), 0);
    CaptureStdout();
    EXPECT_EQ(log.out(c.messageLevel, "m%d\n", 1), 0);
    EXPECT_EQ(GetCapturedStdout(), c.passes && c.verbose ? "m1\n" : "");
    EXPECT_EQ(readFile(name), c.passes ? "m1\n" : "") << c.logLevel << " " << c.messageLevel;
  }
  std::filesystem::remove(name);
  KivLog idle, nameless;
  EXPECT_EQ(idle.out(KivLog::Critical, "nothing\n"), 0);  // before init
  ASSERT_EQ(nameless.init("", KivLog::Daily, KivLog::Detail, false, false, true), 0);
  CaptureStdout();
  EXPECT_EQ(nameless.out(KivLog::Critical, "echo only\n"), 0);
  EXPECT_EQ(GetCapturedStdout(), "echo only\n");
  EXPECT_TRUE(std::filesystem::is_empty(folder_.path()));

  KivLog dated;
  ASSERT_EQ(dated.init(name.c_str(), KivLog::None, KivLog::Warning, false, true, false), 0);
  std::string fits(4096 - 26, 'f'), noRoom(4096 - 25, 'n'), tooLong(4097, 't');
  struct Dated { const char* format; const char* argument; int result; std::string written, error; } dates[] = {
      {"x %s\n", "5", 0, "[2008-03-31 23:59:59.500] x 5\n", ""},
      {fits.c_str(), "", 0, "[2008-03-31 23:59:59.500] " + fits, ""},
      {noRoom.c_str(), "", 0, noRoom, ""},  // no room for the date: left out
      {tooLong.c_str(), "", -1, "", TooLongText},
      {"%s", tooLong.c_str(), -1, "", TooLongText},
  };
  for (const Dated& c : dates) {
    std::filesystem::remove(name);
    CaptureStderr();
    EXPECT_EQ(dated.out(KivLog::Error, c.format, c.argument), c.result);
    EXPECT_EQ(GetCapturedStderr(), c.error);
    EXPECT_EQ(readFile(name), c.written);
  }
}

TEST_F(KivLogTest, BufferGoesOutWhenFullAndAtDestructionAndDropsWhatCannotFit) {
  // The setBufferSize calls before init, the lengths of the messages written
  // and the file's size after each message.
  struct Case { std::vector<int> bufferSizes, messages; std::vector<size_t> fileSizes; bool buffering = true; };
  const Case cases[] = {
      {{100}, {1000, 1000, 1000, 1000, 96, 1}, {0, 0, 0, 0, 0, 4096}},  // 4097 bytes
      {{4096}, {1000, 1000, 1000, 1000, 96}, {0, 0, 0, 0, 4000}},
      {{4096, 8192}, {1000, 1000, 1000, 1000, 96}, {0, 0, 0, 0, 4000}},  // the first size stays
      {{}, std::vector<int>(65, 1000), std::vector<size_t>(65, 0)},      // 65536 bytes
      {{4096}, {10, 10}, {10, 20}, false},  // a buffer alone does not make the log buffered
  };
  std::string name = path("buffered");
  for (const Case& c : cases) {
    std::filesystem::remove(name);
    std::string all;
    {
      KivLog log;
      for (int size : c.bufferSizes) log.setBufferSize(size);
      ASSERT_EQ(log.init(name.c_str(), KivLog::None, KivLog::Warning, c.buffering, false, false), 0);
      for (size_t i = 0; i < c.messages.size(); ++i) {
        std::string message(static_cast<size_t>(c.messages[i]), char('a' + i % 26));
        all += message;
        EXPECT_EQ(log.out(KivLog::Error, "%s", message.c_str()), 0);
        EXPECT_EQ(readFile(name).size(), c.fileSizes[i]) << i;
      }
    }
    EXPECT_EQ(readFile(name), all);
  }

  // A full buffer whose file cannot be opened keeps its text.
  std::filesystem::remove(name);
  std::string a(4000, 'a'), b(200, 'b'), c(96, 'c');
  KivLog log;
  log.setBufferSize(4096);
  ASSERT_EQ(log.init(name.c_str(), KivLog::None, KivLog::Warning, true, false, false), 0);
  EXPECT_EQ(log.out(KivLog::Error, "%s", a.c_str()), 0);
  std::filesystem::create_directory(name);
  CaptureStderr();
  EXPECT_EQ(log.out(KivLog::Error, "%s", b.c_str()), -1);  // does not fit behind a
  EXPECT_EQ(log.out(KivLog::Error, "%s", c.c_str()), 0);   // fills the buffer exactly
  EXPECT_EQ(GetCapturedStderr(), "Can't open " + name + "\nCan't open " + name + "\n");
  std::filesystem::remove(name);
  log.flush();
  EXPECT_EQ(readFile(name), a + c);
}

TEST_F(KivLogTest, ConfigurationReadsAnyCaseAndSetsUpTheLog) {
  // printed: what print() shows from the type on.
  struct Case { std::string ini, fileName; const char* printed; } cases[] = {
      {"; c\n[other]\nLevel=Detail\n[lOg]\nfilename = logs/app\nTYPE = hOuRlY\nLEVEL=dEbUg\n"
       "buffering=12abc\nDisplayDate=yes\nVERBOSE = 0\nFileName = second\n",
       "logs/app", "Type: Hourly\n  Level: Debug\n  Buffering: Yes\n  DisplayingDate: No\n  Verbose: Off\n\n"},
      {"[Log]\nType=weekly\nVerbose=1\nDisplayDate=3\n", "",
       "Type: None\n  Level: Critical\n  Buffering: No\n  DisplayingDate: Yes\n  Verbose: On\n\n"},
      {"[Log]\nType=monthly\nLevel=Profile\n", "", "Type: Monthly\n  Level: Profile\n"},
      {"[Log]\nFileName=" + std::string(250, 'x') + "Level=Detail\nType=daily\n",
       std::string(190, 'x'),  // the parser cuts a line after 199 characters
       "Type: Daily\n  Level: Critical\n"},
  };
  for (const Case& c : cases) {
    std::ofstream(path("log.ini")) << c.ini;
    KivLogConfig config;
    EXPECT_EQ(config.init(path("log.ini").c_str()), 0);
    EXPECT_EQ(config.getFileName(), c.fileName);
    CaptureStdout();
    config.print();
    const std::string printed = "[KivLog Configuration]\n  FileName: " + c.fileName + "\n  " + c.printed;
    EXPECT_EQ(GetCapturedStdout().substr(0, printed.size()), printed) << c.ini;
  }
  KivLogConfig missing;
  EXPECT_EQ(missing.init(path("none.ini").c_str()), 0);
  EXPECT_EQ(missing.getType(), KivLog::None);

  std::ofstream(path("app.ini")) << "[log]\nFILENAME=" << path("app") << "\ntype=HOURLY\nlevel=debug\n";
  {
    KivLog log;
    ASSERT_EQ(log.init(path("app.ini").c_str()), 0);
    EXPECT_EQ(log.out(KivLog::Debug, "configured\n"), 0);
  }
  EXPECT_EQ(readFile(path("app.2008.03.31.23")), "configured\n");
}

TEST(KivLogEventTest, EventGoesToTheSystemLoggerOrIsPrinted) {
  const bool loggerMissing = !std::filesystem::exists("/dev/log");
  std::string longName(300, 'n'), longMessage(4097, 'e');
  KivLog::setLogEventName(longName.data());  // cut, not overrun
  struct Case { bool echo; const char* argument; std::string out, error; } cases[] = {
      {true, "event 1", "event 1\n", ""},
      {false, "event 2", loggerMissing ? "event 2\n" : "", ""},
      {true, longMessage.c_str(), "", TooLongText},
  };
  for (const Case& c : cases) {
    CaptureStdout();
    CaptureStderr();
    KivLog::outEvent(KivLog::Warning, c.echo, "%s", c.argument);
    EXPECT_EQ(GetCapturedStderr(), c.error);
    EXPECT_EQ(GetCapturedStdout(), c.out);
  }
}

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
