// Overlay packets and bundles, fed through a real client's dispatch and
// handlers exactly as its service thread feeds what ENet receives: the
// receive path with an ENet event whose peer is the link of one neighbour.
// No network is needed; the ENet peers are stand-ins that ENet itself
// treats as disconnected, so every answer the client sends is queued,
// handed to ENet by the service thread and dropped there.
//
// Each input is one short session of one engine:
//   byte 0   delivery mode (0, 3 or 5), the engine's place in the tree
//            (root, inner node or leaf) and whether clocks are synchronised
//   then     steps, each starting with one byte:
//            0x00-0xEF  an ENet packet: the low three bits name its sender
//                       (0-5 the link of that slot, 6 no event as for a
//                       local delivery, 7 a connection no link claims), bit 3
//                       marks it reliable; a 16-bit length and the bytes follow
//            0xF0-0xFF  a call of the host: castPacket, peekPacket,
//                       sendPacket, sendPing, removePeer, clock steps
// The tree is always the same six slots: 0 root; 1 and 5 its children;
// 2 and 3 children of 1; 4 a child of 2.
//
// The engines are made once; every input starts a new session, so that a
// run depends on its input alone. After every step the fuzzer waits until
// the service thread has carried out everything the step queued.

#include <enet/enet.h>
#include <sched.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tessel/engine/tessel.h"

