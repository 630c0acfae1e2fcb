#include "server/exchange_folder.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/text.h"

namespace quillfern {
namespace fs = std::filesystem;

std::optional<std::string> NameFromHeader(std::u16string_view name) {
  if (name.find(u'\0') != std::u16string_view::npos) return std::nullopt;
  std::optional<std::string> text = Utf16ToUtf8Strict(name);
  if (!text) return std::nullopt;
  for (char& c : *text) {
    if (c == '\\') c = '/';
  }
  return text;
}

bool HoldsSeparator(std::u16string_view name) {
  return name.find_first_of(u"/\\") != std::u16string_view::npos;
}

std::string TargetPath(const std::string& root, const std::string& currentFolder,
                       const std::string& name) {
  std::string path = root + currentFolder;
  if (path.empty() || path.back() != '/') path += '/';
  return path + name;
}

std::string NormalisePath(const std::string& path) {
  std::error_code ec;
  fs::path absolute = fs::path(path).is_absolute() ? fs::path(path) : fs::absolute(path, ec);
  std::string text = absolute.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string NormalisedRoot(const std::string& rootPath) {
  std::string root = NormalisePath(rootPath);
  if (root.empty() || root.back() != '/') root += '/';
  return root;
}

namespace {

bool LexicallyInside(const std::string& root, const std::string& path) {
  // root ends with '/'; the folder itself is given without it.
  return path.compare(0, root.size(), root) == 0 || path == root.substr(0, root.size() - 1);
}

}  // namespace

ExchangeFolder::ExchangeFolder(const std::string& root) : root_(root) {
  char resolved[PATH_MAX];
  if (::realpath(root.c_str(), resolved) != nullptr) {
    realRoot_ = resolved;
    if (realRoot_.back() != '/') realRoot_ += '/';
  }
}

bool ExchangeFolder::Contains(const std::string& normalisedPath) const {
  if (root_.empty() || realRoot_.empty() || !LexicallyInside(root_, normalisedPath)) return false;
  // Only a link below the exchange folder can lead elsewhere: the segments
  // below it are looked at one by one until one does not exist (what does
  // not exist yet holds no links).
  std::string prefix = root_.substr(0, root_.size() - 1);
  size_t start = root_.size();
  while (start < normalisedPath.size()) {
    size_t end = normalisedPath.find('/', start);
    if (end == std::string::npos) end = normalisedPath.size();
    prefix.append(1, '/').append(normalisedPath, start, end - start);
    start = end + 1;
    struct stat status {};
    if (::lstat(prefix.c_str(), &status) != 0) return errno == ENOENT;
    if (S_ISLNK(status.st_mode)) {
      // From here on the deepest part of the path that exists is resolved
      // with all its links. A dangling link fails to resolve and is refused:
      // whoever writes through it creates its target.
      std::string existing = normalisedPath;
      char resolved[PATH_MAX];
      while (::realpath(existing.c_str(), resolved) == nullptr) {
        if (errno != ENOENT || existing.size() <= prefix.size()) return false;
        existing.resize(existing.find_last_of('/'));
      }
      return LexicallyInside(realRoot_, resolved);
    }
  }
  return true;
}

std::string RelativeToRoot(const std::string& root, const std::string& normalisedPath) {
  if (normalisedPath.size() < root.size()) return std::string();
  return normalisedPath.substr(root.size());
}

bool IsHiddenName(std::string_view name) {
  return !name.empty() && name.front() == '.';
}

namespace {

// Whether any '/'-separated segment of the name satisfies the test.
template <typename Test>
bool AnySegment(std::string_view name, Test test) {
  size_t start = 0;
  for (;;) {
    const size_t end = name.find('/', start);
    if (test(name.substr(start, end == std::string_view::npos ? end : end - start))) return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

}  // namespace

bool HasHiddenSegment(std::string_view relativeName) {
  return AnySegment(relativeName, [](std::string_view segment) {
    return IsHiddenName(segment) && segment != "." && segment != "..";
  });
}

bool SegmentsFitFileSystem(std::string_view name) {
  return !AnySegment(name, [](std::string_view segment) { return segment.size() > NAME_MAX; });
}

std::string NameForLog(std::u16string_view name) {
  return ShownText(Utf16ToUtf8(name));
}

}  // namespace quillfern
