#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "obex/packet.h"
#include "tests/support/obex_client.h"
#include "tests/support/server_thread_runner.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint8_t EnterOnly = 0x02;
constexpr uint8_t Parent = 0x03;
constexpr uint8_t EnterOrCreate = 0x00;
constexpr uint8_t BackUpOrCreate = 0x01;

// Every folder holds a file naming it, so a GET tells which folder is current.
const std::vector<std::string> Folders = {"", "docs", "docs/2024", "a", "a/b"};
const std::string RootMarker = "(root)";

class SetPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& folder : Folders) {
      fs::create_directories(folder_.Exchange() / folder);
      TempFolder::WriteFile(folder_.Exchange() / folder / "where.txt",
                            folder.empty() ? RootMarker : folder);
    }
  }

  void ConnectClient(uint8_t mode = ModeFolderBrowsing) {
    server_ = std::make_unique<ServerThreadRunner>(
        ServerOptions{.root = folder_.Exchange(), .mode = mode});
    ASSERT_EQ(client_.Open("127.0.0.1", server_->Port()), 0);
    ASSERT_EQ(client_.Connect().Code(), RspSuccess);
    ASSERT_TRUE(server_->WaitForLines(1));
  }

  // Sends one SETPATH and returns its answer code; its log line goes to lastLine_.
  uint8_t SetPath(uint8_t flags, std::optional<std::u16string> name) {
    const Response response = client_.SetPath(flags, name.value_or(u""), name.has_value());
    ++lines_;
    lastLine_ = server_->WaitForLines(lines_) ? server_->Lines()[lines_ - 1].substr(2) : "<none>";
    return response.Code();
  }

  std::string CurrentFolder() {
    Bytes object;
    const Response response = client_.Get(u"where.txt", "", object);
    ++lines_;
    server_->WaitForLines(lines_);
    if (response.Code() != RspSuccess) return "<no marker>";
    return std::string(object.begin(), object.end());
  }

  void GoToRoot() { ASSERT_EQ(SetPath(EnterOnly, std::nullopt), RspSuccess); }

  void OutsideIsUntouched() {
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(folder_.Outside())) entries.push_back(entry);
    EXPECT_EQ(entries, std::vector<fs::path>{folder_.Outside() / "keep.txt"});
    EXPECT_EQ(TempFolder::ReadFile(folder_.Outside() / "keep.txt"), "untouched");
    std::vector<fs::path> base;
    for (const auto& entry : fs::directory_iterator(folder_.Base())) base.push_back(entry);
    std::sort(base.begin(), base.end());
    EXPECT_EQ(base, (std::vector<fs::path>{folder_.Exchange(), folder_.Outside()}));
  }

  TempFolder folder_;
  std::unique_ptr<ServerThreadRunner> server_;
  ObexClient client_;
  size_t lines_ = 1;  // the connect line
  std::string lastLine_;
};

TEST_F(SetPathTest, NavigatesAsTheFlagsAndNameSay) {
  struct Case {
    std::vector<std::u16string> startIn;  // entered one by one from the root
    uint8_t flags;
    std::optional<std::u16string> name;
    uint8_t code;
    std::string logLine;
    std::string currentAfter;
  };
  const std::vector<Case> cases = {
      {{}, EnterOnly, u"docs", RspSuccess, "Change folder to \"docs\" : Success", "docs"},
      {{u"docs", u"2024"},
       Parent,
       std::nullopt,
       RspSuccess,
       "Change folder to parent : Success",
       "docs"},
      {{u"docs"}, Parent, u"ignored", RspSuccess, "Change folder to parent : Success", RootMarker},
      {{}, Parent, std::nullopt, RspSuccess, "Change folder to parent : Success", RootMarker},
      {{u"docs"},
       EnterOnly,
       std::nullopt,
       RspSuccess,
       "Change folder to root : Success",
       RootMarker},
      {{u"docs"}, EnterOnly, u"", RspSuccess, "Change folder to root : Success", RootMarker},
      {{}, EnterOnly, u"a/b", RspSuccess, "Change folder to \"a/b\" : Success", "a/b"},
      {{}, EnterOnly, u"a\\b", RspSuccess, "Change folder to \"a/b\" : Success", "a/b"},
      {{}, EnterOnly, u"docs/", RspSuccess, "Change folder to \"docs/\" : Success", "docs"},
      {{u"docs"}, EnterOnly, u"..", RspSuccess, "Change folder to \"..\" : Success", RootMarker},
      {{u"docs"}, EnterOnly, u"../a", RspSuccess, "Change folder to \"../a\" : Success", "a"},
      {{u"docs"},
       EnterOnly,
       u"missing",
       RspNotFound,
       "Change folder to \"missing\" : Not found",
       "docs"},
      {{u"docs"},
       EnterOnly,
       u"where.txt",
       RspNotFound,
       "Change folder to \"where.txt\" : Not found",
       "docs"},
      {{u"docs"},
       EnterOrCreate,
       std::nullopt,
       RspSuccess,
       "Change folder to \"\" : Success",
       "docs"},
      {{}, EnterOrCreate, u"docs", RspSuccess, "Change folder to \"docs\" : Success", "docs"},
      {{}, BackUpOrCreate, u"docs", RspSuccess, "Change folder to \"docs\" : Success", "docs"},
      {{u"docs"},
       EnterOrCreate,
       u"where.txt",
       RspNotAcceptable,
       "Create folder \"where.txt\" : Not Acceptable",
       "docs"},
  };
  ConnectClient();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logLine);
    GoToRoot();
    for (const std::u16string& step : c.startIn) ASSERT_EQ(SetPath(EnterOnly, step), RspSuccess);
    EXPECT_EQ(SetPath(c.flags, c.name), c.code);
    EXPECT_EQ(lastLine_, c.logLine);
    EXPECT_EQ(CurrentFolder(), c.currentAfter);
  }
}

