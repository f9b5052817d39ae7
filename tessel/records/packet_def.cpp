#include "tessel/records/packet_def.h"

#include <cstring>

PacketDef::HostInfo::HostInfo() : port(-1) { std::memset(host, 0, sizeof(host)); }

PacketDef::HostInfo::HostInfo(const char* name, int newPort) { set(name, newPort); }

void PacketDef::HostInfo::set(const char* name, int newPort) {
  // Bounded copy: at most HostSize characters, the rest padded with NULs,
  // and the last byte forced to NUL so a long name is cut to 63.
  std::memset(host, 0, sizeof(host));
  if (name != nullptr) {
    size_t length = strnlen(name, HostSize);
    std::memcpy(host, name, length);
  }
  host[HostSize - 1] = '\0';
  port = newPort;
}

bool PacketDef::HostInfo::isSpecified() const { return host[0] != '\0' && port != -1; }

bool PacketDef::HostInfo::operator==(const HostInfo& other) const {
  // Both names are NUL-terminated within the field, whatever was copied in.
  return strncmp(host, other.host, HostSize) == 0 && port == other.port;
}
