#include "tests/support/temp_folder.h"

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quillfern::testing {

TempFolder::TempFolder() {
  char pattern[] = "/tmp/quillfern-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  base_ = pattern;
  std::filesystem::create_directory(Exchange());
  std::filesystem::create_directory(Outside());
  WriteFile(Outside() / "keep.txt", "untouched");
}

TempFolder::~TempFolder() {
  std::error_code ec;
  // Read-only folders made by a test must not stop the clean-up.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(base_, ec)) {
    std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(base_, ec);
}

void TempFolder::WriteFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string TempFolder::ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> TempFolder::Snapshot(const std::filesystem::path& base) {
  std::vector<std::string> entries;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(base, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    const std::string relative = it->path().lexically_relative(base).string();
    entries.push_back(it->is_directory() ? relative + "/" : relative + "=" + ReadFile(it->path()));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace quillfern::testing
