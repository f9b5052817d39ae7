// The library's error codes and their fixed messages. The engine's last
// error (Tessel::getError) and the code of a JobError job are read with
// errorText(). Codes from 0x10001 to 0x10301 other than NoTopology and
// Timeout are never raised here: the table names them for codes that reach
// the host from peers or from its own servers.

#ifndef TESSEL_ENGINE_TESSEL_ERROR_H_
#define TESSEL_ENGINE_TESSEL_ERROR_H_

#include <cstdint>

#include "tessel/tessel_export.h"

namespace zintar {

struct TESSEL_EXPORT ErrorCode {
  static constexpr uint32_t Successful = 0x00000;
  // Building the overlay topology failed.
  static constexpr uint32_t NoTopology = 0x10111;
  // Connecting the overlay peers timed out.
  static constexpr uint32_t Timeout = 0x10301;
  // Memory, an instance, a host or a connection could not be created.
  static constexpr uint32_t CannotCreate = 0x10F01;
  // The local address could not be determined.
  static constexpr uint32_t NoSystemInfo = 0x10F03;
  // A packet could not be sent or no answer came.
  static constexpr uint32_t SendReceive = 0x10F05;
  static constexpr uint32_t UnknownPacketType = 0x10F07;
};

// The fixed message of code; "Unknown error" for every code not in the
// table. The text lives as long as the library.
TESSEL_EXPORT const char* errorText(uint32_t code);

}  // namespace zintar

#endif  // TESSEL_ENGINE_TESSEL_ERROR_H_
