// The time packet from a peer: a synchronising client reads the root's
// answer with getTimeOffset, the root answers a request with respond. Both
// read 48 bytes that anyone can send. The input gives the local clock (8
// bytes of milliseconds since 1970) and then the packet; a short packet is
// padded with zeros, as the callers always hand over 48 bytes.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "tessel/toolkit/kiv_net_time.h"

using tessel_fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessel_fuzz::FuzzInput input(data, size);
  int64_t now = static_cast<int64_t>(uint64_t(input.u32()) | uint64_t(input.u32()) << 32);
  tessel_fuzz::setClock(now, 1000);

  unsigned char packet[KivNetTime::PacketSize] = {};
  size_t taken = 0;
  const uint8_t* bytes = input.bytes(sizeof(packet), &taken);
  std::memcpy(packet, bytes, taken);

  // The client side: any answer reads as an offset or -1.
  unsigned char copy[KivNetTime::PacketSize];
  std::memcpy(copy, packet, sizeof(copy));
  KivNetTime::getTimeOffset(copy);
  check(std::memcmp(copy, packet, sizeof(copy)) == 0);

  // The root's side: the answer keeps version, poll and precision, turns a
  // client request into a server answer, and echoes the request's transmit
  // time as its originate time.
  unsigned char answer[KivNetTime::PacketSize];
  std::memset(answer, 0xAA, sizeof(answer));
  KivNetTime::respond(copy, answer);
  check((answer[0] >> 6) == 0);
  check(((answer[0] >> 3) & 7) == ((packet[0] >> 3) & 7));
  check((answer[0] & 7) == ((packet[0] & 7) == 3 ? 4 : 2));
  check(answer[1] == 15 && answer[2] == packet[2] && answer[3] == packet[3]);
  check(std::memcmp(answer + 24, packet + 40, 8) == 0);
  for (int i = 4; i < 24; ++i) check(answer[i] == 0);

  // The answer read back at once spans no time: its offset is 0 or -1
  // (a request whose transmit time is zero, or lies over an hour away,
  // gives -1).
  int32_t offset = KivNetTime::getTimeOffset(answer);
  (void)offset;

  // The arithmetic on stamps wraps, whatever the fields hold.
  KivNetTime::NetTime a(input.u32(), input.u32());
  KivNetTime::NetTime b(input.u32(), input.u32());
  int32_t shift = static_cast<int32_t>(input.u32());
  (void)(a - b);
  (void)(a + shift);
  (void)(a < b);
  return 0;
}
