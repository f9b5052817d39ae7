// KivLogConfig holds a log's six settings as read from the "Log" section of
// an INI file, and prints them. KivLog::init(configFile) uses it.
//
//   [Log]
//   FileName=logs/app     base path of the log file (default: none)
//   Type=Daily            Daily, Hourly or Monthly; anything else: none
//   Level=Warning         Critical, Error, Warning, Profile, Debug or
//                         Detail; anything else or absent: Critical
//   Buffering=1           numbers: non-zero turns the setting on; a value
//   DisplayDate=1         is read up to its first non-digit, a value that
//   Verbose=0             does not start with a digit is 0; absent is 0
//
// Section names, keys and the keywords compare without regard to case.
// The first occurrence of a key counts. Lines are read by the INI parser,
// which cuts a line after 199 characters (so a FileName stays below that
// length in practice); the file name keeps at most 259 characters. A missing
// or unreadable file, and lines the parser does not understand, leave the
// defaults in place.
//
// A plain value object: used by one thread at a time, freely copied.

#ifndef TESSEL_TOOLKIT_KIV_LOG_CONFIG_H_
#define TESSEL_TOOLKIT_KIV_LOG_CONFIG_H_

#include <string>

#include "tessel/tessel_export.h"
#include "tessel/toolkit/kiv_log.h"

class TESSEL_EXPORT KivLogConfig {
 public:
  // The longest file name kept, in characters.
  static constexpr int MaxFileNameLength = 259;

  // No file name, type None, level Critical, every switch off.
  KivLogConfig();
  virtual ~KivLogConfig();

  // Reads the "Log" section of iniFile into this object. Always 0: keys that
  // are absent (or a file that cannot be read) give the defaults above.
  int init(const char* iniFile);

  const std::string& getFileName() const { return fileName; }
  KivLog::LogType getType() const { return type; }
  KivLog::LogLevel getLevel() const { return level; }
  bool isBuffering() const { return buffering; }
  bool isDisplayingDate() const { return displayingDate; }
  bool isVerbose() const { return verbose; }

  // Writes the settings to standard output:
  //   [KivLog Configuration]
  //     FileName: logs/app
  //     Type: Daily
  //     Level: Warning
  //     Buffering: Yes
  //     DisplayingDate: No
  //     Verbose: Off
  // followed by an empty line.
  void print();

 private:
  // The INI parser's callback for one key.
  static int handleKey(void* config, const char* section, const char* key, const char* value);

  static constexpr const char* LogRoot_ = "Log";
  static constexpr const char* LogFileName_ = "FileName";
  static constexpr const char* LogType_ = "Type";
  static constexpr const char* LogLevel_ = "Level";
  static constexpr const char* LogBuffering_ = "Buffering";
  static constexpr const char* LogDisplayDate_ = "DisplayDate";
  static constexpr const char* LogVerbose_ = "Verbose";

  std::string fileName;
  KivLog::LogType type;
  KivLog::LogLevel level;
  bool buffering;
  bool displayingDate;
  bool verbose;
};

#endif  // TESSEL_TOOLKIT_KIV_LOG_CONFIG_H_