namespace {

using tessel_fuzz::check;

constexpr int Slots = 6;
constexpr int32_t Parents[Slots] = {0, 0, 1, 1, 2, 0};
constexpr int32_t OwnId = 1000;
constexpr int32_t FirstPeerId = 100;
constexpr int Modes[3] = {0, 3, 5};
constexpr int32_t Places[3] = {0, 1, 3};  // root, inner node, leaf
constexpr size_t LongestPacket = 1600;     // a little more than the overlay's largest

zintar::Tessel* engines[3] = {};
// Stand-ins for the ENet peers of the six links, of a stranger, and of the
// sentinel that tells when the service thread has caught up.
ENetPeer peers[8];
ENetPeer sentinel;

int32_t idOf(int32_t slot, int32_t own) { return slot == own ? OwnId : FirstPeerId + slot; }

// Queues a reset of the sentinel behind everything queued so far and waits
// until the service thread has carried it out: commands run in queue order.
void barrier(zintar::Tessel& engine) {
  __atomic_store_n(&sentinel.data, &sentinel, __ATOMIC_RELEASE);
  engine.getClient().resetPeer(&sentinel);
  while (__atomic_load_n(&sentinel.data, __ATOMIC_ACQUIRE) != nullptr) sched_yield();
}

void deliver(zintar::Tessel& engine, int from, bool reliable, const uint8_t* bytes, size_t length) {
  // A heap block of exactly the received length, as ENet hands it over, so
  // that any read past it is caught.
  std::vector<uint8_t> copy(bytes, bytes + length);
  ENetPacket packet{};
  packet.flags = reliable ? ENET_PACKET_FLAG_RELIABLE : 0;
  packet.data = copy.data();
  packet.dataLength = copy.size();
  ENetEvent event{};
  event.type = ENET_EVENT_TYPE_RECEIVE;
  event.peer = &peers[from];
  event.channelID = 0;
  event.packet = &packet;
  engine.getClient().receive(from == 6 ? nullptr : &event, copy.data(), copy.size());
}

// The Register a neighbour sends over a new link.
void registerLink(zintar::Tessel& engine, int32_t slot, int32_t own) {
  zintar::PeerPacket reg(zintar::PeerPacket::Register, false);
  reg.header().setSrcSlot(uint32_t(slot));
  reg.header().setDstSlot(uint32_t(slot));
  reg.header().setImmediate(true);
  reg.header().setDataSize(8);
  int32_t id = idOf(slot, own);
  PacketDef::RoomId room;
  room.setMajor(1);
  room.setMinor(2);
  room.setSlot(uint32_t(slot));
  std::memcpy(reg.data(), &id, 4);
  std::memcpy(reg.data() + 4, &room.word, 4);
  deliver(engine, slot, true, reinterpret_cast<const uint8_t*>(&reg), size_t(reg.size(true)));
}

void startSession(zintar::Tessel& engine, int32_t own, bool sync) {
  engine.startSession();
  barrier(engine);
  std::memset(static_cast<void*>(peers), 0, sizeof(peers));
  engine.setRoomId(1, 2);
  for (int32_t slot = 0; slot < Slots; ++slot) engine.addPeer(idOf(slot, own), static_cast<unsigned char>(slot));
  // Frame store and clock flag through the description a server would send;
  // the tree itself is built directly, without connecting.
  std::string description(17, '\0');
  int32_t capacity = 64;
  int32_t dataSize = zintar::PeerPacket::MaxDataSize;
  std::memcpy(description.data(), &capacity, 4);
  std::memcpy(description.data() + 4, &dataSize, 4);
  description[8] = sync ? 1 : 0;
  check(engine.setTopology(description.data(), int(description.size())) == 0);
  check(engine.getClient().buildTopology(Slots, Parents) == 0);
  for (int32_t slot = 0; slot < Slots; ++slot)
    if (slot != own && (Parents[slot] == own || Parents[own] == slot)) registerLink(engine, slot, own);
  barrier(engine);
}

void hostCall(zintar::Tessel& engine, uint8_t op, tessel_fuzz::FuzzInput& input, int32_t own) {
  static char payload[zintar::PeerPacket::MaxDataSize + 2];
  switch (op & 0x0F) {
    case 0:
    case 1: {
      int size = input.u16() % (zintar::PeerPacket::MaxDataSize + 2);
      std::memset(payload, op, sizeof(payload));
      engine.castPacket(payload, size, (op & 1) != 0, input.byte() & 1);
      break;
    }
    case 2:
      engine.peekPacket((input.byte() & 1) != 0);
      break;
    case 3: {
      int size = input.byte();
      std::memset(payload, op, sizeof(payload));
      engine.sendPacket(idOf(input.byte() % Slots, own), payload, size, true);
      break;
    }
    case 4:
      engine.sendPing();
      break;
    case 5:
      engine.removePeer(idOf(input.byte() % Slots, own));
      break;
    case 6:
      // The clock moves on: delays and frame ids change.
      tessel_fuzz::setClock(1767225600000 + int64_t(input.u16()) * 10, 1000 + input.u16());
      break;
    default: {
      zintar::TesselJob job;
      while (engine.popJob(job)) check(job.getDataSize() <= zintar::TesselJob::MaxDataSize);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel_fuzz::setClock(1767225600000, 1000);
  for (int i = 0; i < 3; ++i) {
    engines[i] = new zintar::Tessel();
    // An unbound overlay host: nothing from outside can reach these engines.
    if (engines[i]->init(OwnId, 0, false, Modes[i], false, false) != 0) abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessel_fuzz::FuzzInput input(data, size);
  tessel_fuzz::setClock(1767225600000, 1000);
  uint8_t setup = input.byte();
  zintar::Tessel& engine = *engines[setup % 3];
  int32_t own = Places[(setup / 3) % 3];
  startSession(engine, own, (setup / 9) & 1);

  while (!input.empty()) {
    uint8_t op = input.byte();
    if (op >= 0xF0) {
      hostCall(engine, op, input, own);
    } else {
      size_t length = input.u16() % (LongestPacket + 1);
      size_t taken = 0;
      const uint8_t* bytes = input.bytes(length, &taken);
      deliver(engine, op & 7, (op & 8) != 0, bytes, taken);
    }
    barrier(engine);
  }

  zintar::TesselJob job;
  while (engine.popJob(job)) {
    check(job.getDataSize() <= zintar::TesselJob::MaxDataSize);
    check(job.getType() >= zintar::TesselJob::JobMessage && job.getType() <= zintar::TesselJob::JobError);
  }
  return 0;
}
