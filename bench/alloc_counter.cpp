#include "bench/alloc_counter.h"

#include <enet/enet.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>

// glibc's own entry points, which the replacements below call.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* memory, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* memory);
}

namespace {

std::atomic<bool> counting{false};
std::atomic<uint64_t> allCount{0};
std::atomic<uint64_t> enetCount{0};

inline void countOne() {
  if (counting.load(std::memory_order_relaxed)) allCount.fetch_add(1, std::memory_order_relaxed);
}

void* ENET_CALLBACK enetMalloc(size_t size) {
  if (counting.load(std::memory_order_relaxed)) enetCount.fetch_add(1, std::memory_order_relaxed);
  return malloc(size);
}

void ENET_CALLBACK enetFree(void* memory) { free(memory); }

void ENET_CALLBACK enetNoMemory() { abort(); }

}  // namespace

extern "C" {

void* malloc(size_t size) {
  countOne();
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  countOne();
  return __libc_calloc(count, size);
}

void* realloc(void* memory, size_t size) {
  countOne();
  return __libc_realloc(memory, size);
}

void* memalign(size_t alignment, size_t size) {
  countOne();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
  countOne();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** memory, size_t alignment, size_t size) {
  countOne();
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return 12;  // ENOMEM
  *memory = block;
  return 0;
}

void free(void* memory) { __libc_free(memory); }

}  // extern "C"

namespace tessel_bench {

bool installENetCounting() {
  ENetCallbacks callbacks{};
  callbacks.malloc = enetMalloc;
  callbacks.free = enetFree;
  callbacks.no_memory = enetNoMemory;
  return enet_initialize_with_callbacks(ENET_VERSION, &callbacks) == 0;
}

void startCounting() {
  allCount.store(0, std::memory_order_relaxed);
  enetCount.store(0, std::memory_order_relaxed);
  counting.store(true, std::memory_order_release);
}

AllocCounts stopCounting() {
  counting.store(false, std::memory_order_release);
  AllocCounts counts;
  counts.all = allCount.load(std::memory_order_relaxed);
  counts.enet = enetCount.load(std::memory_order_relaxed);
  return counts;
}

}  // namespace tessel_bench
