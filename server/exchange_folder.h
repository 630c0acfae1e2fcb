#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillfern {

// Turns a Name header into a file name: backslashes (sent by peers of other
// systems) read as '/'. Nothing when the name holds a NUL or is not valid
// UTF-16: such a name is never turned into a path.
std::optional<std::string> NameFromHeader(std::u16string_view name);

// Whether the name holds a folder separator, '/' or a backslash: it names
// something inside a folder, not a single object.
bool HoldsSeparator(std::u16string_view name);

// RootPath, then CurrentFolder, then a '/' unless the text so far ends with
// one, then the name: how every request builds its target path.
std::string TargetPath(const std::string& root, const std::string& currentFolder,
                       const std::string& name);

// The absolute path with ".", ".." and repeated separators resolved, on the
// text alone; no trailing '/'.
std::string NormalisePath(const std::string& path);

// The exchange folder normalised as the requested paths are, ending with '/',
// so a root given as "/home/u/./Exchange" still contains its own files.
std::string NormalisedRoot(const std::string& rootPath);

// The exchange folder as the sessions test requested paths against it.
class ExchangeFolder {
 public:
  ExchangeFolder() = default;
  explicit ExchangeFolder(const std::string& root);  // normalised, ending with '/'

  // The exchange-folder test on a normalised path: it is the exchange folder
  // itself or lies below it, compared exactly (Linux names are
  // case-sensitive). Links are followed as far as the path exists, so a link
  // inside the folder that leads outside is answered as outside. This test
  // gives the answers; what keeps every file operation inside is the walk
  // beneath the folder's descriptor (NameResolver).
  bool Contains(const std::string& normalisedPath) const;

 private:
  std::string root_;
  std::string realRoot_;  // with its links resolved once, ending with '/'
};

// The path relative to the exchange folder ("" for the folder itself);
// only for paths that passed the test above.
std::string RelativeToRoot(const std::string& root, const std::string& normalisedPath);

// Hidden: the name begins with a dot. A name given by a peer is hidden when
// any of its segments is.
bool IsHiddenName(std::string_view name);
bool HasHiddenSegment(std::string_view relativeName);

// False when a '/'-separated segment is longer than a file name can be: such
// a name cannot exist, and path resolution fails on it before any test can
// tell inside from outside.
bool SegmentsFitFileSystem(std::string_view name);

// The Name header as a log line, a notification or a window shows it: a lone
// surrogate becomes U+FFFD, and every control or format character a visible
// escape ("\u000A"), so a name stays on its one line and drives no terminal.
std::string NameForLog(std::u16string_view name);

}  // namespace quillfern
