#include <gtest/gtest.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tessel/toolkit/kiv_log.h"
#include "tessel/toolkit/kiv_log_config.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_registry.h"
#include "tests/support/test_support.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

// 2008-03-31 23:59:59.500 UTC: one second before a new day, hour and month.
constexpr int64_t BeforeMidnight = 1207007999500;
const std::string TooLongText = "Log is longer than the allowed maximum length 4096\n";

using tessel_test::readFile;

// Local time is UTC and the clock stands just before midnight.
class KivLogTest : public testing::Test {
 protected:
  KivLogTest() : zone_("TZ", "UTC0"), clock_(1000, BeforeMidnight) { tzset(); }
  ~KivLogTest() override { tzset(); }

  std::string path(const std::string& name) const { return folder_.path() + "/" + name; }

  tessel_test::TempFolder folder_;
  tessel_test::ScopedEnv zone_;
  tessel_test::FakeClock clock_;
};

}  // namespace

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
