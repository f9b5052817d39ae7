// The per-user registry file on POSIX systems: where it lives, how it is
// read, and how a writer replaces it atomically under an exclusive lock.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tessel/toolkit/kiv_platform.h"

namespace kiv_platform {

namespace {

std::string homeFolder() {
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return std::string();
  }
  return found->pw_dir;
}

std::string folderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p for the folder that will hold the registry file.
bool makeFolders(const std::string& folder) {
  struct stat info{};
  if (stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0 && !makeFolders(folder.substr(0, slash))) return false;
  return mkdir(folder.c_str(), 0755) == 0 || lastFailure() == Failure::Exists;
}

// Opens path without waiting, as opening a FIFO or a device could, and
// keeps it only when it is a regular file: anything else would block a
// read or be ruined by a write. The descriptor, or -1 with errno set.
int openRegularFile(const std::string& path, int flags, mode_t mode = 0) {
  int fd = open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) return -1;
  struct stat info{};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// Which file a path holds, as far as a waiting writer needs to know: every
// write renames a new file over the registry, so a new stamp means that
// another writer got through.
struct FileStamp {
  ino_t inode = 0;
  timespec changed{};
  bool operator!=(const FileStamp& other) const {
    return inode != other.inode || changed.tv_sec != other.changed.tv_sec || changed.tv_nsec != other.changed.tv_nsec;
  }
};

FileStamp stampOf(const std::string& path) {
  struct stat info{};
  FileStamp stamp;
  if (stat(path.c_str(), &info) == 0) {
    stamp.inode = info.st_ino;
    stamp.changed = info.st_ctim;
  }
  return stamp;
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (interrupted()) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

std::string followLinks(const std::string& path) {
  // As many links as the kernel itself follows before it gives up.
  constexpr int MaxLinks = 40;
  std::string current = path;
  for (int links = 0; links < MaxLinks; ++links) {
    struct stat info{};
    if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    char target[PATH_MAX];
    ssize_t length = readlink(current.c_str(), target, sizeof(target));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(target)) return std::string();
    std::string next(target, static_cast<size_t>(length));
    current = next.front() == '/' ? next : folderOf(current) + "/" + next;
  }
  return std::string();
}

std::string registryPath() {
  const char* explicitPath = getenv("TESSEL_REGISTRY");
  if (explicitPath != nullptr && explicitPath[0] != '\0') return explicitPath;
  std::string config;
  const char* xdg = getenv("XDG_CONFIG_HOME");
  // A relative XDG_CONFIG_HOME is invalid and must be ignored.
  if (xdg != nullptr && xdg[0] == '/') {
    config = xdg;
  } else {
    std::string home = homeFolder();
    if (home.empty()) return std::string();
    config = home + "/.config";
  }
  return config + "/zintar/registry.reg";
}

FileRead readWholeFile(const std::string& path, size_t maxSize, std::string& content) {
  content.clear();
  int fd = openRegularFile(path, O_RDONLY);
  if (fd < 0) return lastFailure() == Failure::Missing ? FileRead::Missing : FileRead::Failed;
  struct stat info{};
  if (fstat(fd, &info) != 0 || static_cast<uint64_t>(info.st_size) > maxSize) {
    close(fd);
    return FileRead::Failed;
  }
  content.reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0) {
      if (interrupted()) continue;
      close(fd);
      content.clear();
      return FileRead::Failed;
    }
    if (got == 0) break;
    // The file may grow while it is read (someone editing it in place).
    if (content.size() + static_cast<size_t>(got) > maxSize) {
      close(fd);
      content.clear();
      return FileRead::Failed;
    }
    content.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return FileRead::Ok;
}

int lockRegistry(const std::string& path, int timeoutMs) {
  if (path.empty() || !makeFolders(folderOf(path))) return -1;
  int fd = openRegularFile(path + ".lock", O_RDWR | O_CREAT, 0600);
  if (fd < 0) return -1;
  // flock cannot wait with a time-out, so the lock is tried again and
  // again, the pauses growing, until the time is up. Trying is not fair
  // to the waiter: a busy writer may take the lock again and again first.
  // As long as writers get through (each one leaves a new file behind),
  // the wait goes on; only a lock that is held with no write completing
  // makes it give up.
  using Clock = std::chrono::steady_clock;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  FileStamp seen = stampOf(path);
  auto pause = std::chrono::milliseconds(1);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const Failure failure = lastFailure();
    const Clock::time_point now = Clock::now();
    const FileStamp stamp = stampOf(path);
    if (stamp != seen) {
      seen = stamp;
      deadline = now + std::chrono::milliseconds(timeoutMs);
      pause = std::chrono::milliseconds(1);
    }
    if ((failure != Failure::WouldBlock && failure != Failure::Interrupted) || now >= deadline) {
      close(fd);
      return -1;
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(50));
  }
  return fd;
}

void unlockRegistry(int handle) {
  if (handle < 0) return;
  flock(handle, LOCK_UN);
  close(handle);
}

bool replaceFile(const std::string& path, const std::string& content) {
  std::string folder = folderOf(path);
  std::string tempPath = path + ".XXXXXX";
  std::vector<char> name(tempPath.begin(), tempPath.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = writeAll(fd, content.data(), content.size()) && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (ok) ok = rename(name.data(), path.c_str()) == 0;
  if (!ok) {
    unlink(name.data());
    return false;
  }
  // Make the rename itself durable; a failure here does not undo it.
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

}  // namespace kiv_platform
