// PacketDef gathers the records that the client exchanges with the world's
// servers and that peers exchange inside the overlay. Every record is a plain
// value: packed without gaps, little-endian, copied byte for byte, with no
// heap memory and no virtual functions. A PeerProperty travels as exactly 50
// bytes, for example as the payload of an overlay Disconnect packet.
//
// The server records (Packet and its bodies, from AvatarEvent on) are kept
// for the host application: the library itself neither sends nor receives
// them. Packet::size gives the length of a packet on the wire from its type
// code. Most bodies are records the servers give meaning to; the library
// knows only their sizes, how they are copied and compared.
//
// Every record here has alignment 1, so a body viewed at offset 2 of a
// Packet is as valid as one on its own. Read and write fields by value: a
// pointer or reference to a multi-byte field may be misaligned. Floats inside records are packed
// fields (Position) rather than Vector3d members, whose accessors hand out
// references that must be aligned.
//
// Header words with bit fields (RoomId) are read and written with shifts and
// masks on a little-endian 32-bit word, never with C bit fields, so that the
// layout is the same with every compiler.
//
// Any thread may use these records; they carry no state of their own.

#ifndef TESSEL_RECORDS_PACKET_DEF_H_
#define TESSEL_RECORDS_PACKET_DEF_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "tessel/records/vector3d.h"
#include "tessel/tessel_export.h"

static_assert(std::endian::native == std::endian::little,
              "the wire records are laid out for a little-endian machine");

#pragma pack(push, 1)

struct TESSEL_EXPORT PacketDef {
  // A room and, inside a PeerProperty, the peer's slot in it: one 32-bit
  // word, major in bits 0-9, minor in bits 10-23, slot in bits 24-31.
  struct TESSEL_EXPORT RoomId {
    static constexpr uint32_t MaxMajor = 1023;
    static constexpr uint32_t MaxMinor = 16383;
    // A room has slots 0..MaxSlots-1; every per-slot table has MaxSlots
    // entries, and every slot read from outside is checked with isSlot
    // before it indexes one.
    static constexpr int MaxSlots = 32;
    static constexpr bool isSlot(int64_t slot) { return slot >= 0 && slot < MaxSlots; }

    uint32_t word;

    RoomId() : word(0) {}

    uint32_t major() const { return word & 0x3FFu; }
    uint32_t minor() const { return (word >> 10) & 0x3FFFu; }
    uint32_t slot() const { return word >> 24; }
    // The same room (major and minor); the slot takes no part.
    bool sameRoom(RoomId other) const { return ((word ^ other.word) & 0x00FFFFFFu) == 0; }
    // Each setter keeps only the field's width of its argument.
    void setMajor(uint32_t value) { word = (word & ~0x3FFu) | (value & 0x3FFu); }
    void setMinor(uint32_t value) { word = (word & ~(0x3FFFu << 10)) | ((value & 0x3FFFu) << 10); }
    void setSlot(uint32_t value) { word = (word & 0x00FFFFFFu) | ((value & 0xFFu) << 24); }

    // Equal when all 32 bits are equal, slot included.
    bool operator==(const RoomId& other) const { return word == other.word; }
    bool operator!=(const RoomId& other) const { return word != other.word; }
    // Orders by major, then minor; the slot takes no part. Returns 1 or 0.
    int operator<(const RoomId& other) const {
      if (major() != other.major()) return major() < other.major() ? 1 : 0;
      return minor() < other.minor() ? 1 : 0;
    }
  };

  // Twelve bytes that the servers give meaning to; the library creates,
  // clears and copies them.
  struct TESSEL_EXPORT PeerTag {
    int32_t id;
    uint16_t kind;
    uint32_t address;
    uint16_t port;

    PeerTag() { clear(); }
    void clear() {
      id = -1;
      kind = 0;
      address = 0xFFFFFFFFu;
      port = 0xFFFF;
    }
  };

