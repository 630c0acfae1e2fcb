#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace quillfern {

// The names under which objects are being received right now, across all
// sessions and servers of the process. A received object has no name until
// it is complete, so a lock on a file cannot keep a second session away from
// a name that is still arriving: this registry does. A name is identified by
// the folder that holds it (device and inode, however the folder was
// reached) and its last segment.
class ReceivingName {
 public:
  ReceivingName() = default;
  ReceivingName(const ReceivingName&) = delete;
  ReceivingName& operator=(const ReceivingName&) = delete;
  ReceivingName(ReceivingName&& other) noexcept;
  ReceivingName& operator=(ReceivingName&& other) noexcept;
  ~ReceivingName();  // gives the name back

  // Claims the name for one transfer; an empty claim when another transfer
  // holds it already.
  static ReceivingName Claim(dev_t device, ino_t folder, std::string_view leaf);
  // Whether some transfer holds the name.
  static bool IsClaimed(dev_t device, ino_t folder, std::string_view leaf);

  bool Held() const { return held_; }

 private:
  void Release();

  bool held_ = false;
  dev_t device_ = 0;
  ino_t folder_ = 0;
  std::string leaf_;
};

}  // namespace quillfern
