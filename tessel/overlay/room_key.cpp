#include "tessel/overlay/room_key.h"

#include <sodium.h>

#include <cstring>

namespace zintar {

namespace {

// Every keyed hash starts with these 15 bytes, so that no hash of this
// protocol can stand for a hash of another use of the same key.
constexpr unsigned char Label[] = {'t', 'e', 's', 's', 'e', 'l', ' ', 'r', 'o', 'o', 'm', ' ', 'k', 'e', 'y'};
constexpr uint8_t PurposeProof = 'P';
constexpr uint8_t PurposeSeal = 'S';

static_assert(RoomKey::KeySize == crypto_generichash_KEYBYTES);
static_assert(RoomKey::ProofSize == crypto_generichash_BYTES);
static_assert(RoomKey::KeySize == crypto_aead_chacha20poly1305_ietf_KEYBYTES);
static_assert(RoomKey::TagSize == crypto_aead_chacha20poly1305_ietf_ABYTES);
static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == 12);
static_assert(RoomKey::KeySize == crypto_aead_aes256gcm_KEYBYTES);
static_assert(RoomKey::TagSize == crypto_aead_aes256gcm_ABYTES);
static_assert(crypto_aead_aes256gcm_NPUBBYTES == 12);
static_assert(sizeof(crypto_aead_aes256gcm_state) == 512 && alignof(crypto_aead_aes256gcm_state) <= 16);

crypto_aead_aes256gcm_state* aesState(void* bytes) { return static_cast<crypto_aead_aes256gcm_state*>(bytes); }

// The handshake header: the type in word 0 (no frame record, index 0),
// the 32-byte payload's size in word 1 (slots and flags 0).
uint32_t handshakeWord0(uint32_t type) {
  PeerHeader header;
  header.setType(type);
  return header.word0;
}

uint32_t handshakeWord1() {
  PeerHeader header;
  header.setDataSize(RoomKey::NonceSize);
  return header.word1;
}

// A KeyHello carries its sender's cipher byte in the low byte of word 1
// (CiphersAt); a KeyProof has 0 there.
void writeHandshake(uint32_t type, const unsigned char* payload, uint8_t* out, uint8_t ciphers = 0) {
  const uint32_t words[2] = {handshakeWord0(type), handshakeWord1()};
  std::memcpy(out, words, sizeof(words));
  out[RoomKey::CiphersAt] = ciphers;
  std::memcpy(out + PeerPacket::HeaderSize, payload, RoomKey::NonceSize);
}

// The payload of a handshake message of type, or null when bytes are not
// exactly one. A Hello's cipher byte may hold anything (bits unknown here
// are ignored, but hashed all the same); a Proof's must be 0.
const uint8_t* handshakePayload(const uint8_t* bytes, size_t length, uint32_t type) {
  if (bytes == nullptr || length != size_t(RoomKey::HandshakeSize)) return nullptr;
  uint32_t words[2];
  std::memcpy(words, bytes, sizeof(words));
  const uint32_t ignored = type == PeerPacket::KeyHello ? 0xFFu : 0u;
  static_assert(RoomKey::CiphersAt == 4, "the cipher byte is the low byte of word 1");
  if (words[0] != handshakeWord0(type) || (words[1] & ~ignored) != handshakeWord1()) return nullptr;
  return bytes + PeerPacket::HeaderSize;
}

// The AEAD nonce of a counter: its 8 little-endian bytes, then 4 zeros.
void counterNonce(uint64_t counter, unsigned char* nonce) {
  for (int i = 0; i < 8; ++i) nonce[i] = static_cast<unsigned char>(counter >> (8 * i));
  std::memset(nonce + 8, 0, 4);
}

}  // namespace

RoomKey::Secret::Secret(const Secret& other) : set(other.set) { std::memcpy(bytes, other.bytes, sizeof(bytes)); }

RoomKey::Secret& RoomKey::Secret::operator=(const Secret& other) {
  set = other.set;
  std::memcpy(bytes, other.bytes, sizeof(bytes));
  return *this;
}

RoomKey::Secret::~Secret() { wipe(bytes, sizeof(bytes)); }

