// KivFile is a thin object around one open file. Every read and write names
// its file offset explicitly and never moves the file pointer, so several
// objects, threads or processes can share one file; byte ranges can be
// locked against other openings of the file; sizes and offsets come in a
// 32-bit form (unsigned, truncated to the low 32 bits) and a 64-bit form.
// Files beyond 4 GiB need the 64-bit forms: the 32-bit forms that use the
// file pointer or the end of the file see only the low 32 bits of either.
//
// Every file is opened for shared use by others (nothing is denied to other
// openers). Modes:
//   open(name, false, any), openToRead(name), KivFile(name),
//   KivFile(name, false)                read only; a missing file fails
//   open(name, true, false), openToWrite(name), KivFile(name, true)
//                                       read and write; created when
//                                       missing, contents kept
//   open(name, true, true)              read and write; created or emptied
//
// A KivFile is either closed (getFd() is the invalid handle, all bits set)
// or holds one open file. Copies name the same file as the original and
// either one closes it when destroyed, so a copy must not outlive the use
// of the other (the log keeps one object and never copies it).
//
// Results: a byte count or 0 on success, -1 on failure (0xFFFFFFFF from
// seek and size, all bits set from seek64 and size64); the system's error
// code stays in errno. Nothing throws or logs.
//
// The object holds no lock of its own. Transfers with an explicit offset
// may run from several threads at once; the forms that use the file
// pointer, and seek, are for one thread at a time.

#ifndef TESSEL_TOOLKIT_KIV_FILE_H_
#define TESSEL_TOOLKIT_KIV_FILE_H_

#include <cstdint>

#include "tessel/tessel_export.h"

class TESSEL_EXPORT KivFile {
 public:
  // Positions for seek and seek64.
  static constexpr int SeekSet = 0;
  static constexpr int SeekCurrent = 1;
  static constexpr int SeekEnd = 2;
  // What seek and size (SeekFailed) and seek64 and size64 (SeekFailed64)
  // return on failure.
  static constexpr unsigned int SeekFailed = 0xFFFFFFFFu;
  static constexpr uint64_t SeekFailed64 = ~uint64_t(0);

  // No file.
  KivFile();
  // Adopts an open handle (a descriptor carried in the pointer); the object
  // closes it when destroyed.
  explicit KivFile(void* const handle);
  // Open as in the table above; isOpen() tells whether that worked.
  explicit KivFile(const char* name);
  KivFile(const char* name, bool write);
  KivFile(const char* name, bool write, bool truncate);
  // Both objects then name the same file (see above).
  KivFile(const KivFile& other);
  KivFile& operator=(const KivFile& other);
  // Closes the file when one is open.
  virtual ~KivFile();

  // Close any file held, then open name as in the table. 0 or -1; on
  // failure the object is closed.
  int open(const char* name, bool write, bool truncate);
  int openToRead(const char* name);
  int openToWrite(const char* name);
  bool isOpen() const;
  // Closes an open file; harmless when closed already.
  void close();
  // The handle: the descriptor in a pointer, all bits set when closed.
  void* getFd() const { return handle; }

  // Moves the file pointer by offset from the start (whence 0), the current
  // position (1) or the end (2) and returns the new position; 0xFFFFFFFF
  // on failure (a negative position, a closed file, a bad whence). The
  // 32-bit form moves by the unsigned offset and returns the low 32 bits.
  unsigned int seek(unsigned int offset, int whence);
  // The same; a move backwards is an offset that is negative when read as
  // signed 64-bit. All bits set on failure.
  uint64_t seek64(const uint64_t& offset, int whence);
  // The file size (low 32 bits for size); all bits set on failure.
  unsigned int size();
  uint64_t size64();
  // Sets the end of the file at length. The file pointer goes back where
  // it was when that lies before length, else it stays at the new end.
  // 0 when the end could be set, else -1.
  int truncate(unsigned int length);
  int truncate64(const uint64_t& length);
  // Forces written data to the disk. 0 or -1.
  int flush();

  // Transfers: count on success, -1 on failure or when fewer than count
  // bytes could be moved (a read past the end of the file gives -1). A
  // count of 0 moves nothing and gives 0; a negative count gives -1.
  //
  // At the file pointer's position; the pointer does not move, so two
  // reads in a row read the same bytes.
  int read(void* buffer, int count);
  int write(const void* buffer, int count);
  // At offset (sign-extended: a negative offset fails).
  int read(void* buffer, int count, int offset);
  int write(const void* buffer, int count, int offset);
  // At the end of the file as it is at the moment of the call. Appenders in
  // other processes must hold a lock around it to keep their writes apart.
  int append(const void* buffer, int count);
  // The same with the 64-bit position or end.
  int read64(void* buffer, int count);
  int write64(const void* buffer, int count);
  int append64(const void* buffer, int count);
  int read64(void* buffer, int count, const uint64_t& offset);
  int write64(const void* buffer, int count, const uint64_t& offset);

  // Locks length bytes from offset against other openings of the file, in
  // this or any other process. A length of 0 or less means from offset to
  // the current end of the file; when that range is empty (an empty file,
  // or offset at or past the end) the lock reaches from offset to wherever
  // the file grows, so that a lock on a new file still keeps others out.
  // exclusive true waits until the range can be locked exclusively (the
  // file must be open for writing); false takes a shared lock or fails at
  // once when another opening holds an exclusive one. 0 or -1.
  int lock(int offset, int length, bool exclusive);
  // Releases the range (exclusive is not used). A length of 0 or less
  // releases everything this opening holds from offset on, including a
  // range a length-0 lock took beyond the end. 0 or -1.
  int unlock(int offset, int length, bool exclusive);
  // The same with 64-bit values; a length that is 0 or negative when read
  // as signed 64-bit means to the end of the file.
  int lock64(const uint64_t& offset, const uint64_t& length, bool exclusive);
  int unlock64(const uint64_t& offset, const uint64_t& length, bool exclusive);

 private:
  // Every transfer ends here: exactly count bytes at offset, or -1.
  int _read(void* buffer, int count, const uint64_t& offset);
  int _write(const void* buffer, int count, const uint64_t& offset);
  // What lockRange does with the range.
  static constexpr int Unlock = 0;
  static constexpr int SharedTry = 1;
  static constexpr int ExclusiveWait = 2;
  int lockRange(int64_t offset, int64_t length, int kind);

  void* handle;
};

#endif  // TESSEL_TOOLKIT_KIV_FILE_H_
