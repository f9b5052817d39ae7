// PeerClient is the overlay transport of one engine: one ENet host, the 32
// peer links (one per slot), the send queue of ENet commands, the map from
// peer ids to slots, the frame store for ordered delivery, and the service
// thread, the only thread the library starts.
//
// The service thread is the one place that services the ENet host. Each
// pass it carries out the commands other threads queued (send, connect,
// reset, throttle), handles every ENet event that is ready, and otherwise
// sleeps on the host's socket until a datagram arrives or ENet's own next
// timer (a resend, a keep-alive ping) is due; queueing a command wakes it
// at once, so a packet sent from the host thread leaves within
// microseconds, and an idle client wakes no more often than ENet needs.
// Received packets pass the bounds-checked PeerPacket::fromWire and a slot
// range check before any handler sees them; an ENet peer that no link
// claims may only send Register, PingTest and TimeSync (anything else cuts
// its connection).
//
// With a room key (setRoomKey) every connection of the host, link or not,
// first runs the key's handshake (RoomKey): until it completes nothing it
// sends reaches a handler and nothing is sent to it but the handshake, and
// a failed handshake cuts it. From then on every packet is sealed on its
// way out (by the service thread, as it hands the packet to ENet) and
// opened on its way in; what does not open is dropped and counted.
//
// Lifecycle: construct, init (ENet host, links, thread), per session the
// topology (setPeerProperty, setPacketQueue, buildTopology) and waitForGo,
// traffic, reinit between sessions; at the end stop, then deinit (also run
// by the destructor).
//
// Threads: the host application's thread calls the public operations; the
// service thread runs the handlers. Both send (queueing only) and both may
// run the local receive path of broadcasts, so engine callbacks come from
// both. Topology fields and the route table are written by the host thread
// and read by the service thread without a lock (atomics).
//
// Locks, outermost first; a thread holding one may take only locks listed
// after it (clang checks the order within this class, and every guarded
// field, when built with TESSEL_THREAD_SAFETY):
//   resetLock      host thread, for the whole of a session reset, which
//                  the service thread carries out taking the locks below;
//                  taken with no other lock held.
//   frame store    frameStore.lock(): the store, deliverIndex and
//                  logNext. Held while a pull is answered and while the
//                  root of mode 7 sends its log down (each link's record
//                  lock, then sendQueueLock, one after the other), and
//                  while packets are delivered (the originator's record
//                  lock, and the owner's callbacks, which take the
//                  engine's jobMutex).
//   sendQueueLock  the send queue. Held only to append to it and to take
//                  it out for a drain; takes no other lock.
//   slotMapLock    slotMap; takes no other lock.
//   record locks   each link's PeerContext::propertyLock, its record; takes
//                  no other lock (a link's reinit queues the reset of its
//                  connection after releasing it).
//   keyLock        the room key; takes no other lock.
//   jobMutex       the engine's job queue, the innermost lock.
// The engine's galaxyMutex and propertyMutex are never held together with
// any of these.

#ifndef TESSEL_OVERLAY_PEER_CLIENT_H_
#define TESSEL_OVERLAY_PEER_CLIENT_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "tessel/overlay/enet_fwd.h"
#include "tessel/overlay/overlay_callbacks.h"
#include "tessel/overlay/peer_context.h"
#include "tessel/overlay/peer_packet.h"
#include "tessel/overlay/peer_packet_queue.h"
#include "tessel/overlay/room_key.h"
#include "tessel/records/packet_def.h"
#include "tessel/tessel_export.h"
#include "tessel/toolkit/kiv_event.h"
#include "tessel/toolkit/kiv_mutex.h"
#include "tessel/toolkit/kiv_net_time.h"
#include "tessel/toolkit/kiv_wakeup.h"

