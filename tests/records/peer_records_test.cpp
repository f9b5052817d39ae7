#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tessel/records/packet_def.h"
#include "tests/support/test_support.h"

using PacketDef = ::PacketDef;

TEST(PeerRecords, PeerPropertyDefaultsAreByteExactAndClearRestoresThem) {
  // Offsets of the default record that are 0xFF; every other byte is 0.
  const std::pair<int, int> ffRanges[] = {{0, 3}, {8, 13}, {22, 25}, {28, 33}, {38, 41}};
  auto expected = std::vector<uint8_t>(50, 0);
  for (auto [first, last] : ffRanges)
    for (int i = first; i <= last; ++i) expected[i] = 0xFF;

  PacketDef::PeerProperty fresh;
  EXPECT_EQ(tessel_test::bytesOf(fresh), expected);

  PacketDef::PeerProperty used;
  std::memset(static_cast<void*>(&used), 0x5A, sizeof(used));
  used.clear();
  EXPECT_EQ(tessel_test::bytesOf(used), expected);
}

TEST(PeerRecords, PeerPropertyTravelsAsItsFiftyBytes) {
  PacketDef::PeerProperty property;
  property.id = 0x01020304;
  property.roomId.setMajor(5);
  property.roomId.setSlot(3);
  property.ip = 0xC0A80107;
  property.port = 7000;
  property.tag.id = 9;
  property.aux5 = 0xAABBCCDD;
  auto bytes = tessel_test::bytesOf(property);
  EXPECT_EQ(bytes[0], 0x04);  // little-endian id
  EXPECT_EQ(bytes[7], 3);     // slot in the top byte of the roomId word
  EXPECT_EQ(bytes[11], 0xC0);
  EXPECT_EQ(bytes[12], 7000 & 0xFF);
  EXPECT_EQ(bytes[22], 9);  // the tag starts at offset 22
  EXPECT_EQ(bytes[49], 0xAA);

  PacketDef::PeerProperty copy;
  copy = property;
  EXPECT_EQ(tessel_test::bytesOf(copy), bytes);
}

TEST(PeerRecords, RoomIdFieldsStayInTheirBits) {
  PacketDef::RoomId room;
  room.setMajor(1023);
  room.setMinor(16383);
  room.setSlot(255);
  EXPECT_EQ(room.word, 0xFFFFFFFFu);
  room.setMinor(0);
  EXPECT_EQ(room.major(), 1023u);
  EXPECT_EQ(room.minor(), 0u);
  EXPECT_EQ(room.slot(), 255u);
  // Out-of-width values never spill into the neighbouring field.
  PacketDef::RoomId narrow;
  narrow.setMajor(1024 + 7);
  EXPECT_EQ(narrow.word, 7u);
  narrow.setSlot(0x1FF);
  EXPECT_EQ(narrow.slot(), 0xFFu);
  EXPECT_EQ(narrow.major(), 7u);
}

TEST(PeerRecords, RoomIdEqualityIncludesSlotButOrderingDoesNot) {
  PacketDef::RoomId a, b;
  a.setMajor(4);
  b.setMajor(4);
  a.setSlot(1);
  b.setSlot(2);
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a != b);
  EXPECT_EQ(a < b, 0);
  EXPECT_EQ(b < a, 0);

  struct Case {
    uint32_t majorA, minorA, majorB, minorB;
    int less;
  } cases[] = {{1, 0, 2, 0, 1}, {2, 0, 1, 0, 0}, {3, 5, 3, 6, 1}, {3, 6, 3, 5, 0}, {1, 16383, 2, 0, 1}};
  for (const auto& c : cases) {
    PacketDef::RoomId x, y;
    x.setMajor(c.majorA);
    x.setMinor(c.minorA);
    y.setMajor(c.majorB);
    y.setMinor(c.minorB);
    EXPECT_EQ(x < y, c.less) << c.majorA << "/" << c.minorA << " < " << c.majorB << "/" << c.minorB;
  }
}

TEST(PeerRecords, HostInfoSpecifiedOnlyWithNameAndPort) {
  EXPECT_FALSE(PacketDef::HostInfo().isSpecified());
  EXPECT_FALSE(PacketDef::HostInfo("", 80).isSpecified());
  EXPECT_FALSE(PacketDef::HostInfo("a", -1).isSpecified());
  EXPECT_TRUE(PacketDef::HostInfo("a", 0).isSpecified());
  EXPECT_FALSE(PacketDef::HostInfo(nullptr, 80).isSpecified());
}

TEST(PeerRecords, HostInfoCutsLongNamesTo63Characters) {
  for (size_t length : {62u, 63u, 64u, 200u}) {
    std::string name(length, 'x');
    PacketDef::HostInfo info(name.c_str(), 1);
    EXPECT_EQ(std::string(info.host), name.substr(0, 63)) << length;
    // The rest of the field is NUL-padded, so records compare byte for byte.
    for (size_t i = std::min<size_t>(length, 63); i < 64; ++i) EXPECT_EQ(info.host[i], '\0');
  }
}

TEST(PeerRecords, HostInfoComparesNameCaseSensitivelyAndPort) {
  PacketDef::HostInfo a("galaxy.example", 7000);
  EXPECT_TRUE(a == PacketDef::HostInfo("galaxy.example", 7000));
  EXPECT_TRUE(a != PacketDef::HostInfo("Galaxy.example", 7000));
  EXPECT_TRUE(a != PacketDef::HostInfo("galaxy.example", 7001));
  // A record whose name fills the field without a NUL still compares safely.
  PacketDef::HostInfo raw;
  std::memset(raw.host, 'y', sizeof(raw.host));
  PacketDef::HostInfo same = raw;
  EXPECT_TRUE(raw == same);
}

TEST(PeerRecords, HostIdInfoSpecifiedAndCompared) {
  PacketDef::HostIdInfo none;
  EXPECT_FALSE(none.isSpecified());
  EXPECT_EQ(+none.id, -1);
  EXPECT_EQ(+none.hostInfo.port, -1);
  PacketDef::HostIdInfo galaxy(0, PacketDef::HostInfo("g", 1));
  EXPECT_TRUE(galaxy.isSpecified());
  PacketDef::HostIdInfo other = galaxy;
  EXPECT_TRUE(other == galaxy);
  other.set(1, galaxy.hostInfo);
  EXPECT_TRUE(other != galaxy);
  other.set(0, PacketDef::HostInfo("h", 1));
  EXPECT_TRUE(other != galaxy);
}
