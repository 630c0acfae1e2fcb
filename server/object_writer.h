#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/unique_fd.h"

namespace quillfern {

// The file a PUT is received into: a new file is created, an existing one
// emptied and rewritten. The writer holds it under an exclusive lock until it
// goes, so no other session can read or write the file during the transfer.
class ObjectWriter {
 public:
  // 0, or minus errno: -EWOULDBLOCK when another session holds the file,
  // -EISDIR for a folder, -EINVAL for anything else that is not a plain file.
  int Open(const std::string& path);
  // The number of bytes written, fewer than given when the disk ran out of
  // room part way; minus errno when nothing could be written. The data are
  // at most one packet's worth, which an int always counts.
  int Write(std::span<const uint8_t> data);
  // errno of the failure behind the last short or failed Write.
  int LastError() const { return lastError_; }
  int Descriptor() const { return fd_.Get(); }
  bool IsOpen() const { return fd_.Valid(); }

 private:
  UniqueFd fd_;
  int lastError_ = 0;
};

}  // namespace quillfern
