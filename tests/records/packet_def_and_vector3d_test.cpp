#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "tessel/records/packet_def.h"
#include "tessel/records/vector3d.h"
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

TEST(ServerRecords, PacketSizeAtRunBoundariesAndSpecialCodes) {
  // body size by code; -1: unknown, so the whole packet
  struct Case { int type, body; } cases[] = {
      {1, 32},     {2, 24722},  {3, 4},      {8, 124},   {15, 124},    {16, -1},    {2303, -1},  {2304, 50},
      {2326, 50},  {2327, -1},  {2416, 76},  {2417, 8},  {2424, -1},   {2425, 72},  {2427, 16},  {2428, 50},
      {2429, -1},  {3329, 17},  {3333, -1},  {45056, -1}, {45058, 4},  {49153, 16}, {62208, 124}, {62721, 4},
      {62722, -1}, {65535, -1},
  };
  for (const auto& c : cases) {
    Packet packet(static_cast<uint16_t>(c.type));
    EXPECT_EQ(packet.size(true), c.body < 0 ? 24724 : c.body + 2) << "type " << c.type;
    EXPECT_EQ(packet.size(false), c.body < 0 ? 24724 : c.body) << "type " << c.type;
  }
  EXPECT_EQ(Packet(0).size(true), 2);
  EXPECT_EQ(Packet(0).size(false), 2);
  Packet unset;  // made without a type: the whole packet
  EXPECT_EQ(unset.getType(), 0xFFFF);
  EXPECT_EQ(unset.size(false), 24724);
}

TEST(ServerRecords, LengthPrefixedPacketSizeComesFromItsLengthWord) {
  auto setWord = [](Packet& packet, int index, uint32_t value) { std::memcpy(packet.body + 4 * index, &value, 4); };
  auto word = [](const Packet& packet, int index) {
    uint32_t value;
    std::memcpy(&value, packet.body + 4 * index, 4);
    return value;
  };
  auto packet = std::make_unique<Packet>(Packet::LengthPrefixed);
  EXPECT_EQ(word(*packet, 1), 0u);
  struct Case { uint32_t length; int withoutType, withType; } cases[] = {{0, 12, 14}, {100, 112, 114}, {INT_MAX - 12, INT_MAX, -1}, {0xFFFFFFFFu, -1, -1}};
  for (const auto& c : cases) {
    setWord(*packet, 0, c.length);
    EXPECT_EQ(packet->size(false), c.withoutType) << c.length;
    EXPECT_EQ(packet->size(true), c.withType) << c.length;
  }
  // setType clears the length word only.
  auto reused = std::make_unique<Packet>(static_cast<uint16_t>(1));
  setWord(*reused, 0, 0xABABABABu);
  setWord(*reused, 1, 0xABABABABu);
  reused->setType(Packet::LengthPrefixed);
  EXPECT_EQ(reused->getType(), Packet::LengthPrefixed);
  EXPECT_EQ(word(*reused, 0), 0u);
  EXPECT_EQ(word(*reused, 1), 0xABABABABu);
}

TEST(ServerRecords, AvatarUpdateConstructorsWriteEveryByteAndSetOnlyItsOwn) {
  // Each constructor runs over garbage, so that a field left unset shows.
  alignas(AvatarUpdate) uint8_t storage[sizeof(AvatarUpdate)];
  auto made = [&storage](void (*construct)(void*)) {
    std::memset(storage, 0x5A, sizeof(storage));
    construct(storage);
    return std::vector<uint8_t>(storage, storage + sizeof(storage));
  };
  std::vector<uint8_t> expected = defaultUpdateBytes();
  EXPECT_EQ(made([](void* at) { new (at) AvatarUpdate(); }), expected);
  put<int32_t>(expected, 0, 7);
  EXPECT_EQ(made([](void* at) { new (at) AvatarUpdate(7); }), expected);
  put<int32_t>(expected, 20, 3);
  put<float>(expected, 24, 1.5f), put<float>(expected, 28, -2.0f), put<float>(expected, 32, 4.0f);
  EXPECT_EQ(made([](void* at) { new (at) AvatarUpdate(7, 3, 1.5f, -2.0f, 4.0f); }), expected);
  EXPECT_EQ(made([](void* at) { new (at) AvatarUpdate(7, 3, Vector3d<float>(1.5f, -2.0f, 4.0f)); }), expected);

  // set touches only id, world and the current position.
  for (bool withVector : {false, true}) {
    AvatarUpdate update;
    std::memset(static_cast<void*>(&update), 0x77, sizeof(update));
    expected = tessel_test::bytesOf(update);
    put<int32_t>(expected, 0, 5), put<int32_t>(expected, 20, 6);
    put<float>(expected, 24, 1), put<float>(expected, 28, 2), put<float>(expected, 32, 3);
    if (withVector)
      update.set(5, 6, Vector3d<float>(1, 2, 3));
    else
      update.set(5, 6, 1, 2, 3);
    EXPECT_EQ(tessel_test::bytesOf(update), expected) << withVector;
  }
}

