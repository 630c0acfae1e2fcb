#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "obex/headers.h"
#include "obex/packet.h"
#include "platform/debug.h"
#include "server/exchange_folder.h"
#include "server/name_resolver.h"
#include "server/object_writer.h"
#include "server/session.h"

namespace quillfern {
namespace {

constexpr uint8_t ActionCopy = 0x00;
constexpr uint8_t ActionMove = 0x01;
constexpr uint8_t ActionSetPermissions = 0x02;

// A copy goes in pieces of this size, with a look at the link between them:
// a session closed meanwhile ends within milliseconds, not after the whole file.
constexpr size_t CopyPiece = 1024 * 1024;
constexpr mode_t PermissionBits = 0777;

// The headers of an ACTION request, gathered from all its packets; the
// first of each counts.
struct ActionRequest {
  std::optional<uint8_t> action;
  std::optional<std::u16string> name;
  std::optional<std::u16string> destName;
};

void Gather(std::span<const uint8_t> packet, const HeaderIndex& index, ActionRequest& request) {
  if (!request.action && HasHeader(index, HdrActionId)) {
    request.action = GetByteHeader(packet, HdrActionId, index);
  }
  if (!request.name && HasHeader(index, HdrName)) {
    request.name = GetUnicodeHeader(packet, HdrName, index);
  }
  if (!request.destName && HasHeader(index, HdrDestName)) {
    request.destName = GetUnicodeHeader(packet, HdrDestName, index);
  }
}

std::string Shown(const std::optional<std::u16string>& name) {
  return "\"" + NameForLog(name.value_or(std::u16string())) + "\"";
}

// What was asked, as the log line begins: Copy "a" to "b".
std::string Describe(const ActionRequest& request) {
  if (request.action == ActionCopy || request.action == ActionMove) {
    return (request.action == ActionCopy ? "Copy " : "Move ") + Shown(request.name) + " to " +
           Shown(request.destName);
  }
  if (request.action == ActionSetPermissions) return "Set permissions of " + Shown(request.name);
  std::string line = "Action";
  if (request.action) {
    char id[8];
    std::snprintf(id, sizeof id, " 0x%02X", *request.action);
    line += id;
  }
  if (request.name) line += " on " + Shown(request.name);
  return line;
}

// How a refused name is answered: a name that is not there (or whose folder
// is not), Not found; outside the exchange folder, hidden, arriving right
// now or out of reach, Forbidden.
uint8_t AnswerFor(NameRefusal refusal) {
  return refusal == NameRefusal::Missing ? RspNotFound : RspForbidden;
}

// The answer to an action that ended with errno error (0: it succeeded).
uint8_t AnswerForError(int error) {
  switch (error) {
    case 0:
      return RspSuccess;
    case EEXIST:
    case ENOTEMPTY:  // a folder renamed over a folder that holds something
      return RspConflict;
    case ENOENT:
      return RspNotFound;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return RspDatabaseFull;
    default:
      return RspForbidden;
  }
}

// Writes all of data at offset; 0, or minus errno (-ENOSPC when the disk
// took nothing and said nothing).
int WriteAllAt(int fd, std::span<const uint8_t> data, off_t offset) {
  while (!data.empty()) {
    const ssize_t count = ::pwrite(fd, data.data(), data.size(), offset);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return count < 0 ? -errno : -ENOSPC;
    data = data.subspan(static_cast<size_t>(count));
    offset += count;
  }
  return 0;
}

// Copies the first size bytes of from into to, by the kernel where it can
// (a reflink on file systems that share blocks), else by reads and writes.
// A file that got shorter meanwhile is copied as far as it goes. 0, or
// minus errno; -ECONNRESET when goOn stopped it.
template <typename GoOn>
int CopyContent(int from, int to, uint64_t size, GoOn goOn) {
  bool byKernel = true;
  std::vector<uint8_t> buffer;
  uint64_t done = 0;
  while (done < size) {
    if (!goOn()) return -ECONNRESET;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(size - done, CopyPiece));
    ssize_t count;
    if (byKernel) {
      auto in = static_cast<off_t>(done);
      auto out = static_cast<off_t>(done);
      count = ::copy_file_range(from, &in, to, &out, piece, 0);
      if (count < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                        errno == EOPNOTSUPP || errno == EBADF)) {
        byKernel = false;
        continue;
      }
    } else {
      buffer.resize(piece);
      count = ::pread(from, buffer.data(), piece, static_cast<off_t>(done));
      if (count > 0) {
        const int written = WriteAllAt(to, std::span(buffer).first(static_cast<size_t>(count)),
                                       static_cast<off_t>(done));
        if (written < 0) return written;
      }
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return -errno;
    if (count == 0) break;
    done += static_cast<uint64_t>(count);
  }
  return 0;
}

}  // namespace

