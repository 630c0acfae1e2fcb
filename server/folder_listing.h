#pragma once

#include <cstdint>
#include <string>

#include "server/exchange_folder.h"

namespace quillfern {

// Writes the x-obex/folder-listing document of a folder into listing
// (replacing what it held) and returns its size in bytes, or -1 when the
// folder cannot be enumerated. Entries appear in the order the file system
// gives them. The document is well-formed UTF-8 XML whatever names the disk
// holds. With an exchange folder given, links that lead out of it are left
// out: a client could not fetch them, and their targets are none of its
// business.
int64_t BuildFolderListing(bool allowHiddenFiles, const std::string& folderPath,
                           std::string& listing, const ExchangeFolder* exchange = nullptr);

}  // namespace quillfern