namespace zintar {

// The local view of the tree that one slot derives from a parent table:
// pure functions of (own slot, parent table), used by buildTopology and
// callable directly. Slots and parents of 32 or more are ignored and every
// upward walk stops after 32 steps, so a table that is not a tree can
// neither hang nor index out of range.
struct TESSEL_EXPORT TopologyView {
  static constexpr int MaxSlots = PacketDef::RoomId::MaxSlots;

  int32_t parentSlotId = -1;
  int32_t rootSlotId = -1;
  int32_t linkHead = -1;
  bool hasChildren = false;
  // next[s]: the slot after s in the neighbour list, -1 when s is not in it.
  int32_t next[MaxSlots];
  // hasChild[s]: slot s has a child of its own or is the root.
  bool hasChild[MaxSlots];
  int32_t route[MaxSlots];

  TopologyView();
  // Derives the view of slot own from parents[0..count). linkable, when
  // given, says which slots may become children (a link whose record is
  // the own slot never does); without it every slot but own may. Returns
  // false when own has neither a parent nor a child (no proper topology);
  // the route is not built then.
  bool build(int32_t own, int count, const int32_t* parents, const bool* linkable = nullptr);
  // The next-hop table alone: route[i] for i below count.
  static void buildRoute(int32_t own, int count, const int32_t* parents, int32_t* route);
};

class TESSEL_EXPORT PeerClient {
  friend class PeerFanout;

 public:
  static constexpr int MaxSlots = PacketDef::RoomId::MaxSlots;
  static constexpr int ChannelCount = 32;
  // ENet peers of a listening host: the 32 links and as many short-lived
  // connections beside them (children that have not registered yet, peer
  // ping tests, clock synchronisations).
  static constexpr int MaxENetPeers = 2 * MaxSlots;
  // A connection that no link claims is cut after this long without a
  // Register, PingTest or TimeSync from it, so that idle connections
  // cannot keep members out.
  static constexpr uint32_t StrangerIdleMs = 2000;
  // The longest the service thread sleeps when ENet has no timer due
  // sooner (serviceWaitMs).
  static constexpr int MaxServiceWaitMs = 1000;
  // The frame store of an ordered client until a topology description
  // sizes it: 256 packets of up to 1478 bytes (about 380 KB).
  static constexpr int DefaultStoreCapacity = 256;
  // The largest frame store a description may ask for: 65536 packets
  // (about 97 MB with the largest slots).
  static constexpr int MaxStoreCapacity = 65536;
  // The longest waitForGo sleeps for frame 0.
  static constexpr int MaxStartWaitMs = 500;

  // Send queue commands.
  static constexpr int32_t CmdSend = 1;
  static constexpr int32_t CmdConnect = 3;
  static constexpr int32_t CmdReset = 5;
  static constexpr int32_t CmdThrottle = 7;
  // One of several sends of one ENet packet (PeerFanout): a packet that
  // ENet refuses is left alone here.
  static constexpr int32_t CmdSendShared = 9;
  // After the shared sends of one packet: destroys it when no link took it.
  static constexpr int32_t CmdRelease = 11;

  // One ENet command waiting for the service thread.
  struct ENetSendPacket {
    int32_t command = 0;
    ENetPeer* peer = nullptr;
    PeerContext* context = nullptr;
    uint32_t channel = 0;
    ENetPacket* packet = nullptr;
  };

  PeerClient();
  virtual ~PeerClient();

  PeerClient(const PeerClient&) = delete;
  PeerClient& operator=(const PeerClient&) = delete;

  // Creates the ENet host (bound to port with room for MaxENetPeers when
  // listen is true, unbound with 1 peer otherwise), the links and the
  // service thread; callbacks is how this client reaches its owner from
  // then on. mode 3: ordered delivery; 5: ordered and sequenced; 7: one
  // order everywhere; other: immediate only. -1 on any failure, leaving
  // what was created for deinit.
  //
  // Mode 7: an ordered broadcast travels up the tree to the root, reliably,
  // and the root gives it the next position of its log and sends it down
  // the whole tree; every member delivers it on arrival, in the root's log
  // order, once. No pulls. A room runs one mode: members of different
  // modes do not understand each other's ordered broadcasts.
  int init(const OverlayCallbacks& callbacks, int port, bool listen, int mode);

