// The benchmark's child processes: a figure that must see one party alone
// (a relay's CPU and allocations, an idle engine's wake-ups, an engine's
// resident memory) runs that party in a child process, this same program
// started again with other arguments, and talks to it in lines over the
// child's standard input and output.
//
// TESSEL_BENCH_CHILD_WRAPPER, when set, runs every child under another
// program (words split at spaces): "valgrind --tool=callgrind" profiles the
// relay, for instance.
//
// Application thread only.

#ifndef TESSEL_BENCH_CHILD_PROCESS_H_
#define TESSEL_BENCH_CHILD_PROCESS_H_

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tessel_bench {

// This process's CPU seconds, user and system, all threads.
double cpuSecondsNow();
// Its voluntary context switches so far: each time one of its threads
// went to sleep waiting for something.
long voluntarySwitchesNow();
// This process's resident memory in bytes (/proc/self/statm).
long residentBytesNow();
// Heap bytes in use, mapped blocks included (mallinfo2).
long heapBytesNow();

// One line from in, without its line end; false at the end of input.
bool readLine(FILE* in, std::string& line);

class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts this program with args. false when it cannot be started.
  bool start(const std::vector<std::string>& args);
  // One line to the child, and one from it.
  bool say(const char* line);
  bool hear(std::string& line);

 private:
  pid_t pid_ = -1;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
};

}  // namespace tessel_bench

#endif  // TESSEL_BENCH_CHILD_PROCESS_H_
