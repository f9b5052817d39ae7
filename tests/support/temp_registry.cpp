#include "tests/support/temp_registry.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/test_support.h"

namespace tessel_test {

TempFolder::TempFolder() : path_((std::filesystem::temp_directory_path() / "tessel-test-XXXXXX").string()) {
  if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = getenv(name)) old_ = old;
  value != nullptr ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }

TempRegistry::TempRegistry()
    : path_(folder_.path() + "/registry.reg"), env_("TESSEL_REGISTRY", path_.c_str()) {}

std::string TempRegistry::read() const { return readFile(path_); }

void TempRegistry::write(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }

}  // namespace tessel_test