  // What the owner tells the overlay when it changes (host thread): its own
  // record (id, room and slot), and whether clocks are synchronised with
  // the root (the topology description's flag).
  void setOwnProperty(const PacketDef::PeerProperty& own);
  void setSyncTime(bool on) { syncTimeOn.store(on, std::memory_order_relaxed); }
  bool isSyncTime() const { return syncTimeOn.load(std::memory_order_relaxed); }
  // Asks the service thread to end within one pass.
  void stop();
  // Waits for the service thread (stop first!) and releases ENet. Runs once.
  void deinit();
  // Session reset: every link, route and index cleared, frame store emptied
  // (ordered, not sequenced), clock offset zero. Host and thread stay.
  // While the service thread runs, the reset runs there, between two
  // events, and the caller waits for it: no handler ever sees half a reset
  // or acts on the old session after it.
  void reinit();
  // Resets the link of one slot (ignored outside 0..31).
  void reinit(int32_t slot);
  // Takes slot out of the neighbour list and resets its link. A link that
  // was up is reported lost, here and to the room, as an ENet disconnect
  // would be (the far end reports this side in turn).
  void close(int32_t slot);

  // The room's key (RoomKey::KeySize bytes) for every connection this
  // client makes or accepts from now on: each starts with the key's
  // handshake and seals every packet. Null or size 0 clears it. A key other
  // than the one before cuts the connections made under that one at their
  // next packet. 0, or -1 (the key unchanged) for any other size or when
  // the crypto library cannot be initialised. Any thread.
  int setRoomKey(const unsigned char* key, int size);
  // A copy of the key; false, and secret untouched, when none is set.
  bool getRoomKey(RoomKey::Secret& secret) const;
  // Received packets the key turned away since init: sealed packets that
  // did not open or repeated a counter, failed handshake messages, and
  // packets on a connection made under another key; those of the clock
  // synchronisation's and the owner's own exchanges (peer ping tests,
  // handed in with countRejected) included. Any thread.
  uint64_t getRejectedPackets() const { return rejectedPackets.load(std::memory_order_relaxed); }
  void countRejected(uint64_t count) { rejectedPackets.fetch_add(count, std::memory_order_relaxed); }

  // Opens the link to the parent and waits at most timeoutMs until its
  // Register has been queued (with a room key, after the key's handshake).
  // 0 at once at the root; -1 and engine error 0x10301 on timeout, or as
  // soon as the parent fails the key's handshake.
  int connectPeers(int timeoutMs);
  // Time synchronisation with the root (when the engine has it on),
  // connectPeers, then a wait of at most 500 ms for frame 0. -1 with the
  // engine error of the step that failed.
  int waitForGo(int timeoutMs);

  // Command queueing, any thread. A command queued on an empty queue wakes
  // the service thread, which drains the whole queue before it sleeps, so
  // later ones need no wake-up. The service thread's own commands are
  // carried out at once, after everything queued before them.
  void pushENetPacket(ENetPeer* peer, unsigned char channel, ENetPacket* packet);
  // An ENet packet of length bytes (flags as ENet's) that sendOn seals in
  // its own buffer, which holds SealOverhead bytes more than dataLength.
  static ENetPacket* sealablePacket(const void* bytes, size_t length, uint32_t flags);
  // Queues count commands in one piece: one drain carries them all out.
  void queueCommands(const ENetSendPacket* commands, int count);
  void connectPeer(PeerContext* context);
  void resetPeer(ENetPeer* peer);
  // Nothing queues it: each end configures its links when they come up.
  void throttlePeer(PeerContext* context);

