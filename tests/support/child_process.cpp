#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "tests/support/test_support.h"

extern char** environ;

namespace tessel_test {

namespace {

using Clock = std::chrono::steady_clock;

// Starts path with args; its standard output and error go to a pipe whose
// read end lands in out. The pid, or -1.
pid_t spawn(const std::string& path, const std::vector<std::string>& args, int& out) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  int result = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  if (result != 0) close(ends[0]);
  out = result == 0 ? ends[0] : -1;
  return result == 0 ? pid : -1;
}

// Reads from fd into text until a newline arrives (untilLine) or the end
// of the stream, at most until deadline. False on timeout.
bool readFrom(int fd, std::string& text, bool untilLine, Clock::time_point deadline) {
  char buffer[512];
  for (;;) {
    if (untilLine && text.find('\n') != std::string::npos) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left)) <= 0) continue;
    ssize_t got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return !untilLine;
    text.append(buffer, size_t(got));
  }
}

// Waits for pid, killing it when it was not done in time (finished false)
// or does not end within 5 s after its output did. Its exit status,
// or -1.
int reap(pid_t pid, bool finished) {
  int status = 0;
  pid_t done = 0;  // 0 while it runs
  if (finished) waitFor([&] { return (done = waitpid(pid, &status, WNOHANG)) != 0; }, std::chrono::seconds(5));
  if (done == 0) {
    kill(pid, SIGKILL);
    done = waitpid(pid, &status, 0);
  }
  return done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int runProgram(const std::string& path, const std::vector<std::string>& args, std::string& output, int timeoutMs) {
  int out = -1;
  pid_t pid = spawn(path, args, out);
  if (pid < 0) return -1;
  bool finished = readFrom(out, output, false, Clock::now() + std::chrono::milliseconds(timeoutMs));
  close(out);
  return reap(pid, finished);
}

GalaxyResponder::GalaxyResponder(const std::string& path) {
  pid_ = spawn(path, {"--bind", "127.0.0.1", "--port", "0"}, out_);
  if (pid_ < 0 || !readFrom(out_, output_, true, Clock::now() + std::chrono::seconds(5))) return;
  // "tessel-galaxyd: answering on 127.0.0.1:PORT"
  size_t colon = output_.find("127.0.0.1:");
  if (colon != std::string::npos) port_ = std::atoi(output_.c_str() + colon + std::strlen("127.0.0.1:"));
}

GalaxyResponder::~GalaxyResponder() {
  if (pid_ > 0) reap(pid_, false);
  if (out_ >= 0) close(out_);
}

int64_t GalaxyResponder::stop(int signal) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal);
  status_ = reap(pid_, readFrom(out_, output_, false, Clock::now() + std::chrono::seconds(5)));
  pid_ = -1;
  // "tessel-galaxyd: answered N datagrams"
  size_t at = output_.find("answered ");
  return at == std::string::npos ? -1 : std::strtoll(output_.c_str() + at + std::strlen("answered "), nullptr, 10);
}

}  // namespace tessel_test
