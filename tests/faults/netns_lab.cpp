#include "tests/faults/netns_lab.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "tests/support/test_support.h"

namespace tessel_test {

namespace {

using Clock = std::chrono::steady_clock;

// Every namespace of a lab starts with this, then the pid of its test.
constexpr const char* NamePrefix = "tessel-fault-";
constexpr const char* ToolPath = "/usr/sbin:/sbin:/usr/bin:/bin";

// fork and exec of command (looked up in ToolPath and PATH) with its input,
// output and error on the given descriptors (-1: /dev/null, -2: inherit).
pid_t start(const std::vector<std::string>& command, int in, int out, int err) {
  // Everything the child needs is prepared here: between fork and exec a
  // threaded process may only make async-signal-safe calls.
  std::vector<char*> argv;
  for (const std::string& part : command) argv.push_back(const_cast<char*>(part.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> candidates;
  if (command[0].find('/') != std::string::npos) {
    candidates.push_back(command[0]);
  } else {
    std::string path = ToolPath;
    if (const char* more = getenv("PATH")) path = path + ":" + more;
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':'))
      if (!dir.empty()) candidates.push_back(dir + "/" + command[0]);
  }
  pid_t pid = fork();
  if (pid != 0) return pid;
  int null = open("/dev/null", O_RDWR);
  dup2(in >= 0 ? in : null, STDIN_FILENO);
  dup2(out >= 0 ? out : null, STDOUT_FILENO);
  if (err != -2) dup2(err >= 0 ? err : null, STDERR_FILENO);
  // The child must not keep the test's other pipes open.
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  for (const std::string& candidate : candidates) execv(candidate.c_str(), argv.data());
  _exit(127);
}

bool alive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// Removes the namespaces that a run which no longer exists left behind,
// killing whatever still runs inside them first.
void removeStale() {
  DIR* dir = opendir("/run/netns");
  if (dir == nullptr) return;
  std::vector<std::string> stale;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.rfind(NamePrefix, 0) != 0) continue;
    pid_t owner = static_cast<pid_t>(std::atol(name.c_str() + std::strlen(NamePrefix)));
    if (!alive(owner)) stale.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : stale) {
    std::string pids;
    NetnsLab::run({"ip", "netns", "pids", name}, &pids);
    std::istringstream in(pids);
    pid_t pid;
    while (in >> pid) ::kill(pid, SIGKILL);
    NetnsLab::run({"ip", "netns", "del", name});
  }
}

}  // namespace

// --- PeerProcess ---------------------------------------------------------------

PeerProcess::PeerProcess(const std::string& ns, const std::string& program, const std::vector<std::string>& args) {
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0) return;
  if (pipe2(output, O_CLOEXEC) != 0) {
    close(input[0]);
    close(input[1]);
    return;
  }
  std::vector<std::string> command = {"ip", "netns", "exec", ns, program};
  command.insert(command.end(), args.begin(), args.end());
  pid_ = start(command, input[0], output[1], -2);
  close(input[0]);
  close(output[1]);
  in_ = input[1];
  out_ = output[0];
  if (pid_ < 0) {
    close(in_);
    close(out_);
    in_ = out_ = -1;
  }
}

PeerProcess::~PeerProcess() {
  kill();
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
}

bool PeerProcess::send(const std::string& line) {
  if (in_ < 0) return false;
  std::string text = line + "\n";
  // A helper that died must fail the call, not the test process.
  signal(SIGPIPE, SIG_IGN);
  return write(in_, text.data(), text.size()) == ssize_t(text.size());
}

bool PeerProcess::readMore(int64_t deadlineMs) {
  for (;;) {
    int64_t left =
        deadlineMs - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    if (left <= 0 || out_ < 0) return false;
    pollfd entry{out_, POLLIN, 0};
    if (poll(&entry, 1, int(left)) <= 0) continue;
    char buffer[65536];
    ssize_t got = read(out_, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buffered_.append(buffer, size_t(got));
    return true;
  }
}

namespace {

int64_t deadlineAfter(int timeoutMs) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count() + timeoutMs;
}

}  // namespace

bool PeerProcess::answer(std::vector<std::string>& lines, int timeoutMs) {
  int64_t deadline = deadlineAfter(timeoutMs);
  do {
    size_t newline;
    while ((newline = buffered_.find('\n')) != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      if (line == "end") return true;
      lines.push_back(line);
    }
  } while (readMore(deadline));
  return false;
}

int PeerProcess::call(const std::string& line, int timeoutMs) {
  std::vector<std::string> lines;
  int value = -10000;
  if (send(line) && answer(lines, timeoutMs) && !lines.empty()) std::sscanf(lines[0].c_str(), "ok %d", &value);
  return value;
}

std::string PeerProcess::readAll(int timeoutMs) {
  int64_t deadline = deadlineAfter(timeoutMs);
  while (readMore(deadline)) {
  }
  return buffered_;
}

void PeerProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void PeerProcess::quit(int timeoutMs) {
  if (pid_ <= 0) return;
  send("quit");
  if (in_ >= 0) {
    close(in_);
    in_ = -1;
  }
  int status = 0;
  bool gone = waitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::milliseconds(timeoutMs));
  if (gone) {
    pid_ = -1;
  } else {
    kill();
  }
}

// --- NetnsLab ------------------------------------------------------------------

