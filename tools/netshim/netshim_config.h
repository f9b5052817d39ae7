// What the latency shim (libtessel_netshim.so) reads, shared by the shim
// and by tessel-room, which writes it.
//
// The shim is preloaded (LD_PRELOAD) into a process; it stays inert unless
// the environment names a configuration file and the process's place:
//
//   TESSEL_NETSHIM_CONFIG   path of the configuration file
//   TESSEL_NETSHIM_PLACE    this process's place, 0 to places - 1
//   TESSEL_NETSHIM_SEED     seed of its random loss and jitter (optional)
//
// The configuration file is text, one setting a line, '#' starts a comment:
//
//   places N            number of places, 1 to MaxPlaces
//   delay FROM TO US    one-way delay in microseconds of a datagram sent
//                       from place FROM to place TO (missing pairs: 0)
//   loss P              probability, 0 to 1, that a datagram is dropped
//   jitter US           each datagram waits a further random 0 to US
//                       microseconds (order per destination is kept)
//   ports PATH          the port table: a file of PortTableSize bytes that
//                       every shimmed process maps shared; byte p holds the
//                       place of the process that owns 127.0.0.1 UDP port p,
//                       plus one (0: nobody known). Each process enters the
//                       ports it binds or sends from.
//
// Any thread.

#ifndef TESSEL_TOOLS_NETSHIM_NETSHIM_CONFIG_H_
#define TESSEL_TOOLS_NETSHIM_NETSHIM_CONFIG_H_

#include <cstddef>

namespace tessel_netshim {

constexpr const char* ConfigVariable = "TESSEL_NETSHIM_CONFIG";
constexpr const char* PlaceVariable = "TESSEL_NETSHIM_PLACE";
constexpr const char* SeedVariable = "TESSEL_NETSHIM_SEED";
constexpr int MaxPlaces = 250;
constexpr size_t PortTableSize = 65536;

}  // namespace tessel_netshim

#endif  // TESSEL_TOOLS_NETSHIM_NETSHIM_CONFIG_H_
