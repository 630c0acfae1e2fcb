#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quillfern::testing {

// A fresh folder under /tmp with an exchange folder "exchange" in it and a
// sibling "outside" that no request may ever touch. Removed at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Base() const { return base_; }
  std::filesystem::path Exchange() const { return base_ / "exchange"; }
  std::filesystem::path Outside() const { return base_ / "outside"; }

  static void WriteFile(const std::filesystem::path& path, const std::string& content);
  static std::string ReadFile(const std::filesystem::path& path);
  // Every folder ("docs/") and file ("docs/a.txt=content") below base, hidden names
  // included, sorted: whatever a request leaves behind shows here.
  static std::vector<std::string> Snapshot(const std::filesystem::path& base);

 private:
  std::filesystem::path base_;
};

}  // namespace quillfern::testing
