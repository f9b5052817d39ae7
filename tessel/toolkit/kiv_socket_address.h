// KivSocketAddress holds one IPv4 address and port in the form that
// KivSocket's write takes for its to argument, so that code outside the
// toolkit can name a datagram's destination without the system's socket
// headers.
//
// Plain value; one object is used by one thread at a time.

#ifndef TESSEL_TOOLKIT_KIV_SOCKET_ADDRESS_H_
#define TESSEL_TOOLKIT_KIV_SOCKET_ADDRESS_H_

#include <cstdint>

#include "tessel/tessel_export.h"

struct sockaddr;

class TESSEL_EXPORT KivSocketAddress {
 public:
  // Room for the system's IPv4 socket address.
  static constexpr int StorageSize = 16;

  // An empty address: get() names no destination (length() 0).
  KivSocketAddress();

  // ip in network byte order (as KivSocket takes it), port in host order.
  // 0, or -1 for ip 0xFFFFFFFF or a port outside 1..65535; the object is
  // then empty.
  int set(uint32_t ip, int port);

  sockaddr* get() { return reinterpret_cast<sockaddr*>(storage); }
  // The byte count of the address held, 0 when empty; pass it as toLength.
  int length() const { return length_; }

  // True when address, of length bytes as KivSocket's read filled it in,
  // is the IPv4 address and port held here; false when this one is empty.
  bool matches(const sockaddr* address, int length) const;

 private:
  alignas(8) unsigned char storage[StorageSize];
  int length_;
};

#endif  // TESSEL_TOOLKIT_KIV_SOCKET_ADDRESS_H_
