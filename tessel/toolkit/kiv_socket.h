// KivSocket is a thin object around one IPv4 socket: listening for and
// accepting TCP connections, binding UDP, connecting TCP and UDP by name or
// by address, sending and receiving with a small retry policy, waiting for
// readability with a time-out, and closing. It keeps no buffers of its own;
// each operation maps onto one or a few socket calls.
//
// A KivSocket is either closed (getSocket() == InvalidSocket) or holds one
// open socket. Opening overwrites the handle without closing a socket that
// was open before. A copy names the same socket as the original and either
// one closes it when destroyed, so before a copy goes away the other owner
// must be closed or given InvalidSocket with setSocket.
//
// Addresses given as uint32_t are IPv4 addresses in network byte order;
// ports are host-order ints. Results: 0 (or a byte count) on success, -1 on
// failure, -2 for a transient error when the caller asked not to retry;
// the reason is left for errNo. Nothing throws or logs.
//
// The object holds no lock: one object is used by one thread at a time.
// Different objects may be used by different threads at once.

#ifndef TESSEL_TOOLKIT_KIV_SOCKET_H_
#define TESSEL_TOOLKIT_KIV_SOCKET_H_

#include <atomic>
#include <cstdint>

#include "tessel/tessel_export.h"

struct sockaddr;
struct sockaddr_in;

class TESSEL_EXPORT KivSocket {
 public:
  static constexpr unsigned int InvalidSocket = 0xFFFFFFFFu;
  static constexpr int DefaultBackLogSize = 2048;
  // Piece size of reads and writes, and the buffer size they set.
  static constexpr int DefaultSocketSegmentSize = 16384;
  static constexpr const char* LoopbackHost = "localhost";
  static constexpr const char* LoopbackIp = "127.0.0.1";

  KivSocket();
  // Both objects then name the same socket; the buffer flags start cleared.
  KivSocket(const KivSocket& other);
  KivSocket& operator=(const KivSocket& other);
  // Shuts down and closes an open socket; ends the start made by init.
  virtual ~KivSocket();

  // Starts the socket layer for the process once. 0, or -1 on failure.
  int init();

  unsigned int getSocket() const { return sock; }
  void setSocket(unsigned int handle) { sock = handle; }
  bool isConnected() const { return sock != InvalidSocket; }
  // Shuts down both directions and closes an open socket; then the object
  // is closed. Harmless when it is closed already.
  void close();
  // shutdown(2) with how (0 receive, 1 send, 2 both); its result.
  int shutdown(int how);
  // The error code of this thread's last failed socket call.
  int errNo();
  // The text of code, or of errNo() when code is -1.
  const char* strerror(int code);

  // Opening. 0 on success, -1 on failure; a failure after the socket was
  // created closes it again and leaves the object closed.
  //
  // A TCP socket listening on port (0: one the system picks) of every local
  // address, with backlog pending connections (DefaultBackLogSize when 0
  // or negative).
  int tcpListen(int port, int backlog);
  // Accepts one connection into accepted (its handle for the second form)
  // and fills from with the peer's address when given. Always 0: a failed
  // accept shows as InvalidSocket in accepted.
  int tcpAccept(unsigned int& accepted, sockaddr* from = nullptr, int* fromLength = nullptr);
  int tcpAccept(KivSocket& accepted, sockaddr* from = nullptr, int* fromLength = nullptr);
  // A UDP socket bound to port (0: one the system picks) of every local
  // address.
  int udpListen(int port);
  // The local port the open socket is bound to (after port 0, the one the
  // system picked), or -1 when the object is closed or not bound.
  int getLocalPort() const;
  // A TCP connection to host (a dotted address, or a name whose first
  // address is used) or to ip. Refused without creating a socket when host
  // is null or empty, the name does not resolve, ip is 0xFFFFFFFF or port
  // is outside 1..65535.
  int tcpConnect(const char* host, int port);
  int tcpConnect(uint32_t ip, int port);
  // A UDP socket bound to any local port; unless noConnect is true it is
  // also connected to the address, so that plain write and read reach it.
  // Refusals as for tcpConnect.
  int udpConnect(const char* host, int port, bool noConnect);
  int udpConnect(uint32_t ip, int port, bool noConnect);

  // One receive (recvfrom when from is given) of at most length bytes: the
  // byte count (0 when a TCP peer has closed), -1 on error. On a transient
  // error (interrupted, would block, in progress, timed out) it tries again
  // when retry is true and gives -2 when it is false.
  int read(char* buffer, int length, bool retry, sockaddr* from = nullptr, int* fromLength = nullptr);
  // One send (sendto when to is given and toLength >= 1); results as read.
  int write(char* buffer, int length, bool retry, sockaddr* to = nullptr, int toLength = 0);
  // Receives until length bytes have arrived, retrying transient errors:
  // length, 0 when length < 1, -1 as soon as a receive gives 0 or less.
  int read(char* buffer, int length, sockaddr* from = nullptr, int* fromLength = nullptr);
  // Sends until length bytes are out; results as the looping read.
  int write(char* buffer, int length, sockaddr* to = nullptr, int toLength = 0);
  // As the looping read, but for DefaultSocketSegmentSize bytes or more it
  // sets the receive buffer to that size (the first time on this object)
  // and receives in pieces of at most that size.
  int reads(char* buffer, int length, sockaddr* from = nullptr, int* fromLength = nullptr);
  // The same for sending, with the send buffer.
  int writes(char* buffer, int length, sockaddr* to = nullptr, int toLength = 0);
  // Forward to the looping read, reads, write and writes.
  int read(const char* buffer, int length, sockaddr* from = nullptr, int* fromLength = nullptr);
  int reads(const char* buffer, int length, sockaddr* from = nullptr, int* fromLength = nullptr);
  int write(const char* buffer, int length, sockaddr* to = nullptr, int toLength = 0);
  int writes(const char* buffer, int length, sockaddr* to = nullptr, int toLength = 0);

  // Waits up to timeout milliseconds for the socket to become readable
  // (data, a connection to accept, or the peer's close): 1 when readable,
  // 0 on time-out, -1 on failure (also for a closed object or a negative
  // timeout). An interrupted wait starts again with the full time-out.
  int poll(int timeout);

  // Which of count resolved addresses a name lookup uses: which in
  // 0..count-1 picks that one, a larger value the last; -2 picks
  // randomValue mod count; -3 the last; -1 and other negative values the
  // first. -1 when count < 1.
  static int chooseAddress(int count, int which, unsigned int randomValue);

 private:
  int prepareAddress(sockaddr_in& address, uint32_t ip, int port);
  int prepareAddress(sockaddr_in& address, const char* host, int port, int which);
  // A new socket of type (stream or datagram) in sock; -1 on failure.
  int openSocket(int type);
  void setTcpOptions(bool reuseAddress);
  // Binds sock to port of every local address.
  int bindAny(int port);
  int connectTo(const sockaddr_in& address);
  // Closes the socket that an opening operation created and gives -1.
  int failOpen();
  // Sets SO_RCVBUF (receive) or SO_SNDBUF to bytes.
  void setBufferSize(bool receive, int bytes);
  int segmented(char* buffer, int length, bool receive, sockaddr* peer, int* receiveLength, int sendLength);

  unsigned int sock;
  bool recvBufferSet;
  bool sendBufferSet;

  // Shared by every object: the socket layer has been started.
  static std::atomic<bool> Initialized;
};

#endif  // TESSEL_TOOLKIT_KIV_SOCKET_H_