  // Everything the library knows about one peer. The flag bytes are kept as
  // 8-bit numbers rather than bool because records arrive from the network
  // and from the host: any non-zero byte means true.
  struct TESSEL_EXPORT PeerProperty {
    int32_t id;                  // peer id; -1 marks an empty record
    RoomId roomId;               // the room; its slot is the peer's slot
    uint32_t ip;                 // IPv4 address as a host-order number
    uint16_t port;               // UDP port of the overlay endpoint
    uint8_t hasRealIp;           // ip is public (not loopback, not private)
    uint8_t listen;              // the overlay endpoint accepts connections
    uint8_t auxFlag;             // carried, not interpreted
    uint8_t excludeFromClosest;  // never chosen as the closest peer
    uint32_t aux1;               // carried, not interpreted
    PeerTag tag;                 // carried, not interpreted
    uint32_t aux2;
    uint32_t aux3;
    uint32_t aux4;
    uint32_t aux5;

    PeerProperty() { clear(); }
    void clear() {
      id = -1;
      roomId = RoomId();
      ip = 0xFFFFFFFFu;
      port = 0xFFFF;
      hasRealIp = 0;
      listen = 0;
      auxFlag = 0;
      excludeFromClosest = 0;
      aux1 = 0;
      tag.clear();
      aux2 = 0;
      aux3 = 0xFFFFFFFFu;
      aux4 = 0;
      aux5 = 0;
    }
  };

  // The address of a server: a NUL-terminated name of at most 63 characters
  // and a port (-1: not specified).
  struct TESSEL_EXPORT HostInfo {
    static constexpr size_t HostSize = 64;

    char host[HostSize];
    int32_t port;

    HostInfo();
    HostInfo(const char* host, int port);
    // Copies at most 63 characters of host (a longer name is cut) and pads
    // the field with NUL bytes; a null host stores an empty name.
    void set(const char* host, int port);
    // True when the name is not empty and the port is not -1.
    bool isSpecified() const;
    // Case-sensitive name comparison and equal ports.
    bool operator==(const HostInfo& other) const;
    bool operator!=(const HostInfo& other) const { return !(*this == other); }
  };

  // A server with its id, as one entry of the galaxy list.
  struct TESSEL_EXPORT HostIdInfo {
    int32_t id;
    HostInfo hostInfo;

    HostIdInfo() : id(-1) {}
    HostIdInfo(int newId, const HostInfo& info) : id(newId), hostInfo(info) {}
    void set(int newId, const HostInfo& info) {
      id = newId;
      hostInfo = info;
    }
    // True when the id is not -1 and the address is specified.
    bool isSpecified() const { return id != -1 && hostInfo.isSpecified(); }
    bool operator==(const HostIdInfo& other) const { return id == other.id && hostInfo == other.hostInfo; }
    bool operator!=(const HostIdInfo& other) const { return !(*this == other); }
  };

  // ---- Server records -------------------------------------------------

  // Three floats x, y, z as they lie inside a record.
  struct TESSEL_EXPORT Position {
    float x = 0;
    float y = 0;
    float z = 0;

    Vector3d<float> toVector() const { return Vector3d<float>(x, y, z); }
    void set(float newX, float newY, float newZ) {
      x = newX;
      y = newY;
      z = newZ;
    }
    void set(const Vector3d<float>& value) { set(value.getX(), value.getY(), value.getZ()); }
  };

  // The event block of an avatar: seven integers and four floats whose
  // meaning the servers and the host application give.
  struct TESSEL_EXPORT AvatarEvent {
    static constexpr size_t IntCount = 7;
    static constexpr size_t RealCount = 4;

    int32_t values[IntCount];
    float reals[RealCount];

    AvatarEvent() { clear(); }
    // Sets all eleven fields to 0.
    void clear();
  };

