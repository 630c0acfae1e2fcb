#include "server/folder_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <ctime>
#include <memory>
#include <new>
#include <string_view>

#include "obex/packet.h"
#include "platform/text.h"
#include "platform/unique_fd.h"
#include "server/exchange_folder.h"

namespace quillfern {
namespace {

constexpr std::string_view ListingHead =
    "<?xml version=\"1.0\"?>\r\n"
    "<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\r\n"
    "<folder-listing version=\"1.0\">\r\n";
constexpr std::string_view ListingTail = "</folder-listing>";
constexpr size_t MaxNameBytes = 511;
constexpr std::string_view Replacement = "\xEF\xBF\xBD";  // U+FFFD
// Room for a few hundred entries before the text has to grow.
constexpr size_t InitialCapacity = 64 * 1024;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// Characters XML 1.0 does not allow anywhere in a document, not even as
// references: C0 controls other than TAB, LF and CR, and U+FFFE/U+FFFF.
// valid must be well-formed UTF-8. Returns the length of such a character
// at i, or 0.
size_t ForbiddenAt(std::string_view valid, size_t i) {
  const auto byte = static_cast<uint8_t>(valid[i]);
  if (byte < 0x20) return byte == '\t' || byte == '\n' || byte == '\r' ? 0 : 1;
  if (byte == 0xEF && i + 2 < valid.size() && static_cast<uint8_t>(valid[i + 1]) == 0xBF &&
      (static_cast<uint8_t>(valid[i + 2]) & 0xFE) == 0xBE) {
    return 3;
  }
  return 0;
}

// A name from the disk as the listing shows it: well-formed UTF-8 without
// forbidden characters, at most MaxNameBytes long, cut between characters.
// clean is scratch space reused across entries.
void CleanName(std::string_view raw, std::string& clean) {
  std::string repaired;
  std::string_view valid = raw;
  if (!IsValidUtf8(raw)) {
    repaired = SanitizeUtf8(raw);
    valid = repaired;
  }
  clean.clear();
  for (size_t i = 0; i < valid.size();) {
    const size_t forbidden = ForbiddenAt(valid, i);
    if (forbidden != 0) {
      clean += Replacement;
      i += forbidden;
    } else {
      clean += valid[i++];
    }
  }
  if (clean.size() > MaxNameBytes) {
    size_t cut = MaxNameBytes;
    while (cut > 0 && (static_cast<uint8_t>(clean[cut]) & 0xC0) == 0x80) --cut;
    clean.resize(cut);
  }
}

// TAB, LF and CR are written as references: a parser would otherwise turn
// them into spaces, and the client could not ask for the file by its name.
void AppendAttributeValue(std::string& out, std::string_view clean) {
  for (const char c : clean) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        out += c;
        break;
    }
  }
}

// Nearly every name is plain ASCII that needs neither repair nor escaping;
// such a name is copied whole.
bool IsPlainName(std::string_view raw) {
  if (raw.size() > MaxNameBytes) return false;
  for (const char c : raw) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x20 || byte >= 0x80 || c == '&' || c == '<' || c == '"') return false;
  }
  return true;
}

void AppendName(std::string& out, std::string_view raw, std::string& scratch) {
  if (IsPlainName(raw)) {
    out += raw;
    return;
  }
  CleanName(raw, scratch);
  AppendAttributeValue(out, scratch);
}

void AppendTime(std::string& out, time_t seconds) {
  std::tm utc{};
  if (::gmtime_r(&seconds, &utc) == nullptr) {
    const time_t epoch = 0;
    ::gmtime_r(&epoch, &utc);
  }
  out += FormatObexTime(utc);
}

void AppendNumber(std::string& out, uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

}  // namespace

int64_t BuildFolderListing(bool allowHiddenFiles, int folder, std::string& listing,
                           const LinkFilter& keepLink) {
  try {
    // The copy shares the caller's file position, which nothing else uses.
    UniqueFd copy(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    if (!copy) return -1;
    std::unique_ptr<DIR, DirCloser> dir(::fdopendir(copy.Get()));
    if (!dir) return -1;
    const int dirFd = copy.Release();  // the DIR owns it now

    // Built aside, so that a folder that fails part way leaves listing as it was.
    std::string document;
    document.reserve(InitialCapacity);
    document += ListingHead;
    std::string scratch;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir.get());
      if (entry == nullptr) {
        if (errno != 0) return -1;
        break;
      }
      const std::string_view name(entry->d_name);
      if (name.empty() || name == "." || name == "..") continue;
      if (!allowHiddenFiles && IsHiddenName(name)) continue;
      // Links are shown as what they lead to; one that leads nowhere, or an
      // entry removed meanwhile, has nothing to show.
      if (keepLink && (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) && !keepLink(name)) {
        continue;
      }
      struct stat status {};
      if (::fstatat(dirFd, entry->d_name, &status, AT_NO_AUTOMOUNT) != 0) continue;
      const bool isFolder = S_ISDIR(status.st_mode);
      // FIFOs, sockets and devices are not objects a client could fetch.
      if (!isFolder && !S_ISREG(status.st_mode)) continue;

      if (isFolder) {
        document += "\t<folder name=\"";
        AppendName(document, name, scratch);
        document += "\" modified=\"";
        AppendTime(document, status.st_mtime);
        document += "\" user-perm=\"";
        document += ::faccessat(dirFd, entry->d_name, W_OK, 0) == 0 ? "RWD" : "R";
        document += "\" />\r\n";
      } else {
        document += "\t<file name=\"";
        AppendName(document, name, scratch);
        document += "\" size=\"";
        AppendNumber(document, static_cast<uint64_t>(status.st_size));
        document += "\" modified=\"";
        AppendTime(document, status.st_mtime);
        document += "\" user-perm=\"RWD\" />\r\n";
      }
    }
    document += ListingTail;
    listing = std::move(document);
    return static_cast<int64_t>(listing.size());
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

}  // namespace quillfern
