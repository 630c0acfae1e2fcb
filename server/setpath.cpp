#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <string>

#include "obex/headers.h"
#include "obex/packet.h"
#include "platform/text.h"
#include "server/exchange_folder.h"
#include "server/name_resolver.h"
#include "server/session.h"

namespace quillfern {
namespace {

constexpr uint8_t FlagBackUp = 0x01;
constexpr uint8_t FlagDoNotCreate = 0x02;
constexpr size_t FlagsOffset = 3;

}  // namespace

NameRefusal TOBEXServerConnection::Enter(const std::string& name) {
  const ResolvedName folder =
      Names.Resolve(CurrentFolder, name, NameIntent::Enter, AllowAccessHiddenFiles);
  if (folder.refusal == NameRefusal::None) CurrentFolder = folder.relative;
  return folder.refusal;
}

NameRefusal TOBEXServerConnection::CreateFolder(const std::string& name) {
  const ResolvedName folder =
      Names.Resolve(CurrentFolder, name, NameIntent::CreateFolder, AllowAccessHiddenFiles);
  if (folder.refusal != NameRefusal::None) return folder.refusal;
  // One level only: the folder that holds the new one must exist.
  if (::mkdirat(folder.folder.Get(), folder.leaf.c_str(), 0777) != 0) return NameRefusal::Unusable;
  CurrentFolder = folder.relative;
  return NameRefusal::None;
}

int TOBEXServerConnection::HandleSetPath(std::span<const uint8_t> packet) {
  if (Mode != ModeFolderBrowsing) {
    Respond(RspNotAcceptable);
    Log("SET_PATH not acceptable in Inbox mode");
    return RspNotAcceptable;
  }
  HeaderIndex index;
  if (packet.size() < SetPathHeadersOffset ||
      IndexHeaders(packet, SetPathHeadersOffset, index) < 0) {
    Respond(RspBadRequest);
    Log("Change folder : " + std::string(ResponseText(RspBadRequest)));
    return RspBadRequest;
  }
  const uint8_t flags = packet[FlagsOffset];
  const std::u16string rawName = GetUnicodeHeader(packet, HdrName, index);
  const std::optional<std::string> name = NameFromHeader(rawName);

  std::string line;
  uint8_t answer;
  if ((flags & FlagDoNotCreate) != 0 && (flags & FlagBackUp) != 0) {
    line = "Change folder to parent : ";
    CurrentFolder = ParentPath(CurrentFolder);
    answer = RspSuccess;
  } else if ((flags & FlagDoNotCreate) != 0 && rawName.empty()) {
    line = "Change folder to root : ";
    CurrentFolder.clear();
    answer = RspSuccess;
  } else {
    // Entering shows the name with its separators read; creating shows it
    // as it came.
    const bool mayCreate = (flags & FlagDoNotCreate) == 0;
    const std::string shown = name && !mayCreate ? ShownText(*name) : NameForLog(rawName);
    line = "Change folder to \"" + shown + "\" : ";
    const bool fits = name && SegmentsFitFileSystem(*name);
    // Where the name leads, and whether it is hidden, is settled before the
    // folder is looked for, so that an answer never tells whether a folder
    // outside the exchange folder, or a hidden one, exists.
    const NameRefusal entered =
        fits ? Enter(*name) : (name ? NameRefusal::Missing : NameRefusal::Outside);
    if (entered == NameRefusal::None) {
      answer = RspSuccess;
    } else if (entered == NameRefusal::Outside || entered == NameRefusal::Hidden) {
      answer = RspForbidden;
    } else if (!mayCreate) {
      answer = RspNotFound;
    } else {
      const NameRefusal created = fits ? CreateFolder(*name) : NameRefusal::Unusable;
      if (created == NameRefusal::Outside || created == NameRefusal::Hidden) {
        answer = RspForbidden;
      } else {
        line = "Create folder \"" + shown + "\" : ";
        answer = created == NameRefusal::None ? RspSuccess : RspNotAcceptable;
      }
    }
  }
  Respond(answer);
  Log(line + std::string(ResponseText(answer)));
  return answer;
}

}  // namespace quillfern
