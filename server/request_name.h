#pragma once

#include <string>
#include <string_view>

// Helpers shared by the handlers that take a Name from a peer and look at the disk.
namespace quillfern {

// The Name header as a log line shows it. It never becomes a path, so a lone
// surrogate or a NUL is shown as U+FFFD instead of refused.
std::string NameForLog(std::u16string_view name);

// False when a '/'-separated segment is longer than a file name can be: such
// a name cannot exist, and path resolution fails on it before any test can
// tell inside from outside.
bool SegmentsFitFileSystem(std::string_view name);

}  // namespace quillfern
