#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tessel/records/packet_def.h"
#include "tests/support/test_support.h"

TEST(PeerRecords, PeerPropertyDefaultsAreByteExactAndRoomIdFieldsStayInTheirBits) {
  // Offsets of the default record that are 0xFF; every other byte is 0.
  std::vector<uint8_t> expected(50, 0);
  for (auto [first, last] : {std::pair{0, 3}, {8, 13}, {22, 25}, {28, 33}, {38, 41}})
    for (int i = first; i <= last; ++i) expected[size_t(i)] = 0xFF;
  PacketDef::PeerProperty used;
  EXPECT_EQ(tessel_test::bytesOf(used), expected);
  std::memset(static_cast<void*>(&used), 0x5A, sizeof(used));
  used.clear();
  EXPECT_EQ(tessel_test::bytesOf(used), expected);

  PacketDef::RoomId room;
  room.setMajor(1023);
  room.setMinor(16383);
  room.setSlot(255);
  EXPECT_EQ(room.word, 0xFFFFFFFFu);
  room.setMinor(0);
  EXPECT_EQ(room.major(), 1023u);
  EXPECT_EQ(room.slot(), 255u);
  PacketDef::RoomId narrow;  // out-of-width values never spill over
  narrow.setMajor(1024 + 7);
  narrow.setSlot(0x1FF);
  EXPECT_EQ(narrow.word, 0xFF000007u);
  // Equality takes the slot, the order does not: (major, minor, slot).
  struct Case { uint32_t a[3], b[3]; bool equal; int less; } cases[] = {
      {{4, 0, 1}, {4, 0, 2}, false, 0}, {{4, 0, 1}, {4, 0, 1}, true, 0},  {{1, 0, 0}, {2, 0, 0}, false, 1},
      {{2, 0, 0}, {1, 0, 0}, false, 0}, {{3, 5, 0}, {3, 6, 0}, false, 1}, {{1, 16383, 0}, {2, 0, 0}, false, 1}};
  for (const auto& c : cases) {
    PacketDef::RoomId x, y;
    x.setMajor(c.a[0]), x.setMinor(c.a[1]), x.setSlot(c.a[2]);
    y.setMajor(c.b[0]), y.setMinor(c.b[1]), y.setSlot(c.b[2]);
    EXPECT_EQ(x == y, c.equal) << x.word << " " << y.word;
    EXPECT_EQ(x < y, c.less) << x.word << " " << y.word;
  }
}

TEST(PeerRecords, HostInfoNeedsNameAndPortCutsAt63AndCompares) {
  struct Case { const char* name; int port; bool specified; } cases[] = {
      {"", 80, false}, {"a", -1, false}, {"a", 0, true}, {nullptr, 80, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(PacketDef::HostInfo(c.name, c.port).isSpecified(), c.specified) << (c.name ? c.name : "null");
  }
  EXPECT_FALSE(PacketDef::HostInfo().isSpecified());
  for (size_t length : {63u, 64u, 200u}) {
    std::string name(length, 'x');
    PacketDef::HostInfo info(name.c_str(), 1);
    EXPECT_EQ(std::string(info.host), name.substr(0, 63)) << length;
    EXPECT_EQ(info.host[63], '\0');
  }
  PacketDef::HostInfo a("galaxy.example.long.name", 1);
  a.set("galaxy.example", 7000);  // the longer name leaves no bytes behind
  EXPECT_EQ(tessel_test::bytesOf(a), tessel_test::bytesOf(PacketDef::HostInfo("galaxy.example", 7000)));
  EXPECT_TRUE(a == PacketDef::HostInfo("galaxy.example", 7000));
  EXPECT_FALSE(a == PacketDef::HostInfo("Galaxy.example", 7000));
  EXPECT_FALSE(a == PacketDef::HostInfo("galaxy.example", 7001));
  PacketDef::HostInfo raw;  // a name filling the field without a NUL
  std::memset(raw.host, 'y', sizeof(raw.host));
  PacketDef::HostInfo same = raw;
  EXPECT_TRUE(raw == same);
}
