#include "bench/raw_node.h"

#include <enet/time.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

namespace tessel_bench {

namespace {

constexpr int CommandBroadcast = -1;
constexpr int CommandConnect = -2;
// The longest the service thread sleeps: ENet's resends and pings run at
// least this often.
constexpr int ServiceWaitMs = 10;
// In idle mode, the longest the service thread sleeps when ENet has no
// timer due sooner.
constexpr enet_uint32 TimerWaitLimitMs = 1000;

}  // namespace

RawNode::RawNode() = default;

RawNode::~RawNode() {
  stop_.store(true, std::memory_order_release);
  if (wakeup_ >= 0) {
    uint64_t one = 1;
    ssize_t written = ::write(wakeup_, &one, sizeof(one));
    (void)written;
  }
  if (thread_.joinable()) thread_.join();
  for (auto& command : commands_)
    if (command.packet != nullptr && command.packet->referenceCount == 0) enet_packet_destroy(command.packet);
  for (size_t i = takenNext_; i < taken_.size(); ++i) enet_packet_destroy(taken_[i]);
  for (ENetPacket* packet : inbox_) enet_packet_destroy(packet);
  if (host_ != nullptr) enet_host_destroy(host_);
  if (wakeup_ >= 0) ::close(wakeup_);
}

bool RawNode::start(int port, int peers) {
  wakeup_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeup_ < 0) return false;
  ENetAddress address;
  address.host = ENET_HOST_ANY;
  address.port = static_cast<enet_uint16>(port);
  host_ = enet_host_create(&address, static_cast<size_t>(peers), 1, 0, 0);
  if (host_ == nullptr) return false;
  // Room for the bursts the benchmarks send, so that the queues do not
  // grow while they are measured.
  commands_.reserve(1024);
  draining_.reserve(1024);
  inbox_.reserve(1024);
  taken_.reserve(1024);
  thread_ = std::thread(&RawNode::serviceLoop, this);
  return true;
}

void RawNode::queue(const Command& command) {
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> guard(commandLock_);
    wasEmpty = commands_.empty();
    commands_.push_back(command);
  }
  if (wasEmpty) {
    uint64_t one = 1;
    ssize_t written = ::write(wakeup_, &one, sizeof(one));
    (void)written;
  }
}

void RawNode::connect(int port) { queue({CommandConnect, port, nullptr}); }

