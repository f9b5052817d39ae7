// Command-line helpers shared by the tools.

#ifndef TESSEL_TOOLS_TOOL_ARGS_H_
#define TESSEL_TOOLS_TOOL_ARGS_H_

#include <cerrno>
#include <cstdlib>

namespace tessel_tools {

// A whole decimal number from low to high, nothing after it. False, with
// value untouched, for anything else.
inline bool parseInt(const char* text, long low, long high, int& value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  value = static_cast<int>(parsed);
  return true;
}

}  // namespace tessel_tools

#endif  // TESSEL_TOOLS_TOOL_ARGS_H_