TEST(ServerRecords, SetNameKeepsFifteenCharactersAndStopsAtTheSource) {
  struct Case { std::string source, kept; } cases[] = {{"", ""}, {"exactly15chars!", "exactly15chars!"}, {"sixteen chars 16", "sixteen chars 1"}};
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

TEST(ServerRecords, AvatarUpdateEqualityIgnoresBytesAfterTheNameAndComparesBits) {
  AvatarUpdate a(1, 2, 3.0f, 4.0f, 5.0f);
  a.setName("bob");
  AvatarUpdate b = a;
  b.name[10] = 'x';  // after the terminator
  EXPECT_TRUE(a == b);
  EXPECT_EQ(b.name[10], '\0');  // cleared in place by the comparison
  b.name[1] = 'O';              // before it
  EXPECT_TRUE(a != b);
  // Floats compare by their bits: -0 differs from +0, a NaN equals itself.
  EXPECT_TRUE(AvatarUpdate(1, 2, 0.0f, 0.0f, 0.0f) != AvatarUpdate(1, 2, -0.0f, 0.0f, 0.0f));
  AvatarUpdate nan(1, 2, std::numeric_limits<float>::quiet_NaN(), 0, 0);
  AvatarUpdate sameNan = nan;
  EXPECT_TRUE(nan == sameNan);
  // A name filling all sixteen bytes is compared without reading beyond it.
  AvatarUpdate full;
  std::memset(full.name, 'n', sizeof(full.name));
  AvatarUpdate fullCopy = full;
  EXPECT_TRUE(full == fullCopy);
  fullCopy.name[15] = 'm';
  EXPECT_TRUE(full != fullCopy);
  AvatarUpdate event = a;  // every other field takes part
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
  clock.setRealTime(-11644473600001);  // before the file-time epoch
  EXPECT_EQ(AvatarUpdate::currentFileTime(), 0u);
}

TEST(ServerRecords, RecordsStartZeroedAndEventsClear) {
  auto details = std::make_unique<PacketDef::AvatarDetails>();
  for (const auto& detail : details->details) {
    EXPECT_EQ(valueOf(detail.reals[2]), 0.0f);
    EXPECT_EQ(detail.bytesB[575], 0);
  }
  PacketDef::AvatarEvent event;
  event.values[6] = 3;
  event.reals[0] = 1;
  event.clear();
  EXPECT_EQ(tessel_test::bytesOf(event), std::vector<uint8_t>(44, 0));
}

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
  room.setMajor(1023), room.setMinor(16383), room.setSlot(255);
  EXPECT_EQ(room.word, 0xFFFFFFFFu);
  room.setMinor(0);
  EXPECT_EQ(room.major(), 1023u);
  EXPECT_EQ(room.slot(), 255u);
  PacketDef::RoomId narrow;  // out-of-width values never spill over
  narrow.setMajor(1024 + 7), narrow.setSlot(0x1FF);
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

using Vec = Vector3d<float>;

constexpr float Inf = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();

// Exact component check; EXPECT_EQ on floats would hide -0 against +0 and
// cannot match NaN.
void expectComponents(const Vec& v, float x, float y, float z) {
  const float got[] = {v.getX(), v.getY(), v.getZ()};
  const float want[] = {x, y, z};
  for (int i = 0; i < 3; ++i) {
    if (std::isnan(want[i])) {
      EXPECT_TRUE(std::isnan(got[i])) << "component " << i << " is " << got[i];
    } else {
      EXPECT_EQ(got[i], want[i]) << "component " << i;
      EXPECT_EQ(std::signbit(got[i]), std::signbit(want[i])) << "sign of component " << i;
    }
  }
}

TEST(Vector3d, DivisionByAScalarMultipliesByOneRoundedReciprocal) {
  // 1/3 rounds to 0.333333343f; 5 times that is 1.66666675f, one ulp above
  // the true quotient 1.66666663f. The same holds for 7 and 10.
  expectComponents(Vec(5, 7, 10) / 3.0f, 1.66666675f, 2.33333349f, 3.33333349f);
  // Division by a vector is three true divisions.
  Vec w(5, 7, 10);
  w /= Vec(3, 3, 3);
  expectComponents(w, 1.66666663f, 2.33333325f, 3.33333325f);
  expectComponents(Vec(1, -1, 0) / 0.0f, Inf, -Inf, NaN);
  expectComponents(Vec(1, -1, 0) / Vec(0, 0, 0), Inf, -Inf, NaN);
}

TEST(Vector3d, SumsAreFormedInDoubleAndDifferencesRoundedToFloatFirst) {
  // In float, 4096² + 1 + 1 loses each 1 to rounding; in double it keeps both.
  const Vec a(4096, 1, 1);
  EXPECT_EQ(a.length2(), 16777218.0f);
  EXPECT_EQ(a.dot(a), 16777218.0f);
  // Squares that overflow or underflow a float still give the length.
  const float big = std::ldexp(1.0f, 100);
  const float tiny = std::ldexp(1.0f, -100);
  EXPECT_EQ(Vec(3 * big, 4 * big, 0).length(), 5 * big);
  EXPECT_EQ(Vec(3 * tiny, 4 * tiny, 0).length(), 5 * tiny);
  EXPECT_EQ(Vec(big, big, 0).dot(Vec(big, -big, 7)), 0.0f);  // float would give inf - inf
  EXPECT_EQ(Vec(1, 2, 3).dot(Vec(4, -5, 6)), 12.0f);

  // 2^24 - (-1) rounds to 2^24 in float, so the squared distance is 2^48.
  EXPECT_EQ(Vec(-1, 0, 0).distance2(Vec(16777216, 0, 0)), 281474976710656.0f);
  EXPECT_EQ(Vec(1, 1, 1).distance(Vec(4, 5, 13)), 13.0f);
  const Vec far(3, 4, 100);
  EXPECT_EQ(Vec(0, 0, -7).distanceXY(far), 5.0f);
  EXPECT_EQ(Vec(0, 0, -7).distance2XY(far), 25.0f);
}

TEST(Vector3d, NormalizeReturnsOldLengthAndHandlesZero) {
  Vec v(3, 4, 12);
  EXPECT_EQ(v.normalize(), 13.0f);
  EXPECT_FLOAT_EQ(v.getX(), 3.0f / 13.0f);
  EXPECT_FLOAT_EQ(v.getZ(), 12.0f / 13.0f);
  // -0 has length exactly 0 too, and comes back as +0.
  Vec negativeZero(-0.0f, -0.0f, -0.0f);
  EXPECT_EQ(negativeZero.normalize(), 0.0f);
  expectComponents(negativeZero, 0, 0, 0);
  // A length whose square underflows a float is not mistaken for zero.
  const float tiny = std::ldexp(1.0f, -100);
  Vec small(3 * tiny, 0, 4 * tiny);
  EXPECT_EQ(small.normalize(), 5 * tiny);
  EXPECT_FLOAT_EQ(small.getZ(), 0.8f);
}

TEST(Vector3d, ComparisonsAreComponentWiseAndNaNMakesThemFalse) {
  struct Case { Vec a, b; bool equal, lessEqual, greaterEqual; } cases[] = {
      {Vec(1, 2, 3), Vec(1, 2, 3), true, true, true},
      {Vec(1, 5, 3), Vec(2, 4, 3), false, false, false},  // neither way
      {Vec(1, 2, 3), Vec(1, 2, 4), false, true, false},
      {Vec(2, 2, 4), Vec(1, 2, 3), false, false, true},
      {Vec(-0.0f, 0, 0), Vec(0, 0, 0), true, true, true},  // -0 equals +0
      {Vec(NaN, 0, 0), Vec(NaN, 0, 0), false, false, false},
  };
  int row = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << row;
    EXPECT_EQ(c.a != c.b, !c.equal) << row;
    EXPECT_EQ(c.a <= c.b, c.lessEqual) << row;
    EXPECT_EQ(c.a >= c.b, c.greaterEqual) << row++;
  }
}

TEST(Vector3d, ArithmeticAndAccessorsWorkComponentWise) {
  const Vec a(1, 2, 3);
  const Vec b(0.5f, -4, 8);
  expectComponents(a + b, 1.5f, -2, 11);
  expectComponents(a - b, 0.5f, 6, -5);
  expectComponents(-Vec(), -0.0f, -0.0f, -0.0f);
  expectComponents(a * 2.0f, 2, 4, 6);
  expectComponents(a * b, 0.5f, -8, 24);
  Vec c = a;
  c += b;
  c -= Vec(1, 1, 1);
  c *= 2.0f;
  c *= Vec(1, 0.5f, -1);
  expectComponents(c, 1, -3, -20);
  c.update(Vec(1, 1, 1));
  c.x() = 7;
  c.setY(8);
  c.z() += 8;
  expectComponents(c, 7, 8, -11);
  c.set(Vec(4, 5, 6));
  c.setX(1), c.setZ(2);
  expectComponents(c, 1, 5, 2);
  c.zero();
  expectComponents(c, 0, 0, 0);
}

}  // namespace
