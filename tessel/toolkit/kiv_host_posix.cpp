#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "tessel/toolkit/kiv_host.h"

int KivHost::getLocalAddresses(std::vector<uint32_t>& addresses) {
  char name[260];
  std::memset(name, 0, sizeof(name));
  if (gethostname(name, sizeof(name) - 1) != 0) return -1;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return -1;
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
    addresses.push_back(ntohl(address->sin_addr.s_addr));
  }
  freeaddrinfo(found);
  return 0;
}

int KivHost::resolve(const char* name, std::vector<uint32_t>& addresses) {
  if (name == nullptr || name[0] == '\0') return -1;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;  // one entry per address
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return -1;
  size_t before = addresses.size();
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr || entry->ai_addrlen < sizeof(sockaddr_in)) continue;
    addresses.push_back(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
  }
  freeaddrinfo(found);
  return addresses.size() > before ? 0 : -1;
}