RoomKey::RoomKey()
    : state(State::Clear),
      role(Role::Opener),
      ownCiphers(0),
      peerCiphers(0),
      aesAllowed(true),
      cipher_(Cipher::ChaCha20Poly1305),
      sendCounter(0),
      receiveNext(0),
      receiveSeen(0) {
  std::memset(roomKey, 0, sizeof(roomKey));
  std::memset(ownNonce, 0, sizeof(ownNonce));
  std::memset(peerNonce, 0, sizeof(peerNonce));
  std::memset(sendKey, 0, sizeof(sendKey));
  std::memset(receiveKey, 0, sizeof(receiveKey));
  std::memset(sendAesState, 0, sizeof(sendAesState));
  std::memset(receiveAesState, 0, sizeof(receiveAesState));
}

RoomKey::~RoomKey() { clear(); }

bool RoomKey::available() {
  // sodium_init is safe to call from several threads; a function-local
  // static makes it run once.
  static const bool ready = sodium_init() >= 0;
  return ready;
}

void RoomKey::wipe(void* bytes, size_t length) { sodium_memzero(bytes, length); }

void RoomKey::clear() {
  wipe(roomKey, sizeof(roomKey));
  wipe(sendKey, sizeof(sendKey));
  wipe(receiveKey, sizeof(receiveKey));
  if (cipher_ == Cipher::Aes256Gcm) {
    wipe(sendAesState, sizeof(sendAesState));
    wipe(receiveAesState, sizeof(receiveAesState));
  }
  cipher_ = Cipher::ChaCha20Poly1305;
  ownCiphers = 0;
  peerCiphers = 0;
  state = State::Clear;
  sendCounter = 0;
  receiveNext = 0;
  receiveSeen = 0;
}

void RoomKey::fail() {
  clear();
  state = State::Failed;
}

bool RoomKey::begin(const unsigned char* key, Role as, unsigned char* hello) {
  clear();
  if (key == nullptr || !available()) return false;
  role = as;
  std::memcpy(roomKey, key, sizeof(roomKey));
  randombytes_buf(ownNonce, sizeof(ownNonce));
  ownCiphers = aesAllowed && crypto_aead_aes256gcm_is_available() ? CanAes256Gcm : 0;
  writeHandshake(PeerPacket::KeyHello, ownNonce, hello, ownCiphers);
  state = State::AwaitHello;
  return true;
}

void RoomKey::keyedHash(uint8_t purpose, Role of, unsigned char* out) const {
  crypto_generichash_state hash;
  crypto_generichash_init(&hash, roomKey, sizeof(roomKey), ProofSize);
  crypto_generichash_update(&hash, Label, sizeof(Label));
  const unsigned char tags[2] = {purpose, static_cast<unsigned char>(of)};
  crypto_generichash_update(&hash, tags, sizeof(tags));
  crypto_generichash_update(&hash, openerNonce(), NonceSize);
  crypto_generichash_update(&hash, answererNonce(), NonceSize);
  const unsigned char ciphers[2] = {role == Role::Opener ? ownCiphers : peerCiphers,
                                    role == Role::Opener ? peerCiphers : ownCiphers};
  crypto_generichash_update(&hash, ciphers, sizeof(ciphers));
  crypto_generichash_final(&hash, out, ProofSize);
  wipe(&hash, sizeof(hash));
}

RoomKey::Step RoomKey::handshake(const uint8_t* bytes, size_t length, uint8_t* reply, size_t& replyLength) {
  replyLength = 0;
  if (state == State::AwaitHello) {
    const uint8_t* nonce = handshakePayload(bytes, length, PeerPacket::KeyHello);
    // The own Hello sent back is no Hello of the other end.
    if (nonce == nullptr || sodium_memcmp(nonce, ownNonce, NonceSize) == 0) {
      fail();
      return Step::Failed;
    }
    std::memcpy(peerNonce, nonce, NonceSize);
    peerCiphers = bytes[CiphersAt];
    unsigned char proof[ProofSize];
    keyedHash(PurposeProof, role, proof);
    writeHandshake(PeerPacket::KeyProof, proof, reply);
    replyLength = HandshakeSize;
    state = State::AwaitProof;
    return Step::Waiting;
  }
  if (state == State::AwaitProof) {
    const uint8_t* proof = handshakePayload(bytes, length, PeerPacket::KeyProof);
    unsigned char expected[ProofSize];
    keyedHash(PurposeProof, role == Role::Opener ? Role::Answerer : Role::Opener, expected);
    if (proof == nullptr || crypto_verify_32(proof, expected) != 0) {
      fail();
      return Step::Failed;
    }
    unsigned char fromOpener[KeySize], fromAnswerer[KeySize];
    keyedHash(PurposeSeal, Role::Opener, fromOpener);
    keyedHash(PurposeSeal, Role::Answerer, fromAnswerer);
    std::memcpy(sendKey, role == Role::Opener ? fromOpener : fromAnswerer, KeySize);
    std::memcpy(receiveKey, role == Role::Opener ? fromAnswerer : fromOpener, KeySize);
    wipe(fromOpener, sizeof(fromOpener));
    wipe(fromAnswerer, sizeof(fromAnswerer));
    wipe(roomKey, sizeof(roomKey));
    if ((ownCiphers & peerCiphers & CanAes256Gcm) != 0) {
      // The key schedule is expanded once per direction, not per packet.
      crypto_aead_aes256gcm_beforenm(aesState(sendAesState), sendKey);
      crypto_aead_aes256gcm_beforenm(aesState(receiveAesState), receiveKey);
      wipe(sendKey, sizeof(sendKey));
      wipe(receiveKey, sizeof(receiveKey));
      cipher_ = Cipher::Aes256Gcm;
    }
    state = State::Established;
    return Step::Established;
  }
  fail();
  return Step::Failed;
}

