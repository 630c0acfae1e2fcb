#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <string>

#include "obex/headers.h"
#include "obex/packet.h"
#include "server/exchange_folder.h"
#include "server/session.h"

namespace quillfern {
namespace {

constexpr uint8_t FlagBackUp = 0x01;
constexpr uint8_t FlagDoNotCreate = 0x02;
constexpr size_t FlagsOffset = 3;

bool IsFolder(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

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
    const std::string shown = name && !mayCreate ? *name : NameForLog(rawName);
    line = "Change folder to \"" + shown + "\" : ";
    const std::string path =
        name ? NormalisePath(TargetPath(RootPath, CurrentFolder, *name)) : std::string();
    const bool fits = name && SegmentsFitFileSystem(*name);
    // Tested before the folder is looked for, so that an answer never tells
    // whether a folder outside the exchange folder exists.
    if (!name || (fits && !Exchange.Contains(path))) {
      answer = RspForbidden;
    } else if (fits && IsFolder(path)) {
      CurrentFolder = RelativeToRoot(RootPath, path);
      answer = RspSuccess;
    } else if (!mayCreate) {
      answer = RspNotFound;
    } else {
      line = "Create folder \"" + shown + "\" : ";
      if (fits && ::mkdir(path.c_str(), 0777) == 0) {
        CurrentFolder = RelativeToRoot(RootPath, path);
        answer = RspSuccess;
      } else {
        answer = RspNotAcceptable;
      }
    }
  }
  Respond(answer);
  Log(line + std::string(ResponseText(answer)));
  return answer;
}

}  // namespace quillfern
