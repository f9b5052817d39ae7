// Child processes for tests: running a program to its end with its output
// captured, and GalaxyResponder, the galaxy ping responder (tessel-galaxyd)
// running on a 127.0.0.1 port that the system picks.

#ifndef TESSEL_TESTS_SUPPORT_CHILD_PROCESS_H_
#define TESSEL_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tessel_test {

// Runs path with args, standard output and error both into output, and
// waits for it (at most timeoutMs, then it is killed). The exit status, or
// -1 when it could not be started or did not exit normally.
int runProgram(const std::string& path, const std::vector<std::string>& args, std::string& output,
               int timeoutMs = 5000);

class GalaxyResponder {
 public:
  // Starts the responder at path with --bind 127.0.0.1 --port 0 and reads
  // the port it reports.
  explicit GalaxyResponder(const std::string& path);
  // Kills a responder that is still running.
  ~GalaxyResponder();
  GalaxyResponder(const GalaxyResponder&) = delete;
  GalaxyResponder& operator=(const GalaxyResponder&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  // Sends signal, waits for the exit and returns the count of answered
  // datagrams the responder printed, or -1. exitStatus() tells how it
  // ended (-1 when not normally).
  int64_t stop(int signal);
  int exitStatus() const { return status_; }
  // Everything it printed on standard output and error.
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int port_ = -1;
  int status_ = -1;
  std::string output_;
};

}  // namespace tessel_test

#endif  // TESSEL_TESTS_SUPPORT_CHILD_PROCESS_H_
