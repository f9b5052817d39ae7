// KivFile on POSIX descriptors. The handle is the descriptor carried in the
// pointer (all bits set when closed). Transfers are pread and pwrite, which
// never move the file offset; range locks are open-file-description locks,
// which belong to one opening of the file (not to the process), so two
// KivFile objects on one file exclude each other just as two processes do,
// and closing the file drops whatever it still held.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <limits>

#include "tessel/toolkit/kiv_file.h"
#include "tessel/toolkit/kiv_platform.h"

namespace {

using kiv_platform::interrupted;

void* const InvalidHandle = reinterpret_cast<void*>(~uintptr_t(0));

constexpr uint64_t MaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

// The descriptor in a handle; -1 for the invalid handle, so that a call on a
// closed object fails in the system call with EBADF.
int descriptor(void* handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

void* handleOf(int fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }

int whenceOf(int whence) {
  switch (whence) {
    case KivFile::SeekSet:
      return SEEK_SET;
    case KivFile::SeekCurrent:
      return SEEK_CUR;
    case KivFile::SeekEnd:
      return SEEK_END;
    default:
      return -1;
  }
}

}  // namespace

KivFile::KivFile() : handle(InvalidHandle) {}

KivFile::KivFile(void* const handle) : handle(handle) {}

KivFile::~KivFile() { close(); }

int KivFile::open(const char* name, bool write, bool truncate) {
  close();
  if (name == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int flags = O_CLOEXEC | (write ? O_RDWR | O_CREAT | (truncate ? O_TRUNC : 0) : O_RDONLY);
  int fd;
  do {
    fd = ::open(name, flags, 0666);
  } while (fd < 0 && interrupted());
  if (fd < 0) return -1;
  // A folder opens for reading here but is not a file to read or write.
  struct stat info{};
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return -1;
  }
  handle = handleOf(fd);
  return 0;
}

bool KivFile::isOpen() const { return handle != InvalidHandle; }

void KivFile::close() {
  if (handle == InvalidHandle) return;
  ::close(descriptor(handle));
  handle = InvalidHandle;
}

unsigned int KivFile::seek(unsigned int offset, int whence) {
  uint64_t position = seek64(offset, whence);
  return position == SeekFailed64 ? SeekFailed : static_cast<unsigned int>(position);
}

uint64_t KivFile::seek64(const uint64_t& offset, int whence) {
  int systemWhence = whenceOf(whence);
  if (systemWhence < 0) {
    errno = EINVAL;
    return SeekFailed64;
  }
  off_t position = lseek(descriptor(handle), static_cast<off_t>(offset), systemWhence);
  return position < 0 ? SeekFailed64 : static_cast<uint64_t>(position);
}

unsigned int KivFile::size() {
  uint64_t length = size64();
  return length == SeekFailed64 ? SeekFailed : static_cast<unsigned int>(length);
}

uint64_t KivFile::size64() {
  struct stat info{};
  if (fstat(descriptor(handle), &info) != 0) return SeekFailed64;
  return static_cast<uint64_t>(info.st_size);
}

int KivFile::truncate64(const uint64_t& length) {
  int fd = descriptor(handle);
  off_t position = lseek(fd, 0, SEEK_CUR);
  if (position < 0) return -1;
  if (length > MaxOffset) {
    errno = EINVAL;
    return -1;
  }
  off_t end = static_cast<off_t>(length);
  int result;
  do {
    result = ftruncate(fd, end);
  } while (result != 0 && interrupted());
  if (result != 0) return -1;
  lseek(fd, position < end ? position : end, SEEK_SET);
  return 0;
}

int KivFile::flush() { return fsync(descriptor(handle)) == 0 ? 0 : -1; }

int KivFile::_read(void* buffer, int count, const uint64_t& offset) {
  if (count < 0 || (buffer == nullptr && count > 0) || offset > MaxOffset) {
    errno = EINVAL;
    return -1;
  }
  auto* bytes = static_cast<char*>(buffer);
  int done = 0;
  for (;;) {
    ssize_t got = pread(descriptor(handle), bytes + done, static_cast<size_t>(count - done),
                        static_cast<off_t>(offset + static_cast<uint64_t>(done)));
    if (got < 0) {
      if (interrupted()) continue;
      return -1;
    }
    done += static_cast<int>(got);
    // got == 0: the end of the file came first.
    if (got == 0 || done == count) break;
  }
  return done == count ? count : -1;
}

int KivFile::_write(const void* buffer, int count, const uint64_t& offset) {
  if (count < 0 || (buffer == nullptr && count > 0) || offset > MaxOffset) {
    errno = EINVAL;
    return -1;
  }
  const auto* bytes = static_cast<const char*>(buffer);
  int done = 0;
  for (;;) {
    ssize_t put = pwrite(descriptor(handle), bytes + done, static_cast<size_t>(count - done),
                         static_cast<off_t>(offset + static_cast<uint64_t>(done)));
    if (put < 0) {
      if (interrupted()) continue;
      return -1;
    }
    done += static_cast<int>(put);
    if (put == 0 || done == count) break;
  }
  return done == count ? count : -1;
}

int KivFile::lockRange(int64_t offset, int64_t length, int kind) {
  if (offset < 0) {
    errno = EINVAL;
    return -1;
  }
  struct flock range{};
  range.l_whence = SEEK_SET;
  range.l_start = offset;
  range.l_pid = 0;
  if (length > 0) {
    range.l_len = length;
  } else if (kind != Unlock) {
    // To the present end; an empty range becomes the open-ended one (l_len
    // 0), which also covers whatever is appended while the lock is held.
    uint64_t end = size64();
    if (end == SeekFailed64) return -1;
    range.l_len = end > static_cast<uint64_t>(offset) ? static_cast<off_t>(end - static_cast<uint64_t>(offset)) : 0;
  } else {
    range.l_len = 0;
  }
  int command = F_OFD_SETLK;
  if (kind == Unlock) {
    range.l_type = F_UNLCK;
  } else if (kind == SharedTry) {
    range.l_type = F_RDLCK;
  } else {
    range.l_type = F_WRLCK;
    command = F_OFD_SETLKW;
  }
  while (fcntl(descriptor(handle), command, &range) != 0) {
    if (!interrupted()) return -1;
  }
  return 0;
}