  // One avatar's state as the servers distribute it: 124 bytes.
  struct TESSEL_EXPORT AvatarUpdate {
    static constexpr size_t NameSize = 16;  // 15 characters and a NUL
    // 100-nanosecond units from 1601-01-01 to 1970-01-01 (UTC).
    static constexpr uint64_t FileTimeUnixEpoch = 116444736000000000ull;

    int32_t id;
    // NUL-terminated, at most 15 characters. Mutable because comparison
    // clears the bytes after the terminator in place.
    mutable char name[NameSize];
    int32_t worldId;
    Position currentPosition;
    Position previousPosition;
    uint64_t shape;
    uint64_t updateTime;  // Windows file time: 100 ns units since 1601 UTC
    uint64_t filterTime;  // same unit
    int32_t avatarIO;
    int32_t sessionIO;
    AvatarEvent event;

    // Every constructor starts from the defaults: id and worldId -1, the
    // name empty, everything else 0.
    AvatarUpdate();
    explicit AvatarUpdate(int32_t id);
    AvatarUpdate(int32_t id, int worldId, float x, float y, float z);
    AvatarUpdate(int32_t id, int worldId, Vector3d<float> position);

    // Set id, worldId and currentPosition only.
    void set(int32_t newId, int newWorldId, float x, float y, float z);
    void set(int32_t newId, int newWorldId, Vector3d<float> position);

    void setId(int32_t value) { id = value; }
    void setWorldId(int value) { worldId = value; }
    void setShape(uint64_t value) { shape = value; }
    void setAvatarIO(int value) { avatarIO = value; }
    void setSessionIO(int value) { sessionIO = value; }
    void setIO(int newAvatarIO, int newSessionIO) {
      avatarIO = newAvatarIO;
      sessionIO = newSessionIO;
    }
    void setCurrentPosition(float x, float y, float z) { currentPosition.set(x, y, z); }
    void setCurrentPosition(Vector3d<float> position) { currentPosition.set(position); }
    void setPreviousPosition(float x, float y, float z) { previousPosition.set(x, y, z); }
    void setPreviousPosition(Vector3d<float> position) { previousPosition.set(position); }
    Vector3d<float> getCurrentPosition() const { return currentPosition.toVector(); }
    Vector3d<float> getPreviousPosition() const { return previousPosition.toVector(); }

    // Keeps at most the first 15 characters of value and terminates them;
    // reads no further than value's own terminator. A null value stores an
    // empty name.
    void setName(const char* value);

    // The current wall-clock time (UTC) as a Windows file time, or the given
    // value.
    void setUpdateTime();
    void setUpdateTime(uint64_t value) { updateTime = value; }
    void setFilterTime();
    void setFilterTime(uint64_t value) { filterTime = value; }
    // The wall clock as a Windows file time; 0 for times before 1601.
    static uint64_t currentFileTime();

    // Clears the name bytes after the first NUL in both records (in place),
    // then compares all 124 bytes; floats compare by their bits, so -0 and
    // +0 differ and a NaN equals the same NaN. Not safe against another
    // thread using either record at the same time.
    bool operator==(const AvatarUpdate& other) const;
    bool operator!=(const AvatarUpdate& other) const { return !(*this == other); }
  };

  // One entry of an AvatarDetails body: 2472 bytes the servers give
  // meaning to. The constructor zeroes all of it.
  struct TESSEL_EXPORT AvatarDetail {
    int32_t words[14];
    float reals[4];
    int32_t moreWords[7];
    uint16_t shortA;
    uint8_t bytesA[1792];
    uint16_t shortB;
    uint8_t bytesB[576];

    AvatarDetail();
  };

  // The largest body: a 16-bit field and ten AvatarDetail entries.
  struct TESSEL_EXPORT AvatarDetails {
    static constexpr size_t DetailCount = 10;

    uint16_t lead = 0;
    AvatarDetail details[DetailCount];
  };

  // Sixteen bytes: three 32-bit words and two 16-bit fields.
  struct TESSEL_EXPORT TileEnable {
    uint32_t words[3] = {};
    uint16_t halves[2] = {};

