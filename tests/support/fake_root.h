// FakeRoot: a bare ENet host listening on a free 127.0.0.1 port with a
// thread of its own, standing in for a room's root (or any parent) where a
// test must see the exact bytes that reach it or script its answers: it
// accepts every connection, records every packet with its reliability,
// and hands each one to a responder that may answer the sender.
//
// Also here: building one real member of such a room from a parent table.

#ifndef TESSEL_TESTS_SUPPORT_FAKE_ROOT_H_
#define TESSEL_TESTS_SUPPORT_FAKE_ROOT_H_

#include <enet/enet.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tessel/engine/tessel.h"

namespace tessel_test {

class FakeRoot {
 public:
  struct Received {
    std::string bytes;
    bool reliable;
  };
  // What the responder sends back to the sender of a packet; nothing when
  // bytes is empty.
  struct Answer {
    std::string bytes;
    bool reliable = false;
  };
  // Runs on the fake root's thread for every received packet.
  using Responder = std::function<Answer(const Received&)>;

  explicit FakeRoot(Responder responder);
  ~FakeRoot();

  // False when no host could be bound.
  bool ok() const { return host_ != nullptr; }
  int port() const { return port_; }
  // A copy of everything received so far, in arrival order.
  std::vector<Received> received();
  // How many received packets had overlay type code type.
  size_t count(uint32_t type);

 private:
  void run();

  Responder responder_;
  ENetHost* host_ = nullptr;
  int port_ = -1;
  std::mutex mutex_;
  std::vector<Received> received_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A root's answers to time requests: the n-th is answered as a root whose
// clock is shifts[n] ms behind (nullopt: lost; past the end: the last),
// from room (1, minor). Anything else gets no answer.
FakeRoot::Responder timeAnswers(std::vector<std::optional<int>> shifts, uint32_t minor);

// The record a test room gives slot: peer id 100 + slot, room (1, 2),
// 127.0.0.1 and port.
PacketDef::PeerProperty memberRecord(int slot, int port);

// An engine for slot listening on port, in room (1, 2), with the topology
// description made of records and parents, in delivery mode mode. Null when
// it cannot be set up.
std::unique_ptr<zintar::Tessel> makeMember(int slot, int port, bool syncTime,
                                           const std::vector<PacketDef::PeerProperty>& records,
                                           const std::vector<int32_t>& parents, int mode = 0);

}  // namespace tessel_test

#endif  // TESSEL_TESTS_SUPPORT_FAKE_ROOT_H_
