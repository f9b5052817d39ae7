// RoomKey is the room's shared key at work on one ENet connection: the
// handshake by which both ends prove that they hold the key without
// revealing it, then the sealing and opening of every packet that crosses
// the connection.
//
// The handshake. As soon as ENet reports the connection, each end sends a
// KeyHello carrying 32 fresh random bytes, its nonce, and one byte saying
// which ciphers beyond ChaCha20-Poly1305 it can run (AES-256-GCM where the
// CPU has it). On the other end's Hello it answers with a KeyProof: a hash
// keyed with the room's key (BLAKE2b-256) over its role (opener or
// answerer), both nonces and both cipher bytes. On the
// other end's Proof, compared in constant time, the connection is
// established. Both nonces are fresh, so no recorded handshake can be
// played again, and each proof names its role, so neither end's proof can
// be sent back to it as the other's. One key per direction is derived the
// same way from the room's key and both nonces; the room's key itself is
// forgotten once the connection is established. Anything else, or a proof
// that does not hold, fails the handshake.
//
// Sealed packets: an 8-byte little-endian counter (per direction, from 0),
// then the packet encrypted under the direction's key with the counter as
// nonce, then its 16-byte tag. The cipher is AES-256-GCM when both Hellos
// said they can run it, ChaCha20-Poly1305 (IETF) otherwise; both cipher
// bytes are in every proof and key, so an end on the path that alters one
// fails the handshake instead of choosing the cipher. A
// packet that does not open, or whose counter was opened already or lies
// ReplayWindow or more behind the newest, is refused. The wire layout is
// in docs/wire.md.
//
// Threads: none of its own and no lock; one thread uses each (the overlay's
// service thread for the connections of its host, the caller of a
// ShortExchange for its one connection).
//
// Lifecycle: begin per connection, handshake until established (or
// failed), then seal and open; clear, or the destructor, wipes the keys.

#ifndef TESSEL_OVERLAY_ROOM_KEY_H_
#define TESSEL_OVERLAY_ROOM_KEY_H_

#include <cstddef>
#include <cstdint>

#include "tessel/overlay/peer_packet.h"
#include "tessel/tessel_export.h"

namespace zintar {

class TESSEL_EXPORT RoomKey {
 public:
  static constexpr int KeySize = 32;
  static constexpr int NonceSize = 32;
  static constexpr int ProofSize = 32;
  // A KeyHello or KeyProof: the overlay's 8-byte header, 32 bytes.
  static constexpr int HandshakeSize = PeerPacket::HeaderSize + NonceSize;
  static constexpr int CounterSize = 8;
  static constexpr int TagSize = 16;
  static constexpr int SealOverhead = CounterSize + TagSize;
  // The largest packet sealed: the overlay's largest ENet packet.
  static constexpr int MaxPlainSize = PeerPacket::MaxPacketSize;
  static constexpr int MaxSealedSize = MaxPlainSize + SealOverhead;
  // How far behind the newest counter opened an older one may still open
  // (once).
  static constexpr uint64_t ReplayWindow = 64;
  // Where a KeyHello carries its sender's cipher byte, and its bit for
  // AES-256-GCM. A Hello with 0 there (as every Hello before the byte
  // existed) can run ChaCha20-Poly1305 only.
  static constexpr int CiphersAt = 4;
  static constexpr uint8_t CanAes256Gcm = 0x01;

  enum class Cipher : uint8_t { ChaCha20Poly1305, Aes256Gcm };

  // Who started the ENet connection: the opener called enet_host_connect,
  // the answerer accepted.
  enum class Role : uint8_t { Opener = 1, Answerer = 2 };
  // Where a handshake stands after a message.
  enum class Step { Failed, Waiting, Established };

  // The room's key as it is handed around: KeySize bytes, or none. Wiped
  // when destroyed.
  struct Secret {
    bool set = false;
    unsigned char bytes[KeySize] = {};
    Secret() = default;
    Secret(const Secret& other);
    Secret& operator=(const Secret& other);
    ~Secret();
  };

  RoomKey();
  virtual ~RoomKey();
  RoomKey(const RoomKey&) = delete;
  RoomKey& operator=(const RoomKey&) = delete;

