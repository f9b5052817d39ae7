// The room key's two doors for bytes from the network: the handshake of a
// connection that is not established yet, and the sealed packets of one
// that is. Each input is one connection between two ends in this process
// that hold the same key:
//   byte 0   0-127: the steps' bytes go to the handshake of a fresh
//            answerer; 128-255: to open on an established connection,
//            sealed with ChaCha20-Poly1305 when bit 0 is set, otherwise
//            with AES-256-GCM where the CPU has it
//   then     steps, each starting with one byte:
//            0x00-0x7F  bytes from the network: a 16-bit length, then
//                       that many bytes
//            0x80-0xFF  (open only) a genuine packet: the low 5 bits pick
//                       one of 32 that the other end sealed in order, the
//                       next byte a position to alter (0xFF: none)
// What must hold: no bytes from the network complete a handshake (nobody
// here can forge a proof) or revive a failed one; open gives at most
// MaxPlainSize bytes, opens nothing but the genuine packets, and each of
// them exactly when it is intact, not opened before and within the window.

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tessel/overlay/room_key.h"

using tessel_fuzz::check;
using zintar::RoomKey;

namespace {

constexpr int Genuine = 32;
const unsigned char Key[RoomKey::KeySize] = {'f', 'u', 'z', 'z'};

// Runs the handshake of opener and answerer to the end.
bool establish(RoomKey& opener, RoomKey& answerer, bool chacha) {
  if (chacha) answerer.refuseAes256Gcm();
  uint8_t helloO[RoomKey::HandshakeSize], helloA[RoomKey::HandshakeSize];
  uint8_t proofO[RoomKey::HandshakeSize], proofA[RoomKey::HandshakeSize];
  size_t n = 0;
  opener.begin(Key, RoomKey::Role::Opener, helloO);
  answerer.begin(Key, RoomKey::Role::Answerer, helloA);
  opener.handshake(helloA, sizeof(helloA), proofO, n);
  answerer.handshake(helloO, sizeof(helloO), proofA, n);
  return opener.handshake(proofA, sizeof(proofA), helloA, n) == RoomKey::Step::Established &&
         answerer.handshake(proofO, sizeof(proofO), helloA, n) == RoomKey::Step::Established;
}

void fuzzHandshake(tessel_fuzz::FuzzInput& input) {
  RoomKey answerer;
  uint8_t hello[RoomKey::HandshakeSize], reply[RoomKey::HandshakeSize];
  answerer.begin(Key, RoomKey::Role::Answerer, hello);
  bool failed = false;
  while (!input.empty()) {
    input.byte();
    size_t taken = 0;
    const uint8_t* bytes = input.bytes(input.u16(), &taken);
    size_t replyLength = 0;
    RoomKey::Step step = answerer.handshake(bytes, taken, reply, replyLength);
    check(step != RoomKey::Step::Established);
    check(!failed || step == RoomKey::Step::Failed);
    check(replyLength == 0 || replyLength == size_t(RoomKey::HandshakeSize));
    failed = step == RoomKey::Step::Failed;
  }
}

void fuzzOpen(tessel_fuzz::FuzzInput& input, bool chacha) {
  RoomKey opener, answerer;
  check(establish(opener, answerer, chacha));
  check(opener.cipher() == answerer.cipher() && (!chacha || answerer.cipher() == RoomKey::Cipher::ChaCha20Poly1305));
  std::string sealed[Genuine];
  for (int i = 0; i < Genuine; ++i) {
    std::string plain(size_t(i) * 40, static_cast<char>(i));
    sealed[i].resize(plain.size() + RoomKey::SealOverhead);
    check(opener.seal(plain.data(), plain.size(), reinterpret_cast<uint8_t*>(sealed[i].data())) == sealed[i].size());
  }
  bool opened[Genuine] = {};
  int highest = -1;
  uint8_t plain[RoomKey::MaxPlainSize];
  while (!input.empty()) {
    uint8_t step = input.byte();
    if (step < 0x80) {
      size_t taken = 0;
      const uint8_t* bytes = input.bytes(input.u16(), &taken);
      int n = answerer.open(bytes, taken, plain);
      // Bytes that open can only be a genuine packet copied whole, which
      // this run's fresh keys make beyond the fuzzer's reach.
      check(n < 0);
      continue;
    }
    const int i = step & 0x1F;
    const uint8_t at = input.byte();
    std::string bytes = sealed[i];
    const bool altered = at != 0xFF;
    if (altered) bytes[at % bytes.size()] = static_cast<char>(bytes[at % bytes.size()] ^ 0x5A);
    int n = answerer.open(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), plain);
    const bool fresh = !opened[i] && (i > highest || highest - i < int(RoomKey::ReplayWindow));
    check((n >= 0) == (!altered && fresh));
    if (n < 0) continue;
    check(n == i * 40 && (n == 0 || (plain[0] == i && plain[n - 1] == i)));
    opened[i] = true;
    if (i > highest) highest = i;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessel_fuzz::FuzzInput input(data, size);
  const uint8_t mode = input.byte();
  if (mode < 0x80)
    fuzzHandshake(input);
  else
    fuzzOpen(input, (mode & 1) != 0);
  return 0;
}
