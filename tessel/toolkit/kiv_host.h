// KivHost answers what the local machine is called and which IPv4
// addresses its name resolves to, and resolves other hosts' names. Any
// thread.

#ifndef TESSEL_TOOLKIT_KIV_HOST_H_
#define TESSEL_TOOLKIT_KIV_HOST_H_

#include <cstdint>
#include <vector>

#include "tessel/tessel_export.h"

class TESSEL_EXPORT KivHost {
 public:
  // The IPv4 addresses of the local host name, in the resolver's order, as
  // host-order numbers (a.b.c.d is a*2^24 + b*2^16 + c*2^8 + d). 0, or -1
  // when the name cannot be read or resolved.
  static int getLocalAddresses(std::vector<uint32_t>& addresses);
  // The IPv4 addresses of name (a host name or a dotted address), in the
  // resolver's order, appended in network byte order as KivSocket takes
  // them. 0 with at least one address, or -1 when name is null or empty
  // or resolves to no IPv4 address.
  static int resolve(const char* name, std::vector<uint32_t>& addresses);
};

#endif  // TESSEL_TOOLKIT_KIV_HOST_H_