size_t RoomKey::seal(const void* plain, size_t length, uint8_t* sealed) {
  if (state != State::Established || length > size_t(MaxPlainSize)) return 0;
  const uint64_t counter = sendCounter++;
  unsigned char nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
  counterNonce(counter, nonce);
  // Both ciphers encrypt in place when plain is sealed + CounterSize; the
  // counter is written after, as it would overwrite the plain text's
  // header otherwise.
  const auto* in = static_cast<const unsigned char*>(plain);
  unsigned long long written = 0;
  if (cipher_ == Cipher::Aes256Gcm)
    crypto_aead_aes256gcm_encrypt_afternm(sealed + CounterSize, &written, in, length, nullptr, 0, nullptr, nonce,
                                          aesState(sendAesState));
  else
    crypto_aead_chacha20poly1305_ietf_encrypt(sealed + CounterSize, &written, in, length, nullptr, 0, nullptr, nonce,
                                              sendKey);
  std::memcpy(sealed, nonce, CounterSize);
  return CounterSize + size_t(written);
}

bool RoomKey::fresh(uint64_t counter) const {
  if (counter >= receiveNext) return counter != UINT64_MAX;  // the last one would leave no room after it
  uint64_t behind = receiveNext - 1 - counter;
  return behind < ReplayWindow && ((receiveSeen >> behind) & 1u) == 0;
}

void RoomKey::markSeen(uint64_t counter) {
  if (counter >= receiveNext) {
    uint64_t shift = counter - receiveNext + 1;
    receiveSeen = shift >= ReplayWindow ? 1u : (receiveSeen << shift) | 1u;
    receiveNext = counter + 1;
  } else {
    receiveSeen |= uint64_t(1) << (receiveNext - 1 - counter);
  }
}

int RoomKey::open(const uint8_t* sealed, size_t length, uint8_t* plain) {
  if (state != State::Established || sealed == nullptr || length < size_t(SealOverhead) ||
      length > size_t(MaxSealedSize))
    return -1;
  uint64_t counter = 0;
  for (int i = CounterSize - 1; i >= 0; --i) counter = (counter << 8) | sealed[i];
  // A counter that cannot be fresh is refused before any work is spent on it.
  if (!fresh(counter)) return -1;
  unsigned char nonce[crypto_aead_chacha20poly1305_ietf_NPUBBYTES];
  counterNonce(counter, nonce);
  unsigned long long opened = 0;
  const int result =
      cipher_ == Cipher::Aes256Gcm
          ? crypto_aead_aes256gcm_decrypt_afternm(plain, &opened, nullptr, sealed + CounterSize, length - CounterSize,
                                                  nullptr, 0, nonce, aesState(receiveAesState))
          : crypto_aead_chacha20poly1305_ietf_decrypt(plain, &opened, nullptr, sealed + CounterSize,
                                                      length - CounterSize, nullptr, 0, nonce, receiveKey);
  if (result != 0) return -1;
  // Only a packet that opened counts as seen: a forged counter cannot
  // move the window.
  markSeen(counter);
  return static_cast<int>(opened);
}

}  // namespace zintar
