#include "bench/child_process.h"

#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace tessel_bench {

double cpuSecondsNow() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool readLine(FILE* in, std::string& line) {
  char buffer[256];
  if (std::fgets(buffer, sizeof(buffer), in) == nullptr) return false;
  line = buffer;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return true;
}

long voluntarySwitchesNow() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}

long residentBytesNow() {
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  int read = std::fscanf(statm, "%ld %ld", &pages, &resident);
  std::fclose(statm);
  return read == 2 ? resident * sysconf(_SC_PAGESIZE) : 0;
}

long heapBytesNow() {
  struct mallinfo2 info = mallinfo2();
  return static_cast<long>(info.uordblks + info.hblkhd);
}

bool Child::start(const std::vector<std::string>& args) {
  std::vector<std::string> words;
  if (const char* wrapper = std::getenv("TESSEL_BENCH_CHILD_WRAPPER")) {
    std::string word;
    for (const char* c = wrapper;; ++c) {
      if (*c == ' ' || *c == 0) {
        if (!word.empty()) words.push_back(word);
        word.clear();
        if (*c == 0) break;
      } else {
        word += *c;
      }
    }
  }
  char self[4096];
  ssize_t selfLength = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (selfLength <= 0) return false;
  self[selfLength] = 0;
  words.push_back(self);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0) return false;
  if (pipe(fromChild) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  posix_spawn_file_actions_addclose(&actions, toChild[1]);
  posix_spawn_file_actions_addclose(&actions, fromChild[0]);
  int result = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  in_ = fdopen(fromChild[0], "r");
  out_ = fdopen(toChild[1], "w");
  return result == 0 && in_ != nullptr && out_ != nullptr;
}

bool Child::say(const char* line) { return std::fprintf(out_, "%s\n", line) > 0 && std::fflush(out_) == 0; }

bool Child::hear(std::string& line) { return readLine(in_, line); }

Child::~Child() {
  if (out_ != nullptr) {
    say("quit");
    std::fclose(out_);
  }
  if (in_ != nullptr) std::fclose(in_);
  if (pid_ > 0) {
    int status = 0;
    // A child that does not end by itself within a few seconds is killed.
    for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
  }
}

}  // namespace tessel_bench
