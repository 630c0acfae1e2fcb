#include <gtest/gtest.h>

#include <string>

#include "app/desktop/desktop_version.h"

namespace quillfern {
namespace {

TEST(ProgramVersion, ComesFromTheBuild) {
  EXPECT_EQ(std::string(ProgramVersion()), "0.1.0");
}

}  // namespace
}  // namespace quillfern
