// NetnsLab: a small network of separate hosts on one machine for the fault
// tests. Each host is a Linux network namespace with one veth interface
// (eth0, 198.18.0.N/24, a range set aside for network tests) plugged into
// a bridge that lives in a namespace of its own, so that the machine's own
// network is never touched. Loss is added per host with nftables
// ("numgen random") on what eth0 receives.
//
// PeerProcess: one tessel-fault-peer running inside a host's namespace
// (through "ip netns exec"), driven over its standard input and output.
//
// Needs root and the ip and nft tools. Names carry the test process's pid;
// a lab removes everything it made in its destructor, and a new lab first
// removes what a crashed run left behind (namespaces of a pid that no
// longer runs).

#ifndef TESSEL_TESTS_FAULTS_NETNS_LAB_H_
#define TESSEL_TESTS_FAULTS_NETNS_LAB_H_

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace tessel_test {

// How the lab's hosts are addressed, shared with tessel-fault-peer: host
// (slot) N runs peer FirstFaultId + N on 198.18.0.(N + 1), port FaultPort.
constexpr int32_t FirstFaultId = 700;
constexpr int FaultPort = 7000;
inline uint32_t hostIp(int host) { return 0xC6120000u + uint32_t(host) + 1; }

inline int64_t steadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

class PeerProcess {
 public:
  // Starts program with args inside namespace ns; its standard error goes
  // to the test's.
  PeerProcess(const std::string& ns, const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> command = {"ip", "netns", "exec", ns, program};
    command.insert(command.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& part : command) argv.push_back(part.data());
    argv.push_back(nullptr);
    int input[2], output[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) return;
    signal(SIGPIPE, SIG_IGN);  // a peer that died must fail a write, not the test
    pid_ = fork();
    if (pid_ == 0) {
      dup2(input[0], STDIN_FILENO);
      dup2(output[1], STDOUT_FILENO);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(input[0]);
    close(output[1]);
    in_ = input[1];
    out_ = output[0];
  }
  ~PeerProcess() {
    kill();
    close(in_);
    close(out_);
  }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool send(const std::string& line) {
    std::string text = line + "\n";
    return write(in_, text.data(), text.size()) == ssize_t(text.size());
  }

  // Reads the answer lines up to (not including) "end"; false on timeout or
  // when the process has gone.
  bool answer(std::vector<std::string>& lines, int timeoutMs) {
    int64_t deadline = steadyMs() + timeoutMs;
    for (;;) {
      size_t newline;
      while ((newline = buffered_.find('\n')) != std::string::npos) {
        std::string line = buffered_.substr(0, newline);
        buffered_.erase(0, newline + 1);
        if (line == "end") return true;
        lines.push_back(line);
      }
      pollfd entry{out_, POLLIN, 0};
      int64_t left = deadline - steadyMs();
      if (left <= 0) return false;
      if (poll(&entry, 1, int(left)) <= 0) continue;
      char buffer[65536];
      ssize_t got = read(out_, buffer, sizeof(buffer));
      if (got == 0 || (got < 0 && errno != EINTR)) return false;
      if (got > 0) buffered_.append(buffer, size_t(got));
    }
  }

  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffered_;
};

class NetnsLab {
 public:
  // Runs a command of the machine (ip, nft); its exit status, 127 when the
  // tool is missing. Its output and errors go to output.
  static int run(const std::vector<std::string>& command, std::string* output = nullptr) {
    std::string line;
    for (const std::string& part : command) line += "'" + part + "' ";
    FILE* pipe = popen((line + "2>&1 </dev/null").c_str(), "r");
    if (pipe == nullptr) return -1;
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof(buffer), pipe)) > 0;)
      if (output != nullptr) output->append(buffer, got);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Whether this process may build a lab and add loss; why not in reason.
  // Puts the sbin folders, where ip and nft live, on the search path.
  static bool permitted(std::string& reason) {
    const char* path = getenv("PATH");
    setenv("PATH", (std::string("/usr/sbin:/sbin:") + (path ? path : "/usr/bin:/bin")).c_str(), 1);
    if (geteuid() != 0) {
      reason = "the fault tests need root (network namespaces, veth links, nftables); run them as root";
      return false;
    }
    NetnsLab probe(0);
    std::string output;
    if (!probe.ok()) {
      reason = "network namespaces are not permitted here: " + probe.error();
    } else if (run({"ip", "netns", "exec", probe.switch_, "nft", "add", "table", "inet", "probe"}, &output) != 0) {
      reason = "nftables is not usable here (install nftables; 'nft add table' said: " + output + ")";
    }
    return reason.empty();
  }

  // A lab of hosts hosts (at most 200), all up and plugged in.
  explicit NetnsLab(int hosts) : prefix_(std::string(Prefix) + std::to_string(getpid()) + "-") {
    switch_ = prefix_ + "switch";
    removeNamespaces(true);
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
      must({"ip", "-n", ns, "addr", "add", "198.18.0." + std::to_string(host + 1) + "/24", "dev", "eth0"});
      must({"ip", "-n", ns, "link", "set", "eth0", "up"});
      must({"ip", "-n", ns, "link", "set", "lo", "up"});
    }
  }
  ~NetnsLab() { removeNamespaces(false); }
  NetnsLab(const NetnsLab&) = delete;
  NetnsLab& operator=(const NetnsLab&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& ns(int host) const { return hosts_[size_t(host)]; }

  // Drops permille/1000 of the UDP datagrams that reach host's eth0, at
  // random. False when the rule could not be set.
  bool setLoss(int host, int permille) {
    return run({"ip", "netns", "exec", ns(host), "nft",
                "add table inet loss; add chain inet loss input { type filter hook input priority 0; }; "
                "add rule inet loss input iifname eth0 meta l4proto udp numgen random mod 1000 < " +
                    std::to_string(permille) + " counter drop"}) == 0;
  }

  // The datagrams the loss rule of host dropped so far; 0 when unknown.
  uint64_t dropped(int host) {
    std::string output;
    run({"ip", "netns", "exec", ns(host), "nft", "list", "table", "inet", "loss"}, &output);
    size_t at = output.find("counter packets ");
    return at == std::string::npos ? 0 : std::strtoull(output.c_str() + at + 16, nullptr, 10);
  }

 private:
  static constexpr const char* Prefix = "tessel-fault-";

  void must(const std::vector<std::string>& command) {
    std::string output;
    if (!error_.empty() || run(command, &output) == 0) return;
    error_ = "'";
    for (const std::string& part : command) error_ += part + " ";
    error_ += "' failed: " + output;
  }

  // This lab's namespaces, and (stale) those of runs that no longer exist,
  // killing whatever still runs inside them first.
  void removeNamespaces(bool stale) {
    DIR* dir = opendir("/run/netns");
    if (dir == nullptr) return;
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name.rfind(Prefix, 0) != 0) continue;
      pid_t owner = pid_t(std::atol(name.c_str() + std::strlen(Prefix)));
      if (name.rfind(prefix_, 0) == 0 || (stale && ::kill(owner, 0) != 0 && errno == ESRCH)) names.push_back(name);
    }
    closedir(dir);
    for (const std::string& name : names) {
      std::string pids;
      run({"ip", "netns", "pids", name}, &pids);
      std::istringstream in(pids);
      for (pid_t pid; in >> pid;) ::kill(pid, SIGKILL);
      run({"ip", "netns", "del", name});
    }
  }

  std::string prefix_;
  std::string switch_;
  std::vector<std::string> hosts_;
  std::string error_;
};

}  // namespace tessel_test

#endif  // TESSEL_TESTS_FAULTS_NETNS_LAB_H_
