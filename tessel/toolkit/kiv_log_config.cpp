// KivLogConfig on libinih: the parser walks the file and hands every key
// to handleKey, which keeps the keys of the "Log" section.

#include "tessel/toolkit/kiv_log_config.h"

#include <ini.h>

#include <cstdio>
#include <cstring>

namespace {

bool sameText(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
    char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

// The value's leading decimal digits (saturating); 0 when it starts with
// anything else.
unsigned long long leadingNumber(const char* value) {
  unsigned long long number = 0;
  for (; *value >= '0' && *value <= '9'; ++value) {
    unsigned long long next = number * 10 + static_cast<unsigned long long>(*value - '0');
    number = next < number ? ~0ull : next;
  }
  return number;
}

// What one pass over a file has found so far.
struct Reading {
  KivLogConfig* config;
  unsigned int seen;  // one bit per key: the first occurrence counts
};

// Hands the parser one line at a time; the rest of a line longer than the
// parser's buffer is skipped, so that it cannot be read as a line of its
// own.
char* readLine(char* line, int size, void* stream) {
  auto* file = static_cast<FILE*>(stream);
  if (fgets(line, size, file) == nullptr) return nullptr;
  size_t length = strlen(line);
  if (length + 1 == static_cast<size_t>(size) && line[length - 1] != '\n') {
    int c;
    do {
      c = fgetc(file);
    } while (c != '\n' && c != EOF);
  }
  return line;
}

}  // namespace

KivLogConfig::KivLogConfig()
    : type(KivLog::None), level(KivLog::Critical), buffering(false), displayingDate(false), verbose(false) {}

KivLogConfig::~KivLogConfig() = default;

int KivLogConfig::init(const char* iniFile) {
  if (iniFile == nullptr) return 0;
  FILE* file = fopen(iniFile, "r");
  if (file == nullptr) return 0;
  Reading reading{this, 0};
  ini_parse_stream(readLine, file, handleKey, &reading);
  fclose(file);
  return 0;
}

int KivLogConfig::handleKey(void* context, const char* section, const char* key, const char* value) {
  auto* reading = static_cast<Reading*>(context);
  KivLogConfig& config = *reading->config;
  if (!sameText(section, LogRoot_)) return 1;
  static constexpr const char* Keys[] = {LogFileName_, LogType_, LogLevel_, LogBuffering_, LogDisplayDate_,
                                         LogVerbose_};
  unsigned int which = 0;
  while (which < 6 && !sameText(key, Keys[which])) ++which;
  if (which == 6 || (reading->seen & (1u << which)) != 0) return 1;
  reading->seen |= 1u << which;

  switch (which) {
    case 0:
      config.fileName.assign(value, strnlen(value, MaxFileNameLength));
      break;
    case 1: {
      static constexpr const char* Types[] = {"Daily", "Hourly", "Monthly"};
      config.type = KivLog::None;
      for (int i = 0; i < 3; ++i) {
        if (sameText(value, Types[i])) config.type = static_cast<KivLog::LogType>(i + 1);
      }
      break;
    }
    case 2: {
      static constexpr const char* Levels[] = {"Critical", "Error", "Warning", "Profile", "Debug", "Detail"};
      config.level = KivLog::Critical;
      for (int i = 0; i < 6; ++i) {
        if (sameText(value, Levels[i])) config.level = static_cast<KivLog::LogLevel>(i);
      }
      break;
    }
    case 3:
      config.buffering = leadingNumber(value) != 0;
      break;
    case 4:
      config.displayingDate = leadingNumber(value) != 0;
      break;
    default:
      config.verbose = leadingNumber(value) != 0;
      break;
  }
  return 1;
}

void KivLogConfig::print() {
  static constexpr const char* Types[] = {"None\n", "Daily\n", "Hourly\n", "Monthly\n"};
  static constexpr const char* Levels[] = {"Critical\n", "Error\n",  "Warning\n",
                                           "Profile\n",  "Debug\n", "Detail\n"};
  printf("[KivLog Configuration]\n");
  printf("  FileName: %s\n", fileName.c_str());
  int typeIndex = static_cast<int>(type);
  printf("  Type: %s", typeIndex >= 0 && typeIndex < 4 ? Types[typeIndex] : "\n");
  int levelIndex = static_cast<int>(level);
  printf("  Level: %s", levelIndex >= 0 && levelIndex < 6 ? Levels[levelIndex] : "\n");
  printf("  Buffering: %s\n", buffering ? "Yes" : "No");
  printf("  DisplayingDate: %s\n", displayingDate ? "Yes" : "No");
  printf("  Verbose: %s\n", verbose ? "On" : "Off");
  printf("\n");
}
