#include "tests/support/raw_udp_socket.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tessel_test {

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

}  // namespace

RawUdpSocket::RawUdpSocket(int port) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in address = loopback(port);
  socklen_t length = sizeof(address);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port_ = ntohs(address.sin_port);
}

RawUdpSocket::~RawUdpSocket() {
  if (fd_ >= 0) close(fd_);
}

bool RawUdpSocket::receive(std::string& bytes, int timeoutMs, sockaddr_in* from) {
  pollfd entry{fd_, POLLIN, 0};
  if (fd_ < 0 || poll(&entry, 1, timeoutMs) != 1) return false;
  char buffer[65536];
  sockaddr_in source{};
  socklen_t length = sizeof(source);
  ssize_t got = recvfrom(fd_, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&source), &length);
  if (got < 0) return false;
  bytes.assign(buffer, size_t(got));
  if (from != nullptr) *from = source;
  return true;
}

bool RawUdpSocket::pending() {
  pollfd entry{fd_, POLLIN, 0};
  return fd_ >= 0 && poll(&entry, 1, 0) == 1;
}

bool RawUdpSocket::sendTo(const std::string& bytes, int port) { return sendTo(bytes, loopback(port)); }

bool RawUdpSocket::sendTo(const std::string& bytes, const sockaddr_in& to) {
  ssize_t sent = sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  return sent == static_cast<ssize_t>(bytes.size());
}

bool RawUdpSocket::sendForged(const std::string& bytes, int fromPort, int port) {
  int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd < 0) return false;
  // The kernel adds the IP header; the UDP header is ours, without a
  // checksum (0), which IPv4 allows.
  udphdr header{};
  header.source = htons(static_cast<uint16_t>(fromPort));
  header.dest = htons(static_cast<uint16_t>(port));
  header.len = htons(static_cast<uint16_t>(sizeof(header) + bytes.size()));
  std::string datagram(reinterpret_cast<const char*>(&header), sizeof(header));
  datagram += bytes;
  sockaddr_in to = loopback(0);
  ssize_t sent = sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  close(fd);
  return sent == static_cast<ssize_t>(datagram.size());
}

}  // namespace tessel_test
