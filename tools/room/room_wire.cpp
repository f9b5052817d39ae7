#include "tools/room/room_wire.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tessel/toolkit/kiv_clock.h"

namespace tessel_room {

MessageWriter& MessageWriter::u8(uint8_t value) {
  bytes_.push_back(static_cast<char>(value));
  return *this;
}

MessageWriter& MessageWriter::u16(uint16_t value) {
  bytes_.append(reinterpret_cast<const char*>(&value), sizeof(value));
  return *this;
}

MessageWriter& MessageWriter::u32(uint32_t value) {
  bytes_.append(reinterpret_cast<const char*>(&value), sizeof(value));
  return *this;
}

MessageWriter& MessageWriter::blob(const std::string& value) {
  u32(static_cast<uint32_t>(value.size()));
  bytes_ += value;
  return *this;
}

bool MessageReader::take(void* out, size_t size) {
  if (bytes_.size() - offset_ < size) return false;
  std::memcpy(out, bytes_.data() + offset_, size);
  offset_ += size;
  return true;
}

bool MessageReader::u8(uint8_t& value) { return take(&value, sizeof(value)); }
bool MessageReader::u16(uint16_t& value) { return take(&value, sizeof(value)); }
bool MessageReader::u32(uint32_t& value) { return take(&value, sizeof(value)); }

bool MessageReader::i32(int32_t& value) {
  uint32_t raw;
  if (!u32(raw)) return false;
  value = static_cast<int32_t>(raw);
  return true;
}

bool MessageReader::blob(std::string& value) {
  uint32_t size;
  size_t start = offset_;
  if (!u32(size)) return false;
  if (bytes_.size() - offset_ < size) {
    offset_ = start;
    return false;
  }
  value.assign(bytes_, offset_, size);
  offset_ += size;
  return true;
}

void MessageChannel::open(int readFd, int writeFd) {
  close();
  readFd_ = readFd;
  writeFd_ = writeFd;
  buffer_.clear();
  closed_ = false;
  broken_ = false;
}

void MessageChannel::close() {
  if (readFd_ >= 0) ::close(readFd_);
  if (writeFd_ >= 0 && writeFd_ != readFd_) ::close(writeFd_);
  readFd_ = -1;
  writeFd_ = -1;
}

bool MessageChannel::send(const std::string& message, int timeoutMs) {
  if (writeFd_ < 0 || message.empty() || message.size() > MaxMessageSize) return false;
  uint32_t length = static_cast<uint32_t>(message.size());
  std::string frame(reinterpret_cast<const char*>(&length), sizeof(length));
  frame += message;
  const uint32_t start = KivClock::getTickCount();
  size_t done = 0;
  while (done < frame.size()) {
    ssize_t wrote = ::write(writeFd_, frame.data() + done, frame.size() - done);
    if (wrote > 0) {
      done += size_t(wrote);
      continue;
    }
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    int left = timeoutMs - static_cast<int32_t>(KivClock::getTickCount() - start);
    if (left <= 0) return false;
    pollfd entry{writeFd_, POLLOUT, 0};
    if (poll(&entry, 1, left) < 0 && errno != EINTR) return false;
  }
  return true;
}

bool MessageChannel::receive() {
  if (readFd_ < 0 || closed_) return false;
  char chunk[65536];
  for (;;) {
    ssize_t got = ::read(readFd_, chunk, sizeof(chunk));
    if (got > 0) {
      buffer_.append(chunk, size_t(got));
      if (size_t(got) < sizeof(chunk)) return true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    closed_ = true;
    return false;
  }
}

bool MessageChannel::next(std::string& message) {
  if (broken_ || buffer_.size() < 4) return false;
  uint32_t length;
  std::memcpy(&length, buffer_.data(), sizeof(length));
  if (length == 0 || length > MaxMessageSize) {
    broken_ = true;
    return false;
  }
  if (buffer_.size() - 4 < length) return false;
  message.assign(buffer_, 4, length);
  buffer_.erase(0, 4 + size_t(length));
  return true;
}

bool waitReadable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, timeoutMs < 0 ? 0 : timeoutMs) > 0;
}

std::string TrafficStamp::payload(size_t size) const {
  if (size < Size) size = Size;
  std::string bytes(size, '\0');
  bytes[0] = Magic;
  bytes[1] = static_cast<char>(kind);
  bytes[2] = static_cast<char>(origin);
  std::memcpy(bytes.data() + 4, &sequence, 4);
  std::memcpy(bytes.data() + 8, &sentTick, 4);
  for (size_t i = Size; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

bool TrafficStamp::parse(const char* data, size_t size, TrafficStamp& out) {
  if (data == nullptr || size < Size || data[0] != Magic) return false;
  uint8_t kind = static_cast<uint8_t>(data[1]);
  if (kind != KindDirect && kind != KindImmediate && kind != KindOrdered) return false;
  out.kind = kind;
  out.origin = static_cast<uint8_t>(data[2]);
  std::memcpy(&out.sequence, data + 4, 4);
  std::memcpy(&out.sentTick, data + 8, 4);
  return true;
}

}  // namespace tessel_room
