// libtessel_netshim.so: distance for a room on one machine. Preloaded
// into a process (LD_PRELOAD), it takes over sendmsg and sendto: every UDP
// datagram to a 127.0.0.1 port that the port table places somewhere is
// copied, dropped with the configured probability, and otherwise handed
// to a sender thread that sends it from the same socket once the one-way
// delay from this process's place to the destination's place (plus any
// jitter) has passed. Datagrams to one destination leave in the order
// they were sent, jitter or not. Everything else (other destinations,
// other address families, streams) goes out at once. bind is wrapped too,
// so that every UDP port a process binds is entered in the port table
// under its place; a socket that sends before it was bound is bound to
// an ephemeral port first, as the kernel would have done, so that the
// answers to it can be placed as well.
//
// Configuration: tools/netshim/netshim_config.h. Without it the shim
// passes every call through unchanged.
//
// Any thread calls the wrappers; one thread of the shim's own, started at
// the first delayed datagram, sends them. Datagrams still waiting when the
// process exits are lost, as packets in flight are.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <queue>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/netshim/netshim_config.h"

namespace {

using Clock = std::chrono::steady_clock;
using SendmsgFn = ssize_t (*)(int, const msghdr*, int);
using SendtoFn = ssize_t (*)(int, const void*, size_t, int, const sockaddr*, socklen_t);
using BindFn = int (*)(int, const sockaddr*, socklen_t);

SendmsgFn realSendmsg() {
  static SendmsgFn fn = reinterpret_cast<SendmsgFn>(dlsym(RTLD_NEXT, "sendmsg"));
  return fn;
}
SendtoFn realSendto() {
  static SendtoFn fn = reinterpret_cast<SendtoFn>(dlsym(RTLD_NEXT, "sendto"));
  return fn;
}
BindFn realBind() {
  static BindFn fn = reinterpret_cast<BindFn>(dlsym(RTLD_NEXT, "bind"));
  return fn;
}

struct Datagram {
  Clock::time_point due;
  uint64_t order;  // ties on due leave in the order sent
  int fd;          // a duplicate of the sender's socket, closed once sent
  int flags;
  sockaddr_in to;
  std::string bytes;
};

struct Later {
  bool operator()(const Datagram* a, const Datagram* b) const {
    return a->due != b->due ? a->due > b->due : a->order > b->order;
  }
};

class Shim {
 public:
  static Shim& get() {
    // Never destroyed: the sender thread may outlive static destruction.
    static Shim* shim = new Shim();
    return *shim;
  }

  bool active() const { return active_; }

