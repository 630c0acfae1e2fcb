#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quillfern {

// Decides whether an entry of the listed folder that is (or may be) a link
// is listed, given its name.
using LinkFilter = std::function<bool(std::string_view name)>;

// Writes the x-obex/folder-listing document of the folder open as folder
// (a descriptor it reads through a copy of its own) into listing, replacing
// what it held, and returns its size in bytes, or -1 when the folder cannot
// be enumerated. Entries appear in the order the file system gives them. The
// document is well-formed UTF-8 XML whatever names the disk holds. With a
// filter given, links it refuses are left out: a client could not fetch
// what they lead to, and their targets are none of its business.
int64_t BuildFolderListing(bool allowHiddenFiles, int folder, std::string& listing,
                           const LinkFilter& keepLink = nullptr);

}  // namespace quillfern
