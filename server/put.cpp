#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

#include "obex/headers.h"
#include "obex/packet.h"
#include "platform/debug.h"
#include "platform/unique_fd.h"
#include "server/exchange_folder.h"
#include "server/name_resolver.h"
#include "server/object_writer.h"
#include "server/session.h"

namespace quillfern {
namespace {

// Objects of 2 GiB and more, by their declared Length, are refused.
constexpr uint32_t MaxObjectLength = 0x7FFFFFFF;
// A continuation packet's head and its data header's identifier and length.
constexpr size_t BodyPrefixSize = ObexPacketHeadSize + 3;

bool IsDataHeader(uint8_t id) {
  return id == HdrBody || id == HdrEndOfBody;
}

// A PUT continuation whose only header is its data, a Body or an End of
// Body, that fills the packet to its end.
bool IsBodyOnlyPacket(std::span<const uint8_t> prefix, size_t length) {
  if (prefix.size() < BodyPrefixSize || (prefix[0] != OpPut && prefix[0] != OpPutFinal)) {
    return false;
  }
  const size_t headerLength = (size_t{prefix[4]} << 8) | prefix[5];
  return IsDataHeader(prefix[3]) && headerLength == length - ObexPacketHeadSize;
}

// Every Body and End-of-Body header of a packet carries data, in the order
// they come, whether the packet is final or not: whatever the client sent
// is stored, or the client hears that it was not. The bytes written, or -1.
int64_t WriteData(std::span<const uint8_t> packet, const HeaderIndex& index, ObjectWriter& writer) {
  int64_t written = 0;
  for (size_t i = 0; i < index.count; ++i) {
    if (!IsDataHeader(index.entries[i].id)) continue;
    const auto data = ByteSequenceView(packet, index.entries[i].offset);
    if (!data.empty() && writer.Write(data) != static_cast<int>(data.size())) {
      DebugPrintf("Put: write failed, errno %d", writer.LastError());
      writer.Discard();
      return -1;
    }
    written += static_cast<int64_t>(data.size());
  }
  return written;
}

// The folder part of a name below the exchange folder, with its '/'.
std::string FolderOf(const std::string& relative) {
  const size_t slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash + 1);
}

// Ends the transfer whatever way HandlePut is left, an exception included,
// so that its finished Progress is always told.
class TransferEnd {
 public:
  explicit TransferEnd(TOBEXServerConnection& session) : session_(session) {}
  ~TransferEnd() {
    try {
      session_.EndTransfer();
    } catch (...) {
      DebugOutput("the end of a transfer could not be told");
    }
  }
  TransferEnd(const TransferEnd&) = delete;
  TransferEnd& operator=(const TransferEnd&) = delete;

