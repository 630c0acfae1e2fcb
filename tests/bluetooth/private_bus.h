#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/temp_folder.h"

namespace quillfern::testing {

// A dbus-daemon of the test's own, listening on a Unix socket in a temporary folder and
// letting everyone own and call everything. Stopped (by its process id) at the end.
class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // The address the daemon printed; empty when it could not be started.
  const std::string& Address() const { return address_; }
  // Ends the daemon now, as a system bus that goes away.
  void Stop();

 private:
  TempFolder folder_;
  pid_t pid_ = -1;
  std::string address_;
};

}  // namespace quillfern::testing