  // Sizes the frame store: capacity packets of up to maxDataSize bytes.
  // Sets orderedDataLimit to min(maxDataSize, 1478) even when the store
  // cannot be sized. 0 or -1. A capacity above MaxStoreCapacity is refused
  // with the store left as it was: the size comes from the topology
  // description, and no room needs more, while a count from a broken or
  // hostile description could reserve terabytes.
  int setPacketQueue(int capacity, int maxDataSize);

  // A copy of the record of slot; the default record outside 0..31.
  PacketDef::PeerProperty getPeerProperty(int32_t slot) const;
  // Puts the record of slot back to the defaults (the id map is kept).
  void clearPeerProperty(int32_t slot);
  int32_t getMyPeerId() const { return myPeerId.load(std::memory_order_relaxed); }

  // Topology and routing.
  // Derives the local view from the parent table. -1 and engine error
  // 0x10111 when this slot has no neighbour.
  int buildTopology(int count, const int32_t* parents);
  // Hangs a peer that joined while connected below the root.
  void adjustTopology(int32_t slot);
  // The tree as the topology description gives it (parents[s] for s below
  // count), known before buildTopology: a parent adopts the Register of a
  // child that connects before its own connect has run.
  void setTreeParents(int count, const int32_t* parents);
  // Whether slot is a child of this client in the tree: never the own
  // slot or the parent's.
  bool isChildSlot(int32_t slot) const;
  // Whether slot has a place in the tree.
  bool inTree(int32_t slot) const;
  // Stores a record in the link of its slot and maps its id to the slot.
  // Records naming a slot of 32 or more are ignored.
  void setPeerProperty(const PacketDef::PeerProperty& record);
  // The slot of a peer id, -1 when unknown.
  int32_t getSlotId(int32_t peerId);
  // The root's peer id, -1 before a root is known.
  // Nothing calls it: the engine asks for the root's slot.
  int32_t getRoot() const;
  int32_t getRootSlotId() const { return rootSlotId.load(std::memory_order_relaxed); }
  bool hasChildren() const { return hasChildren_.load(std::memory_order_relaxed); }
  // The next hop towards slot, -1 when unreachable or out of range.
  int32_t getRoute(int32_t slot) const;
  // The link of slot, null outside 0..31.
  const PeerContext* getContext(int32_t slot) const;

  // One-to-one send towards peerId, routed hop by hop. 0 (also when peerId
  // is this client: nothing is sent), -1 for an unknown or unreachable peer
  // or a payload over 1478 bytes.
  int sendPacket(int32_t peerId, const char* data, int size, bool reliable);
  // Broadcast of application data along the tree. -1 for a payload over
  // 1478 bytes. A payload that, with its FrameInfo, exceeds
  // orderedDataLimit would not fit a frame store slot: it goes immediate.
  int castPacket(const char* data, int size, bool reliable, bool immediate);

  // Starts one round-trip measurement towards the root; the answer comes
  // back as the engine's gotPingPong. 0 (also without a tree, and at the
  // root: nothing is sent), -1 without a route to the root.
  int sendPing();

  // Ordered delivery.
  // Pulls the parent's frame store (ordered modes only). Always 0.
  int peekPacket(bool reliable);
  // The next parent log position this client has not received.
  uint32_t getReadIndex() const { return readIndex.load(std::memory_order_relaxed); }
  int getOrderedDataLimit() const { return orderedDataLimit.load(std::memory_order_relaxed); }

  // The current frame: 10 ms frames on the root's clock.
  int32_t getFrameId() const;
  int32_t getTimeOffset() const { return timeOffset.load(std::memory_order_relaxed); }

  // Receive path of one ENet packet's bytes, as the service thread runs it
  // (event may be null for tests and local delivery). Malformed input is
  // dropped.
  void receive(ENetEvent* event, const uint8_t* bytes, size_t length);

  // ENet's hook for every datagram the host receives (ENetHost::intercept;
  // returning 1 swallows the datagram). Tests install one to make links
  // lossy. Any thread: the service thread puts it on the host at the start
  // of its next pass; null removes it.
  using InterceptHook = int (*)(ENetHost* host, ENetEvent* event);
  void setIntercept(InterceptHook hook);

