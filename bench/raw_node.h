// RawNode: an application written straight on ENet, the baseline that the
// library's figures are measured against. It is what a competent
// application without tessel would write:
//
// - one ENet host per node, bound to its own 127.0.0.1 port, serviced by a
//   thread of its own (the application's thread never touches the host);
// - the application's thread hands packets over through a locked queue and
//   wakes the service thread with an eventfd, so a packet leaves at once
//   instead of at the next poll. (A short enet_host_service timeout would
//   cost up to that timeout per packet, or a busy core; a blocking poll on
//   the host's socket plus the eventfd costs neither.) The eventfd is
//   written only when the queue was empty, since the service thread drains
//   the whole queue whenever it wakes;
// - broadcasts go out with one enet_host_broadcast, one packet shared by
//   every connection;
// - received packets reach the application's thread through a second
//   locked queue, swapped out in one piece, and are destroyed there;
// - as a relay, a received packet is sent on from the service thread
//   itself, the same ENet packet passed on without a copy;
// - as a member of a tree, the service thread relays broadcasts by hand:
//   up to the parent, and from the root down to every child, each inner
//   node passing them on as they arrive.
//
// Peers are named by the port their node is bound to. Threads: start,
// connect, send, broadcast and pop from the application's thread; the
// service thread does the rest. The destructor stops the thread and frees
// everything.

#ifndef TESSEL_BENCH_RAW_NODE_H_
#define TESSEL_BENCH_RAW_NODE_H_

#include <enet/enet.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace tessel_bench {

class RawNode {
 public:
  RawNode();
  ~RawNode();
  RawNode(const RawNode&) = delete;
  RawNode& operator=(const RawNode&) = delete;

  // Binds the host to port with room for peers connections and starts the
  // service thread. false on failure.
  bool start(int port, int peers);
  // Asks the service thread to open a connection to the node on port.
  void connect(int port);
  // Connections that are up.
  int connected() const { return connected_.load(std::memory_order_acquire); }

  // Application thread: queues length bytes for the node on port.
  void send(int port, const void* data, size_t length, bool reliable);
  // Application thread: queues length bytes for every connected node.
  void broadcast(const void* data, size_t length, bool reliable);
  // Application thread: the oldest packet received, or null. The caller
  // destroys it with enet_packet_destroy.
  ENetPacket* pop();

  // Relay mode: every received packet is sent on, from the service thread,
  // to the node whose port its first four bytes name.
  void setRelay(bool relay) { relay_.store(relay, std::memory_order_release); }

  // Idle mode (call before start): the service thread sleeps until its
  // socket has data, a command is queued, or ENet's own next timer is due
  // (a resend or timeout check of a reliable command, or the keep-alive
  // ping of a quiet peer), at most a second, instead of at most 10 ms: what
  // a host with nothing to send needs to keep ENet's links alive.
  void setTimerWait(bool on) { timerWait_ = on; }

  // Tree mode: the node is a member of a tree whose parent is the node on
  // parentPort (0: this node is the root). A packet from a child goes on to
  // the parent and is not delivered here; at the root, and whenever it
  // comes from the parent, a packet is delivered here and sent to every
  // child. The application starts a broadcast by sending it to its parent
  // (the root: by broadcasting it). Set before packets arrive.
  void setTree(int parentPort) { treeParent_.store(parentPort, std::memory_order_release); }

 private:
  struct Command {
    int port;  // -1: broadcast; -2: connect to packet-less port in `connectPort`
    int connectPort;
    ENetPacket* packet;
  };

  void queue(const Command& command);
  void serviceLoop();
  void handle(ENetEvent& event);
  void relayInTree(ENetEvent& event, int parentPort);
  void deliver(ENetPacket* packet);
  int timerWaitMs() const;
  ENetPeer* peerOf(int port) const;

  ENetHost* host_ = nullptr;
  int wakeup_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> relay_{false};
  std::atomic<int> treeParent_{-1};  // -1: not in a tree
  std::atomic<int> connected_{0};
  bool timerWait_ = false;

  std::mutex commandLock_;
  std::vector<Command> commands_;  // filled by the application's thread
  std::vector<Command> draining_;  // the service thread's batch

  std::mutex inboxLock_;
  std::vector<ENetPacket*> inbox_;  // filled by the service thread
  std::vector<ENetPacket*> taken_;  // the application's batch
  size_t takenNext_ = 0;

  // Service thread only: connected peers by their node's port.
  std::vector<std::pair<int, ENetPeer*>> peers_;
};

}  // namespace tessel_bench

#endif  // TESSEL_BENCH_RAW_NODE_H_