// Copy and move act inside the exchange folder only, on names resolved as
// every request's are: the source relative to the current folder, and the
// destination too ("b.txt", "docs/b.txt", "../b.txt"), so a client may copy
// or move into another folder it can reach. Both are refused when hidden,
// outside, or arriving in a transfer; the destination is claimed like a
// PUT's for as long as the action lasts. An existing destination is never
// replaced: the request is answered Conflict. Each action is complete or
// leaves nothing: a copy is written into a file without a name and named
// only when whole; a move is one rename that does not replace.
int TOBEXServerConnection::HandleAction(std::span<const uint8_t> packet) {
  if (Mode != ModeFolderBrowsing) {
    Respond(RspNotAcceptable);
    Log("ACTION not acceptable in Inbox mode");
    return RspNotAcceptable;
  }
  ActionRequest request;
  TOBEXTransportBase& link = Link();
  int result = 0;
  // A request too long for one packet comes in several; each but the last
  // is answered Continue.
  for (;;) {
    HeaderIndex index;
    if (IndexHeaders(packet, RequestHeadersOffset, index) < 0) {
      result = RspBadRequest;
      break;
    }
    Gather(packet, index, request);
    if (packet[0] == OpActionFinal) break;
    Respond(RspContinue);
    if (const int received = link.ReceivePacket(); received <= 0) {
      Log(Describe(request) + " : " + ResultText(ResultNoResponse));
      return ResultNoResponse;
    }
    packet = link.ReceivedPacket();
    if (packet[0] == OpAbort) {
      Respond(RspSuccess);
      Log(Describe(request) + " : " + ResultText(ResultAborted));
      return ResultAborted;
    }
    if (packet[0] != OpAction && packet[0] != OpActionFinal) {
      result = RspBadRequest;
      break;
    }
  }

  if (result == 0) {
    if (!request.action) {
      result = RspBadRequest;
    } else if (*request.action != ActionCopy && *request.action != ActionMove) {
      // Permissions are the user's to set on this computer.
      result = RspNotImplemented;
    } else if (request.name.value_or(u"").empty() || request.destName.value_or(u"").empty()) {
      result = RspBadRequest;
    } else {
      result = *request.action == ActionCopy ? CopyObject(*request.name, *request.destName)
                                             : MoveObject(*request.name, *request.destName);
    }
  }
  if (result != ResultNoResponse) Respond(static_cast<uint8_t>(result));
  Log(Describe(request) + " : " + ResultText(result));
  return result;
}

