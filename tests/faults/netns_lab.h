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
// a lab tears down everything it made on every way out of the test (its
// destructor), and a new lab first removes what a crashed run left behind
// (namespaces of a pid that no longer runs).

#ifndef TESSEL_TESTS_FAULTS_NETNS_LAB_H_
#define TESSEL_TESTS_FAULTS_NETNS_LAB_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tessel_test {

class PeerProcess {
 public:
  // Starts program with args inside namespace ns; its standard error goes
  // to the test's.
  PeerProcess(const std::string& ns, const std::string& program, const std::vector<std::string>& args);
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool running() const { return pid_ > 0; }
  // Sends one command line.
  bool send(const std::string& line);
  // Reads the answer lines up to (not including) "end"; false on timeout or
  // when the process has gone.
  bool answer(std::vector<std::string>& lines, int timeoutMs);
  // send and answer; the first line of the answer ("ok N" → N), or a
  // value below -1000 when there was none.
  int call(const std::string& line, int timeoutMs = 10000);
  // Reads lines until the stream ends (for a program that prints and exits).
  std::string readAll(int timeoutMs);
  // SIGKILL and reap; harmless when gone.
  void kill();
  // Closes its input, waits at most timeoutMs for it to exit, then kills.
  void quit(int timeoutMs = 5000);

 private:
  // Reads what the process printed into buffered_; false at the deadline
  // (steady clock ms) or when its output ended.
  bool readMore(int64_t deadlineMs);

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffered_;
};

class NetnsLab {
 public:
  // Whether this process may build a lab; why not in reason.
  static bool permitted(std::string& reason);
  // Whether nft can add rules inside a namespace; why not in reason.
  static bool lossPermitted(std::string& reason);

  // A lab of hosts hosts (at most 200), all up and plugged in.
  explicit NetnsLab(int hosts);
  ~NetnsLab();
  NetnsLab(const NetnsLab&) = delete;
  NetnsLab& operator=(const NetnsLab&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  int hosts() const { return int(hosts_.size()); }
  const std::string& ns(int host) const { return hosts_[size_t(host)]; }
  std::string ip(int host) const;
  uint32_t ipNumber(int host) const { return 0xC6120000u + uint32_t(host) + 1; }

  // Drops permille/1000 of the UDP datagrams that reach host's eth0, at
  // random. False when the rule could not be set.
  bool setLoss(int host, int permille);
  // Datagrams that reached host's eth0, and those the loss rule dropped.
  bool lossCounters(int host, uint64_t& seen, uint64_t& dropped);

  // Runs a command of the machine (ip, nft); its exit status.
  static int run(const std::vector<std::string>& command, std::string* output = nullptr,
                 const std::string& input = "");

 private:
  void tearDown();

  std::string prefix_;
  std::string switch_;
  std::vector<std::string> hosts_;
  bool ok_ = false;
  std::string error_;
};

}  // namespace tessel_test

#endif  // TESSEL_TESTS_FAULTS_NETNS_LAB_H_
