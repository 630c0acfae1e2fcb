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

// Copy and move (ACTION) against a running server, with a client on the
// loopback network and real files.
namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint8_t Copy = 0x00;
constexpr uint8_t Move = 0x01;
constexpr uint8_t EnterOnly = 0x02;

class ActionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fill();
    initial_ = TempFolder::Snapshot(folder_.Base());
  }

  // The exchange folder as every test begins with it, beside the folder outside.
  void Fill() {
    fs::create_directories(folder_.Exchange() / "docs");
    fs::create_directory(folder_.Outside());
    TempFolder::WriteFile(folder_.Exchange() / "a.txt", "alpha");
    TempFolder::WriteFile(folder_.Exchange() / "b.txt", "beta");
    TempFolder::WriteFile(folder_.Exchange() / "docs" / "d.txt", "delta");
    TempFolder::WriteFile(folder_.Exchange() / ".hidden", "secret");
    TempFolder::WriteFile(folder_.Outside() / "keep.txt", "untouched");
  }

  void ConnectClient(ServerOptions options = {}) {
    options.root = folder_.Exchange();
    server_ = std::make_unique<ServerThreadRunner>(options);
    ASSERT_EQ(client_.Open("127.0.0.1", server_->Port()), 0);
    ASSERT_EQ(client_.Connect().Code(), RspSuccess);
    ASSERT_TRUE(server_->WaitForLines(1));
  }

  // The answer to one request; its log line goes to lastLine_.
  uint8_t Answer(const Response& response) {
    ++lines_;
    lastLine_ = server_->WaitForLines(lines_) ? server_->Lines()[lines_ - 1].substr(2) : "<none>";
    return response.Code();
  }
  uint8_t Act(uint8_t action, std::u16string_view name, std::u16string_view destName) {
    return Answer(client_.Action(action, name, destName));
  }
  uint8_t Enter(std::u16string_view name) {
    return Answer(client_.SetPath(EnterOnly, name, !name.empty()));
  }

  // The files and folders as they were at the start, less removed, plus added.
  std::vector<std::string> Changed(const std::vector<std::string>& removed,
                                   const std::vector<std::string>& added) const {
    std::vector<std::string> expected;
    for (const std::string& entry : initial_) {
      if (std::find(removed.begin(), removed.end(), entry) == removed.end()) {
        expected.push_back(entry);
      }
    }
    expected.insert(expected.end(), added.begin(), added.end());
    std::sort(expected.begin(), expected.end());
    return expected;
  }

  void Restore() {
    // The exchange folder itself stays: the session holds it open.
    for (const auto& entry : fs::directory_iterator(folder_.Exchange())) fs::remove_all(entry);
    fs::remove_all(folder_.Outside());
    Fill();
    ASSERT_EQ(TempFolder::Snapshot(folder_.Base()), initial_);
  }

  TempFolder folder_;
  std::vector<std::string> initial_;
  std::unique_ptr<ServerThreadRunner> server_;
  ObexClient client_;
  size_t lines_ = 1;  // the connect line
  std::string lastLine_;
};

struct ActionCase {
  std::string label;
  std::u16string startIn;  // entered from the exchange folder first; empty: stay there
  uint8_t action;
  std::u16string name;
  std::u16string destName;
  uint8_t code;
  std::string line;
  std::vector<std::string> removed;
  std::vector<std::string> added;
};

