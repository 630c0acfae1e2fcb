#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Whole-file reads and crash-safe replacement for the program's small per-user files.
namespace quillfern {

enum class FileReadResult {
  Read,     // bytes hold the file's content
  Missing,  // no file of that name (or a link that leads nowhere)
  Failed,   // the file exists but could not be read; error says why
};

// Reads a regular file of at most maxBytes (links followed). Anything else is not opened
// at all and fails: a FIFO would wait for a writer, a device could run on for ever or
// change something by being opened, a folder holds no text. error then gives the reason,
// without the path ("not a regular file but a FIFO", "larger than 1048576 bytes", or the
// system's own text).
FileReadResult ReadWholeFile(const std::filesystem::path& path, std::string& bytes,
                             std::string& error, size_t maxBytes);

// Creates the folder and any missing folder above it, each with the given mode (the
// user's per-user folders are private: 0700). True when the folder exists afterwards.
bool CreateFolders(const std::filesystem::path& folder, mode_t mode, std::string& error);

// Writes the bytes to a new file in the same folder, flushes it to the disk and renames
// it over path, so that a crash or a full disk leaves either the old file or the new one,
// never a part of either. A symbolic link at path is followed and the file it leads to is
// replaced, so a settings file kept elsewhere and linked into place stays linked. A file
// that existed keeps its permission bits; a new one gets 0666 less the umask. The folder
// must exist. On failure nothing at path changed and no temporary file is left.
bool ReplaceFile(const std::filesystem::path& path, std::string_view bytes, std::string& error);

// Removes the file; one that is not there counts as removed.
bool RemoveFileIfPresent(const std::filesystem::path& path, std::string& error);

}  // namespace quillfern
