// Command-line parsing shared by the tools: getopt_long underneath, so that
// every tool takes "-p 7000", "--port 7000" and "--port=7000" alike, and
// one wording for what is wrong with a command line, always followed by
// exit status 2:
//
//   tessel-x: unknown option '--bogus' (see --help)
//   tessel-x: option '--p' is ambiguous (see --help)
//   tessel-x: --port needs a value (see --help)
//   tessel-x: --quiet takes no value (see --help)
//   tessel-x: --port wants a whole number from 0 to 65535, not 'many'
//   tessel-x: unexpected argument 'extra' (see --help)

#ifndef TESSEL_TOOLS_TOOL_ARGS_H_
#define TESSEL_TOOLS_TOOL_ARGS_H_

#include <getopt.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace tessel_tools {

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

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

// Walks one command line. Every option has a long name; shortOptions lists
// those that also have a letter, as getopt wants them ("p:b:h"). Operands
// may come before, between or after the options.
class ArgParser {
 public:
  ArgParser(const char* program, int argc, char** argv, const char* shortOptions, const option* longOptions)
      : program_(program), argc_(argc), argv_(argv), longOptions_(longOptions) {
    // A leading ':' makes getopt_long tell a missing value from an unknown
    // option; the messages are ours (opterr 0).
    shortOptions_ = std::string(":") + shortOptions;
    opterr = 0;
    optind = 1;
  }

  // The next option: its letter or its long entry's val; -1 when every
  // option has been read; 0 after the message for a bad command line.
  int next() {
    int index = -1;
    int key = getopt_long(argc_, argv_, shortOptions_.c_str(), longOptions_, &index);
    if (key == -1) return -1;
    const char* written = argv_[optind - 1];
    if (index >= 0) {
      name_ = std::string("--") + longOptions_[index].name;
    } else if (std::strncmp(written, "--", 2) == 0) {
      name_ = std::string(written, std::strcspn(written, "="));
    } else {
      name_ = std::string("-") + static_cast<char>(key == '?' || key == ':' ? optopt : key);
    }
    if (key == ':') {
      fail("%s needs a value (see --help)", name_.c_str());
      return 0;
    }
    if (key == '?') {
      // getopt_long names a known long option that was given a value.
      if (optopt != 0 && std::strncmp(written, "--", 2) == 0 && std::strchr(written, '=') != nullptr)
        fail("%s takes no value (see --help)", name_.c_str());
      else if (matches(name_) > 1)
        fail("option '%s' is ambiguous (see --help)", name_.c_str());
      else
        fail("unknown option '%s' (see --help)", name_.c_str());
      return 0;
    }
    return key;
  }

  // The option just read, as written on the command line: "--port", "-p".
  const std::string& name() const { return name_; }
  // Its value.
  const char* value() const { return optarg; }

  // The value as a whole number from low to high; false after a message.
  bool number(long low, long high, int& target) {
    if (parseInt(optarg, low, high, target)) return true;
    fail("%s wants a whole number from %ld to %ld, not '%s'", name_.c_str(), low, high, optarg);
    return false;
  }

  // The arguments that are not options, in order.
  std::vector<std::string> operands() const {
    std::vector<std::string> rest;
    for (int i = optind; i < argc_; ++i) rest.push_back(argv_[i]);
    return rest;
  }

  // False after a message when there are operands: for tools that take none.
  bool noOperands() {
    if (optind >= argc_) return true;
    fail("unexpected argument '%s' (see --help)", argv_[optind]);
    return false;
  }

  // Prints "program: message" and a newline on standard error.
  __attribute__((format(printf, 2, 3))) void fail(const char* format, ...) {
    std::fprintf(stderr, "%s: ", program_);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
  }

 private:
  // How many long options begin with what follows "--" in written.
  int matches(const std::string& written) const {
    if (written.rfind("--", 0) != 0) return 0;
    int count = 0;
    for (const option* entry = longOptions_; entry->name != nullptr; ++entry)
      count += std::strncmp(entry->name, written.c_str() + 2, written.size() - 2) == 0 ? 1 : 0;
    return count;
  }

  const char* program_;
  int argc_;
  char** argv_;
  const option* longOptions_;
  std::string shortOptions_;
  std::string name_;
};

}  // namespace tessel_tools

#endif  // TESSEL_TOOLS_TOOL_ARGS_H_