 private:
  bool stopped() const { return stopFlag.load(std::memory_order_acquire); }
  void resetSession();
  void serveReset();
  int32_t ownSlot() const { return static_cast<int32_t>(ownRoom().slot()); }
  PacketDef::RoomId ownRoom() const;
  int32_t originatorId(const PeerPacket& packet) const;
  // The callbacks, each only when the owner gave it.
  void reportMessage(const PeerPacket& packet) const;
  void reportDisconnect(const PeerPacket& packet) const;
  void reportError(uint32_t code) const;
  PeerContext* linkOf(ENetPeer* peer) const;

  void serviceLoop();
  // Whether a received ENet packet may be dispatched: always from a linked
  // ENet peer (or without an event); from any other only Register,
  // PingTest and TimeSync. Otherwise the peer is disconnected and false
  // returned.
  bool admitted(ENetEvent* event, const uint8_t* bytes, size_t length);
  // Cuts every connection that no link claims and that has been silent
  // for StrangerIdleMs.
  void cutIdleStrangers();
  // Service thread: a connection that no link claims spoke (or connected)
  // now.
  void noteStranger(const ENetPeer* peer);
  // Service thread: answers a ping test or a clock synchronisation straight
  // to the short-lived connection it came over (no link claims it), on
  // channel 0, unreliably.
  void replyDirectly(ENetPeer* peer, const PeerPacket& reply);
  // queueCommands for one command.
  void queueCommand(const ENetSendPacket& command);
  // Service thread: takes the queued commands out in one piece and carries
  // them out in queue order.
  void popENetPacket();
  // Service thread: one command, by the command table.
  void carryOut(const ENetSendPacket& command);
  // Carries out one ENet event; a received packet is destroyed afterwards
  // unless a fan-out took it over (takeReceived).
  void handleEvent(ENetEvent& event);

  // The room key at work on one ENet peer of the host (service thread),
  // and the key's generation when its connection began.
  struct PeerKey {
    RoomKey key;
    uint32_t generation = 0;
  };
  // The place of peer among the host's ENet peers; -1 for one of another
  // host (tests and the fuzzer hand the receive path stand-ins).
  int32_t peerIndex(const ENetPeer* peer) const;
  PeerKey* keyOf(const ENetPeer* peer);
  // ENet's connect event: with a room key, starts the handshake (sends
  // KeyHello) and returns true; the connection waits for it.
  bool beginKey(ENetPeer* peer, bool opener);
  // A received ENet packet: through the handshake, or opened, or as it
  // came when the connection has no key, to receive.
  void receiveSealed(ENetEvent& event);
  // Hands packet to ENet for peer: as it is on channel without a key,
  // sealed on channel 0 with one, dropped while the handshake runs. The
  // packet is taken in every case.
  void sendOn(ENetPeer* peer, uint8_t channel, ENetPacket* packet);
  // Hands a packet that other links share to ENet for peer: the packet
  // itself without a key, a sealed copy of its own with one. The packet is
  // never taken; ENet's reference (without a key) keeps it alive.
  void sendShared(ENetPeer* peer, uint8_t channel, ENetPacket* packet);
  // The handshake on peer failed, or its key is no longer the room's: the
  // connection is cut (a link that was up is reported lost).
  void refuseConnection(ENetPeer* peer);
  // Service thread, while the packet of event is being dispatched: that
  // packet, for a fan-out to send on as it is, when it holds length bytes
  // and its flags are flags; null otherwise, and on any other thread.
  // Only one fan-out takes it.
  static ENetPacket* takeReceived(const ENetEvent* event, size_t length, uint32_t flags);
  // How long the service thread may sleep: until ENet's own next timer
  // for any peer (a resend or timeout check, a keep-alive ping), at least
  // 1 ms and at most MaxServiceWaitMs; at most StrangerIdleMs / 10 while
  // a connection that no link claims is open.
  int serviceWaitMs() const;
  void sendRegistration(ENetPeer* peer);
  void handleRegister(ENetEvent& event, const PeerPacket* packet);
  void sendDisconnect(const PacketDef::PeerProperty& property);
  void handleDisconnect(PeerPacket* packet, bool reliable);
  int handleError(PeerPacket* packet);