 private:
  TOBEXServerConnection& session_;
};

// Deleting a file that its owner made read-only, or one another session is
// sending, would pull it from under the user or that transfer.
int RemoveFile(int folder, const std::string& name, const struct stat& info) {
  UniqueFd held;
  if (S_ISREG(info.st_mode)) {
    if (::faccessat(folder, name.c_str(), W_OK, 0) != 0) return RspForbidden;
    held.Reset(::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (held && ::flock(held.Get(), LOCK_EX | LOCK_NB) != 0) return RspForbidden;
  }
  if (::unlinkat(folder, name.c_str(), 0) != 0) {
    DebugPrintf("Delete: unlink failed, errno %d", errno);
    return RspForbidden;
  }
  return RspSuccess;
}

// Removes what the name leads to; the answer, and the start of the log line
// in line.
int Delete(const ResolvedName& target, const std::string& shownName, std::string& line) {
  if (target.refusal == NameRefusal::Receiving) {
    // An object is arriving under that name: a file, and a busy one.
    line = "Delete file " + shownName + " : ";
    return RspForbidden;
  }
  if (target.refusal != NameRefusal::None || !target.exists) {
    line = "Delete " + shownName + " : ";
    return RspNotFound;
  }
  if (S_ISDIR(target.status.st_mode)) {
    line = "Delete directory " + shownName + " : ";
    // Only an empty folder goes.
    return ::unlinkat(target.folder.Get(), target.leaf.c_str(), AT_REMOVEDIR) == 0 ? RspSuccess
                                                                                   : RspForbidden;
  }
  line = "Delete file " + shownName + " : ";
  return RemoveFile(target.folder.Get(), target.leaf, target.status);
}

}  // namespace

int TOBEXServerConnection::HandlePut(std::span<const uint8_t> packet) {
  const bool final = packet[0] == OpPutFinal;
  HeaderIndex index;
  // A malformed header list yields an empty index, so it reads as a PUT
  // without a Name.
  IndexHeaders(packet, RequestHeadersOffset, index);
  SingleResponse = SingleResponseRequested(packet, index);
  const std::u16string name = GetUnicodeHeader(packet, HdrName, index);
  if (name.empty()) {
    // Nothing names the object. The client hears so at once instead of
    // waiting for its own time limit; no line is logged.
    Respond(RspBadRequest);
    return RspBadRequest;
  }
  const auto refuse = [this](uint8_t code) {
    Respond(code);
    Log(std::string(ResponseText(code)));
    return code;
  };
  // Only a final PUT without any data header deletes: a client that sends
  // data wants them stored, whichever of the two headers holds them.
  const bool remove = final && !HasHeader(index, HdrBody) && !HasHeader(index, HdrEndOfBody);
  const std::string shownName = "\"" + NameForLog(name) + "\"";
  // An Object Push name is one name: the service keeps to the top level of
  // the exchange folder, as its refusal of SETPATH does.
  if (Mode == ModeInbox && HoldsSeparator(name)) {
    Respond(RspForbidden);
    Log((remove ? "Delete " : "Put ") + shownName + " : " + ResultText(RspForbidden));
    return RspForbidden;
  }
  const std::optional<uint64_t> declared =
      HasHeader(index, HdrLength)
          ? std::optional<uint64_t>(GetFourByteHeader(packet, HdrLength, index))
          : std::nullopt;
  // The push policy comes first: a device that may not push learns nothing
  // of what the folder holds.
  const int refused = remove ? DeletePermission() : PushPermission(NameForLog(name), declared);
  if (refused != 0) {
    if (refused != ResultQuestionAbandoned) Respond(RspForbidden);
    Log((remove ? "Delete " : "Put ") + shownName + " : " + RefusalText(refused));
    return refused;
  }
  const std::optional<std::string> fileName = NameFromHeader(name);
  if (!fileName) return refuse(RspForbidden);
  // Object Push keeps an earlier file of the name unless the user chose
  // otherwise: two phones that push IMG_0001.jpg keep both pictures.
  const NameIntent intent = remove            ? NameIntent::Delete
                            : ReplaceExisting ? NameIntent::Replace
                                              : NameIntent::Add;
  ResolvedName target = Names.Resolve(CurrentFolder, *fileName, intent, AllowAccessHiddenFiles);
  // Hidden names are refused whether they exist or not: a dot-file created
  // here would be hidden from the moment it exists, and a new file inside an
  // existing hidden folder (.ssh, .config/autostart) is just what hiding
  // those folders is meant to protect.
  if (target.refusal == NameRefusal::Outside || target.refusal == NameRefusal::Hidden) {
    return refuse(RspForbidden);
  }

  int result;
  if (remove) {
    std::string line;
    result = Delete(target, shownName, line);
    Respond(static_cast<uint8_t>(result));
    Log(line + std::string(ResponseText(result)));
    return result;
  }

  ObjectWriter writer;
  int opened = target.refusal == NameRefusal::Receiving ? -EWOULDBLOCK : -target.error;
  if (target.refusal == NameRefusal::None) {
    opened = writer.Open(
        std::move(target.folder), target.leaf, std::move(target.claim),
        ObjectWriter::Temporary::Unnamed,
        ReplaceExisting ? ObjectWriter::Placement::Replace : ObjectWriter::Placement::KeepExisting);
  }
  if (opened < 0) {
    DebugPrintf("Put: cannot open the file, errno %d", -opened);
    result = RspForbidden;
    Respond(RspForbidden);
  } else {
    TransferEnd transferEnd(*this);
    BeginTransfer(NameForLog(name), TransferDirection::Receiving, declared);
    const auto declaredLength = static_cast<uint32_t>(declared.value_or(0));
    const int64_t written = WriteData(packet, index, writer);
    if (written < 0) {
      result = RspEntityTooLarge;
      Respond(RspEntityTooLarge);
    } else {
      TransferMoved(static_cast<uint64_t>(written));
      if (final) {
        result = FinishObject(writer);
      } else {
        // The packet lives in the transport's buffer, which the continuation
        // packets overwrite: nothing of it is used past this point. In Single
        // Response Mode this answer agrees to it, and the client then streams the
        // rest without waiting for answers.
        if (SingleResponse) {
          RespondAgreeing(RspContinue);
        } else {
          Respond(RspContinue);
        }
        result = ReceiveObject(declaredLength, writer);
      }
    }
    EndTransfer();
  }
  std::string line = "Put " + shownName;
  const std::string& stored = writer.StoredName();
  if (result == RspSuccess && stored != target.leaf) line += " stored as \"" + stored + "\"";
  Log(line + " : " + ResultText(LoggedResult(result)));
  if (result == RspSuccess) {
    ServerEvent received;
    received.kind = ServerEventKind::Received;
    received.object = NameForLog(name);
    received.path = RootPath + FolderOf(target.relative) + stored;
    received.address = PeerAddress;
    Server.SessionEvent(*this, std::move(received));
  }
  return result;
}

int TOBEXServerConnection::FinishObject(ObjectWriter& writer) {
  // The last gathered pieces are written first; a disk that cannot take
  // them is told like any write that falls short.
  if (const int flushed = writer.Flush(); flushed < 0) {
    DebugPrintf("Put: write failed, errno %d", -flushed);
    writer.Discard();
    Respond(RspEntityTooLarge);
    return RspEntityTooLarge;
  }
  // The client hears Success only once the object is under its name.
  const uint8_t answer = writer.Commit() == 0 ? RspSuccess : RspForbidden;
  Respond(answer);
  return answer;
}

int TOBEXServerConnection::ReceiveObject(uint32_t declaredLength, ObjectWriter& writer) {
  if (!Connected.load()) return ResultNoResponse;
  TOBEXTransportBase& link = Link();
  // An error is answered at once, in Single Response Mode too; the client may have
  // streamed further packets of the object meanwhile, which then get no answer.
  const auto refuse = [this](uint8_t code, uint8_t opcode) {
    Respond(code);
    if (SingleResponse && opcode == OpPut) ExpectLeftovers(Leftovers::Put);
  };
  if (declaredLength >= MaxObjectLength) {
    // The client already has its 0x90 and sends its next packet; the refusal
    // answers that one, so the client learns of it and the packet is not
    // taken for a new request.
    writer.Discard();
    if (link.ReceivePacket() > 0) {
      const uint8_t opcode = link.ReceivedPacket()[0];
      refuse(opcode == OpAbort ? RspSuccess : RspEntityTooLarge, opcode);
    }
    return ResultObjectTooLarge;
  }
  // In Single Response Mode only the final packet is answered.
  const auto acknowledge = [this] {
    if (!SingleResponse) Respond(RspContinue);
  };
  // Every packet is taken in place from the transport's own buffer and its
  // data written from there: one buffer for the whole transfer. A packet
  // that is nothing but its body goes from the socket to the file without
  // passing through the buffer at all, where the transport can do that.
  const bool spliceBodies = link.CanReceiveIntoFile();
  for (;;) {
    const int received =
        spliceBodies ? link.ReceivePacketPrefix(BodyPrefixSize) : link.ReceivePacket();
    if (received <= 0) return received;
    if (TransferCancelled()) {
      // The packet is taken off the link whole, so the next request starts
      // where it should; its data go nowhere.
      if (!link.PacketComplete() && link.ReceivePacket() <= 0) {
        writer.Discard();
        return ResultCancelled;
      }
      writer.Discard();
      refuse(RspForbidden, link.ReceivedPacket()[0]);
      return ResultCancelled;
    }
    if (!link.PacketComplete()) {
      const auto prefix = link.PacketPrefix();
      if (IsBodyOnlyPacket(prefix, static_cast<size_t>(received))) {
        const uint8_t opcode = prefix[0];
        // What was gathered goes first; a failure to write it is answered
        // once this packet has been taken off the link.
        const bool flushed = writer.Flush() == 0;
        bool fileShort = false;
        if (link.ReceivePacketRestIntoFile(BodyPrefixSize, writer.Descriptor(), fileShort) < 0) {
          return ResultNoResponse;
        }
        if (fileShort || !flushed) {
          writer.Discard();
          refuse(RspEntityTooLarge, opcode);
          return RspEntityTooLarge;
        }
        TransferMoved(static_cast<uint64_t>(received) - BodyPrefixSize);
        if (opcode == OpPutFinal) return FinishObject(writer);
        acknowledge();
        continue;
      }
      const int rest = link.ReceivePacket();
      if (rest <= 0) return rest;
    }
    const auto packet = link.ReceivedPacket();
    const uint8_t opcode = packet[0];
    if (opcode == OpAbort) {
      writer.Discard();
      Respond(RspSuccess);
      return ResultAborted;
    }
    HeaderIndex index;
    // A continuation whose headers cannot be read would leave a gap in the
    // file that the client never hears about.
    if ((opcode != OpPut && opcode != OpPutFinal) ||
        IndexHeaders(packet, RequestHeadersOffset, index) < 0) {
      writer.Discard();
      refuse(RspBadRequest, opcode);
      return RspBadRequest;
    }
    // A write that fails outright is answered like a short one: on this
    // system both mean the disk took less than it was given.
    const int64_t written = WriteData(packet, index, writer);
    if (written < 0) {
      refuse(RspEntityTooLarge, opcode);
      return RspEntityTooLarge;
    }
    TransferMoved(static_cast<uint64_t>(written));
    if (opcode == OpPutFinal) return FinishObject(writer);
    acknowledge();
  }
}

}  // namespace quillfern
