// RawUdpSocket: a plain UDP socket on 127.0.0.1 for tests that must see
// the exact datagrams that reach a port, script the answers, or prove that
// nothing arrived.

#ifndef TESSEL_TESTS_SUPPORT_RAW_UDP_SOCKET_H_
#define TESSEL_TESTS_SUPPORT_RAW_UDP_SOCKET_H_

#include <netinet/in.h>

#include <string>

namespace tessel_test {

class RawUdpSocket {
 public:
  // Binds 127.0.0.1:port (0: a port the system picks).
  explicit RawUdpSocket(int port = 0);
  ~RawUdpSocket();
  RawUdpSocket(const RawUdpSocket&) = delete;
  RawUdpSocket& operator=(const RawUdpSocket&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  // Waits up to timeoutMs for one datagram; false when none came. from, when
  // given, gets the sender's address.
  bool receive(std::string& bytes, int timeoutMs, sockaddr_in* from = nullptr);
  // True when a datagram is waiting right now (no wait).
  bool pending();
  // Sends bytes to 127.0.0.1:port, or to the address to.
  bool sendTo(const std::string& bytes, int port);
  bool sendTo(const std::string& bytes, const sockaddr_in& to);
  // Sends bytes to 127.0.0.1:port as if from 127.0.0.1:fromPort, any port
  // including 0 and ones already taken, through a raw socket. Needs
  // CAP_NET_RAW; false when the datagram could not be sent.
  static bool sendForged(const std::string& bytes, int fromPort, int port);

 private:
  int fd_ = -1;
  int port_ = -1;
};

}  // namespace tessel_test

#endif  // TESSEL_TESTS_SUPPORT_RAW_UDP_SOCKET_H_
