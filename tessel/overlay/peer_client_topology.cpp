// PeerClient: the local view of the tree, the route table and the map from
// peer ids to slots, and one-to-one packets routed hop by hop along it.

#include <enet/enet.h>

#include <cstring>

#include "tessel/overlay/peer_client.h"
#include "tessel/overlay/peer_fanout.h"
#include "tessel/records/error_code.h"

namespace zintar {

namespace {

constexpr auto inRange = PacketDef::RoomId::isSlot;

// The parent of slot i, or -1 when i or its parent is out of range.
int32_t parentOf(int count, const int32_t* parents, int32_t i) {
  if (!inRange(i) || i >= count) return -1;
  int32_t parent = parents[i];
  return inRange(parent) ? parent : -1;
}

}  // namespace

TopologyView::TopologyView() {
  for (int i = 0; i < MaxSlots; ++i) {
    next[i] = -1;
    hasChild[i] = false;
    route[i] = -1;
  }
}

bool TopologyView::build(int32_t own, int count, const int32_t* parents, const bool* linkable) {
  if (count > MaxSlots) count = MaxSlots;
  if (!inRange(own) || parents == nullptr || count <= 0) return false;
  int32_t last = -1;
  int32_t ownParent = parentOf(count, parents, own);
  if (ownParent != -1 && ownParent != own) {
    parentSlotId = linkHead = last = ownParent;
  }
  for (int32_t i = 0; i < count; ++i) {
    int32_t parent = parentOf(count, parents, i);
    if (parent == -1) continue;
    if (parent == i) rootSlotId = i;
    if (parent == own && i != own && (linkable == nullptr || linkable[i])) {
      if (last == -1) {
        linkHead = i;
      } else {
        next[last] = i;
      }
      last = i;
      hasChildren = true;
    }
    hasChild[parent] = true;
  }
  if (last != -1) next[last] = linkHead;
  if (linkHead == -1) return false;
  buildRoute(own, count, parents, route);
  return true;
}

void TopologyView::buildRoute(int32_t own, int count, const int32_t* parents, int32_t* route) {
  if (count > MaxSlots) count = MaxSlots;
  if (!inRange(own) || parents == nullptr) return;
  // below[a][i]: a is i or one of its ancestors.
  bool below[MaxSlots][MaxSlots] = {};
  for (int32_t i = 0; i < count; ++i) {
    below[i][i] = true;
    int32_t a = parentOf(count, parents, i);
    if (a == i) continue;
    // A table that is not a tree cannot make this walk endless.
    for (int steps = 0; a != -1 && steps < MaxSlots; ++steps) {
      below[a][i] = true;
      int32_t up = parentOf(count, parents, a);
      if (up == a) break;
      a = up;
    }
  }
  int32_t ownParent = parentOf(count, parents, own);
  for (int32_t i = 0; i < count; ++i) {
    int32_t parent = parentOf(count, parents, i);
    if (ownParent == -1 || parent == -1) {
      route[i] = -1;
    } else if (i == own) {
      route[i] = own;
    } else if (!below[own][i]) {
      route[i] = ownParent;
    } else if (parent == own) {
      route[i] = i;
    } else {
      int32_t c = parent;
      int steps = 0;
      while (c != -1 && parentOf(count, parents, c) != own && steps++ < MaxSlots) c = parentOf(count, parents, c);
      route[i] = (c != -1 && parentOf(count, parents, c) == own) ? c : -1;
    }
  }
}

int PeerClient::buildTopology(int count, const int32_t* parents) {
  TopologyView view;
  int32_t own = ownSlot();
  int usable = count < MaxSlots ? count : MaxSlots;
  int32_t table[MaxSlots];
  bool linkable[MaxSlots];
  for (int i = 0; i < MaxSlots; ++i) {
    table[i] = (parents != nullptr && i < usable) ? parents[i] : -1;
    // The client never links to itself: a link whose record holds the own
    // slot (an empty link holds slot 0) does not become a child.
    linkable[i] = static_cast<int32_t>(contexts[i].getSlot()) != own;
  }
  bool built = view.build(own, usable, table, linkable);
  // The root slot is known even when this client has no neighbour.
  if (view.rootSlotId != -1) rootSlotId.store(view.rootSlotId, std::memory_order_relaxed);
  if (!built) {
    reportError(ErrorCode::NoTopology);
    return -1;
  }
  parentSlotId.store(view.parentSlotId, std::memory_order_relaxed);
  setTreeParents(usable, table);
  for (int i = 0; i < MaxSlots; ++i) {
    if (view.next[i] != -1) contexts[i].setNext(view.next[i]);
    if (view.hasChild[i]) contexts[i].setParent();
  }
  hasChildren_.store(view.hasChildren, std::memory_order_relaxed);
  for (int i = 0; i < usable; ++i) route[i].store(view.route[i], std::memory_order_relaxed);
  linkHead.store(view.linkHead, std::memory_order_release);
  return 0;
}

void PeerClient::adjustTopology(int32_t slot) {
  int32_t root = rootSlotId.load(std::memory_order_relaxed);
  // A slot that is already in the tree keeps its place: hanging it again
  // would tear the neighbour list and the routes (the own slot would
  // route to itself through the parent).
  if (!inRange(slot) || !inRange(root) || slot == ownSlot() || treeParent[slot].load(std::memory_order_relaxed) != -1)
    return;
  treeParent[slot].store(root, std::memory_order_relaxed);
  if (contexts[root].getPeerId() == getMyPeerId()) {
    int32_t head = linkHead.load(std::memory_order_relaxed);
    if (head == -1) {
      contexts[slot].setNext(slot);
      linkHead.store(slot, std::memory_order_release);
    } else {
      int32_t last = head;
      int steps = 0;
      while (steps++ < MaxSlots && inRange(last) && contexts[last].getNext() != head) last = contexts[last].getNext();
      if (inRange(last) && contexts[last].getNext() == head && last != slot) {
        contexts[slot].setNext(head);
        contexts[last].setNext(slot);
      }
    }
    route[slot].store(slot, std::memory_order_relaxed);
    hasChildren_.store(true, std::memory_order_relaxed);
  } else {
    route[slot].store(route[root].load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  contexts[root].setParent();
}

void PeerClient::setTreeParents(int count, const int32_t* parents) {
  for (int32_t i = 0; i < MaxSlots; ++i) {
    int32_t parent = parents != nullptr ? parentOf(count, parents, i) : -1;
    treeParent[i].store(parent, std::memory_order_relaxed);
  }
}

bool PeerClient::isChildSlot(int32_t slot) const {
  int32_t own = ownSlot();
  if (!inRange(slot) || !inRange(own) || slot == own) return false;
  if (slot == treeParent[own].load(std::memory_order_relaxed) || slot == parentSlotId.load(std::memory_order_relaxed))
    return false;
  return treeParent[slot].load(std::memory_order_relaxed) == own;
}

bool PeerClient::inTree(int32_t slot) const {
  return inRange(slot) && treeParent[slot].load(std::memory_order_relaxed) != -1;
}

void PeerClient::setPeerProperty(const PacketDef::PeerProperty& record) {
  int32_t slot = static_cast<int32_t>(record.roomId.slot());
  if (!inRange(slot)) return;
  contexts[slot].setPeerProperty(record);
  KivAutoLock guard(slotMapLock);
  int32_t id = record.id;  // by value: the packed field may be misaligned
  slotMap[id] = slot;
}

int32_t PeerClient::getSlotId(int32_t peerId) {
  KivAutoLock guard(slotMapLock);
  auto found = slotMap.find(peerId);
  return found == slotMap.end() ? -1 : found->second;
}

int32_t PeerClient::getRoot() const {
  int32_t root = rootSlotId.load(std::memory_order_relaxed);
  return inRange(root) ? contexts[root].getPeerId() : -1;
}

int32_t PeerClient::getRoute(int32_t slot) const {
  return inRange(slot) ? route[slot].load(std::memory_order_relaxed) : -1;
}

// --- One-to-one -------------------------------------------------------------

int PeerClient::sendPacket(int32_t peerId, const char* data, int size, bool reliable) {
  int32_t slot = getSlotId(peerId);
  if (!inRange(slot)) return -1;
  int32_t next = route[slot].load(std::memory_order_relaxed);
  if (!inRange(next)) return -1;
  int32_t own = ownSlot();
  if (next == own) return 0;
  if (static_cast<unsigned>(size) > static_cast<unsigned>(PeerPacket::MaxDataSize)) return -1;
  if (size > 0 && data == nullptr) return -1;
  bool sync = isSyncTime();
  PeerPacket packet = PeerPacket::control(PeerPacket::Direct, sync, uint32_t(own), uint32_t(slot), data, uint32_t(size),
                                          sync ? static_cast<uint32_t>(getFrameId()) : 0, PeerPacket::MinDelay);
  contexts[next].sendPacket(&packet, reliable, 0);
  return 0;
}

void PeerClient::handleDirect(ENetEvent* event, PeerPacket* packet, bool reliable) {
  int32_t next = route[packet->header().dstSlot()].load(std::memory_order_relaxed);
  if (!inRange(next)) return;
  if (next == ownSlot()) {
    packet->stampDelay(static_cast<uint32_t>(getFrameId()));
    reportMessage(*packet);
    return;
  }
  // A packet never goes back the way it came: whatever tables disagree,
  // no packet can bounce between two members.
  if (event != nullptr && linkOf(event->peer) == &contexts[next]) return;
  // The received ENet packet itself goes on: its bytes are these.
  PeerFanout fanout(*this, event);
  contexts[next].sendPacket(packet, reliable, 0, &fanout);
}

}  // namespace zintar
