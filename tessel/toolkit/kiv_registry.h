// KivRegistry is a handle to one key of the current user's registry, the
// small per-user store of 32-bit values behind the engine's galaxy ping
// cache and the topology simulator's fixed pings.
//
// The registry is one text file in the familiar .reg layout, so that a
// tester can edit it by hand:
//
//   [HKEY_CURRENT_USER\Software\Zintar\Galaxy]
//   "galaxy1.example:7000"=dword:0000012c
//
// It lives at $TESSEL_REGISTRY, or ${XDG_CONFIG_HOME:-$HOME/.config}/zintar/
// registry.reg when that variable is unset. Key paths and value names compare
// without regard to ASCII case. A key exists when its section (or the section
// of one of its subkeys) is in the file. Every write takes an exclusive lock
// on a sidecar file, re-reads the registry, changes one thing and replaces
// the file atomically, so readers never see half a file and concurrent
// writers in any number of processes lose nothing. Lines the registry does
// not understand are kept as they stand and otherwise ignored; a missing or
// unreadable file reads as an empty registry, and so does anything that is
// not a regular file (a FIFO is never waited for). A registry path that is
// a symbolic link is followed: the file it leads to is replaced and the
// link stays. The registry only caches measurements, so a writer gives up
// rather than hang when another one holds the lock for too long.
//
// One object is used by one thread at a time; any number of objects, in any
// threads and processes, may work on the registry at once. An open handle
// holds no file open: every read looks at the file as it is at that moment.

#ifndef TESSEL_TOOLKIT_KIV_REGISTRY_H_
#define TESSEL_TOOLKIT_KIV_REGISTRY_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "tessel/tessel_export.h"

class TESSEL_EXPORT KivRegistry {
 public:
  // A registry file larger than this is not read (and never overwritten).
  static constexpr size_t MaxFileSize = 16u << 20;
  // How long a write waits for another writer's lock before it fails, a
  // wait that starts again whenever some writer gets through.
  static constexpr int LockTimeoutMs = 2000;

  KivRegistry();
  // Closes the key.
  virtual ~KivRegistry();

  KivRegistry(const KivRegistry&) = delete;
  KivRegistry& operator=(const KivRegistry&) = delete;

  // The registry file of the current user; empty when none can be named.
  static std::string getPath();

  // Opens the existing key keyPath ("Software\Zintar\Galaxy", relative to
  // the current user's hive). 0, or -1 when the key does not exist or the
  // path is empty or holds a line break; a failure leaves the handle closed.
  // A key that was open before is closed first.
  int open(const char* keyPath);
  // Opens keyPath, adding its section to the registry when it is missing.
  // 0, or -1 when the path is unusable or the registry cannot be written
  // (also when the lock is not had within LockTimeoutMs).
  int create(const char* keyPath);
  // Closes the key; harmless when none is open.
  void close();
  bool isOpen() const { return !keyPath_.empty(); }

  // Writes name = value as a 32-bit number into the open key (replacing an
  // earlier value of that name, whatever its type). 0, or -1 when no key is
  // open, the name is empty or holds a line break, or the registry cannot
  // be written (also when the lock is not had within LockTimeoutMs); the
  // registry is then unchanged.
  int setDword(const char* name, uint32_t value);
  // Reads a value of at most 4 bytes. 0 and value filled, or -1 when no key
  // is open, the key or the value does not exist, or the value is not a
  // 32-bit number (any other type is longer than 4 bytes).
  int getDword(const char* name, uint32_t& value) const;

 private:
  // The open key's path with surrounding backslashes removed; empty when
  // closed.
  std::string keyPath_;
};

#endif  // TESSEL_TOOLKIT_KIV_REGISTRY_H_
