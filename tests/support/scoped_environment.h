#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace quillfern::testing {

// Sets or unsets one environment variable for the length of a test and puts its
// previous value back afterwards.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const char* name) : name_(name), previous_(Get(name)) {}
  ~ScopedEnvironment() { Set(previous_); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  void Set(const std::optional<std::string>& value) const {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  static std::optional<std::string> Get(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  }

  const char* const name_;
  const std::optional<std::string> previous_;
};

}  // namespace quillfern::testing
