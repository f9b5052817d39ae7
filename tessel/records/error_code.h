// The library's error codes, shared by the engine (its last error, JobError
// jobs) and the overlay (which reports them to the engine). Their fixed
// messages are the engine's (tessel/engine/tessel_error.h). Codes from
// 0x10001 to 0x10301 other than NoTopology and Timeout are never raised
// here: the table names them for codes that reach the host from peers or
// from its own servers.

#ifndef TESSEL_RECORDS_ERROR_CODE_H_
#define TESSEL_RECORDS_ERROR_CODE_H_

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

}  // namespace zintar

#endif  // TESSEL_RECORDS_ERROR_CODE_H_
