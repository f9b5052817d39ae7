// KivSocketAddress on BSD sockets: the storage is a sockaddr_in.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "tessel/toolkit/kiv_socket_address.h"

static_assert(sizeof(sockaddr_in) <= KivSocketAddress::StorageSize);
static_assert(alignof(sockaddr_in) <= 8);

KivSocketAddress::KivSocketAddress() : length_(0) { std::memset(storage, 0, sizeof(storage)); }

int KivSocketAddress::set(uint32_t ip, int port) {
  std::memset(storage, 0, sizeof(storage));
  length_ = 0;
  if (ip == 0xFFFFFFFFu || port < 1 || port > 65535) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = ip;
  std::memcpy(storage, &address, sizeof(address));
  length_ = static_cast<int>(sizeof(address));
  return 0;
}

bool KivSocketAddress::matches(const sockaddr* address, int length) const {
  if (length_ == 0 || address == nullptr || length < static_cast<int>(sizeof(sockaddr_in))) return false;
  sockaddr_in held{};
  sockaddr_in other{};
  std::memcpy(&held, storage, sizeof(held));
  std::memcpy(&other, address, sizeof(other));
  return other.sin_family == AF_INET && other.sin_port == held.sin_port &&
         other.sin_addr.s_addr == held.sin_addr.s_addr;
}