  void handlePing(PeerPacket* packet, bool reliable);
  int sendPong(int32_t slot, PeerPacket* packet);
  void handlePong(PeerPacket* packet, bool reliable);
  void handlePingTest(ENetEvent* event, const PeerPacket* packet);

  // Time synchronisation with the root, on the host thread through a
  // short-lived ENet host of its own: up to ten request/answer exchanges
  // until three answers from the own room are counted, their mean stored
  // in timeOffset. 0 at once at the root. -1 with engine error 0x10F01
  // (no host or connection) or 0x10F05 (no connection, or not one answer
  // counted); timeOffset is then unchanged.
  int syncTime();
  // Service thread: answers a TimeSync request straight to the ENet peer
  // it came from (a synchronising client's temporary host, not a link).
  void handleTimeSync(ENetEvent* event, const PeerPacket* packet);

  int castPacket(PeerPacket& packet, bool reliable, bool immediate);
  // Mode 7. Sends an ordered broadcast towards the root (the root logs it).
  int castOneOrder(PeerPacket& packet);
  // Service thread, mode 7: an ordered broadcast from a child goes on up,
  // one from the parent is delivered and sent on down.
  void handleOneOrder(ENetEvent* event, PeerPacket* packet);
  // Mode 7, at the root: the next log position, the frame store, down the
  // tree, the own host; all under the frame store lock, so that every link
  // carries the log in order.
  void appendToLog(PeerPacket* packet, const ENetEvent* event = nullptr);
  // Mode 7: packet, reliably, to every neighbour but the parent.
  void sendDown(PeerPacket* packet, const ENetEvent* event);
  void handleDirect(ENetEvent* event, PeerPacket* packet, bool reliable);
  // event, when given, is the one the packet arrived in (its ENet packet
  // may be sent on as it is).
  int deliverPacket(PeerPacket* packet, bool reliable, const ENetEvent* event = nullptr);

  // packet holds the whole received ENet packet (a bundle when length is
  // more than its size(true)); length is at most 1492.
  void handleData(ENetEvent* event, PeerPacket* packet, size_t length, bool reliable);
  void handlePacket(ENetEvent* event, PeerPacket* packet, size_t length, bool reliable);
  int storePacket(const PeerPacket* packets, size_t length, bool addLinkDelay);
  // Hands the stored packets from position on to the link event came from
  // (an answer to its pull) and, with deliver, to the owner. Delivery
  // always goes on from deliverIndex, read under the store's lock, and
  // position is then ignored (callers pass 0).
  int fetchPacket(uint32_t position, bool deliver, ENetEvent* event, bool reliable);
  int fetchPacket(PeerPacket* packet);
  // Sequenced mode, at a parent: answers a leaf's pull with every stored
  // packet from position on that this link has not carried yet, each in
  // an ENet packet of its own (a sequenced leaf hands over only the first
  // packet of each).
  void answerSequenced(uint32_t position, PeerContext* link, bool reliable);
  // Answers a pull (a leaf's Data or Peek) that arrived on link.
  void answerPull(const PeerHeader& pull, PeerContext* link, ENetEvent* event, bool reliable);

