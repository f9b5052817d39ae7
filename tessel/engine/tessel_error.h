// The fixed messages of the library's error codes (ErrorCode). The
// engine's last error (Tessel::getError) and the code of a JobError job
// are read with errorText().

#ifndef TESSEL_ENGINE_TESSEL_ERROR_H_
#define TESSEL_ENGINE_TESSEL_ERROR_H_

#include <cstdint>

#include "tessel/records/error_code.h"
#include "tessel/tessel_export.h"

namespace zintar {

// The fixed message of code; "Unknown error" for every code not in the
// table. The text lives as long as the library.
TESSEL_EXPORT const char* errorText(uint32_t code);

}  // namespace zintar

#endif  // TESSEL_ENGINE_TESSEL_ERROR_H_
