// Little-endian 32-bit fields of the ping list and topology description.

#ifndef TESSEL_PLANNER_WIRE_BYTES_H_
#define TESSEL_PLANNER_WIRE_BYTES_H_

#include <cstdint>
#include <cstring>
#include <string>

namespace zintar {

inline int32_t readInt(const char* at) {
  int32_t value;
  std::memcpy(&value, at, sizeof(value));
  return value;
}

inline void putInt(std::string& bytes, int32_t value) {
  bytes.append(reinterpret_cast<const char*>(&value), sizeof(value));
}

}  // namespace zintar

#endif  // TESSEL_PLANNER_WIRE_BYTES_H_