TEST_F(SetPathTest, CreatesOneLevelAndEntersIt) {
  ConnectClient();
  EXPECT_EQ(SetPath(EnterOrCreate, u"new"), RspSuccess);
  EXPECT_EQ(lastLine_, "Create folder \"new\" : Success");
  ASSERT_TRUE(fs::is_directory(folder_.Exchange() / "new"));
  TempFolder::WriteFile(folder_.Exchange() / "new" / "where.txt", "new");
  EXPECT_EQ(CurrentFolder(), "new");

  GoToRoot();
  EXPECT_EQ(SetPath(EnterOrCreate, u"new"), RspSuccess);
  EXPECT_EQ(lastLine_, "Change folder to \"new\" : Success");
  EXPECT_EQ(CurrentFolder(), "new");

  GoToRoot();
  EXPECT_EQ(SetPath(EnterOrCreate, u"x\\y"), RspNotAcceptable);
  EXPECT_EQ(lastLine_, "Create folder \"x\\y\" : Not Acceptable");
  EXPECT_FALSE(fs::exists(folder_.Exchange() / "x"));
  EXPECT_EQ(CurrentFolder(), RootMarker);
}

TEST_F(SetPathTest, HostileNamesNeverLeaveTheExchangeFolder) {
  struct Case {
    std::string label;
    std::u16string name;
    uint8_t enterOnly;      // answer with flags 0x02
    uint8_t enterOrCreate;  // answer with flags 0x00
  };
  const std::vector<Case> cases = {
      {"dot dot", u"..", RspForbidden, RspForbidden},
      {"sibling", u"../outside", RspForbidden, RspForbidden},
      {"sibling by backslash", u"..\\outside", RspForbidden, RspForbidden},
      {"new sibling", u"../fresh", RspForbidden, RspForbidden},
      {"climbing past a folder", u"a/../../x", RspForbidden, RspForbidden},
      {"deep climb", u"../../../../../../etc", RspForbidden, RspForbidden},
      // Read below the current folder, where it can do no harm.
      {"absolute", u"/etc", RspNotFound, RspSuccess},
      {"NUL", std::u16string(u"a\0/../../outside", 16), RspForbidden, RspForbidden},
      {"lone surrogate", u"x\xDC00", RspForbidden, RspForbidden},
      {"too long", std::u16string(300, u'n'), RspNotFound, RspNotAcceptable},
      {"empty", u"", RspSuccess, RspSuccess},
  };
  ConnectClient();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    for (const uint8_t flags : {EnterOnly, EnterOrCreate}) {
      GoToRoot();
      const uint8_t expected = flags == EnterOnly ? c.enterOnly : c.enterOrCreate;
      EXPECT_EQ(SetPath(flags, c.name), expected) << "flags " << int(flags);
      if (expected != RspSuccess) {
        EXPECT_EQ(CurrentFolder(), RootMarker);
      }
      OutsideIsUntouched();
    }
  }
  EXPECT_TRUE(fs::is_directory(folder_.Exchange() / "etc"));
}

TEST_F(SetPathTest, InboxSessionRefuses) {
  ConnectClient(ModeInbox);
  EXPECT_EQ(SetPath(EnterOnly, u"docs"), RspNotAcceptable);
  EXPECT_EQ(lastLine_, "SET_PATH not acceptable in Inbox mode");
}

}  // namespace
}  // namespace quillfern::testing
