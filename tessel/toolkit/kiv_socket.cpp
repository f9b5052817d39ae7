// The portable half of KivSocket: copies, the address choice, and the
// looping and segmented transfers built on the single read and write.

#include "tessel/toolkit/kiv_socket.h"

std::atomic<bool> KivSocket::Initialized{false};

KivSocket::KivSocket() : sock(InvalidSocket), recvBufferSet(false), sendBufferSet(false) {}

KivSocket::KivSocket(const KivSocket& other) : sock(other.sock), recvBufferSet(false), sendBufferSet(false) {}

KivSocket& KivSocket::operator=(const KivSocket& other) {
  sock = other.sock;
  recvBufferSet = false;
  sendBufferSet = false;
  return *this;
}

int KivSocket::chooseAddress(int count, int which, unsigned int randomValue) {
  if (count < 1) return -1;
  if (which >= 0) return which < count ? which : count - 1;
  if (which == -2) return static_cast<int>(randomValue % static_cast<unsigned int>(count));
  if (which == -3) return count - 1;
  return 0;
}

int KivSocket::read(char* buffer, int length, sockaddr* from, int* fromLength) {
  if (length < 1) return 0;
  int done = 0;
  while (done < length) {
    int got = read(buffer + done, length - done, true, from, fromLength);
    if (got <= 0) return -1;
    done += got;
  }
  return length;
}

int KivSocket::write(char* buffer, int length, sockaddr* to, int toLength) {
  if (length < 1) return 0;
  int done = 0;
  while (done < length) {
    int sent = write(buffer + done, length - done, true, to, toLength);
    if (sent <= 0) return -1;
    done += sent;
  }
  return length;
}

int KivSocket::segmented(char* buffer, int length, bool receive, sockaddr* peer, int* receiveLength,
                         int sendLength) {
  bool& bufferSet = receive ? recvBufferSet : sendBufferSet;
  if (!bufferSet) {
    setBufferSize(receive, DefaultSocketSegmentSize);
    bufferSet = true;
  }
  int done = 0;
  while (done < length) {
    int piece = length - done < DefaultSocketSegmentSize ? length - done : DefaultSocketSegmentSize;
    int moved = receive ? read(buffer + done, piece, true, peer, receiveLength)
                        : write(buffer + done, piece, true, peer, sendLength);
    if (moved <= 0) return -1;
    done += moved;
  }
  return length;
}

int KivSocket::reads(char* buffer, int length, sockaddr* from, int* fromLength) {
  if (length < DefaultSocketSegmentSize) return read(buffer, length, from, fromLength);
  return segmented(buffer, length, true, from, fromLength, 0);
}

int KivSocket::writes(char* buffer, int length, sockaddr* to, int toLength) {
  if (length < DefaultSocketSegmentSize) return write(buffer, length, to, toLength);
  return segmented(buffer, length, false, to, nullptr, toLength);
}

int KivSocket::read(const char* buffer, int length, sockaddr* from, int* fromLength) {
  return read(const_cast<char*>(buffer), length, from, fromLength);
}

int KivSocket::reads(const char* buffer, int length, sockaddr* from, int* fromLength) {
  return reads(const_cast<char*>(buffer), length, from, fromLength);
}

int KivSocket::write(const char* buffer, int length, sockaddr* to, int toLength) {
  return write(const_cast<char*>(buffer), length, to, toLength);
}

int KivSocket::writes(const char* buffer, int length, sockaddr* to, int toLength) {
  return writes(const_cast<char*>(buffer), length, to, toLength);
}