int TOBEXServerConnection::CopyObject(const std::u16string& name, const std::u16string& destName) {
  const std::optional<std::string> from = NameFromHeader(name);
  const std::optional<std::string> to = NameFromHeader(destName);
  if (!from || !to) return RspForbidden;
  ResolvedName source =
      Names.Resolve(CurrentFolder, *from, NameIntent::Read, AllowAccessHiddenFiles);
  if (source.refusal != NameRefusal::None) return AnswerFor(source.refusal);
  // Files only: a folder's copy could not be made whole in one step, and
  // would leave half a tree behind on a full disk.
  if (!S_ISREG(source.status.st_mode)) return RspForbidden;
  // Read as a GET reads it: no session replaces it meanwhile.
  if (::flock(source.handle.Get(), LOCK_SH | LOCK_NB) != 0) return RspForbidden;
  ResolvedName target =
      Names.Resolve(CurrentFolder, *to, NameIntent::Replace, AllowAccessHiddenFiles);
  if (target.refusal != NameRefusal::None) return AnswerFor(target.refusal);
  struct stat there {};
  if (::fstatat(target.folder.Get(), target.leaf.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
    return RspConflict;
  }

  ObjectWriter copy;
  if (const int opened =
          copy.Open(std::move(target.folder), target.leaf, std::move(target.claim),
                    ObjectWriter::Temporary::Unnamed, ObjectWriter::Placement::NewOnly);
      opened < 0) {
    DebugPrintf("Copy: cannot open the copy, errno %d", -opened);
    return AnswerForError(-opened);
  }
  const int copied = CopyContent(source.handle.Get(), copy.Descriptor(),
                                 static_cast<uint64_t>(source.status.st_size),
                                 [this] { return Link().Active.load(); });
  if (copied == -ECONNRESET) return ResultNoResponse;
  if (copied < 0) {
    DebugPrintf("Copy: copying failed, errno %d", -copied);
    return AnswerForError(-copied);
  }
  // The copy is as open to others as its source is, never more than a
  // new file is.
  struct stat made {};
  if (::fstat(copy.Descriptor(), &made) == 0) {
    ::fchmod(copy.Descriptor(), made.st_mode & source.status.st_mode & PermissionBits);
  }
  return AnswerForError(-copy.Commit());
}

int TOBEXServerConnection::MoveObject(const std::u16string& name, const std::u16string& destName) {
  const std::optional<std::string> from = NameFromHeader(name);
  const std::optional<std::string> to = NameFromHeader(destName);
  if (!from || !to) return RspForbidden;
  // The name itself moves, whatever it is: a file, a folder with all it
  // holds, or a link.
  const ResolvedName source =
      Names.Resolve(CurrentFolder, *from, NameIntent::Delete, AllowAccessHiddenFiles);
  if (source.refusal != NameRefusal::None) return AnswerFor(source.refusal);
  if (!source.exists) return RspNotFound;
  const ResolvedName target =
      Names.Resolve(CurrentFolder, *to, NameIntent::Replace, AllowAccessHiddenFiles);
  if (target.refusal != NameRefusal::None) return AnswerFor(target.refusal);

  const int sourceFolder = source.folder.Get();
  const int targetFolder = target.folder.Get();
  const char* sourceLeaf = source.leaf.c_str();
  const char* targetLeaf = target.leaf.c_str();
  if (::renameat2(sourceFolder, sourceLeaf, targetFolder, targetLeaf, RENAME_NOREPLACE) == 0) {
    return RspSuccess;
  }
  if (errno != EINVAL && errno != ENOSYS) return AnswerForError(errno);
  // A file system that cannot promise not to replace (some network mounts):
  // a file gets its second name by a link, which never replaces, and loses
  // the first; a folder is renamed only where nothing is, and a rename never
  // replaces a folder that holds anything. A folder moved into itself fails
  // here too.
  if (S_ISDIR(source.status.st_mode)) {
    struct stat there {};
    if (::fstatat(targetFolder, targetLeaf, &there, AT_SYMLINK_NOFOLLOW) == 0) return RspConflict;
    return ::renameat(sourceFolder, sourceLeaf, targetFolder, targetLeaf) == 0
               ? RspSuccess
               : AnswerForError(errno);
  }
  if (::linkat(sourceFolder, sourceLeaf, targetFolder, targetLeaf, 0) != 0) {
    return AnswerForError(errno);
  }
  ::unlinkat(sourceFolder, sourceLeaf, 0);
  return RspSuccess;
}

}  // namespace quillfern
