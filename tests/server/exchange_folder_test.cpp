#include "server/exchange_folder.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

// Links planted inside the exchange folder, pointing in and out of it.
class ExchangeFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path root = folder_.Exchange();
    fs::create_directory(root / "sub");
    fs::create_directory(root / "b");
    fs::create_directory_symlink(root / "sub", root / "inward");
    fs::create_directory_symlink(folder_.Outside(), root / "outward");
    fs::create_symlink(folder_.Outside() / "missing.txt", root / "dangling");
    fs::create_directory_symlink(root / "b", root / "a");
    fs::create_directory_symlink(folder_.Outside(), root / "b" / "c");
  }

  std::string Path(const std::string& relative) const {
    return NormalisePath((folder_.Exchange() / relative).string());
  }

  TempFolder folder_;
};

TEST_F(ExchangeFolderTest, OnlyPathsThatStayInsideThroughEveryLinkAreInside) {
  const ExchangeFolder exchange(NormalisedRoot(folder_.Exchange().string()));
  struct Case {
    std::string relative;
    bool inside;
  };
  const std::vector<Case> cases = {
      {".", true},
      {"new.txt", true},
      {"sub/new.txt", true},
      {"missing/deeper/new.txt", true},
      {"inward/new.txt", true},
      {"../outside/keep.txt", false},
      {"outward", false},
      {"outward/keep.txt", false},
      {"outward/new.txt", false},
      {"dangling", false},
      {"a/c/new.txt", false},
      {"a/new.txt", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(exchange.Contains(Path(c.relative)), c.inside) << c.relative;
  }
}

TEST_F(ExchangeFolderTest, ComparesNamesExactlyWithCase) {
  const fs::path root = folder_.Base() / "Exchange";
  fs::create_directory(root);
  const ExchangeFolder exchange(NormalisedRoot(root.string()));
  EXPECT_TRUE(exchange.Contains(NormalisePath((root / "x").string())));
  EXPECT_FALSE(exchange.Contains(NormalisePath((folder_.Exchange() / "x").string())));
  EXPECT_FALSE(exchange.Contains(NormalisePath((folder_.Base() / "Exchange2" / "x").string())));
}

}  // namespace
}  // namespace quillfern::testing
