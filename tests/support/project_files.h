#pragma once

#include <filesystem>
#include <string>

namespace quillfern::testing {

// The version in the source tree's CMakeLists.txt, project(Quillfern VERSION x.y.z): the one
// the program, its package and its metadata must all show. Empty when there is none.
std::string ProjectVersion(const std::filesystem::path& sourceDir);

}  // namespace quillfern::testing
