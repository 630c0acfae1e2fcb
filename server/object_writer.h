#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "server/receiving_names.h"

namespace quillfern {

// How many numbered names a kept object tries before it gives up.
inline constexpr int NumberedNameAttempts = 10000;

// "IMG_0001.jpg" and 2 give "IMG_0001 (2).jpg"; "notes" gives "notes (2)";
// "archive.tar.gz" gives "archive.tar (2).gz". Never longer than a file name
// may be (NAME_MAX bytes): the stem of a long name is cut, between two UTF-8
// characters, to make room for the number.
std::string NumberedName(const std::string& name, int number);

// The file a PUT is received into. The object is written into a file of its
// own in the target folder and appears under its name only when Commit is
// called, replacing any earlier file of that name in one step; a writer that
// goes without Commit leaves the folder as it found it. Meanwhile an earlier
// file of that name is held under an exclusive lock, so no other session
// starts sending it.
class ObjectWriter {
 public:
  // Where the object is written until it is complete: an unnamed file that
  // vanishes by itself whatever happens to the program, or, on file systems
  // without those (FAT, some network mounts), a hidden name in the same
  // folder that is removed on every early end.
  enum class Temporary { Unnamed, Named };
  // What Commit does when the name is taken: Replace the file there,
  // KeepExisting and give the object the first free name "name (1).ext",
  // "name (2).ext", ... (the number goes before the last dot), or, for
  // NewOnly, fail with -EEXIST and leave what is there alone.
  enum class Placement { Replace, KeepExisting, NewOnly };

  ObjectWriter() = default;
  ObjectWriter(const ObjectWriter&) = delete;
  ObjectWriter& operator=(const ObjectWriter&) = delete;
  ~ObjectWriter();  // an object never committed is dropped

  // Prepares to receive an object under name in folder (a descriptor the
  // writer keeps), holding the claim on the name until the object is
  // committed or dropped. 0, or minus errno: -EWOULDBLOCK when another session
  // holds the earlier file, -EISDIR for a folder, -ELOOP for a link, -EINVAL
  // for anything else that is not a plain file, -EACCES and the like when
  // the earlier file or the folder cannot be written.
  // With KeepExisting and NewOnly an earlier file is neither tested nor held.
  int Open(UniqueFd folder, const std::string& name, ReceivingName claim,
           Temporary kind = Temporary::Unnamed, Placement placement = Placement::Replace);
  // The number of bytes taken, fewer than given when the disk ran out of
  // room part way; minus errno when nothing could be written. The data are
  // at most one packet's worth, which an int always counts. Small pieces are
  // gathered and written together, one system call for many packets; a
  // failure to write them is told by the Write or Flush that writes them.
  int Write(std::span<const uint8_t> data);
  // Writes what was gathered: before the file is written by other means
  // (Descriptor), and before the object is complete. 0, or minus errno.
  int Flush();
  // Gives the complete object its name. 0, or minus errno; the object is
  // then dropped and an earlier file stays as it was. With KeepExisting no
  // file is ever replaced, however many sessions store the name at once.
  int Commit();
  // The name the object was given by Commit; the name asked for until then.
  const std::string& StoredName() const { return name_; }
  // Drops the object at once, before the client hears how its transfer
  // ended, so the name is free for whoever the client asks next.
  void Discard();
  // errno of the failure behind the last short or failed Write.
  int LastError() const { return lastError_; }
  // Where received data go, by write or by splice; Flush first.
  int Descriptor() const { return file_.Get(); }
  bool IsOpen() const { return file_.Valid(); }

 private:
  int OpenNamedTemporary();
  int WriteNow(std::span<const uint8_t> data);
  int LinkUnder(const std::string& name) const;
  // Commit without replacing anything: the first free numbered name.
  int PlaceBesideExisting();
  // Gives the object the name unless it is taken: 0, -EEXIST, or minus errno.
  int PlaceUnder(const std::string& name);

  UniqueFd folder_;
  std::string name_;
  UniqueFd previous_;          // the file the object replaces, locked until it is replaced
  UniqueFd file_;              // the object being received
  std::string temporaryName_;  // the hidden name of a Named temporary, while it has one
  ReceivingName claim_;
  std::vector<uint8_t> gathered_;  // small pieces not written yet
  Placement placement_ = Placement::Replace;
  bool committed_ = false;
  int lastError_ = 0;
};

}  // namespace quillfern