    // Equal when all five fields are equal.
    bool operator==(const TileEnable& other) const {
      return words[0] == other.words[0] && words[1] == other.words[1] && words[2] == other.words[2] &&
             halves[0] == other.halves[0] && halves[1] == other.halves[1];
    }
    bool operator!=(const TileEnable& other) const { return !(*this == other); }
  };

  // Records the library copies whole and never interprets. The default
  // constructors zero them.
  struct TESSEL_EXPORT LoginInfo {
    uint32_t words[8] = {};
  };
  struct TESSEL_EXPORT Bulk {
    uint32_t words[4] = {};
  };
  struct TESSEL_EXPORT AsterismInfo {
    uint32_t words[3] = {};
  };
  struct TESSEL_EXPORT AvatarSimple {
    uint32_t words[2] = {};
  };
  struct TESSEL_EXPORT AvatarFilter {
    uint32_t word = 0;
    uint8_t extra = 0;
  };
  struct TESSEL_EXPORT AvatarGru {
    uint32_t words[14] = {};
  };
  struct TESSEL_EXPORT AvatarItem {
    uint32_t words[2] = {};
    uint8_t extra = 0;
  };
  struct TESSEL_EXPORT FilterNodeRequest {
    uint32_t words[4] = {};
  };
  struct TESSEL_EXPORT AvatarFilterUpdate {
    uint32_t words[4] = {};
    uint8_t extra = 0;
  };

  // The message unit between the client and the servers: a 16-bit type code
  // and one body record chosen by the type. Only the first size(true) bytes
  // are meaningful on the wire; the rest of the body is not initialised.
  struct TESSEL_EXPORT Packet {
    static constexpr size_t HeaderSize = 2;
    static constexpr size_t BodySize = 24722;  // the largest body, AvatarDetails
    static constexpr size_t PacketSize = HeaderSize + BodySize;
    // Type of a packet constructed without one; not a known code.
    static constexpr uint16_t NoType = 0xFFFF;
    // A packet of the type code alone.
    static constexpr uint16_t TypeOnly = 0;
    // A body of a 32-bit length word n, two more 32-bit words and n bytes.
    static constexpr uint16_t LengthPrefixed = 0x0A00;
    static constexpr size_t LengthPrefixedHeaderSize = 12;

    uint16_t type;
    uint8_t body[BodySize];

    // Type NoType; the body is left uninitialised.
    Packet() : type(NoType) {}
    // For LengthPrefixed, the length word and the word after it are set to 0.
    explicit Packet(uint16_t newType);

    // For LengthPrefixed, the length word is set to 0.
    void setType(uint16_t newType);
    uint16_t getType() const { return type; }

    // Bytes of this packet on the wire, by its type code: the body's size,
    // plus HeaderSize when withType is true. Type 0 gives 2 and an unknown
    // code gives PacketSize, whatever withType says. A LengthPrefixed body
    // gives 12 + n; -1 when that does not fit in an int.
    int size(bool withType) const;

