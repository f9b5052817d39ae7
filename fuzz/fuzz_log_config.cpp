// The log configuration, an INI file that users edit by hand: section
// "Log" with FileName, Type, Level, Buffering, DisplayDate and Verbose. The
// input is the whole file. Whatever it holds, the configuration must come
// out with a type and a level from their tables and a file name of at most
// 259 characters.

#include <stdio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tessel/toolkit/kiv_log_config.h"

namespace {

using tessel_fuzz::check;

std::string path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel_fuzz::setClock(1767225600000, 1000);
  path = tessel_fuzz::scratchFolder() + "/log.ini";
  // print() writes to standard output; the fuzzer reports on standard error.
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tessel_fuzz::writeFile(path, data, size)) abort();
  KivLogConfig config;
  check(config.init(path.c_str()) == 0);
  check(config.getType() >= KivLog::None && config.getType() <= KivLog::Monthly);
  check(config.getLevel() >= KivLog::Critical && config.getLevel() <= KivLog::Detail);
  check(config.getFileName().size() <= 259);
  config.print();
  return 0;
}