TEST_F(ActionTest, CopiesAndMovesInsideTheExchangeFolderOnly) {
  const std::vector<ActionCase> cases = {
      {"copy",
       u"",
       Copy,
       u"a.txt",
       u"c.txt",
       RspSuccess,
       "Copy \"a.txt\" to \"c.txt\" : Success",
       {},
       {"exchange/c.txt=alpha"}},
      {"copy into a folder",
       u"",
       Copy,
       u"a.txt",
       u"docs/a.txt",
       RspSuccess,
       "Copy \"a.txt\" to \"docs/a.txt\" : Success",
       {},
       {"exchange/docs/a.txt=alpha"}},
      {"copy up from the current folder",
       u"docs",
       Copy,
       u"d.txt",
       u"../d.txt",
       RspSuccess,
       "Copy \"d.txt\" to \"../d.txt\" : Success",
       {},
       {"exchange/d.txt=delta"}},
      {"copy by a backslash path",
       u"",
       Copy,
       u"docs\\d.txt",
       u"e.txt",
       RspSuccess,
       "Copy \"docs\\d.txt\" to \"e.txt\" : Success",
       {},
       {"exchange/e.txt=delta"}},
      {"copy over a file",
       u"",
       Copy,
       u"a.txt",
       u"b.txt",
       RspConflict,
       "Copy \"a.txt\" to \"b.txt\" : Conflict",
       {},
       {}},
      {"copy onto itself",
       u"",
       Copy,
       u"a.txt",
       u"a.txt",
       RspConflict,
       "Copy \"a.txt\" to \"a.txt\" : Conflict",
       {},
       {}},
      {"copy over a folder",
       u"",
       Copy,
       u"a.txt",
       u"docs",
       RspConflict,
       "Copy \"a.txt\" to \"docs\" : Conflict",
       {},
       {}},
      {"copy of a folder",
       u"",
       Copy,
       u"docs",
       u"papers",
       RspForbidden,
       "Copy \"docs\" to \"papers\" : Forbidden",
       {},
       {}},
      {"copy of a missing file",
       u"",
       Copy,
       u"missing.txt",
       u"c.txt",
       RspNotFound,
       "Copy \"missing.txt\" to \"c.txt\" : Not found",
       {},
       {}},
      {"copy into a missing folder",
       u"",
       Copy,
       u"a.txt",
       u"none/c.txt",
       RspNotFound,
       "Copy \"a.txt\" to \"none/c.txt\" : Not found",
       {},
       {}},
      {"copy out of the exchange folder",
       u"",
       Copy,
       u"a.txt",
       u"../outside/c.txt",
       RspForbidden,
       "Copy \"a.txt\" to \"../outside/c.txt\" : Forbidden",
       {},
       {}},
      {"copy from outside",
       u"",
       Copy,
       u"../outside/keep.txt",
       u"keep.txt",
       RspForbidden,
       "Copy \"../outside/keep.txt\" to \"keep.txt\" : Forbidden",
       {},
       {}},
      {"copy of a hidden file",
       u"",
       Copy,
       u".hidden",
       u"shown.txt",
       RspForbidden,
       "Copy \".hidden\" to \"shown.txt\" : Forbidden",
       {},
       {}},
      {"copy to a hidden name",
       u"",
       Copy,
       u"a.txt",
       u".a.txt",
       RspForbidden,
       "Copy \"a.txt\" to \".a.txt\" : Forbidden",
       {},
       {}},
      {"copy of a name that is no UTF-16",
       u"",
       Copy,
       u"x\xDC00",
       u"c.txt",
       RspForbidden,
       "Copy \"x\xEF\xBF\xBD\" to \"c.txt\" : Forbidden",
       {},
       {}},
      {"copy to a name with a direction override",
       u"",
       Copy,
       u"a.txt",
       u"r\u202Eev.txt",
       RspSuccess,
       "Copy \"a.txt\" to \"r\\u202Eev.txt\" : Success",
       {},
       {"exchange/r\u202Eev.txt=alpha"}},
      {"move",
       u"",
       Move,
       u"a.txt",
       u"c.txt",
       RspSuccess,
       "Move \"a.txt\" to \"c.txt\" : Success",
       {"exchange/a.txt=alpha"},
       {"exchange/c.txt=alpha"}},
      {"move into a folder",
       u"",
       Move,
       u"a.txt",
       u"docs/a.txt",
       RspSuccess,
       "Move \"a.txt\" to \"docs/a.txt\" : Success",
       {"exchange/a.txt=alpha"},
       {"exchange/docs/a.txt=alpha"}},
      {"move up from the current folder",
       u"docs",
       Move,
       u"d.txt",
       u"../d.txt",
       RspSuccess,
       "Move \"d.txt\" to \"../d.txt\" : Success",
       {"exchange/docs/d.txt=delta"},
       {"exchange/d.txt=delta"}},
      {"move of a folder with what it holds",
       u"",
       Move,
       u"docs",
       u"papers",
       RspSuccess,
       "Move \"docs\" to \"papers\" : Success",
       {"exchange/docs/", "exchange/docs/d.txt=delta"},
       {"exchange/papers/", "exchange/papers/d.txt=delta"}},
      {"move of a folder into itself",
       u"",
       Move,
       u"docs",
       u"docs/inner",
       RspForbidden,
       "Move \"docs\" to \"docs/inner\" : Forbidden",
       {},
       {}},
      {"move over a file",
       u"",
       Move,
       u"a.txt",
       u"b.txt",
       RspConflict,
       "Move \"a.txt\" to \"b.txt\" : Conflict",
       {},
       {}},
      {"move over a folder",
       u"",
       Move,
       u"a.txt",
       u"docs",
       RspConflict,
       "Move \"a.txt\" to \"docs\" : Conflict",
       {},
       {}},
      {"move of a missing name",
       u"",
       Move,
       u"missing.txt",
       u"c.txt",
       RspNotFound,
       "Move \"missing.txt\" to \"c.txt\" : Not found",
       {},
       {}},
      {"move into a missing folder",
       u"",
       Move,
       u"a.txt",
       u"none/a.txt",
       RspNotFound,
       "Move \"a.txt\" to \"none/a.txt\" : Not found",
       {},
       {}},
      {"move out of the exchange folder",
       u"",
       Move,
       u"a.txt",
       u"../outside/a.txt",
       RspForbidden,
       "Move \"a.txt\" to \"../outside/a.txt\" : Forbidden",
       {},
       {}},
      {"move from outside",
       u"",
       Move,
       u"../outside/keep.txt",
       u"keep.txt",
       RspForbidden,
       "Move \"../outside/keep.txt\" to \"keep.txt\" : Forbidden",
       {},
       {}},
      {"move of the exchange folder itself",
       u"docs",
       Move,
       u"..",
       u"moved",
       RspForbidden,
       "Move \"..\" to \"moved\" : Forbidden",
       {},
       {}},
      {"move of a hidden file",
       u"",
       Move,
       u".hidden",
       u"shown.txt",
       RspForbidden,
       "Move \".hidden\" to \"shown.txt\" : Forbidden",
       {},
       {}},
      {"move to a hidden name",
       u"",
       Move,
       u"a.txt",
       u".a.txt",
       RspForbidden,
       "Move \"a.txt\" to \".a.txt\" : Forbidden",
       {},
       {}},
  };
  ConnectClient();
  for (const ActionCase& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_NO_FATAL_FAILURE(Restore());
    ASSERT_EQ(Enter(c.startIn), RspSuccess);
    EXPECT_EQ(Act(c.action, c.name, c.destName), c.code);
    EXPECT_EQ(lastLine_, c.line);
    EXPECT_EQ(TempFolder::Snapshot(folder_.Base()), Changed(c.removed, c.added));
  }
}

