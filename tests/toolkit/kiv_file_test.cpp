#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "tessel/toolkit/kiv_file.h"
#include "tests/support/temp_registry.h"
#include "tests/support/test_support.h"

namespace {

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

using tessel_test::readFile;

// Each test works on one file in a folder of its own.
class KivFileTest : public testing::Test {
 protected:
  tessel_test::TempFolder folder_;
  const std::string path_ = folder_.path() + "/data";
};

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