int NetnsLab::run(const std::vector<std::string>& command, std::string* output, const std::string& input) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return -1;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return -1;
  }
  pid_t pid = start(command, in[0], out[1], out[1]);
  close(in[0]);
  close(out[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) (void)!write(in[1], input.data(), input.size());
  close(in[1]);
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(out[0], buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR))
    if (got > 0) text.append(buffer, size_t(got));
  close(out[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool NetnsLab::permitted(std::string& reason) {
  if (geteuid() != 0) {
    reason = "the fault tests need root (network namespaces, veth links, nftables); run them as root";
    return false;
  }
  removeStale();
  std::string probe = std::string(NamePrefix) + std::to_string(getpid()) + "-probe";
  std::string output;
  int result = run({"ip", "netns", "add", probe}, &output);
  if (result == 127) {
    reason = "the ip tool is missing (install iproute2)";
    return false;
  }
  if (result != 0) {
    reason = "network namespaces are not permitted here ('ip netns add' failed: " + output + ")";
    return false;
  }
  run({"ip", "netns", "del", probe});
  return true;
}

bool NetnsLab::lossPermitted(std::string& reason) {
  std::string probe = std::string(NamePrefix) + std::to_string(getpid()) + "-nft";
  std::string output;
  if (run({"ip", "netns", "add", probe}, &output) != 0) {
    reason = "network namespaces are not permitted here: " + output;
    return false;
  }
  int result = run({"ip", "netns", "exec", probe, "nft", "add", "table", "inet", "probe"}, &output);
  run({"ip", "netns", "del", probe});
  if (result != 0) {
    reason = "nftables is not usable here (install nftables; 'nft add table' said: " + output + ")";
    return false;
  }
  return true;
}

NetnsLab::NetnsLab(int hosts) {
  removeStale();
  prefix_ = std::string(NamePrefix) + std::to_string(getpid()) + "-";
  switch_ = prefix_ + "switch";
  std::string output;
  auto must = [&](const std::vector<std::string>& command) {
    if (!error_.empty()) return false;
    if (run(command, &output) == 0) return true;
    error_ = "'";
    for (const std::string& part : command) error_ += part + " ";
    error_ += "' failed: " + output;
    return false;
  };
  // What an earlier lab of this process may have left (a failed setup).
  tearDown();
  must({"ip", "netns", "add", switch_});
  must({"ip", "-n", switch_, "link", "add", "br0", "type", "bridge"});
  must({"ip", "-n", switch_, "link", "set", "br0", "up"});
  for (int host = 0; host < hosts && host < 200; ++host) {
    std::string ns = prefix_ + std::to_string(host);
    std::string port = "p" + std::to_string(host);
    hosts_.push_back(ns);
    must({"ip", "netns", "add", ns});
    must({"ip", "-n", ns, "link", "add", "name", "eth0", "type", "veth", "peer", "name", port, "netns", switch_});
    must({"ip", "-n", switch_, "link", "set", port, "master", "br0"});
    must({"ip", "-n", switch_, "link", "set", port, "up"});
    must({"ip", "-n", ns, "addr", "add", ip(host) + "/24", "dev", "eth0"});
    must({"ip", "-n", ns, "link", "set", "eth0", "up"});
    must({"ip", "-n", ns, "link", "set", "lo", "up"});
  }
  ok_ = error_.empty();
}

NetnsLab::~NetnsLab() { tearDown(); }

void NetnsLab::tearDown() {
  // Namespaces of this process: the hosts, the switch and probes.
  DIR* dir = opendir("/run/netns");
  if (dir == nullptr) return;
  std::vector<std::string> ours;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (!prefix_.empty() && name.rfind(prefix_, 0) == 0) ours.push_back(name);
  }
  closedir(dir);
  for (const std::string& name : ours) run({"ip", "netns", "del", name});
}

std::string NetnsLab::ip(int host) const { return "198.18.0." + std::to_string(host + 1); }

bool NetnsLab::setLoss(int host, int permille) {
  std::string rules =
      "table inet tessel_loss {\n"
      "  chain input {\n"
      "    type filter hook input priority 0; policy accept;\n"
      "    iifname \"eth0\" meta l4proto udp counter\n"
      "    iifname \"eth0\" meta l4proto udp numgen random mod 1000 < " +
      std::to_string(permille) +
      " counter drop\n"
      "  }\n"
      "}\n";
  run({"ip", "netns", "exec", ns(host), "nft", "delete", "table", "inet", "tessel_loss"});
  return permille <= 0 || run({"ip", "netns", "exec", ns(host), "nft", "-f", "-"}, nullptr, rules) == 0;
}

bool NetnsLab::lossCounters(int host, uint64_t& seen, uint64_t& dropped) {
  std::string output;
  if (run({"ip", "netns", "exec", ns(host), "nft", "list", "table", "inet", "tessel_loss"}, &output) != 0)
    return false;
  std::vector<uint64_t> counts;
  size_t at = 0;
  while ((at = output.find("counter packets ", at)) != std::string::npos) {
    at += std::strlen("counter packets ");
    counts.push_back(std::strtoull(output.c_str() + at, nullptr, 10));
  }
  if (counts.size() != 2) return false;
  seen = counts[0];
  dropped = counts[1];
  return true;
}

}  // namespace tessel_test