  // Enters fd's local port under this place when fd is a UDP socket,
  // binding it first when it has none yet.
  void enterSocket(int fd) {
    int type = 0;
    socklen_t typeLength = sizeof(type);
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_DGRAM) return;
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 || local.sin_family != AF_INET) return;
    if (local.sin_port == 0) {
      sockaddr_in any{};
      any.sin_family = AF_INET;
      any.sin_addr.s_addr = htonl(INADDR_ANY);
      length = sizeof(local);
      if (realBind()(fd, reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0 ||
          getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return;
    }
    __atomic_store_n(&ports_[ntohs(local.sin_port)], static_cast<uint8_t>(place_ + 1), __ATOMIC_RELAXED);
  }

  // The place of the process that owns the 127.0.0.1 port, or -1.
  int placeOf(const sockaddr_in& to) const {
    if ((ntohl(to.sin_addr.s_addr) >> 24) != 127) return -1;
    int entry = __atomic_load_n(&ports_[ntohs(to.sin_port)], __ATOMIC_RELAXED);
    return entry > 0 && entry <= places_ ? entry - 1 : -1;
  }

  // Takes a datagram of length bytes for a placed destination: dropped or
  // queued. The length, as a send that went out would give.
  ssize_t take(int fd, const msghdr* msg, int flags, const sockaddr_in& to, int destination) {
    std::string bytes;
    for (size_t i = 0; i < msg->msg_iovlen; ++i)
      bytes.append(static_cast<const char*>(msg->msg_iov[i].iov_base), msg->msg_iov[i].iov_len);
    const ssize_t length = static_cast<ssize_t>(bytes.size());
    std::unique_lock<std::mutex> lock(mutex_);
    if (loss_ > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < loss_) return length;
    int64_t waitUs = delayUs_[size_t(place_ * places_ + destination)];
    if (jitterUs_ > 0) waitUs += std::uniform_int_distribution<int64_t>(0, jitterUs_)(random_);
    const uint16_t port = ntohs(to.sin_port);
    Clock::time_point due = std::max(Clock::now() + std::chrono::microseconds(waitUs), lastDue_[port]);
    lastDue_[port] = due;
    // A duplicate, so that the datagram still leaves from its socket's port
    // when the owner closes the socket before it is due.
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return -1;
    queue_.push(new Datagram{due, next_++, copy, flags, to, std::move(bytes)});
    if (!senderStarted_) {
      senderStarted_ = true;
      std::thread([this] { sendLoop(); }).detach();
    }
    wake_.notify_one();
    return length;
  }

 private:
  Shim() : lastDue_(tessel_netshim::PortTableSize) { configure(); }

  void configure() {
    const char* path = getenv(tessel_netshim::ConfigVariable);
    const char* place = getenv(tessel_netshim::PlaceVariable);
    if (path == nullptr || place == nullptr) return;
    const char* seed = getenv(tessel_netshim::SeedVariable);
    random_.seed(seed != nullptr ? std::strtoull(seed, nullptr, 10) : 1);
    place_ = std::atoi(place);
    FILE* file = std::fopen(path, "re");
    if (file == nullptr) return complain("cannot read the configuration file", path);
    char line[4096];
    std::string portsPath;
    bool ok = true;
    while (ok && std::fgets(line, sizeof(line), file) != nullptr) {
      char word[32] = "", text[4000] = "";
      int from = 0, to = 0;
      long long value = 0;
      double probability = 0;
      if (std::sscanf(line, " %31s", word) != 1 || word[0] == '#') continue;
      if (std::strcmp(word, "places") == 0) {
        ok = std::sscanf(line, " places %d", &places_) == 1 && places_ >= 1 && places_ <= tessel_netshim::MaxPlaces;
        if (ok) delayUs_.assign(size_t(places_ * places_), 0);
      } else if (std::strcmp(word, "delay") == 0) {
        ok = std::sscanf(line, " delay %d %d %lld", &from, &to, &value) == 3 && from >= 0 && from < places_ &&
             to >= 0 && to < places_ && value >= 0;
        if (ok) delayUs_[size_t(from * places_ + to)] = value;
      } else if (std::strcmp(word, "loss") == 0) {
        ok = std::sscanf(line, " loss %lf", &probability) == 1 && probability >= 0 && probability <= 1;
        loss_ = probability;
      } else if (std::strcmp(word, "jitter") == 0) {
        ok = std::sscanf(line, " jitter %lld", &value) == 1 && value >= 0;
        jitterUs_ = value;
      } else if (std::strcmp(word, "ports") == 0) {
        ok = std::sscanf(line, " ports %3999[^\n]", text) == 1;
        portsPath = text;
      } else {
        ok = false;
      }
    }
    std::fclose(file);
    if (!ok) return complain("cannot understand the line", line);
    if (place_ < 0 || place_ >= places_) return complain("the place is out of range", place);
    int fd = open(portsPath.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return complain("cannot open the port table", portsPath.c_str());
    void* map = mmap(nullptr, tessel_netshim::PortTableSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return complain("cannot map the port table", portsPath.c_str());
    ports_ = static_cast<uint8_t*>(map);
    active_ = true;
  }

  void complain(const char* what, const char* detail) {
    std::fprintf(stderr, "tessel-netshim: %s: %s; datagrams go out undelayed\n", what, detail);
  }

  void sendLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (queue_.empty()) {
        wake_.wait(lock);
        continue;
      }
      Datagram* first = queue_.top();
      if (Clock::now() < first->due) {
        wake_.wait_until(lock, first->due);
        continue;
      }
      queue_.pop();
      lock.unlock();
      iovec part{first->bytes.data(), first->bytes.size()};
      msghdr msg{};
      msg.msg_name = &first->to;
      msg.msg_namelen = sizeof(first->to);
      msg.msg_iov = &part;
      msg.msg_iovlen = 1;
      // A datagram the socket cannot take now is lost, as on a full link.
      realSendmsg()(first->fd, &msg, first->flags | MSG_DONTWAIT);
      close(first->fd);
      delete first;
      lock.lock();
    }
  }

  bool active_ = false;
  int place_ = 0;
  int places_ = 0;
  std::vector<int64_t> delayUs_;
  double loss_ = 0;
  int64_t jitterUs_ = 0;
  uint8_t* ports_ = nullptr;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::priority_queue<Datagram*, std::vector<Datagram*>, Later> queue_;
  std::vector<Clock::time_point> lastDue_;  // by destination port
  std::mt19937_64 random_;
  uint64_t next_ = 0;
  bool senderStarted_ = false;
};

// The placed destination of a datagram, or -1 when it goes out at once.
int destinationOf(Shim& shim, const msghdr* msg, sockaddr_in& to) {
  if (!shim.active() || msg == nullptr || msg->msg_name == nullptr || msg->msg_namelen < sizeof(sockaddr_in))
    return -1;
  std::memcpy(&to, msg->msg_name, sizeof(to));
  if (to.sin_family != AF_INET) return -1;
  return shim.placeOf(to);
}

ssize_t shimmedSend(int fd, const msghdr* msg, int flags) {
  Shim& shim = Shim::get();
  sockaddr_in to{};
  const int destination = destinationOf(shim, msg, to);
  if (destination < 0) return realSendmsg()(fd, msg, flags);
  shim.enterSocket(fd);
  return shim.take(fd, msg, flags, to, destination);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) ssize_t sendmsg(int fd, const msghdr* msg, int flags) {
  return shimmedSend(fd, msg, flags);
}

__attribute__((visibility("default"))) ssize_t sendto(int fd, const void* data, size_t size, int flags,
                                                      const sockaddr* address, socklen_t length) {
  if (address == nullptr) return realSendto()(fd, data, size, flags, address, length);
  iovec part{const_cast<void*>(data), size};
  msghdr msg{};
  msg.msg_name = const_cast<sockaddr*>(address);
  msg.msg_namelen = length;
  msg.msg_iov = &part;
  msg.msg_iovlen = 1;
  Shim& shim = Shim::get();
  sockaddr_in to{};
  const int destination = destinationOf(shim, &msg, to);
  if (destination < 0) return realSendto()(fd, data, size, flags, address, length);
  shim.enterSocket(fd);
  return shim.take(fd, &msg, flags, to, destination);
}

__attribute__((visibility("default"))) int bind(int fd, const sockaddr* address, socklen_t length) {
  int result = realBind()(fd, address, length);
  if (result == 0) {
    Shim& shim = Shim::get();
    if (shim.active()) shim.enterSocket(fd);
  }
  return result;
}

}  // extern "C"
