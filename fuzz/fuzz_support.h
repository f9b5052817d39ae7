// Helpers shared by the fuzz targets: a clock that stands still (so that a
// run depends on its input alone), a reader that takes numbers off the
// front of an input, and a private scratch folder for targets that parse
// files.

#ifndef TESSEL_FUZZ_FUZZ_SUPPORT_H_
#define TESSEL_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace tessel_fuzz {

// A property of the library that every input must keep: the fuzzer reports
// the abort as a finding.
inline void check(bool condition) {
  if (!condition) std::abort();
}

// Installs a library clock that reads realTimeMs and tickMs until the next
// call; every target calls it before its first input.
void setClock(int64_t realTimeMs, uint64_t tickMs);

// A folder of this process's own (on a memory file system when there is
// one), created on first use and removed when the process exits.
const std::string& scratchFolder();

// Writes size bytes to path, replacing it. False on failure.
bool writeFile(const std::string& path, const uint8_t* data, size_t size);

// Takes values off the front of a fuzz input; once the bytes run out every
// read gives zeros.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return size_ == 0; }
  size_t remaining() const { return size_; }
  uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | static_cast<uint32_t>(u16()) << 16; }
  // Up to count bytes; fewer when the input ends. *taken says how many.
  const uint8_t* bytes(size_t count, size_t* taken) {
    if (count > size_) count = size_;
    const uint8_t* at = data_;
    data_ += count;
    size_ -= count;
    *taken = count;
    return at;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

}  // namespace tessel_fuzz

#endif  // TESSEL_FUZZ_FUZZ_SUPPORT_H_
