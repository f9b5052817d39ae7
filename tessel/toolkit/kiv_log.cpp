// The portable half of KivLog: settings, the filter, the date prefix and
// file names, formatting, the buffer and the locked append to the file.
// Folder creation and the system logger are in kiv_log_posix.cpp.

#include "tessel/toolkit/kiv_log.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "tessel/toolkit/kiv_clock.h"
#include "tessel/toolkit/kiv_log_config.h"

char KivLog::LogEventName[260] = {};

namespace {

// The local time of the present moment and its milliseconds. A time the
// system cannot convert reads as all fields zero.
void localNow(std::tm& local, int& milliseconds) {
  int64_t seconds;
  uint16_t ms;
  KivClock::getTime(seconds, ms);
  local = std::tm{};
  if (!KivClock::toLocalTime(seconds, local)) local = std::tm{};
  milliseconds = ms;
}

}  // namespace

KivLog::KivLog()
    : initialized(false),
      type(Daily),
      level(Warning),
      buffering(false),
      bufferSize(DefaultBufferSize),
      bufferUsed(0),
      displayDate(false),
      verbose(false) {}

KivLog::~KivLog() {
  flush();
  buffer.reset();
  close();
}

int KivLog::init(const char* name, LogType newType, LogLevel newLevel, bool newBuffering, bool newDisplayDate,
                 bool newVerbose) {
  if (name != nullptr) {
    fileName = name;
    // A folder that cannot be made shows as "Can't open" at the first write.
    if (!fileName.empty()) kivCreateDirectory(name, false);
  }
  type = newType;
  level = newLevel;
  buffering = newBuffering;
  displayDate = newDisplayDate;
  verbose = newVerbose;
  if (buffering && !buffer) {
    bufferSize = DefaultBufferSize;
    buffer.reset(new (std::nothrow) char[DefaultBufferSize]);
    if (!buffer) {
      perror("Can't create log buffer");
      return -1;
    }
  }
  initialized = true;
  return 0;
}

int KivLog::init(const char* configFile) {
  KivLogConfig config;
  config.init(configFile);
  return init(config.getFileName().c_str(), config.getType(), config.getLevel(), config.isBuffering(),
              config.isDisplayingDate(), config.isVerbose());
}

void KivLog::setBufferSize(int size) {
  if (buffer) return;
  // After the buffer is written out, the longest message must still fit.
  bufferSize = size < MaxLogLength ? MaxLogLength + 1 : size;
  buffer.reset(new (std::nothrow) char[static_cast<size_t>(bufferSize)]);
  if (!buffer) perror("Can't create log buffer");
}

void KivLog::setHeader(const char* text) {
  if (text != nullptr) header = std::string(text) + "\n";
}

void KivLog::setExtension(const char* text) {
  if (text != nullptr) extension = text;
}

int KivLog::out(LogLevel messageLevel, const char* format, ...) {
  if (!initialized) return 0;
  // A filtered message is neither written nor echoed.
  if (messageLevel > level) return 0;
  if (format == nullptr) return -1;
  std::string dated;
  const char* effective = format;
  if (displayDate) {
    size_t formatLength = strlen(format);
    if (formatLength > static_cast<size_t>(MaxLogLength)) {
      fprintf(stderr, "Log is longer than the allowed maximum length %d\n", MaxLogLength);
      return -1;
    }
    std::tm local;
    int milliseconds;
    localNow(local, milliseconds);
    char prefix[96];
    int prefixLength = snprintf(prefix, sizeof(prefix), "[%04d-%02d-%02d %02d:%02d:%02d.%03d] ", local.tm_year + 1900,
                                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, milliseconds);
    // Too long together: the message goes out without its date.
    if (prefixLength > 0 && static_cast<size_t>(prefixLength) + formatLength <= static_cast<size_t>(MaxLogLength)) {
      dated.reserve(static_cast<size_t>(prefixLength) + formatLength);
      dated.append(prefix, static_cast<size_t>(prefixLength));
      dated.append(format, formatLength);
      effective = dated.c_str();
    }
  }
  va_list arguments;
  va_start(arguments, format);
  if (verbose) {
    va_list echo;
    va_copy(echo, arguments);
    vprintf(effective, echo);
    va_end(echo);
    fflush(stdout);
  }
  int result = out(effective, arguments);
  va_end(arguments);
  return result;
}

