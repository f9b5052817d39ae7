// KivSocket on BSD sockets. The socket handle is the file descriptor kept
// in an unsigned int, InvalidSocket being (unsigned)-1. There is no socket
// layer to start, so init and the destructor only keep the Initialized flag.

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "tessel/toolkit/kiv_platform.h"
#include "tessel/toolkit/kiv_socket.h"

namespace {

using kiv_platform::Failure;
using kiv_platform::interrupted;
using kiv_platform::lastFailure;

int descriptor(unsigned int handle) { return static_cast<int>(handle); }

// What a failed transfer call means under the retry policy: -1 give up,
// -2 transient and no retry wanted, 0 call again.
int retryVerdict(int fd, bool retry, short direction) {
  const Failure failure = lastFailure();
  if (!kiv_platform::isTransient(failure)) return -1;
  if (!retry) return -2;
  if (failure == Failure::WouldBlock) {
    // Wait a little for the socket instead of spinning on a non-blocking
    // one; the call is repeated either way.
    const int code = errno;
    pollfd entry{fd, direction, 0};
    ::poll(&entry, 1, 10);
    errno = code;
  }
  return 0;
}

// strerror_r comes in a GNU and an XSI form; take whichever is present.
[[maybe_unused]] const char* errorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* errorText(const char* result, const char*) { return result; }

bool validPort(int port) { return port >= 1 && port <= 65535; }

}  // namespace

KivSocket::~KivSocket() {
  recvBufferSet = false;
  sendBufferSet = false;
  close();
  Initialized.store(false);
}

int KivSocket::init() {
  Initialized.store(true);
  return 0;
}

void KivSocket::close() {
  if (sock == InvalidSocket) return;
  ::shutdown(descriptor(sock), SHUT_RDWR);
  ::close(descriptor(sock));
  sock = InvalidSocket;
}

int KivSocket::shutdown(int how) { return ::shutdown(descriptor(sock), how); }

int KivSocket::errNo() { return errno; }

const char* KivSocket::strerror(int code) {
  thread_local char buffer[256];
  if (code == -1) code = errno;
  return errorText(strerror_r(code, buffer, sizeof(buffer)), buffer);
}

// --- Addresses ---

int KivSocket::prepareAddress(sockaddr_in& address, uint32_t ip, int port) {
  if (!validPort(port) || ip == 0xFFFFFFFFu) {
    errno = EINVAL;
    return -1;
  }
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = ip;
  return 0;
}

int KivSocket::prepareAddress(sockaddr_in& address, const char* host, int port, int which) {
  if (host == nullptr || host[0] == '\0' || !validPort(port)) {
    errno = EINVAL;
    return -1;
  }
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_aton(host, &address.sin_addr) != 0) return 0;

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0) {
    errno = EHOSTUNREACH;
    return -1;
  }
  std::vector<in_addr> addresses;
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr && entry->ai_addrlen >= sizeof(sockaddr_in)) {
      addresses.push_back(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr);
    }
  }
  freeaddrinfo(found);
  int count = static_cast<int>(addresses.size());
  int index = chooseAddress(count, which, which == -2 ? static_cast<unsigned int>(rand()) : 0u);
  if (index < 0) {
    errno = EHOSTUNREACH;
    return -1;
  }
  address.sin_addr = addresses[static_cast<size_t>(index)];
  return 0;
}

// --- Opening ---

int KivSocket::openSocket(int type) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sock = static_cast<unsigned int>(fd);
  return 0;
}

void KivSocket::setTcpOptions(bool reuseAddress) {
  int fd = descriptor(sock);
  int on = 1;
  if (reuseAddress) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  linger noLinger{};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &noLinger, sizeof(noLinger));
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
}

int KivSocket::bindAny(int port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(static_cast<uint16_t>(port));
  return ::bind(descriptor(sock), reinterpret_cast<const sockaddr*>(&local), sizeof(local));
}

int KivSocket::connectTo(const sockaddr_in& address) {
  int fd = descriptor(sock);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return 0;
  if (!interrupted()) return -1;
  // An interrupted connect goes on in the background; wait for its end.
  pollfd entry{fd, POLLOUT, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, -1);
  } while (ready < 0 && interrupted());
  int error = 0;
  socklen_t length = sizeof(error);
  if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return -1;
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

int KivSocket::failOpen() {
  int code = errno;
  close();
  errno = code;
  return -1;
}

int KivSocket::tcpListen(int port, int backlog) {
  if (port < 0 || port > 65535) {
    errno = EINVAL;
    return -1;
  }
  if (openSocket(SOCK_STREAM) != 0) return -1;
  setTcpOptions(true);
  if (bindAny(port) != 0) return failOpen();
  if (::listen(descriptor(sock), backlog > 0 ? backlog : DefaultBackLogSize) != 0) return failOpen();
  return 0;
}