    // The body viewed as one record.
    AvatarUpdate& getAvatarUpdate() { return bodyAs<AvatarUpdate>(); }
    const AvatarUpdate& getAvatarUpdate() const { return bodyAs<AvatarUpdate>(); }
    LoginInfo& getLogin() { return bodyAs<LoginInfo>(); }
    const LoginInfo& getLogin() const { return bodyAs<LoginInfo>(); }
    AvatarDetails& getAvatarDetails() { return bodyAs<AvatarDetails>(); }
    const AvatarDetails& getAvatarDetails() const { return bodyAs<AvatarDetails>(); }
    HostInfo& getHostInfo() { return bodyAs<HostInfo>(); }
    const HostInfo& getHostInfo() const { return bodyAs<HostInfo>(); }
    HostIdInfo& getHostIdInfo() { return bodyAs<HostIdInfo>(); }
    const HostIdInfo& getHostIdInfo() const { return bodyAs<HostIdInfo>(); }
    TileEnable& getTileEnable() { return bodyAs<TileEnable>(); }
    const TileEnable& getTileEnable() const { return bodyAs<TileEnable>(); }
    AvatarSimple& getAvatarSimple() { return bodyAs<AvatarSimple>(); }
    const AvatarSimple& getAvatarSimple() const { return bodyAs<AvatarSimple>(); }
    AvatarFilterUpdate& getAvatarFilterUpdate() { return bodyAs<AvatarFilterUpdate>(); }
    const AvatarFilterUpdate& getAvatarFilterUpdate() const { return bodyAs<AvatarFilterUpdate>(); }
    FilterNodeRequest& getFilterNodeRequest() { return bodyAs<FilterNodeRequest>(); }
    const FilterNodeRequest& getFilterNodeRequest() const { return bodyAs<FilterNodeRequest>(); }
    PeerProperty& getPeerProperty() { return bodyAs<PeerProperty>(); }
    const PeerProperty& getPeerProperty() const { return bodyAs<PeerProperty>(); }
    RoomId& getRoomId() { return bodyAs<RoomId>(); }
    const RoomId& getRoomId() const { return bodyAs<RoomId>(); }

   private:
    template <typename Record>
    Record& bodyAs() {
      static_assert(sizeof(Record) <= BodySize && alignof(Record) == 1);
      return *reinterpret_cast<Record*>(body);
    }
    template <typename Record>
    const Record& bodyAs() const {
      static_assert(sizeof(Record) <= BodySize && alignof(Record) == 1);
      return *reinterpret_cast<const Record*>(body);
    }
  };
};

#pragma pack(pop)

static_assert(sizeof(PacketDef::RoomId) == 4);
static_assert(sizeof(PacketDef::PeerTag) == 12);
static_assert(offsetof(PacketDef::PeerTag, id) == 0);
static_assert(offsetof(PacketDef::PeerTag, kind) == 4);
static_assert(offsetof(PacketDef::PeerTag, address) == 6);
static_assert(offsetof(PacketDef::PeerTag, port) == 10);
static_assert(sizeof(PacketDef::PeerProperty) == 50);
static_assert(offsetof(PacketDef::PeerProperty, id) == 0);
static_assert(offsetof(PacketDef::PeerProperty, roomId) == 4);
static_assert(offsetof(PacketDef::PeerProperty, ip) == 8);
static_assert(offsetof(PacketDef::PeerProperty, port) == 12);
static_assert(offsetof(PacketDef::PeerProperty, hasRealIp) == 14);
static_assert(offsetof(PacketDef::PeerProperty, listen) == 15);
static_assert(offsetof(PacketDef::PeerProperty, auxFlag) == 16);
static_assert(offsetof(PacketDef::PeerProperty, excludeFromClosest) == 17);
static_assert(offsetof(PacketDef::PeerProperty, aux1) == 18);
static_assert(offsetof(PacketDef::PeerProperty, tag) == 22);
static_assert(offsetof(PacketDef::PeerProperty, aux2) == 34);
static_assert(offsetof(PacketDef::PeerProperty, aux3) == 38);
static_assert(offsetof(PacketDef::PeerProperty, aux4) == 42);
static_assert(offsetof(PacketDef::PeerProperty, aux5) == 46);
static_assert(sizeof(PacketDef::HostInfo) == 68);
static_assert(offsetof(PacketDef::HostInfo, host) == 0);
static_assert(offsetof(PacketDef::HostInfo, port) == 64);
static_assert(sizeof(PacketDef::HostIdInfo) == 72);
static_assert(offsetof(PacketDef::HostIdInfo, id) == 0);
static_assert(offsetof(PacketDef::HostIdInfo, hostInfo) == 4);

