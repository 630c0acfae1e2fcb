#pragma once

#include <cstdint>
#include <string>

namespace quillfern {

// Writes the x-obex/folder-listing document of a folder into listing
// (replacing what it held) and returns its size in bytes, or -1 when the
// folder cannot be enumerated. Entries appear in the order the file system
// gives them. The document is well-formed UTF-8 XML whatever names the disk
// holds.
int64_t BuildFolderListing(bool allowHiddenFiles, const std::string& folderPath,
                           std::string& listing);

}  // namespace quillfern