TEST_F(ActionTest, HiddenNamesMoveWhenHiddenFilesMayBeTouched) {
  ConnectClient(ServerOptions{.allowHidden = true});
  EXPECT_EQ(Act(Move, u".hidden", u"shown.txt"), RspSuccess);
  EXPECT_EQ(Act(Copy, u"a.txt", u".a.txt"), RspSuccess);
  EXPECT_EQ(
      TempFolder::Snapshot(folder_.Base()),
      Changed({"exchange/.hidden=secret"}, {"exchange/shown.txt=secret", "exchange/.a.txt=alpha"}));
}

TEST_F(ActionTest, RequestsThatAreIncompleteOrAskForPermissionsChangeNothing) {
  struct Case {
    std::string label;
    Bytes packet;
    uint8_t code;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"set permissions", PacketBuilder(OpActionFinal).ActionId(0x02).Name(u"a.txt").Build(),
       RspNotImplemented, "Set permissions of \"a.txt\" : Not implemented"},
      {"an action the standard does not know",
       PacketBuilder(OpActionFinal).ActionId(0x07).Name(u"a.txt").DestName(u"c.txt").Build(),
       RspNotImplemented, "Action 0x07 on \"a.txt\" : Not implemented"},
      {"no action id", PacketBuilder(OpActionFinal).Name(u"a.txt").DestName(u"c.txt").Build(),
       RspBadRequest, "Action on \"a.txt\" : Bad Request"},
      {"no destination", PacketBuilder(OpActionFinal).ActionId(Copy).Name(u"a.txt").Build(),
       RspBadRequest, "Copy \"a.txt\" to \"\" : Bad Request"},
      {"an empty destination",
       PacketBuilder(OpActionFinal).ActionId(Move).Name(u"a.txt").DestName(u"").Build(),
       RspBadRequest, "Move \"a.txt\" to \"\" : Bad Request"},
      {"no name", PacketBuilder(OpActionFinal).ActionId(Move).DestName(u"c.txt").Build(),
       RspBadRequest, "Move \"\" to \"c.txt\" : Bad Request"},
      {"no headers", PacketBuilder(OpActionFinal).Build(), RspBadRequest, "Action : Bad Request"},
      {"malformed headers", Bytes{OpActionFinal, 0x00, 0x05, HdrName, 0x00}, RspBadRequest,
       "Action : Bad Request"},
  };
  ConnectClient();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(Answer(client_.Request(c.packet)), c.code);
    EXPECT_EQ(lastLine_, c.line);
  }
  EXPECT_EQ(TempFolder::Snapshot(folder_.Base()), initial_);
  // The session goes on.
  EXPECT_EQ(Act(Copy, u"a.txt", u"c.txt"), RspSuccess);
}