int KivSocket::tcpAccept(unsigned int& accepted, sockaddr* from, int* fromLength) {
  socklen_t length = sizeof(sockaddr_in);
  if (from != nullptr && fromLength != nullptr) length = static_cast<socklen_t>(*fromLength < 0 ? 0 : *fromLength);
  int fd;
  do {
    fd = ::accept4(descriptor(sock), from, from != nullptr ? &length : nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && interrupted());
  accepted = fd < 0 ? InvalidSocket : static_cast<unsigned int>(fd);
  if (fd >= 0 && from != nullptr && fromLength != nullptr) *fromLength = static_cast<int>(length);
  return 0;
}

int KivSocket::tcpAccept(KivSocket& accepted, sockaddr* from, int* fromLength) {
  return tcpAccept(accepted.sock, from, fromLength);
}

int KivSocket::udpListen(int port) {
  if (port < 0 || port > 65535) {
    errno = EINVAL;
    return -1;
  }
  if (openSocket(SOCK_DGRAM) != 0) return -1;
  if (bindAny(port) != 0) return failOpen();
  return 0;
}

int KivSocket::getLocalPort() const {
  if (sock == InvalidSocket) return -1;
  sockaddr_in local{};
  socklen_t length = sizeof(local);
  if (::getsockname(descriptor(sock), reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.sin_family != AF_INET)
    return -1;
  int port = ntohs(local.sin_port);
  return port == 0 ? -1 : port;
}

int KivSocket::tcpConnect(const char* host, int port) {
  sockaddr_in address;
  if (prepareAddress(address, host, port, -1) != 0) return -1;
  if (openSocket(SOCK_STREAM) != 0) return -1;
  setTcpOptions(false);
  if (connectTo(address) != 0) return failOpen();
  return 0;
}

int KivSocket::tcpConnect(uint32_t ip, int port) {
  sockaddr_in address;
  if (prepareAddress(address, ip, port) != 0) return -1;
  if (openSocket(SOCK_STREAM) != 0) return -1;
  setTcpOptions(false);
  if (connectTo(address) != 0) return failOpen();
  return 0;
}

int KivSocket::udpConnect(const char* host, int port, bool noConnect) {
  sockaddr_in address;
  if (prepareAddress(address, host, port, -1) != 0) return -1;
  if (openSocket(SOCK_DGRAM) != 0) return -1;
  if (bindAny(0) != 0) return failOpen();
  if (!noConnect && connectTo(address) != 0) return failOpen();
  return 0;
}

int KivSocket::udpConnect(uint32_t ip, int port, bool noConnect) {
  sockaddr_in address;
  if (prepareAddress(address, ip, port) != 0) return -1;
  if (openSocket(SOCK_DGRAM) != 0) return -1;
  if (bindAny(0) != 0) return failOpen();
  if (!noConnect && connectTo(address) != 0) return failOpen();
  return 0;
}

// --- Transfers ---

int KivSocket::read(char* buffer, int length, bool retry, sockaddr* from, int* fromLength) {
  if (length < 0 || (from != nullptr && fromLength != nullptr && *fromLength < 0)) {
    errno = EINVAL;
    return -1;
  }
  int fd = descriptor(sock);
  for (;;) {
    ssize_t got;
    if (from != nullptr) {
      socklen_t addressLength = fromLength != nullptr ? static_cast<socklen_t>(*fromLength) : sizeof(sockaddr_in);
      got = ::recvfrom(fd, buffer, static_cast<size_t>(length), 0, from, &addressLength);
      if (got >= 0 && fromLength != nullptr) *fromLength = static_cast<int>(addressLength);
    } else {
      got = ::recv(fd, buffer, static_cast<size_t>(length), 0);
    }
    if (got >= 0) return static_cast<int>(got);
    int verdict = retryVerdict(fd, retry, POLLIN);
    if (verdict != 0) return verdict;
  }
}

int KivSocket::write(char* buffer, int length, bool retry, sockaddr* to, int toLength) {
  if (length < 0) {
    errno = EINVAL;
    return -1;
  }
  int fd = descriptor(sock);
  for (;;) {
    // MSG_NOSIGNAL: a peer that has gone gives EPIPE, not a signal that
    // would end the host's process.
    ssize_t sent = (to != nullptr && toLength >= 1)
                       ? ::sendto(fd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL, to,
                                  static_cast<socklen_t>(toLength))
                       : ::send(fd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<int>(sent);
    int verdict = retryVerdict(fd, retry, POLLOUT);
    if (verdict != 0) return verdict;
  }
}

void KivSocket::setBufferSize(bool receive, int bytes) {
  setsockopt(descriptor(sock), SOL_SOCKET, receive ? SO_RCVBUF : SO_SNDBUF, &bytes, sizeof(bytes));
}

int KivSocket::poll(int timeout) {
  if (sock == InvalidSocket) {
    errno = EBADF;
    return -1;
  }
  if (timeout < 0) {
    errno = EINVAL;
    return -1;
  }
  for (;;) {
    pollfd entry{descriptor(sock), POLLIN, 0};
    int ready = ::poll(&entry, 1, timeout);
    if (ready < 0) {
      const Failure failure = lastFailure();
      if (failure == Failure::Interrupted || failure == Failure::InProgress) continue;
      return -1;
    }
    if (ready > 0 && (entry.revents & POLLNVAL) != 0) {
      errno = EBADF;
      return -1;
    }
    return ready;
  }
}
