// KivLog writes formatted text messages to a log file for the host
// application (the library itself logs nothing). The file's name carries
// the local date of the write (daily, hourly or monthly rotation by name),
// messages are filtered by severity, can be echoed to standard output,
// prefixed with the local date and time, and collected in a memory buffer
// that goes to the file in one piece. A new, empty file gets a header.
// KivLogConfig (kiv_log_config.h) reads the settings from an INI file.
//
// Every write opens the file named for that moment (read and write,
// created when missing), takes an exclusive lock on its contents, appends,
// flushes, unlocks and closes it, so that several processes can append to
// one file without losing or mixing lines, and no file is ever renamed.
//
// Lifecycle: a constructed log writes nothing until init() has run. With
// buffering, messages reach the file when the buffer fills up, at flush()
// and at destruction; text still buffered when the process ends without
// destroying the log is lost. When the buffer cannot be written to its file
// (the file cannot be opened or written), the buffered text stays, and a new
// message that no longer fits behind it is dropped (out() gives -1): the log
// never writes past its buffer and never throws away text it has accepted.
//
// Threads: the buffered path may be used by several threads at once (one
// lock guards the buffer and its write to the file). Unbuffered, one log is
// used by one thread at a time (each write holds only the file lock); other
// threads and processes use logs of their own. init, setBufferSize,
// setHeader and setExtension come before the log is shared. setLogEventName
// and outEvent share one static name without a lock.
//
// Diagnostics go to standard error as fixed texts: "Can't open <name>" when
// a file cannot be opened, "Log length exceeds 4096" when a message cannot
// be formatted, "Log is longer than the allowed maximum length 4096" for an
// over-long message, and perror("Can't create log buffer").

#ifndef TESSEL_TOOLKIT_KIV_LOG_H_
#define TESSEL_TOOLKIT_KIV_LOG_H_

#include <cstdarg>
#include <memory>
#include <string>

#include "tessel/tessel_export.h"
#include "tessel/toolkit/kiv_file.h"
#include "tessel/toolkit/kiv_mutex.h"

// Lets the compiler check the arguments of out and outEvent against their
// format.
#if defined(__GNUC__)
#define KIV_LOG_PRINTF(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define KIV_LOG_PRINTF(formatIndex, firstArgument)
#endif

class TESSEL_EXPORT KivLog {
 public:
  // Rotation by file name: the suffix added to the file name, from the local
  // time of the write. Any other value names the file like Daily (both
  // enumerations hold any int).
  enum LogType : int {
    None = 0,     // no suffix
    Daily = 1,    // ".YYYY.MM.DD"
    Hourly = 2,   // ".YYYY.MM.DD.HH" (hour 0-23)
    Monthly = 3,  // ".YYYY.MM"
  };
  // Severity. A message passes the filter when its level is at most the
  // log's level: Critical always passes, Detail only on a Detail log.
  enum LogLevel : int {
    Critical = 0,
    Error = 1,
    Warning = 2,
    Profile = 3,
    Debug = 4,
    Detail = 5,
  };

  // The longest formatted message, in characters.
  static constexpr int MaxLogLength = 4096;

  // Daily rotation, level Warning, no buffer, no file.
  KivLog();
  // Writes what is still buffered, then frees the buffer.
  virtual ~KivLog();

  KivLog(const KivLog&) = delete;
  KivLog& operator=(const KivLog&) = delete;

  // Stores the settings. A non-null fileName becomes the base path of the
  // log file (empty: nothing goes to a file) and the folders on its path
  // are created (a failure there shows at the first write). With buffering
  // and no buffer yet, allocates one of 65536 bytes; if that fails, reports
  // "Can't create log buffer" and returns -1 with the log still unusable.
  // Otherwise 0, and out() starts writing.
  int init(const char* fileName, LogType type, LogLevel level, bool buffering, bool displayDate, bool verbose);
  // init with the settings of the "Log" section of an INI file (see
  // KivLogConfig): -1 only when the buffer cannot be allocated.
  int init(const char* configFile);

  // Only while no buffer exists: allocates one of size bytes (below 4096:
  // 4097, room for the longest message after a flush). Must come before
  // an init with buffering to take effect. On allocation failure reports
  // "Can't create log buffer" and leaves the log without a buffer.
  void setBufferSize(int size);
  // Text written at the top of every new, empty log file (a newline is
  // added). Null changes nothing.
  void setHeader(const char* text);
  // File name extension without the dot; "" for none. Null changes nothing.
  void setExtension(const char* text);

  // Formats one message (printf-style; the caller supplies line ends) and
  // writes it, echoes it when verbose and prefixes the local date and time
  // "[YYYY-MM-DD hh:mm:ss.mmm] " when displayDate is on. 0 when the message
  // was written, buffered or filtered out, or when the log is not
  // initialised or has no file name; -1 when it is too long, cannot be
  // formatted, its file cannot be opened or written (unbuffered), or it is
  // dropped because the full buffer could not be written out.
  int out(LogLevel level, const char* format, ...) KIV_LOG_PRINTF(3, 4);
  // Writes the buffered text to the file now (initialised, buffered logs
  // with a file name and text waiting). On failure the text stays.
  void flush();

  // The program name under which outEvent reports (at most 259 characters
  // are kept); empty means the process's own name.
  static void setLogEventName(char* name);
  // Formats one message (at most MaxLogLength characters, else a standard
  // error text and nothing more) and reports it to the system logger with
  // the priority of level (Critical and Error: error; Warning: warning;
  // Profile: information; Debug and Detail: notice). echo also prints it on
  // standard output. When no system logger can be reached and echo is off,
  // the message is printed on standard output instead.
  static void outEvent(LogLevel level, bool echo, const char* format, ...) KIV_LOG_PRINTF(3, 4);

 private:
  static constexpr int DefaultBufferSize = 65536;

  // Opens `file` under the name for the present moment and writes the
  // header into an empty file. 0, or -1 with "Can't open <name>" on
  // standard error.
  int open();
  // Writes the buffer to the file (bufferLock held). 0 and an empty
  // buffer, or -1 with the text kept.
  int out() REQUIRES(bufferLock);
  // Formats, then writes or buffers one message.
  int out(const char* format, va_list arguments);
  void close();
  // The file name for the present moment.
  std::string currentName() const;
  // Formats into message (MaxLogLength + 1 bytes, zero-filled): the length,
  // or -1 after the standard-error text.
  static int formatMessage(char* message, const char* format, va_list arguments);
  // Hands one formatted message to the system logger; false when no system
  // logger can be reached.
  static bool reportEvent(LogLevel level, const char* message);

  bool initialized;
  std::string fileName;
  LogType type;
  LogLevel level;
  KivFile file;
  bool buffering;
  std::unique_ptr<char[]> buffer;
  int bufferSize;
  KivMutex bufferLock;
  int bufferUsed GUARDED_BY(bufferLock);
  std::string header;
  std::string extension;
  bool displayDate;
  bool verbose;

  static char LogEventName[260];
};

// Creates the folders on path that do not exist yet, from the top down; a
// relative path starts in the current folder. With isDirectory the last
// component is a folder too, else it is a file name and left alone. 0 when
// every folder exists afterwards, -1 when one cannot be created.
TESSEL_EXPORT int kivCreateDirectory(const char* path, bool isDirectory);

#endif  // TESSEL_TOOLKIT_KIV_LOG_H_
