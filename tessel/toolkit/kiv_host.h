// KivHost answers what the local machine is called and which IPv4
// addresses its name resolves to. Any thread.

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
};

#endif  // TESSEL_TOOLKIT_KIV_HOST_H_
