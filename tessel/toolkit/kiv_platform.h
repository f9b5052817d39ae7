// Internal: the operating-system calls behind the toolkit, one body per
// platform (kiv_platform_posix.cpp here). Not installed for hosts to use;
// only tessel/toolkit includes it.

#ifndef TESSEL_TOOLKIT_KIV_PLATFORM_H_
#define TESSEL_TOOLKIT_KIV_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace kiv_platform {

// Milliseconds on the monotonic clock.
uint64_t monotonicMs();
// Milliseconds since 1 January 1970 UTC.
int64_t realTimeMs();
// Thread-safe local time conversion.
bool localTime(int64_t seconds, std::tm& out);

// --- What a failed system call means (kiv_platform_posix.cpp) ---

// The one reading of the platform's error code (errno) that the toolkit's
// bodies act on; the code itself is left as it was, for the caller's
// caller to read.
enum class Failure {
  Interrupted,  // a signal came first: the call can be made again at once
  WouldBlock,   // nothing to do yet on a non-blocking descriptor or lock
  InProgress,   // started, and going on in the background
  TimedOut,
  Exists,       // what was to be created is there already
  Missing,      // the file, or a folder on its path, does not exist
  Other,        // a real failure
};
// The failure of the last system call that failed on this thread.
Failure lastFailure();
inline bool interrupted() { return lastFailure() == Failure::Interrupted; }
// The socket layer's transient failures, which a retrying transfer waits
// out: Interrupted, WouldBlock, InProgress and TimedOut.
bool isTransient(Failure failure);

// --- The per-user registry file (kiv_registry_posix.cpp) ---

// The file that holds the current user's registry: $TESSEL_REGISTRY when
// set and not empty, else ${XDG_CONFIG_HOME:-$HOME/.config}/zintar/registry.reg.
// Empty when no home folder can be found.
std::string registryPath();

// The file that path names once symbolic links are followed, which need
// not exist yet (a dangling link names its target). Empty when the links
// go round in a loop or cannot be read.
std::string followLinks(const std::string& path);

enum class FileRead { Ok, Missing, Failed };
// Reads the whole file. Missing: it does not exist (content empty). Failed:
// it exists but cannot be read, is not a regular file (never waited for,
// as a FIFO would be) or is larger than maxSize bytes.
FileRead readWholeFile(const std::string& path, size_t maxSize, std::string& content);

// Takes an exclusive lock on the sidecar file path + ".lock", creating it
// (and the folder of path) when missing, and waits for it until timeoutMs
// milliseconds pass in which no other writer replaces path. Returns a
// handle for unlockRegistry, or -1 when the lock cannot be taken in that
// time or the sidecar is not a regular file.
int lockRegistry(const std::string& path, int timeoutMs);
void unlockRegistry(int handle);

// Writes content to a new file in the folder of path, flushes it to disk
// and renames it over path, so that a reader sees either the old file or
// the new one. False (path untouched) on any failure.
bool replaceFile(const std::string& path, const std::string& content);

}  // namespace kiv_platform

#endif  // TESSEL_TOOLKIT_KIV_PLATFORM_H_