void RawNode::send(int port, const void* data, size_t length, bool reliable) {
  ENetPacket* packet = enet_packet_create(data, length, reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
  if (packet != nullptr) queue({port, 0, packet});
}

void RawNode::broadcast(const void* data, size_t length, bool reliable) {
  ENetPacket* packet = enet_packet_create(data, length, reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
  if (packet != nullptr) queue({CommandBroadcast, 0, packet});
}

ENetPacket* RawNode::pop() {
  if (takenNext_ == taken_.size()) {
    taken_.clear();
    takenNext_ = 0;
    std::lock_guard<std::mutex> guard(inboxLock_);
    taken_.swap(inbox_);
  }
  return takenNext_ < taken_.size() ? taken_[takenNext_++] : nullptr;
}

ENetPeer* RawNode::peerOf(int port) const {
  for (const auto& entry : peers_)
    if (entry.first == port) return entry.second;
  return nullptr;
}

void RawNode::serviceLoop() {
  while (!stop_.load(std::memory_order_acquire)) {
    {
      std::lock_guard<std::mutex> guard(commandLock_);
      draining_.swap(commands_);
    }
    for (const Command& command : draining_) {
      if (command.port == CommandConnect) {
        ENetAddress address;
        enet_address_set_host(&address, "127.0.0.1");
        address.port = static_cast<enet_uint16>(command.connectPort);
        enet_host_connect(host_, &address, 1, 0);
      } else if (command.port == CommandBroadcast) {
        enet_host_broadcast(host_, 0, command.packet);
      } else {
        ENetPeer* peer = peerOf(command.port);
        if (peer == nullptr || enet_peer_send(peer, 0, command.packet) != 0) enet_packet_destroy(command.packet);
      }
    }
    draining_.clear();
    ENetEvent event;
    int result = enet_host_service(host_, &event, 0);
    if (result > 0) {
      handle(event);
      continue;
    }
    enet_host_flush(host_);
    pollfd fds[2] = {{wakeup_, POLLIN, 0}, {static_cast<int>(host_->socket), POLLIN, 0}};
    if (::poll(fds, 2, timerWait_ ? timerWaitMs() : ServiceWaitMs) > 0 && (fds[0].revents & POLLIN)) {
      uint64_t value;
      ssize_t got = ::read(wakeup_, &value, sizeof(value));
      (void)got;
    }
  }
}

int RawNode::timerWaitMs() const {
  const enet_uint32 now = enet_time_get();
  enet_uint32 wait = TimerWaitLimitMs;
  for (size_t i = 0; i < host_->peerCount; ++i) {
    ENetPeer* peer = &host_->peers[i];
    if (peer->state == ENET_PEER_STATE_DISCONNECTED || peer->state == ENET_PEER_STATE_ZOMBIE) continue;
    enet_uint32 due;
    if (!enet_list_empty(&peer->sentReliableCommands))
      due = peer->nextTimeout;  // a resend, or the check for a lost peer
    else if (!enet_list_empty(&peer->outgoingCommands) || !enet_list_empty(&peer->acknowledgements))
      due = now;  // left over by the last send
    else
      due = peer->lastReceiveTime + peer->pingInterval;  // keep-alive
    // At least a millisecond: a timer ENet did not act on at the last
    // service must not make this loop spin.
    enet_uint32 left = ENET_TIME_GREATER_EQUAL(now + 1, due) ? 1 : ENET_TIME_DIFFERENCE(due, now);
    if (left < wait) wait = left;
  }
  return static_cast<int>(wait);
}

void RawNode::handle(ENetEvent& event) {
  switch (event.type) {
    case ENET_EVENT_TYPE_CONNECT:
      peers_.emplace_back(static_cast<int>(event.peer->address.port), event.peer);
      connected_.fetch_add(1, std::memory_order_release);
      break;
    case ENET_EVENT_TYPE_DISCONNECT:
      for (auto it = peers_.begin(); it != peers_.end(); ++it) {
        if (it->second == event.peer) {
          peers_.erase(it);
          connected_.fetch_sub(1, std::memory_order_release);
          break;
        }
      }
      break;
    case ENET_EVENT_TYPE_RECEIVE: {
      if (relay_.load(std::memory_order_relaxed)) {
        int32_t port = -1;
        if (event.packet->dataLength >= sizeof(port)) std::memcpy(&port, event.packet->data, sizeof(port));
        ENetPeer* next = peerOf(port);
        // The received packet goes on as it is: ENet frees it once sent.
        if (next == nullptr || enet_peer_send(next, 0, event.packet) != 0) enet_packet_destroy(event.packet);
        break;
      }
      int parentPort = treeParent_.load(std::memory_order_relaxed);
      if (parentPort >= 0) {
        relayInTree(event, parentPort);
        break;
      }
      deliver(event.packet);
      break;
    }
    default:
      break;
  }
}

void RawNode::deliver(ENetPacket* packet) {
  std::lock_guard<std::mutex> guard(inboxLock_);
  inbox_.push_back(packet);
}

void RawNode::relayInTree(ENetEvent& event, int parentPort) {
  ENetPeer* parent = parentPort > 0 ? peerOf(parentPort) : nullptr;
  if (parentPort > 0 && event.peer != parent) {
    // On its way up: passed on as it is.
    if (parent == nullptr || enet_peer_send(parent, 0, event.packet) != 0) enet_packet_destroy(event.packet);
    return;
  }
  // At the root or on its way down: every child gets the received packet
  // itself. A packet a child took is ENet's to free once sent, so the
  // application gets a copy, unless no child took it.
  bool passedOn = false;
  for (const auto& entry : peers_)
    if (entry.second != parent && enet_peer_send(entry.second, 0, event.packet) == 0) passedOn = true;
  ENetPacket* own = passedOn ? enet_packet_create(event.packet->data, event.packet->dataLength, 0) : event.packet;
  if (own != nullptr) deliver(own);
}

}  // namespace tessel_bench