int KivLog::out(const char* format, va_list arguments) {
  if (fileName.empty()) return 0;
  char message[MaxLogLength + 1] = {};
  int length = formatMessage(message, format, arguments);
  if (length < 0) return -1;

  if (buffering && buffer) {
    KivAutoLock hold(bufferLock);
    if (bufferUsed + length >= bufferSize && bufferUsed > 0) out();
    // The buffer could not be written out and the message does not fit
    // behind what it holds: drop the new message, keep the old text.
    if (bufferUsed + length > bufferSize) return -1;
    memcpy(buffer.get() + bufferUsed, message, static_cast<size_t>(length));
    bufferUsed += length;
    return 0;
  }

  if (open() != 0) return -1;
  file.lock(0, 0, true);
  int written = file.append(message, length);
  if (written == length) file.flush();
  file.unlock(0, 0, true);
  close();
  return written == length ? 0 : -1;
}

int KivLog::out() {
  if (open() != 0) return -1;
  file.lock(0, 0, true);
  int written = file.append(buffer.get(), bufferUsed);
  bool complete = written == bufferUsed;
  if (complete) file.flush();
  file.unlock(0, 0, true);
  close();
  if (!complete) return -1;
  bufferUsed = 0;
  return 0;
}

void KivLog::flush() {
  if (!initialized || !buffering || fileName.empty() || !buffer) return;
  KivAutoLock hold(bufferLock);
  if (bufferUsed > 0) out();
}

int KivLog::open() {
  std::string name = currentName();
  if (file.open(name.c_str(), true, false) != 0) {
    fprintf(stderr, "Can't open %s\n", name.c_str());
    return -1;
  }
  if (!header.empty() && file.size64() == 0) {
    file.lock(0, 0, true);
    // Another process may have written the header while this one waited
    // for the lock.
    if (file.size64() == 0) file.append(header.data(), static_cast<int>(header.size()));
    file.unlock(0, 0, true);
  }
  return 0;
}

void KivLog::close() { file.close(); }

std::string KivLog::currentName() const {
  std::tm local;
  int milliseconds;
  localNow(local, milliseconds);
  int year = local.tm_year + 1900;
  int month = local.tm_mon + 1;
  char suffix[96] = "";
  switch (type) {
    case None:
      break;
    case Hourly:
      snprintf(suffix, sizeof(suffix), ".%04d.%02d.%02d.%02d", year, month, local.tm_mday, local.tm_hour);
      break;
    case Monthly:
      snprintf(suffix, sizeof(suffix), ".%04d.%02d", year, month);
      break;
    default:
      snprintf(suffix, sizeof(suffix), ".%04d.%02d.%02d", year, month, local.tm_mday);
      break;
  }
  std::string name = fileName + suffix;
  if (!extension.empty()) name += "." + extension;
  return name;
}

int KivLog::formatMessage(char* message, const char* format, va_list arguments) {
  int length = vsnprintf(message, MaxLogLength + 1, format, arguments);
  if (length < 0) {
    fprintf(stderr, "Log length exceeds %d\n", MaxLogLength);
    return -1;
  }
  if (length > MaxLogLength) {
    fprintf(stderr, "Log is longer than the allowed maximum length %d\n", MaxLogLength);
    return -1;
  }
  return length;
}

void KivLog::setLogEventName(char* name) {
  if (name == nullptr) return;
  // Keep the terminator: a longer name is cut to 259 characters.
  strncpy(LogEventName, name, sizeof(LogEventName) - 1);
  LogEventName[sizeof(LogEventName) - 1] = '\0';
}

void KivLog::outEvent(LogLevel level, bool echo, const char* format, ...) {
  if (format == nullptr) return;
  char message[MaxLogLength + 1] = {};
  va_list arguments;
  va_start(arguments, format);
  int length = formatMessage(message, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  if (echo) {
    puts(message);
    fflush(stdout);
  }
  if (!reportEvent(level, message) && !echo) {
    puts(message);
    fflush(stdout);
  }
}
