// The topology description that the world's servers send back through the
// host: frame store size, synchronisation flag, peer records and tree
// entries (setTopology). Every count and slot in it is checked. After each
// input the engine derives its view of the tree from whatever parent
// table the description left, for its own slot and (through TopologyView)
// for every slot: a table that is not a tree must neither hang nor index
// out of range, and every route must name a slot or -1.
//
// The first input byte chooses the engine's own slot; the rest is the
// description.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tessel/engine/tessel.h"

namespace {

using tessel_fuzz::check;

constexpr int32_t OwnId = 4242;

zintar::Tessel* engine = nullptr;

// The neighbour list of a view is a ring through linkHead.
void checkView(const zintar::TopologyView& view) {
  for (int i = 0; i < zintar::TopologyView::MaxSlots; ++i) check(view.route[i] >= -1 && view.route[i] < 32);
  if (view.linkHead == -1) return;
  check(view.linkHead >= 0 && view.linkHead < 32);
  int32_t slot = view.linkHead;
  int steps = 0;
  do {
    slot = view.next[slot];
    check(slot >= 0 && slot < 32);
  } while (slot != view.linkHead && ++steps <= 32);
  check(slot == view.linkHead);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel_fuzz::setClock(1767225600000, 1000);
  engine = new zintar::Tessel();
  if (engine->init(OwnId, 0, false, 3, false, false) != 0) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessel_fuzz::FuzzInput input(data, size);
  engine->startSession();
  engine->setRoomId(1, 2);
  engine->addPeer(OwnId, static_cast<unsigned char>(input.byte() % 32));

  size_t length = 0;
  const uint8_t* bytes = input.bytes(input.remaining(), &length);
  std::vector<char> description(bytes, bytes + length);
  engine->setTopology(description.data(), static_cast<int>(description.size()));

  // What the engine answers about the room it was told of.
  std::vector<char> list(58 + 5 * 32);
  int written = engine->getPeerPingList(list.data(), static_cast<int>(list.size()));
  check(written == -1 || (written >= 58 && written <= static_cast<int>(list.size())));
  int32_t closest = engine->getClosestPeer();
  check(closest == -1 || engine->getClient().getSlotId(closest) >= 0);

  int32_t parents[zintar::Tessel::MaxSlots];
  for (int slot = 0; slot < zintar::Tessel::MaxSlots; ++slot) {
    parents[slot] = engine->getParent(slot);
    check(parents[slot] >= -1 && parents[slot] < 32);
  }
  zintar::PeerClient& client = engine->getClient();
  client.buildTopology(zintar::Tessel::MaxSlots, parents);
  for (int slot = 0; slot < zintar::Tessel::MaxSlots; ++slot) {
    int32_t hop = client.getRoute(slot);
    check(hop >= -1 && hop < 32);
  }
  for (int32_t own = 0; own < zintar::TopologyView::MaxSlots; ++own) {
    zintar::TopologyView view;
    view.build(own, zintar::Tessel::MaxSlots, parents);
    checkView(view);
  }
  return 0;
}
