// A counting allocator for the benchmark binary: malloc, calloc, realloc
// and the aligned forms are replaced for the whole process (operator new
// reaches them through the C++ runtime), and ENet's own allocations are
// counted apart through the callbacks ENet takes at initialisation.
//
// Counting is off until startCounting(); while it is on, every allocation
// made by any thread of the process is counted. The relay figures run the
// relay alone in a child process, so that what is counted there is the
// relay's service thread at work.

#ifndef TESSEL_BENCH_ALLOC_COUNTER_H_
#define TESSEL_BENCH_ALLOC_COUNTER_H_

#include <cstdint>

namespace tessel_bench {

struct AllocCounts {
  uint64_t all = 0;   // every allocation, ENet's included
  uint64_t enet = 0;  // those ENet made through enet_malloc
};

// Hands ENet the counting callbacks; call before anything initialises
// ENet. false when ENet refuses them.
bool installENetCounting();

void startCounting();
AllocCounts stopCounting();

}  // namespace tessel_bench

#endif  // TESSEL_BENCH_ALLOC_COUNTER_H_