  OverlayCallbacks callbacks;
  std::atomic<int32_t> myPeerId;
  std::atomic<uint32_t> ownRoomWord;
  std::atomic<bool> syncTimeOn;
  ENetHost* host;
  KivMutex sendQueueLock;
  // Commands in queue order. The drain clears it and keeps its capacity,
  // so once it has grown to the largest burst, queueing allocates nothing
  // (the forward path allocates only the ENet packet).
  std::vector<ENetSendPacket> sendQueue GUARDED_BY(sendQueueLock);
  // Whether sendQueue holds commands: set with them, cleared when the
  // drain takes them, so that a pass with nothing queued takes no lock.
  std::atomic<bool> commandsQueued;
  // Set by the service thread just before it sleeps, after which it looks
  // at commandsQueued once more: a thread that queues while the service
  // thread is awake needs no eventfd write, the next drain takes its
  // commands.
  std::atomic<bool> serviceSleeping;
  // Service thread: the commands of the drain under way. Swapped with
  // sendQueue, so that queueing never waits for ENet.
  std::vector<ENetSendPacket> draining;
  KivWakeup wakeup;
  std::thread thread;
  PeerContext contexts[MaxSlots];
  std::atomic<int32_t> linkHead;
  std::atomic<int32_t> parentSlotId;
  std::atomic<int32_t> rootSlotId;
  std::atomic<bool> hasChildren_;
  std::atomic<int32_t> route[MaxSlots];
  std::atomic<int32_t> treeParent[MaxSlots];
  // Service thread: per ENet peer of the host, when a connection that no
  // link claims last connected or asked for something (enet_time_get).
  std::vector<uint32_t> strangerSeen;
  uint32_t lastIdleSweep;
  std::map<int32_t, int32_t> slotMap GUARDED_BY(slotMapLock);
  KivMutex slotMapLock ACQUIRED_AFTER(frameStore, sendQueueLock);
  bool ordered;
  bool sequenced;
  bool oneOrder;
  // Mode 7: at the root, the next log position (under the frame store
  // lock); at the others, the next position to deliver and whether one
  // has been delivered yet (service thread).
  uint32_t logNext GUARDED_BY(frameStore);
  uint32_t downNext;
  bool downStarted;
  PeerPacketQueue frameStore ACQUIRED_BEFORE(sendQueueLock);
  std::atomic<int32_t> orderedDataLimit;
  std::atomic<uint32_t> readIndex;
  uint32_t deliverIndex GUARDED_BY(frameStore);
  // Sequenced mode, at a leaf: one past the parent's log position of the
  // newest packet handed over; the leaf's pulls ask for it.
  std::atomic<uint32_t> nextSequenced;
  std::atomic<int32_t> sendCounter;
  // Seconds in the high word, milliseconds in the low one: the service
  // thread reads it while a session reset writes it.
  std::atomic<uint64_t> frameEpoch;
  KivNetTime::NetTime getFrameEpoch() const {
    uint64_t word = frameEpoch.load(std::memory_order_relaxed);
    return KivNetTime::NetTime(static_cast<uint32_t>(word >> 32), static_cast<uint32_t>(word));
  }
  std::atomic<int32_t> timeOffset;
  KivEvent goEvent;
  std::atomic<bool> stopFlag;
  // A session reset asked of the service thread, and its completion.
  std::atomic<bool> resetRequested;
  KivEvent resetDone;
  KivMutex resetLock ACQUIRED_BEFORE(frameStore, sendQueueLock, slotMapLock);
  mutable KivMutex keyLock ACQUIRED_AFTER(resetLock, frameStore, sendQueueLock, slotMapLock);
  RoomKey::Secret roomSecret GUARDED_BY(keyLock);
  // Counts the changes of the room key; written under keyLock.
  std::atomic<uint32_t> keyGeneration;
  std::unique_ptr<PeerKey[]> peerKeys;
  size_t peerKeyCount;
  std::atomic<uint64_t> rejectedPackets;
  // The parent's link failed the key's handshake during connectPeers.
  std::atomic<bool> parentRefused;
  std::atomic<InterceptHook> interceptHook;
  bool deinitDone;
  bool enetInitialized;
};

}  // namespace zintar

#endif  // TESSEL_OVERLAY_PEER_CLIENT_H_
