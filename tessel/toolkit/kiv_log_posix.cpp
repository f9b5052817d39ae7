// KivLog's system parts on POSIX: creating the folders of a log path and
// reporting to the system logger through syslog(3). The logger counts as
// reachable when its socket (/dev/log) accepts a connection; without one
// (containers, minimal systems) outEvent prints the message instead.

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "tessel/toolkit/kiv_log.h"
#include "tessel/toolkit/kiv_platform.h"

namespace {

constexpr const char* SystemLoggerSocket = "/dev/log";

bool connects(int type) {
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strncpy(address.sun_path, SystemLoggerSocket, sizeof(address.sun_path) - 1);
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(fd);
  return connected;
}

// The logger listens on a datagram socket, or on a stream socket on some
// systems (as syslog(3) itself tries both).
bool systemLoggerReachable() { return connects(SOCK_DGRAM) || connects(SOCK_STREAM); }

int priorityOf(KivLog::LogLevel level) {
  switch (level) {
    case KivLog::Critical:
    case KivLog::Error:
      return LOG_ERR;
    case KivLog::Warning:
      return LOG_WARNING;
    case KivLog::Profile:
      return LOG_INFO;
    default:
      return level < KivLog::Critical ? LOG_ERR : LOG_NOTICE;
  }
}

int makeFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 0755) == 0 || kiv_platform::lastFailure() == kiv_platform::Failure::Exists) return 0;
  return -1;
}

}  // namespace

int kivCreateDirectory(const char* path, bool isDirectory) {
  if (path == nullptr || path[0] == '\0') return -1;
  std::string full;
  if (path[0] != '/') {
    std::unique_ptr<char, decltype(&free)> current(getcwd(nullptr, 0), &free);
    if (!current) return -1;
    full = current.get();
    full += '/';
  }
  full += path;
  // Every folder above the last component, from the top down (the root
  // itself always exists).
  for (size_t slash = full.find('/', 1); slash != std::string::npos; slash = full.find('/', slash + 1)) {
    std::string folder = full.substr(0, slash);
    struct stat info{};
    if (stat(folder.c_str(), &info) != 0 && makeFolder(folder) != 0) return -1;
  }
  if (isDirectory) return makeFolder(full);
  return 0;
}

bool KivLog::reportEvent(LogLevel level, const char* message) {
  if (!systemLoggerReachable()) return false;
  openlog(LogEventName[0] != '\0' ? LogEventName : nullptr, LOG_PID, LOG_USER);
  syslog(priorityOf(level), "%s", message);
  closelog();
  return true;
}