  // Whether the crypto library could be initialised (once per process, on
  // the first call); nothing here works without it.
  static bool available();

  // Starts the handshake of a new connection with the room's key (KeySize
  // bytes), forgetting the last connection: draws a fresh nonce and writes
  // the KeyHello to send first into hello (HandshakeSize bytes). False,
  // and the connection in clear, when the crypto library is unavailable.
  bool begin(const unsigned char* key, Role role, unsigned char* hello);
  // Forgets the connection and wipes its keys: in clear again.
  void clear();
  // Wipes the keys and ends the connection's use of them for good: nothing
  // seals or opens any more, and every handshake message fails, until the
  // next begin. For a connection being cut.
  void fail();
  // The connection was begun with a key (handshaking or established).
  bool keyed() const { return state != State::Clear; }
  bool established() const { return state == State::Established; }

  // A handshake message received (bytes from the network, any length).
  // Waiting: a Hello was taken and reply (HandshakeSize bytes) holds the
  // KeyProof to send, replyLength its length; Established: the other end's
  // proof holds; Failed: anything else, and the connection must be cut
  // (every later message fails too). replyLength is 0 unless there is a
  // reply.
  Step handshake(const uint8_t* bytes, size_t length, uint8_t* reply, size_t& replyLength);

  // The cipher of the established connection (ChaCha20Poly1305 before).
  Cipher cipher() const { return cipher_; }
  // For tests: this end's Hellos say it cannot run AES-256-GCM, as on a CPU
  // without it. Kept across begin.
  void refuseAes256Gcm() { aesAllowed = false; }

  // Seals length bytes of plain into sealed (room for length +
  // SealOverhead bytes). plain may lie at sealed + CounterSize (sealing in
  // place); otherwise the two must not overlap. The sealed length, or 0
  // when the connection is not established or length exceeds MaxPlainSize.
  size_t seal(const void* plain, size_t length, uint8_t* sealed);
  // Opens length bytes from the network into plain (room for MaxPlainSize
  // bytes). The plain length, or -1 when the connection is not
  // established, the bytes are not a sealed packet of this connection's
  // other end (too short, too long, altered, another key), or its counter
  // was opened before or lies ReplayWindow or more behind the newest.
  // Nothing is written to plain on -1 but what failed to open.
  int open(const uint8_t* sealed, size_t length, uint8_t* plain);

  // Wipes length bytes at bytes so that the compiler cannot skip it.
  static void wipe(void* bytes, size_t length);

 private:
  enum class State : uint8_t { Clear, AwaitHello, AwaitProof, Established, Failed };

  // BLAKE2b-256 keyed with the room's key over the label, purpose, role,
  // both nonces and both cipher bytes (opener's first).
  void keyedHash(uint8_t purpose, Role of, unsigned char* out) const;
  const unsigned char* openerNonce() const { return role == Role::Opener ? ownNonce : peerNonce; }
  const unsigned char* answererNonce() const { return role == Role::Opener ? peerNonce : ownNonce; }
  // libsodium's precomputed AES-256-GCM state (crypto_aead_aes256gcm_state),
  // kept opaque here so that this header does not need sodium.h.
  static constexpr size_t AesStateSize = 512;
  bool fresh(uint64_t counter) const;
  void markSeen(uint64_t counter);

  State state;
  Role role;
  unsigned char roomKey[KeySize];
  unsigned char ownNonce[NonceSize];
  unsigned char peerNonce[NonceSize];
  unsigned char sendKey[KeySize];
  unsigned char receiveKey[KeySize];
  alignas(16) unsigned char sendAesState[AesStateSize];
  alignas(16) unsigned char receiveAesState[AesStateSize];
  uint8_t ownCiphers;
  uint8_t peerCiphers;
  bool aesAllowed;
  Cipher cipher_;
  uint64_t sendCounter;
  // One past the newest counter opened (0: none yet), and which of the
  // ReplayWindow counters below it were opened: bit i stands for
  // receiveNext - 1 - i.
  uint64_t receiveNext;
  uint64_t receiveSeen;
};

}  // namespace zintar

#endif  // TESSEL_OVERLAY_ROOM_KEY_H_
