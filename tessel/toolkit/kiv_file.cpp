// The portable half of KivFile: the opening shortcuts, copies, and the
// transfer and lock forms that reduce to the positional transfers and to
// one range lock.

#include "tessel/toolkit/kiv_file.h"

KivFile::KivFile(const char* name) : KivFile() { open(name, false, false); }

KivFile::KivFile(const char* name, bool write) : KivFile() { open(name, write, false); }

KivFile::KivFile(const char* name, bool write, bool truncate) : KivFile() { open(name, write, truncate); }

KivFile::KivFile(const KivFile& other) : handle(other.handle) {}

KivFile& KivFile::operator=(const KivFile& other) {
  handle = other.handle;
  return *this;
}

int KivFile::openToRead(const char* name) { return open(name, false, false); }

int KivFile::openToWrite(const char* name) { return open(name, true, false); }

int KivFile::truncate(unsigned int length) { return truncate64(length); }

// The forms without an offset take the file pointer's position (or the end)
// at the moment of the call; the 32-bit forms keep its low 32 bits.

int KivFile::read(void* buffer, int count) {
  uint64_t position = seek64(0, SeekCurrent);
  if (position == SeekFailed64) return -1;
  return _read(buffer, count, static_cast<uint32_t>(position));
}

int KivFile::write(const void* buffer, int count) {
  uint64_t position = seek64(0, SeekCurrent);
  if (position == SeekFailed64) return -1;
  return _write(buffer, count, static_cast<uint32_t>(position));
}

int KivFile::read(void* buffer, int count, int offset) {
  return _read(buffer, count, static_cast<uint64_t>(static_cast<int64_t>(offset)));
}

int KivFile::write(const void* buffer, int count, int offset) {
  return _write(buffer, count, static_cast<uint64_t>(static_cast<int64_t>(offset)));
}

int KivFile::append(const void* buffer, int count) {
  uint64_t end = size64();
  if (end == SeekFailed64) return -1;
  return _write(buffer, count, static_cast<uint32_t>(end));
}

int KivFile::read64(void* buffer, int count) {
  uint64_t position = seek64(0, SeekCurrent);
  if (position == SeekFailed64) return -1;
  return _read(buffer, count, position);
}

int KivFile::write64(const void* buffer, int count) {
  uint64_t position = seek64(0, SeekCurrent);
  if (position == SeekFailed64) return -1;
  return _write(buffer, count, position);
}

int KivFile::append64(const void* buffer, int count) {
  uint64_t end = size64();
  if (end == SeekFailed64) return -1;
  return _write(buffer, count, end);
}

int KivFile::read64(void* buffer, int count, const uint64_t& offset) { return _read(buffer, count, offset); }

int KivFile::write64(const void* buffer, int count, const uint64_t& offset) { return _write(buffer, count, offset); }

int KivFile::lock(int offset, int length, bool exclusive) {
  return lockRange(offset, length, exclusive ? ExclusiveWait : SharedTry);
}

int KivFile::unlock(int offset, int length, bool) { return lockRange(offset, length, Unlock); }

int KivFile::lock64(const uint64_t& offset, const uint64_t& length, bool exclusive) {
  return lockRange(static_cast<int64_t>(offset), static_cast<int64_t>(length), exclusive ? ExclusiveWait : SharedTry);
}

int KivFile::unlock64(const uint64_t& offset, const uint64_t& length, bool) {
  return lockRange(static_cast<int64_t>(offset), static_cast<int64_t>(length), Unlock);
}
