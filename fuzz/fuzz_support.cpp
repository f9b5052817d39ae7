#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "tessel/toolkit/kiv_clock.h"

namespace tessel_fuzz {

namespace {

std::atomic<int64_t> realTime{0};
std::atomic<uint64_t> tick{0};

int64_t readRealTime() { return realTime.load(std::memory_order_relaxed); }
uint64_t readTick() { return tick.load(std::memory_order_relaxed); }

const KivClock::Source fixedSource = {readTick, readRealTime};

std::string folder;

void removeFolder() {
  std::error_code ignored;
  if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
}

}  // namespace

void setClock(int64_t realTimeMs, uint64_t tickMs) {
  realTime.store(realTimeMs, std::memory_order_relaxed);
  tick.store(tickMs, std::memory_order_relaxed);
  KivClock::setSource(&fixedSource);
}

const std::string& scratchFolder() {
  if (folder.empty()) {
    struct stat info{};
    std::string base = (stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && access("/dev/shm", W_OK) == 0)
                           ? "/dev/shm"
                           : std::filesystem::temp_directory_path().string();
    std::string pattern = base + "/tessel-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) abort();
    folder = pattern;
    atexit(removeFolder);
  }
  return folder;
}

bool writeFile(const std::string& path, const uint8_t* data, size_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written <= 0) {
      close(fd);
      return false;
    }
    data += written;
    size -= size_t(written);
  }
  return close(fd) == 0;
}

}  // namespace tessel_fuzz
