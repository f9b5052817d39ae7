// PeerClient: lifecycle, the send queue, the service thread and its
// dispatch of received packets, and the wait for the start of a session.

#include "tessel/overlay/peer_client.h"

#include <enet/enet.h>
#include <enet/time.h>

#include <chrono>
#include <cstring>
#include <new>

#include "tessel/records/error_code.h"

namespace zintar {

namespace {

// The client whose service loop runs on this thread, if any: what the
// service thread queues it drains before it sleeps, so it never wakes
// itself.
thread_local const PeerClient* servedClient = nullptr;

// The received ENet packet whose bytes the service thread is dispatching,
// until a fan-out takes it over (takeReceived).
thread_local ENetPacket* dispatchedPacket = nullptr;

// Room for the commands of a broadcast burst before the queue has to grow.
constexpr size_t InitialQueueCapacity = 256;

bool isReliable(const ENetEvent* event) {
  return event != nullptr && event->packet != nullptr && (event->packet->flags & ENET_PACKET_FLAG_RELIABLE) != 0;
}

}  // namespace

PeerClient::PeerClient()
    : myPeerId(-1),
      ownRoomWord(0),
      syncTimeOn(false),
      host(nullptr),
      commandsQueued(false),
      serviceSleeping(false),
      linkHead(-1),
      parentSlotId(-1),
      rootSlotId(-1),
      hasChildren_(false),
      lastIdleSweep(0),
      ordered(false),
      sequenced(false),
      oneOrder(false),
      logNext(0),
      downNext(0),
      downStarted(false),
      orderedDataLimit(PeerPacket::MaxDataSize),
      readIndex(0),
      deliverIndex(0),
      nextSequenced(0),
      sendCounter(1),
      timeOffset(0),
      stopFlag(false),
      resetRequested(false),
      keyGeneration(0),
      peerKeyCount(0),
      rejectedPackets(0),
      parentRefused(false),
      interceptHook(nullptr),
      deinitDone(false),
      enetInitialized(false) {
  for (auto& hop : route) hop.store(-1, std::memory_order_relaxed);
  for (auto& parent : treeParent) parent.store(-1, std::memory_order_relaxed);
}

PeerClient::~PeerClient() {
  // The engine stops the thread before it destroys the client; a client
  // used on its own is stopped here so that deinit cannot wait forever.
  stop();
  deinit();
}

int PeerClient::init(const OverlayCallbacks& owner, int port, bool listen, int mode) {
  callbacks = owner;
  ordered = mode == 3 || mode == 5;
  sequenced = mode == 5;
  oneOrder = mode == 7;
  try {
    KivAutoLock guard(sendQueueLock);
    sendQueue.reserve(InitialQueueCapacity);
    draining.reserve(InitialQueueCapacity);
    strangerSeen.assign(MaxENetPeers, 0);
  } catch (...) {
    return -1;
  }
  if (goEvent.init(false) != 0) return -1;
  if (resetDone.init(false) != 0) return -1;
  if (wakeup.init() != 0) return -1;
  if (enet_initialize() != 0) return -1;
  enetInitialized = true;
  if (listen) {
    ENetAddress address;
    address.host = ENET_HOST_ANY;
    address.port = static_cast<enet_uint16>(port);
    host = enet_host_create(&address, MaxENetPeers, ChannelCount, 0, 0);
  } else {
    host = enet_host_create(nullptr, 1, ChannelCount, 0, 0);
  }
  if (host == nullptr) return -1;
  peerKeys.reset(new (std::nothrow) PeerKey[host->peerCount]);
  if (!peerKeys) return -1;
  peerKeyCount = host->peerCount;
  for (auto& context : contexts) context.init(this, host);
  // Ordered delivery needs a frame store before any topology description
  // sizes it; without one every ordered packet would be lost.
  if ((ordered || oneOrder) && frameStore.resize(DefaultStoreCapacity, PeerPacket::MaxDataSize) < 0) return -1;
  try {
    thread = std::thread(&PeerClient::serviceLoop, this);
  } catch (...) {
    return -1;
  }
  return 0;
}

void PeerClient::stop() {
  stopFlag.store(true, std::memory_order_release);
  wakeup.signal();
}

void PeerClient::deinit() {
  if (deinitDone) return;
  deinitDone = true;
  if (thread.joinable()) thread.join();
  for (auto& context : contexts) context.init(this, nullptr);
  {
    KivAutoLock guard(sendQueueLock);
    // Nothing was sent: a packet of its own goes with its send, a shared
    // one with its release.
    for (auto& command : sendQueue)
      if ((command.command == CmdSend || command.command == CmdRelease) && command.packet != nullptr)
        enet_packet_destroy(command.packet);
    sendQueue.clear();
  }
  {
    KivAutoLock guard(slotMapLock);
    slotMap.clear();
  }
  if (host != nullptr) {
    // Tell every connected peer at once, so that the room learns of the
    // departure now rather than after ENet's timeout.
    for (size_t i = 0; i < host->peerCount; ++i)
      if (host->peers[i].state == ENET_PEER_STATE_CONNECTED) enet_peer_disconnect_now(&host->peers[i], 0);
    enet_host_destroy(host);
    host = nullptr;
  }
  peerKeys.reset();
  peerKeyCount = 0;
  if (enetInitialized) {
    enet_deinitialize();
    enetInitialized = false;
  }
}

void PeerClient::reinit() {
  if (!thread.joinable() || stopped() || std::this_thread::get_id() == thread.get_id()) {
    resetSession();
    return;
  }
  KivAutoLock guard(resetLock);
  resetRequested.store(true, std::memory_order_release);
  wakeup.signal();
  resetDone.wait();
}

void PeerClient::serveReset() {
  if (!resetRequested.exchange(false, std::memory_order_acq_rel)) return;
  resetSession();
  resetDone.set();
}

void PeerClient::resetSession() {
  for (int slot = 0; slot < MaxSlots; ++slot) {
    contexts[slot].reinit();
    route[slot].store(-1, std::memory_order_relaxed);
    treeParent[slot].store(-1, std::memory_order_relaxed);
  }
  linkHead.store(-1, std::memory_order_relaxed);
  parentSlotId.store(-1, std::memory_order_relaxed);
  rootSlotId.store(-1, std::memory_order_relaxed);
  hasChildren_.store(false, std::memory_order_relaxed);
  {
    KivAutoLock guard(slotMapLock);
    slotMap.clear();
  }
  frameStore.lock();
  if ((ordered && !sequenced) || oneOrder) frameStore.clear();
  logNext = 0;
  downNext = 0;
  downStarted = false;
  readIndex.store(0, std::memory_order_relaxed);
  deliverIndex = 0;
  nextSequenced.store(0, std::memory_order_relaxed);
  frameStore.unlock();
  sendCounter.store(1, std::memory_order_relaxed);
  frameEpoch.store(0, std::memory_order_relaxed);
  timeOffset.store(0, std::memory_order_relaxed);
  goEvent.reset();
}

void PeerClient::reinit(int32_t slot) {
  if (slot >= 0 && slot < MaxSlots) contexts[slot].reinit();
}

// --- Send queue -----------------------------------------------------------

void PeerClient::queueCommand(const ENetSendPacket& command) { queueCommands(&command, 1); }

void PeerClient::queueCommands(const ENetSendPacket* commands, int count) {
  if (count <= 0) return;
  if (servedClient == this) {
    // The service thread carries out its own commands at once, after
    // those queued before them: they keep their order, and a relay's
    // forward takes no lock.
    popENetPacket();
    for (int i = 0; i < count; ++i) carryOut(commands[i]);
    return;
  }
  bool wasEmpty;
  {
    KivAutoLock guard(sendQueueLock);
    wasEmpty = sendQueue.empty();
    sendQueue.insert(sendQueue.end(), commands, commands + count);
    commandsQueued.store(true, std::memory_order_seq_cst);
  }
  // A non-empty queue has already woken the service thread, and an awake
  // one drains before it sleeps: the eventfd is written only for a
  // sleeping thread, once per burst. (The flag and commandsQueued are
  // each written before the other is read, so one side sees the other.)
  if (wasEmpty && serviceSleeping.load(std::memory_order_seq_cst)) wakeup.signal();
}

void PeerClient::pushENetPacket(ENetPeer* peer, unsigned char channel, ENetPacket* packet) {
  ENetSendPacket command;
  command.command = CmdSend;
  command.peer = peer;
  command.channel = channel;
  command.packet = packet;
  queueCommand(command);
}

void PeerClient::connectPeer(PeerContext* context) {
  ENetSendPacket command;
  command.command = CmdConnect;
  command.context = context;
  queueCommand(command);
}

void PeerClient::resetPeer(ENetPeer* peer) {
  ENetSendPacket command;
  command.command = CmdReset;
  command.peer = peer;
  queueCommand(command);
}

void PeerClient::throttlePeer(PeerContext* context) {
  ENetSendPacket command;
  command.command = CmdThrottle;
  command.context = context;
  queueCommand(command);
}

void PeerClient::popENetPacket() {
  // Another thread's queueing happens before this load whenever the two are
  // ordered at all (by a lock both take, as the frame store's): what it
  // queued is seen here and carried out first.
  if (!commandsQueued.load(std::memory_order_acquire)) return;
  // The queue is taken out in one piece and carried out without the lock,
  // so that no thread that queues waits for ENet. Only this thread drains,
  // so commands run strictly in queue order.
  {
    KivAutoLock guard(sendQueueLock);
    draining.swap(sendQueue);
    commandsQueued.store(false, std::memory_order_relaxed);
  }
  for (const ENetSendPacket& command : draining) carryOut(command);
  draining.clear();
}

void PeerClient::carryOut(const ENetSendPacket& command) {
  switch (command.command) {
    case CmdSend:
      if (command.packet == nullptr) break;
      if (command.peer == nullptr)
        enet_packet_destroy(command.packet);
      else
        sendOn(command.peer, static_cast<uint8_t>(command.channel), command.packet);
      break;
    case CmdSendShared:
      // A link that ENet refuses takes no reference; the release decides.
      if (command.peer != nullptr && command.packet != nullptr)
        sendShared(command.peer, static_cast<uint8_t>(command.channel), command.packet);
      break;
    case CmdRelease:
      if (command.packet != nullptr && command.packet->referenceCount == 0) enet_packet_destroy(command.packet);
      break;
    case CmdConnect:
      if (command.context != nullptr) command.context->connect();
      break;
    case CmdReset:
      if (command.peer != nullptr) {
        enet_peer_disconnect_now(command.peer, 0);
        command.peer->data = nullptr;
      }
      break;
    case CmdThrottle:
      if (command.context != nullptr) command.context->setThrottle();
      break;
    default:
      break;
  }
}

// --- Service thread ---------------------------------------------------------

void PeerClient::setIntercept(InterceptHook hook) {
  interceptHook.store(hook, std::memory_order_release);
  wakeup.signal();
}

void PeerClient::serviceLoop() {
  servedClient = this;
  while (!stopped()) {
    serveReset();
    // Only this thread touches the host, so the hook is put on it here.
    host->intercept = interceptHook.load(std::memory_order_acquire);
    popENetPacket();
    cutIdleStrangers();
    ENetEvent event;
    // Sends what the drain queued, runs ENet's timers, takes in every
    // datagram that has arrived and hands out the first event.
    int result = enet_host_service(host, &event, 0);
    if (result > 0) {
      // The other events those datagrams carried are handed out without
      // another send and receive each (a reset asked for meanwhile comes
      // first), and what the handlers sent, acknowledgements included,
      // leaves in one flush.
      do {
        handleEvent(event);
      } while (!stopped() && !resetRequested.load(std::memory_order_acquire) &&
               enet_host_check_events(host, &event) > 0);
      enet_host_flush(host);
    }
    // Everything sent: sleep until the socket has data, a command is
    // queued, or ENet has a timer due (at once when any of these is
    // already the case).
    serviceSleeping.store(true, std::memory_order_seq_cst);
    if (!commandsQueued.load(std::memory_order_seq_cst)) wakeup.wait(static_cast<int>(host->socket), serviceWaitMs());
    serviceSleeping.store(false, std::memory_order_relaxed);
  }
  // A reset asked for just as the thread was told to stop still completes.
  serveReset();
  servedClient = nullptr;
}

void PeerClient::handleEvent(ENetEvent& event) {
  switch (event.type) {
    case ENET_EVENT_TYPE_CONNECT:
      if (PeerContext* link = linkOf(event.peer)) {
        // ENet's default throttle narrows a link's window to one datagram
        // when round trips vary, as they do under loss; one resend lost a
        // few times in a row would then stall the link until ENet drops it.
        link->setThrottle();
        // With a room key the link registers once the key's handshake is
        // through.
        if (!beginKey(event.peer, true)) sendRegistration(event.peer);
      } else {
        beginKey(event.peer, false);
        noteStranger(event.peer);
      }
      break;
    case ENET_EVENT_TYPE_DISCONNECT: {
      PeerContext* link = linkOf(event.peer);
      if (link != nullptr) {
        PacketDef::PeerProperty lost = link->getPeerProperty();
        link->close();
        sendDisconnect(lost);
      }
      event.peer->data = nullptr;
      // Nothing more is sealed for it, nor sent in clear.
      if (PeerKey* state = keyOf(event.peer); state != nullptr && state->key.keyed()) state->key.fail();
      break;
    }
    case ENET_EVENT_TYPE_RECEIVE: {
      ENetPacket* received = event.packet;
      dispatchedPacket = received;
      receiveSealed(event);
      // A fan-out that sent it on has taken it (takeReceived): the send
      // queue frees it.
      bool taken = dispatchedPacket == nullptr;
      dispatchedPacket = nullptr;
      if (!taken) enet_packet_destroy(received);
      break;
    }
    default:
      break;
  }
}

ENetPacket* PeerClient::takeReceived(const ENetEvent* event, size_t length, uint32_t flags) {
  ENetPacket* packet = dispatchedPacket;
  // Only the packet being dispatched on this thread, whole and unshared,
  // with the flags a fresh one would get.
  if (event == nullptr || packet == nullptr || event->packet != packet || packet->dataLength != length ||
      packet->flags != flags || packet->referenceCount != 0)
    return nullptr;
  dispatchedPacket = nullptr;
  return packet;
}

int PeerClient::serviceWaitMs() const {
  const enet_uint32 now = enet_time_get();
  enet_uint32 wait = MaxServiceWaitMs;
  for (size_t i = 0; i < host->peerCount; ++i) {
    const ENetPeer* peer = &host->peers[i];
    if (peer->state == ENET_PEER_STATE_DISCONNECTED || peer->state == ENET_PEER_STATE_ZOMBIE) continue;
    if (peer->data == nullptr && wait > StrangerIdleMs / 10) wait = StrangerIdleMs / 10;
    enet_uint32 due;
    if (!enet_list_empty(&peer->sentReliableCommands))
      due = peer->nextTimeout;  // a resend, or the check for a lost peer
    else if (!enet_list_empty(&peer->outgoingCommands) || !enet_list_empty(&peer->acknowledgements))
      due = now;  // left over by the last send
    else
      due = peer->lastReceiveTime + peer->pingInterval;  // the keep-alive ping
    // At least a millisecond: a timer that ENet did not act on at the last
    // service must not make the loop spin.
    enet_uint32 left = ENET_TIME_GREATER_EQUAL(now + 1, due) ? 1 : ENET_TIME_DIFFERENCE(due, now);
    if (left < wait) wait = left;
  }
  return static_cast<int>(wait);
}

void PeerClient::receive(ENetEvent* event, const uint8_t* bytes, size_t length) {
  if (!admitted(event, bytes, length)) return;
  // Only whole packets pass; a buffer longer than the largest packet the
  // overlay sends did not come from a conforming peer.
  if (length > size_t(PeerPacket::MaxPacketSize) || PeerPacket::wireSize(bytes, length) < 0) return;
  PeerPacket packet;
  std::memcpy(static_cast<void*>(&packet), bytes, length);
  const PeerHeader& header = packet.header();
  if (header.srcSlot() >= uint32_t(MaxSlots) || header.dstSlot() >= uint32_t(MaxSlots)) return;
  bool reliable = isReliable(event);
  switch (header.type()) {
    case PeerPacket::Register:
      if (event != nullptr) handleRegister(*event, &packet);
      break;
    case PeerPacket::Disconnect:
      handleDisconnect(&packet, reliable);
      break;
    case PeerPacket::Data:
    case PeerPacket::Peek:
      handleData(event, &packet, length, reliable);
      break;
    case PeerPacket::Direct:
      handleDirect(event, &packet, reliable);
      break;
    case PeerPacket::Ping:
      handlePing(&packet, reliable);
      break;
    case PeerPacket::Pong:
      handlePong(&packet, reliable);
      break;
    case PeerPacket::PingTest:
      handlePingTest(event, &packet);
      break;
    case PeerPacket::TimeSync:
      handleTimeSync(event, &packet);
      break;
    case PeerPacket::Error:
      handleError(&packet);
      break;
    default:
      break;  // unknown types, and PingTestReply, are dropped unread
  }
}

int PeerClient::waitForGo(int timeoutMs) {
  if (isSyncTime() && syncTime() < 0) return -1;
  if (connectPeers(timeoutMs) < 0) return -1;
  if (!isSyncTime()) return 0;
  // Millisecond counts wrap: the sum is taken on unsigned values.
  auto untilStart = static_cast<int32_t>(static_cast<uint32_t>(getFrameEpoch() - KivNetTime::getCurrentTime()) +
                                         static_cast<uint32_t>(timeOffset.load(std::memory_order_relaxed)));
  if (untilStart > MaxStartWaitMs) untilStart = MaxStartWaitMs;
  if (untilStart > 0) std::this_thread::sleep_for(std::chrono::milliseconds(untilStart));
  return 0;
}

// --- Small accessors -----------------------------------------------------------

int PeerClient::setPacketQueue(int capacity, int maxDataSize) {
  orderedDataLimit.store(maxDataSize < PeerPacket::MaxDataSize ? maxDataSize : PeerPacket::MaxDataSize,
                         std::memory_order_relaxed);
  if (capacity > MaxStoreCapacity) return -1;
  // A description given while connected resizes a store that both threads
  // may be using; positions count anew in the new store.
  frameStore.lock();
  int result = frameStore.resize(capacity, maxDataSize);
  deliverIndex = 0;
  frameStore.unlock();
  return result;
}

PacketDef::PeerProperty PeerClient::getPeerProperty(int32_t slot) const {
  if (slot < 0 || slot >= MaxSlots) return PacketDef::PeerProperty();
  return contexts[slot].getPeerProperty();
}

void PeerClient::clearPeerProperty(int32_t slot) {
  if (slot < 0 || slot >= MaxSlots) return;
  contexts[slot].setPeerProperty(PacketDef::PeerProperty());
}

const PeerContext* PeerClient::getContext(int32_t slot) const {
  if (slot < 0 || slot >= MaxSlots) return nullptr;
  return &contexts[slot];
}

void PeerClient::setOwnProperty(const PacketDef::PeerProperty& own) {
  myPeerId.store(own.id, std::memory_order_relaxed);
  ownRoomWord.store(own.roomId.word, std::memory_order_relaxed);
}

PacketDef::RoomId PeerClient::ownRoom() const {
  PacketDef::RoomId room;
  room.word = ownRoomWord.load(std::memory_order_relaxed);
  return room;
}

void PeerClient::reportMessage(const PeerPacket& packet) const {
  if (callbacks.gotMessage != nullptr) callbacks.gotMessage(callbacks.context, originatorId(packet), packet);
}

void PeerClient::reportDisconnect(const PeerPacket& packet) const {
  if (callbacks.gotDisconnect != nullptr) callbacks.gotDisconnect(callbacks.context, packet);
}

void PeerClient::reportError(uint32_t code) const {
  if (callbacks.setError != nullptr) callbacks.setError(callbacks.context, code);
}

int32_t PeerClient::originatorId(const PeerPacket& packet) const {
  uint32_t slot = packet.header().srcSlot();
  if (slot >= uint32_t(MaxSlots)) return -1;
  return contexts[slot].getPeerId();
}

}  // namespace zintar
