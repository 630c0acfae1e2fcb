#include "tests/support/project_files.h"

#include "tests/support/temp_folder.h"

namespace quillfern::testing {

std::string ProjectVersion(const std::filesystem::path& sourceDir) {
  const std::string text = TempFolder::ReadFile(sourceDir / "CMakeLists.txt");
  const std::string opening = "project(Quillfern VERSION ";
  const size_t start = text.find(opening);
  if (start == std::string::npos) return {};
  const size_t from = start + opening.size();
  return text.substr(from, text.find_first_of(" )", from) - from);
}

}  // namespace quillfern::testing
