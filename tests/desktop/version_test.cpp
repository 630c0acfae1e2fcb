#include <gtest/gtest.h>

#include <string>

#include "app/desktop/desktop_version.h"
#include "tests/support/project_files.h"

namespace quillfern::testing {
namespace {

// The about box and --version show what CMakeLists.txt's project() says, the one place a
// release changes the version.
TEST(ProgramVersion, IsTheProjectVersion) {
  const std::string version = ProjectVersion(QUILLFERN_SOURCE_DIR);
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(std::string(ProgramVersion()), version);
}

}  // namespace
}  // namespace quillfern::testing