TEST_F(ActionTest, ARequestInSeveralPacketsIsGatheredAndMayBeAborted) {
  ConnectClient();
  const Bytes first = PacketBuilder(OpAction).ActionId(Move).Name(u"a.txt").Build();
  EXPECT_EQ(client_.Request(first).Code(), RspContinue);
  EXPECT_EQ(Answer(client_.Request(PacketBuilder(OpActionFinal).DestName(u"c.txt").Build())),
            RspSuccess);
  EXPECT_EQ(lastLine_, "Move \"a.txt\" to \"c.txt\" : Success");

  EXPECT_EQ(client_.Request(PacketBuilder(OpAction).ActionId(Copy).Name(u"b.txt").Build()).Code(),
            RspContinue);
  EXPECT_EQ(Answer(client_.Request(Bytes{OpAbort, 0x00, 0x03})), RspSuccess);
  EXPECT_EQ(lastLine_, "Copy \"b.txt\" to \"\" : Aborted");

  EXPECT_EQ(client_.Request(PacketBuilder(OpAction).ActionId(Copy).Name(u"b.txt").Build()).Code(),
            RspContinue);
  EXPECT_EQ(Answer(client_.Request(PacketBuilder(OpPutFinal).Name(u"x").Build())), RspBadRequest);
  EXPECT_EQ(lastLine_, "Copy \"b.txt\" to \"\" : Bad Request");

  EXPECT_EQ(TempFolder::Snapshot(folder_.Base()),
            Changed({"exchange/a.txt=alpha"}, {"exchange/c.txt=alpha"}));
}

TEST_F(ActionTest, NamesArrivingInAPushAreNeitherCopiedMovedNorTaken) {
  ConnectClient();
  ObexClient pusher;
  ASSERT_EQ(pusher.Open("127.0.0.1", server_->Port()), 0);
  ASSERT_EQ(pusher.Connect().Code(), RspSuccess);
  ASSERT_TRUE(server_->WaitForLines(++lines_));
  const Bytes part = {'p', 'a', 'r', 't'};
  ASSERT_EQ(pusher.Request(PacketBuilder(OpPut).Name(u"incoming.txt").Body(part).Build()).Code(),
            RspContinue);
  EXPECT_EQ(Act(Copy, u"a.txt", u"incoming.txt"), RspForbidden);
  EXPECT_EQ(Act(Move, u"a.txt", u"incoming.txt"), RspForbidden);
  EXPECT_EQ(Act(Copy, u"incoming.txt", u"c.txt"), RspForbidden);
  EXPECT_EQ(Act(Move, u"incoming.txt", u"c.txt"), RspForbidden);
  EXPECT_EQ(lastLine_, "Move \"incoming.txt\" to \"c.txt\" : Forbidden");
  EXPECT_EQ(pusher.Request(PacketBuilder(OpPutFinal).EndOfBody(part).Build()).Code(), RspSuccess);
  EXPECT_EQ(TempFolder::ReadFile(folder_.Exchange() / "incoming.txt"), "partpart");
  EXPECT_EQ(TempFolder::ReadFile(folder_.Exchange() / "a.txt"), "alpha");
  EXPECT_FALSE(fs::exists(folder_.Exchange() / "c.txt"));
}

TEST_F(ActionTest, ObjectPushRefusesCopyAndMove) {
  ConnectClient(ServerOptions{.mode = ModeInbox});
  EXPECT_EQ(Act(Copy, u"a.txt", u"c.txt"), RspNotAcceptable);
  EXPECT_EQ(lastLine_, "ACTION not acceptable in Inbox mode");
  EXPECT_EQ(Act(Move, u"a.txt", u"c.txt"), RspNotAcceptable);
  EXPECT_EQ(TempFolder::Snapshot(folder_.Base()), initial_);
}

TEST_F(ActionTest, ACopyKeepsItsSourcesProtectionAndIsWhole) {
  const std::string large(3 * 1024 * 1024 + 17, 'L');
  TempFolder::WriteFile(folder_.Exchange() / "large.bin", large);
  fs::permissions(folder_.Exchange() / "a.txt", fs::perms::owner_read | fs::perms::group_read);
  ConnectClient();
  EXPECT_EQ(Act(Copy, u"large.bin", u"copy.bin"), RspSuccess);
  EXPECT_EQ(TempFolder::ReadFile(folder_.Exchange() / "copy.bin"), large);
  EXPECT_EQ(Act(Copy, u"a.txt", u"c.txt"), RspSuccess);
  EXPECT_EQ(fs::status(folder_.Exchange() / "c.txt").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read);
}

}  // namespace
}  // namespace quillfern::testing
