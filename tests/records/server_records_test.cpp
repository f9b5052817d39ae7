#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "tessel/records/packet_def.h"
#include "tests/support/fake_clock.h"
#include "tests/support/test_support.h"

namespace {

using Packet = PacketDef::Packet;
using AvatarUpdate = PacketDef::AvatarUpdate;

// Copies a field out of a packed record. gtest's assertions take their
// arguments by reference, and a reference to a packed field may be
// misaligned.
template <typename T>
T valueOf(T field) {
  return field;
}

// Writes value little-endian into bytes at offset, as the wire has it.
template <typename T>
void put(std::vector<uint8_t>& bytes, size_t offset, T value) {
  std::memcpy(bytes.data() + offset, &value, sizeof(value));
}

// The 124 bytes of a default AvatarUpdate: id and worldId -1, all else 0.
std::vector<uint8_t> defaultUpdateBytes() {
  std::vector<uint8_t> bytes(124, 0);
  put<int32_t>(bytes, 0, -1);
  put<int32_t>(bytes, 20, -1);
  return bytes;
}

// Body sizes by type code, grouped by size rather than sorted by code like
// the library's own table; each entry is a run of codes [first, last].
struct SizeGroup {
  int bodySize;
  std::vector<std::pair<int, int>> codes;
};
const std::vector<SizeGroup> KnownSizes = {
    {4,
     {{3, 3}, {2421, 2423}, {3072, 3072}, {3074, 3074}, {3088, 3088}, {3584, 3584}, {45057, 45058}, {49155, 49155},
      {53249, 53249}, {61440, 61440}, {61696, 61696}, {61952, 61952}, {62464, 62464}, {62720, 62721}}},
    {8, {{2417, 2417}, {3075, 3075}, {3330, 3330}}},
    {16, {{2427, 2427}, {3073, 3073}, {3328, 3328}, {3331, 3331}, {49153, 49154}}},
    {17, {{3329, 3329}}},
    {32, {{1, 1}}},
    {50, {{2304, 2326}, {2400, 2400}, {2418, 2420}, {2428, 2428}}},
    {68, {{5, 5}, {7, 7}, {2048, 2048}, {2050, 2050}}},
    {72, {{2425, 2426}}},
    {76, {{2416, 2416}}},
    {124, {{4, 4}, {6, 6}, {8, 15}, {2049, 2049}, {2051, 2051}, {3332, 3332}, {3840, 3840}, {62208, 62208}}},
    {24722, {{2, 2}}},
};

TEST(ServerRecords, PacketSizeFollowsTheTypeTableAtEveryCode) {
  // Expected size of every code: unknown unless a group names it.
  std::vector<int> body(65536, -1);
  for (const auto& group : KnownSizes)
    for (auto [first, last] : group.codes)
      for (int code = first; code <= last; ++code) body[code] = group.bodySize;

  for (int code = 0; code < 65536; ++code) {
    if (code == 0 || code == Packet::LengthPrefixed) continue;
    Packet packet(static_cast<uint16_t>(code));
    const int withType = body[code] < 0 ? 24724 : body[code] + 2;
    const int withoutType = body[code] < 0 ? 24724 : body[code];
    ASSERT_EQ(packet.size(true), withType) << "type " << code;
    ASSERT_EQ(packet.size(false), withoutType) << "type " << code;
  }
}

TEST(ServerRecords, PacketSizeAtRunBoundariesAndSpecialCodes) {
  struct Case {
    int type, withType, withoutType;
  } cases[] = {
      {0, 2, 2},          {1, 34, 32},        {2, 24724, 24722},  {15, 126, 124},     {16, 24724, 24724},
      {2047, 24724, 24724}, {2303, 24724, 24724}, {2304, 52, 50},  {2326, 52, 50},     {2327, 24724, 24724},
      {2399, 24724, 24724}, {2401, 24724, 24724}, {2415, 24724, 24724}, {2416, 78, 76}, {2417, 10, 8},
      {2418, 52, 50},     {2420, 52, 50},     {2421, 6, 4},       {2423, 6, 4},       {2424, 24724, 24724},
      {2425, 74, 72},     {2426, 74, 72},     {2427, 18, 16},     {2428, 52, 50},     {2429, 24724, 24724},
      {3071, 24724, 24724}, {3076, 24724, 24724}, {3087, 24724, 24724}, {3089, 24724, 24724},
      {3327, 24724, 24724}, {3329, 19, 17},   {3332, 126, 124},   {3333, 24724, 24724}, {45056, 24724, 24724},
      {45059, 24724, 24724}, {49152, 24724, 24724}, {49156, 24724, 24724}, {62719, 24724, 24724},
      {62721, 6, 4},      {62722, 24724, 24724}, {65535, 24724, 24724},
  };
  for (const auto& c : cases) {
    Packet packet(static_cast<uint16_t>(c.type));
    EXPECT_EQ(packet.size(true), c.withType) << "type " << c.type;
    EXPECT_EQ(packet.size(false), c.withoutType) << "type " << c.type;
  }
  // A packet made without a type reports the whole packet.
  Packet unset;
  EXPECT_EQ(unset.getType(), 0xFFFF);
  EXPECT_EQ(unset.size(true), 24724);
  EXPECT_EQ(unset.size(false), 24724);
}

TEST(ServerRecords, LengthPrefixedPacketSizeComesFromItsLengthWord) {
  auto setLength = [](Packet& packet, uint32_t length) { std::memcpy(packet.body, &length, sizeof(length)); };
  auto word = [](const Packet& packet, int index) {
    uint32_t value;
    std::memcpy(&value, packet.body + 4 * index, sizeof(value));
    return value;
  };

  auto packet = std::make_unique<Packet>(Packet::LengthPrefixed);
  EXPECT_EQ(word(*packet, 0), 0u);
  EXPECT_EQ(word(*packet, 1), 0u);
  EXPECT_EQ(packet->size(false), 12);
  EXPECT_EQ(packet->size(true), 14);
  setLength(*packet, 100);
  EXPECT_EQ(packet->size(false), 112);
  EXPECT_EQ(packet->size(true), 114);

  // setType clears the length word only.
  auto reused = std::make_unique<Packet>(static_cast<uint16_t>(1));
  std::memset(reused->body, 0xAB, 8);
  reused->setType(Packet::LengthPrefixed);
  EXPECT_EQ(reused->getType(), Packet::LengthPrefixed);
  EXPECT_EQ(word(*reused, 0), 0u);
  EXPECT_EQ(word(*reused, 1), 0xABABABABu);
  EXPECT_EQ(reused->size(true), 14);

  // A length that cannot be expressed as an int is reported as -1.
  setLength(*packet, INT_MAX - 12);
  EXPECT_EQ(packet->size(false), INT_MAX);
  EXPECT_EQ(packet->size(true), -1);
  setLength(*packet, 0xFFFFFFFFu);
  EXPECT_EQ(packet->size(false), -1);
  EXPECT_EQ(packet->size(true), -1);
}

TEST(ServerRecords, BodyAccessorsViewTheBytesAfterTheType) {
  auto packet = std::make_unique<Packet>(static_cast<uint16_t>(4));
  packet->getAvatarUpdate() = AvatarUpdate(0x01020304, 9, 1.0f, 2.0f, 3.0f);
  const auto* raw = reinterpret_cast<const uint8_t*>(packet.get());
  EXPECT_EQ(raw[0], 4);  // type, little-endian
  EXPECT_EQ(raw[1], 0);
  EXPECT_EQ(raw[2], 0x04);
  EXPECT_EQ(raw[5], 0x01);
  float x;
  std::memcpy(&x, raw + 2 + 24, sizeof(x));
  EXPECT_EQ(x, 1.0f);

  // Every accessor, mutable and const, starts at offset 2.
  const Packet& view = *packet;
  const void* body = raw + 2;
  const void* views[] = {&packet->getAvatarUpdate(), &view.getAvatarUpdate(), &packet->getLogin(),
                         &view.getLogin(), &packet->getAvatarDetails(), &view.getAvatarDetails(),
                         &packet->getHostInfo(), &view.getHostInfo(), &packet->getHostIdInfo(),
                         &view.getHostIdInfo(), &packet->getTileEnable(), &view.getTileEnable(),
                         &packet->getAvatarSimple(), &view.getAvatarSimple(), &packet->getAvatarFilterUpdate(),
                         &view.getAvatarFilterUpdate(), &packet->getFilterNodeRequest(),
                         &view.getFilterNodeRequest(), &packet->getPeerProperty(), &view.getPeerProperty(),
                         &packet->getRoomId(), &view.getRoomId()};
  for (const void* p : views) EXPECT_EQ(p, body);
  EXPECT_EQ(valueOf(view.getRoomId().word), 0x01020304u);
  EXPECT_EQ(valueOf(view.getPeerProperty().id), 0x01020304);

  // Copying a packet carries the whole body, up to the last byte of the
  // largest record.
  packet->getAvatarDetails().details[9].bytesB[575] = 0x5C;
  auto copy = std::make_unique<Packet>();
  *copy = *packet;
  EXPECT_EQ(copy->getType(), 4);
  EXPECT_EQ(copy->getAvatarDetails().details[9].bytesB[575], 0x5C);
  EXPECT_TRUE(copy->getAvatarUpdate() == packet->getAvatarUpdate());
}

TEST(ServerRecords, AvatarUpdateConstructorsWriteEveryByte) {
  std::vector<uint8_t> positioned = defaultUpdateBytes();
  put<int32_t>(positioned, 0, 7);
  put<int32_t>(positioned, 20, 3);
  put<float>(positioned, 24, 1.5f);
  put<float>(positioned, 28, -2.0f);
  put<float>(positioned, 32, 4.0f);
  std::vector<uint8_t> withId = defaultUpdateBytes();
  put<int32_t>(withId, 0, 7);

  struct Case {
    const char* name;
    std::function<void(void*)> construct;
    std::vector<uint8_t> expected;
  } cases[] = {
      {"default", [](void* at) { new (at) AvatarUpdate(); }, defaultUpdateBytes()},
      {"id", [](void* at) { new (at) AvatarUpdate(7); }, withId},
      {"floats", [](void* at) { new (at) AvatarUpdate(7, 3, 1.5f, -2.0f, 4.0f); }, positioned},
      {"vector", [](void* at) { new (at) AvatarUpdate(7, 3, Vector3d<float>(1.5f, -2.0f, 4.0f)); }, positioned},
  };
  for (const auto& c : cases) {
    // Construct over garbage so that a field left unset shows.
    alignas(AvatarUpdate) uint8_t storage[sizeof(AvatarUpdate)];
    std::memset(storage, 0x5A, sizeof(storage));
    c.construct(storage);
    EXPECT_EQ(std::vector<uint8_t>(storage, storage + sizeof(storage)), c.expected) << c.name;
  }
}

TEST(ServerRecords, AvatarUpdateSettersWriteTheirOwnFields) {
  struct Case {
    const char* name;
    std::function<void(AvatarUpdate&)> apply;
    std::function<void(std::vector<uint8_t>&)> expect;
  } cases[] = {
      {"setId", [](AvatarUpdate& u) { u.setId(0x11223344); }, [](auto& b) { put<int32_t>(b, 0, 0x11223344); }},
      {"setWorldId", [](AvatarUpdate& u) { u.setWorldId(42); }, [](auto& b) { put<int32_t>(b, 20, 42); }},
      {"setShape", [](AvatarUpdate& u) { u.setShape(0x0102030405060708ull); },
       [](auto& b) { put<uint64_t>(b, 48, 0x0102030405060708ull); }},
      {"setUpdateTime", [](AvatarUpdate& u) { u.setUpdateTime(99); }, [](auto& b) { put<uint64_t>(b, 56, 99); }},
      {"setFilterTime", [](AvatarUpdate& u) { u.setFilterTime(98); }, [](auto& b) { put<uint64_t>(b, 64, 98); }},
      {"setAvatarIO", [](AvatarUpdate& u) { u.setAvatarIO(-5); }, [](auto& b) { put<int32_t>(b, 72, -5); }},
      {"setSessionIO", [](AvatarUpdate& u) { u.setSessionIO(6); }, [](auto& b) { put<int32_t>(b, 76, 6); }},
      {"setIO", [](AvatarUpdate& u) { u.setIO(1, 2); },
       [](auto& b) {
         put<int32_t>(b, 72, 1);
         put<int32_t>(b, 76, 2);
       }},
      {"setCurrentPosition floats", [](AvatarUpdate& u) { u.setCurrentPosition(1, 2, 3); },
       [](auto& b) {
         put<float>(b, 24, 1);
         put<float>(b, 28, 2);
         put<float>(b, 32, 3);
       }},
      {"setCurrentPosition vector", [](AvatarUpdate& u) { u.setCurrentPosition(Vector3d<float>(4, 5, 6)); },
       [](auto& b) {
         put<float>(b, 24, 4);
         put<float>(b, 28, 5);
         put<float>(b, 32, 6);
       }},
      {"setPreviousPosition floats", [](AvatarUpdate& u) { u.setPreviousPosition(1, 2, 3); },
       [](auto& b) {
         put<float>(b, 36, 1);
         put<float>(b, 40, 2);
         put<float>(b, 44, 3);
       }},
      {"setPreviousPosition vector", [](AvatarUpdate& u) { u.setPreviousPosition(Vector3d<float>(7, 8, 9)); },
       [](auto& b) {
         put<float>(b, 36, 7);
         put<float>(b, 40, 8);
         put<float>(b, 44, 9);
       }},
  };
  for (const auto& c : cases) {
    AvatarUpdate update;
    c.apply(update);
    std::vector<uint8_t> expected = defaultUpdateBytes();
    c.expect(expected);
    EXPECT_EQ(tessel_test::bytesOf(update), expected) << c.name;
  }

  AvatarUpdate update;
  update.setPreviousPosition(1, 2, 3);
  EXPECT_TRUE(update.getPreviousPosition() == Vector3d<float>(1, 2, 3));
}

TEST(ServerRecords, AvatarUpdateSetTouchesOnlyIdWorldAndCurrentPosition) {
  for (bool withVector : {false, true}) {
    AvatarUpdate update;
    std::memset(static_cast<void*>(&update), 0x77, sizeof(update));
    std::vector<uint8_t> expected = tessel_test::bytesOf(update);
    if (withVector)
      update.set(5, 6, Vector3d<float>(1, 2, 3));
    else
      update.set(5, 6, 1, 2, 3);
    put<int32_t>(expected, 0, 5);
    put<int32_t>(expected, 20, 6);
    put<float>(expected, 24, 1);
    put<float>(expected, 28, 2);
    put<float>(expected, 32, 3);
    EXPECT_EQ(tessel_test::bytesOf(update), expected) << (withVector ? "vector" : "floats");
    EXPECT_TRUE(update.getCurrentPosition() == Vector3d<float>(1, 2, 3));
  }
}

TEST(ServerRecords, SetNameKeepsFifteenCharactersAndStopsAtTheSource) {
  struct Case {
    std::string source;
    std::string kept;
  } cases[] = {
      {"", ""},
      {"abc", "abc"},
      {"exactly15chars!", "exactly15chars!"},
      {"sixteen chars 16", "sixteen chars 1"},
      {"a twenty char name!!", "a twenty char n"},
  };
  for (const auto& c : cases) {
    // The source lives in a heap block of exactly its own size, so reading
    // past its terminator is caught by the address sanitizer.
    auto source = std::make_unique<char[]>(c.source.size() + 1);
    std::memcpy(source.get(), c.source.c_str(), c.source.size() + 1);
    AvatarUpdate update;
    std::memset(update.name, 'Z', sizeof(update.name));
    update.setName(source.get());
    EXPECT_EQ(std::string(update.name), c.kept) << c.source;
    for (size_t i = c.kept.size(); i < sizeof(update.name); ++i) EXPECT_EQ(update.name[i], '\0') << c.source;
  }
  AvatarUpdate update;
  update.setName("x");
  update.setName(nullptr);
  EXPECT_EQ(update.name[0], '\0');
}

TEST(ServerRecords, AvatarUpdateEqualityIgnoresBytesAfterTheNameAndNormalises) {
  AvatarUpdate a(1, 2, 3.0f, 4.0f, 5.0f);
  a.setName("bob");
  AvatarUpdate b = a;
  b.name[10] = 'x';  // after the terminator
  EXPECT_TRUE(a == b);
  EXPECT_EQ(b.name[10], '\0');  // cleared in place by the comparison
  EXPECT_FALSE(a != b);

  b.name[1] = 'O';  // before it
  EXPECT_TRUE(a != b);

  // Floats compare by their bits: -0 differs from +0, a NaN equals itself.
  AvatarUpdate zero(1, 2, 0.0f, 0.0f, 0.0f);
  AvatarUpdate negativeZero(1, 2, -0.0f, 0.0f, 0.0f);
  EXPECT_TRUE(zero != negativeZero);
  AvatarUpdate nan(1, 2, std::numeric_limits<float>::quiet_NaN(), 0, 0);
  AvatarUpdate sameNan = nan;
  EXPECT_TRUE(nan == sameNan);

  // A name that fills all sixteen bytes without a terminator is compared
  // as it stands, without reading beyond the field.
  AvatarUpdate full;
  std::memset(full.name, 'n', sizeof(full.name));
  AvatarUpdate fullCopy = full;
  EXPECT_TRUE(full == fullCopy);
  fullCopy.name[15] = 'm';
  EXPECT_TRUE(full != fullCopy);

  // Every other field takes part.
  AvatarUpdate event = a;
  event.event.reals[3] = 1.0f;
  EXPECT_TRUE(event != a);
}

TEST(ServerRecords, TimeStampsAreFileTimesFromTheWallClock) {
  tessel_test::FakeClock clock(1000, 1767225600000);  // 2026-01-01 00:00:00 UTC
  AvatarUpdate update;
  update.setUpdateTime();
  EXPECT_EQ(valueOf(update.updateTime), 134116992000000000ull);
  clock.advance(1);  // one millisecond is 10000 units
  update.setFilterTime();
  EXPECT_EQ(valueOf(update.filterTime), 134116992000010000ull);

  clock.setRealTime(0);  // 1970
  EXPECT_EQ(AvatarUpdate::currentFileTime(), AvatarUpdate::FileTimeUnixEpoch);
  clock.setRealTime(-11644473600000);  // 1601-01-01
  EXPECT_EQ(AvatarUpdate::currentFileTime(), 0u);
  clock.setRealTime(-11644473600001);  // before the file-time epoch
  EXPECT_EQ(AvatarUpdate::currentFileTime(), 0u);
}

TEST(ServerRecords, CopiedRecordsStartZeroedAndTileEnableComparesFields) {
  auto details = std::make_unique<PacketDef::AvatarDetails>();
  EXPECT_EQ(valueOf(details->lead), 0);
  for (const auto& detail : details->details) {
    EXPECT_EQ(valueOf(detail.reals[0]), 0.0f);
    EXPECT_EQ(valueOf(detail.reals[2]), 0.0f);
    EXPECT_EQ(detail.bytesB[575], 0);
  }
  PacketDef::AvatarEvent event;
  event.values[6] = 3;
  event.reals[0] = 1;
  event.clear();
  EXPECT_EQ(tessel_test::bytesOf(event), std::vector<uint8_t>(44, 0));

  const std::function<void(PacketDef::TileEnable&)> changes[] = {
      [](auto& t) { t.words[0] = 1; }, [](auto& t) { t.words[1] = 1; }, [](auto& t) { t.words[2] = 1; },
      [](auto& t) { t.halves[0] = 1; }, [](auto& t) { t.halves[1] = 1; },
  };
  const PacketDef::TileEnable base;
  for (size_t i = 0; i < std::size(changes); ++i) {
    PacketDef::TileEnable changed = base;
    EXPECT_TRUE(changed == base);
    changes[i](changed);
    EXPECT_TRUE(changed != base) << "field " << i;
    EXPECT_FALSE(changed == base) << "field " << i;
  }
}

}  // namespace
