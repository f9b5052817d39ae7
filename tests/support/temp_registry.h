// Temporary folders and a per-test registry file. TempFolder makes a fresh
// folder with mkdtemp and removes it with everything in it. TempRegistry
// points TESSEL_REGISTRY at a file inside such a folder for its lifetime,
// so that tests never touch the user's own registry. ScopedEnv sets or
// unsets one environment variable and restores it afterwards.

#ifndef TESSEL_TESTS_SUPPORT_TEMP_REGISTRY_H_
#define TESSEL_TESTS_SUPPORT_TEMP_REGISTRY_H_

#include <optional>
#include <string>

namespace tessel_test {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class ScopedEnv {
 public:
  // value null: the variable is unset while the object lives.
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class TempRegistry {
 public:
  TempRegistry();

  // The registry file (it need not exist yet).
  const std::string& path() const { return path_; }
  // The file's bytes; empty when it does not exist.
  std::string read() const;
  // Replaces the file with text.
  void write(const std::string& text) const;

 private:
  TempFolder folder_;
  std::string path_;
  ScopedEnv env_;
};

}  // namespace tessel_test

#endif  // TESSEL_TESTS_SUPPORT_TEMP_REGISTRY_H_