// Server records.
static_assert(sizeof(PacketDef::Position) == 12 && alignof(PacketDef::Position) == 1);
static_assert(sizeof(PacketDef::AvatarEvent) == 44);
static_assert(offsetof(PacketDef::AvatarEvent, values) == 0);
static_assert(offsetof(PacketDef::AvatarEvent, reals) == 28);
static_assert(sizeof(PacketDef::AvatarUpdate) == 124);
static_assert(offsetof(PacketDef::AvatarUpdate, id) == 0);
static_assert(offsetof(PacketDef::AvatarUpdate, name) == 4);
static_assert(offsetof(PacketDef::AvatarUpdate, worldId) == 20);
static_assert(offsetof(PacketDef::AvatarUpdate, currentPosition) == 24);
static_assert(offsetof(PacketDef::AvatarUpdate, previousPosition) == 36);
static_assert(offsetof(PacketDef::AvatarUpdate, shape) == 48);
static_assert(offsetof(PacketDef::AvatarUpdate, updateTime) == 56);
static_assert(offsetof(PacketDef::AvatarUpdate, filterTime) == 64);
static_assert(offsetof(PacketDef::AvatarUpdate, avatarIO) == 72);
static_assert(offsetof(PacketDef::AvatarUpdate, sessionIO) == 76);
static_assert(offsetof(PacketDef::AvatarUpdate, event) == 80);
static_assert(sizeof(PacketDef::AvatarDetail) == 2472);
static_assert(offsetof(PacketDef::AvatarDetail, words) == 0);
static_assert(offsetof(PacketDef::AvatarDetail, reals) == 56);
static_assert(offsetof(PacketDef::AvatarDetail, moreWords) == 72);
static_assert(offsetof(PacketDef::AvatarDetail, shortA) == 100);
static_assert(offsetof(PacketDef::AvatarDetail, bytesA) == 102);
static_assert(offsetof(PacketDef::AvatarDetail, shortB) == 1894);
static_assert(offsetof(PacketDef::AvatarDetail, bytesB) == 1896);
static_assert(sizeof(PacketDef::AvatarDetails) == 24722);
static_assert(offsetof(PacketDef::AvatarDetails, lead) == 0);
static_assert(offsetof(PacketDef::AvatarDetails, details) == 2);
static_assert(sizeof(PacketDef::TileEnable) == 16);
static_assert(offsetof(PacketDef::TileEnable, words) == 0);
static_assert(offsetof(PacketDef::TileEnable, halves) == 12);
static_assert(sizeof(PacketDef::LoginInfo) == 32);
static_assert(sizeof(PacketDef::Bulk) == 16);
static_assert(sizeof(PacketDef::AsterismInfo) == 12);
static_assert(sizeof(PacketDef::AvatarSimple) == 8);
static_assert(sizeof(PacketDef::AvatarFilter) == 5);
static_assert(offsetof(PacketDef::AvatarFilter, extra) == 4);
static_assert(sizeof(PacketDef::AvatarGru) == 56);
static_assert(sizeof(PacketDef::AvatarItem) == 9);
static_assert(offsetof(PacketDef::AvatarItem, extra) == 8);
static_assert(sizeof(PacketDef::FilterNodeRequest) == 16);
static_assert(sizeof(PacketDef::AvatarFilterUpdate) == 17);
static_assert(offsetof(PacketDef::AvatarFilterUpdate, extra) == 16);
static_assert(sizeof(PacketDef::Packet) == 24724);
static_assert(offsetof(PacketDef::Packet, type) == 0);
static_assert(offsetof(PacketDef::Packet, body) == 2);
static_assert(sizeof(PacketDef::AvatarDetails) == PacketDef::Packet::BodySize);
// Records travel by plain copy.
static_assert(std::is_trivially_copyable_v<PacketDef::AvatarUpdate>);
static_assert(std::is_trivially_copyable_v<PacketDef::AvatarDetails>);
static_assert(std::is_trivially_copyable_v<PacketDef::Packet>);

#endif  // TESSEL_RECORDS_PACKET_DEF_H_
