#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace quillfern {

// Results of opening a file to send, besides 0.
inline constexpr int ReaderNotFound = -1;  // nothing there
inline constexpr int ReaderIsFolder = -2;  // a folder, not an object
inline constexpr int ReaderNoAccess = -3;  // not readable, not a regular file, or in use
// Result of ReadNext when the source fails or ends before its size.
inline constexpr int ReaderFailed = -1;

// What a GET sends: a file, shared with other readers but not with a writer,
// or a text built in memory (the folder listing). Either way the bytes go
// straight into the caller's packet buffer.
class ObjectReader {
 public:
  ObjectReader() = default;
  explicit ObjectReader(std::string content);

  // Takes an opened file for sending, status being its fstat. Only a
  // regular file that no one is writing is sent: a receiver holds a file it
  // replaces exclusively. Returns 0 or one of the Reader* results above.
  int OpenFile(UniqueFd file, const struct stat& status);

  uint64_t Size() const { return size_; }
  // Fills destination with the next bytes of the object. Returns
  // destination.size(), or ReaderFailed when the source cannot deliver that
  // many (a read error, or a file cut short while it is being sent). A file
  // is read ahead in large pieces, so that small packets cost one read in
  // many.
  int ReadNext(std::span<uint8_t> destination);

 private:
  UniqueFd file_;
  std::string content_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;       // of the next byte to send
  std::vector<uint8_t> ahead_;  // file bytes read ahead, from aheadStart_ on
  uint64_t aheadStart_ = 0;

  int ReadFile(std::span<uint8_t> destination, uint64_t offset);
  bool StillWhole() const;
};

}  // namespace quillfern
