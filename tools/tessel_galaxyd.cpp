// tessel-galaxyd: the ping endpoint of a galaxy. It answers every UDP
// datagram of 1 to 1484 bytes with one datagram to its source, carrying the
// same bytes back, so that clients can time the round trip. Datagrams of
// other sizes are not probes and get no answer. The answer is never larger
// than the question, so the responder cannot be used to amplify traffic.
// Sources that could answer back are never answered (see mayAnswer), so a
// forged source cannot start an endless exchange.
//
// It runs until SIGINT or SIGTERM, then prints how many datagrams it
// answered and exits with status 0. A standalone program: plain POSIX
// sockets, no library.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/tool_args.h"

namespace {

constexpr const char* ProgramName = "tessel-galaxyd";
// The largest datagram that counts as a probe.
constexpr size_t MaxProbeSize = 1484;

using tessel_tools::ExitFailure;
using tessel_tools::ExitOk;
using tessel_tools::ExitUsage;

// The write end of the self-pipe through which the signal handler wakes
// the loop: no race between checking a flag and starting to wait.
int wakeWrite = -1;
// Set by the signal handler too, so that a stream of datagrams that never
// lets the loop go back to waiting cannot keep it from stopping.
volatile sig_atomic_t stopRequested = 0;

void onSignal(int) {
  stopRequested = 1;
  int saved = errno;
  char byte = 1;
  // A full pipe already holds a wake-up; nothing else to do.
  [[maybe_unused]] ssize_t ignored = write(wakeWrite, &byte, 1);
  errno = saved;
}

void usage(FILE* out) {
  std::fprintf(out,
               "Usage: %s [--bind ADDRESS] [--port PORT]\n"
               "\n"
               "Answers galaxy ping probes: every UDP datagram of 1 to %zu bytes is sent\n"
               "back unchanged to its source, unless that source port is below 1024 or\n"
               "the port it listens on. Stops on SIGINT or SIGTERM and prints the number\n"
               "of datagrams answered.\n"
               "\n"
               "  -b, --bind ADDRESS  IPv4 address to listen on (default 0.0.0.0, every address)\n"
               "  -p, --port PORT     UDP port to listen on, 0 for one the system picks\n"
               "                      (default 7000); the port in use is printed at start\n"
               "  -h, --help          show this text and exit\n",
               ProgramName, MaxProbeSize);
}

// Whether a datagram from source may be answered. A source on the
// responder's own port, on any address, is the responder itself (whatever
// address it is bound to) or another responder on the same port, and
// ports below 1024 are where services such as echo live: either would
// answer back, and one datagram with such a forged source would bounce
// forever. Port 0 cannot be sent to.
bool mayAnswer(const sockaddr_in& source, uint16_t ownPort) {
  uint16_t port = ntohs(source.sin_port);
  return port >= 1024 && port != ownPort;
}

struct Options {
  std::string bind = "0.0.0.0";
  int port = 7000;
};

// 0 to run, ExitOk after --help, ExitUsage on a bad command line.
int parseOptions(int argc, char** argv, Options& options, bool& run) {
  run = false;
  const option longOptions[] = {{"bind", required_argument, nullptr, 'b'},
                                {"port", required_argument, nullptr, 'p'},
                                {"help", no_argument, nullptr, 'h'},
                                {nullptr, 0, nullptr, 0}};
  tessel_tools::ArgParser args(ProgramName, argc, argv, "b:p:h", longOptions);
  for (int key; (key = args.next()) != -1;) {
    switch (key) {
      case 'h':
        usage(stdout);
        return ExitOk;
      case 'b':
        options.bind = args.value();
        break;
      case 'p':
        if (!args.number(0, 65535, options.port)) return ExitUsage;
        break;
      default:
        return ExitUsage;
    }
  }
  if (!args.noOperands()) return ExitUsage;
  run = true;
  return ExitOk;
}

// SIGINT and SIGTERM write to a pipe whose read end the loop watches.
// Returns the read end, or -1.
int installHandlers() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  wakeWrite = ends[1];
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGINT, &action, nullptr) != 0 || sigaction(SIGTERM, &action, nullptr) != 0) return -1;
  return ends[0];
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  bool run = false;
  int status = parseOptions(argc, argv, options, run);
  if (!run) return status;

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<uint16_t>(options.port));
  if (inet_pton(AF_INET, options.bind.c_str(), &local.sin_addr) != 1) {
    std::fprintf(stderr, "%s: --bind wants an IPv4 address such as 127.0.0.1, not '%s'\n", ProgramName,
                 options.bind.c_str());
    return ExitUsage;
  }

  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    std::fprintf(stderr, "%s: socket: %s\n", ProgramName, std::strerror(errno));
    return ExitFailure;
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
    std::fprintf(stderr, "%s: cannot listen on %s:%d: %s\n", ProgramName, options.bind.c_str(), options.port,
                 std::strerror(errno));
    close(fd);
    return ExitFailure;
  }
  socklen_t localLength = sizeof(local);
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength);

  int wake = installHandlers();
  if (wake < 0) {
    std::fprintf(stderr, "%s: cannot watch for signals: %s\n", ProgramName, std::strerror(errno));
    close(fd);
    return ExitFailure;
  }

  std::printf("%s: answering on %s:%u\n", ProgramName, options.bind.c_str(), unsigned(ntohs(local.sin_port)));
  std::fflush(stdout);

  int result = ExitOk;
  uint64_t answered = 0;
  // One byte more than a probe may have, so that a longer datagram shows
  // up as one and is left unanswered.
  unsigned char buffer[MaxProbeSize + 1];
  const uint16_t ownPort = ntohs(local.sin_port);
  bool stopping = false;
  while (!stopping) {
    pollfd waits[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    int ready = poll(waits, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "%s: poll: %s\n", ProgramName, std::strerror(errno));
      result = ExitFailure;
      break;
    }
    if (waits[1].revents != 0 || stopRequested) stopping = true;
    if ((waits[0].revents & POLLIN) == 0) continue;
    // Answer everything that is waiting before sleeping again.
    while (!stopRequested) {
      sockaddr_in source{};
      socklen_t sourceLength = sizeof(source);
      ssize_t got = recvfrom(fd, buffer, sizeof(buffer), MSG_TRUNC, reinterpret_cast<sockaddr*>(&source),
                             &sourceLength);
      if (got < 0) {
        // EAGAIN: drained. Anything else (an ICMP error left on the socket,
        // a signal) does not stop the responder.
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        if (errno == EINTR) continue;
        break;
      }
      // With MSG_TRUNC got is the datagram's real length, even when it did
      // not fit the buffer.
      if (got < 1 || static_cast<size_t>(got) > MaxProbeSize) continue;
      if (sourceLength != sizeof(source) || source.sin_family != AF_INET || !mayAnswer(source, ownPort)) continue;
      ssize_t sent = sendto(fd, buffer, static_cast<size_t>(got), MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&source), sourceLength);
      if (sent == got) ++answered;
    }
  }

  close(fd);
  std::printf("%s: answered %llu datagrams\n", ProgramName, static_cast<unsigned long long>(answered));
  std::fflush(stdout);
  return result;
}
