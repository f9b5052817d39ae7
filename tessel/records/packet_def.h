// PacketDef gathers the records that the client exchanges with the world's
// servers and that peers exchange inside the overlay. Every record is a plain
// value: packed without gaps, little-endian, copied byte for byte, with no
// heap memory and no virtual functions. A PeerProperty travels as exactly 50
// bytes, for example as the payload of an overlay Disconnect packet.
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

    uint32_t word;

    RoomId() : word(0) {}

    uint32_t major() const { return word & 0x3FFu; }
    uint32_t minor() const { return (word >> 10) & 0x3FFFu; }
    uint32_t slot() const { return word >> 24; }
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
    HostIdInfo(int id, const HostInfo& info) : id(id), hostInfo(info) {}
    void set(int newId, const HostInfo& info) {
      id = newId;
      hostInfo = info;
    }
    // True when the id is not -1 and the address is specified.
    bool isSpecified() const { return id != -1 && hostInfo.isSpecified(); }
    bool operator==(const HostIdInfo& other) const { return id == other.id && hostInfo == other.hostInfo; }
    bool operator!=(const HostIdInfo& other) const { return !(*this == other); }
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

#endif  // TESSEL_RECORDS_PACKET_DEF_H_
