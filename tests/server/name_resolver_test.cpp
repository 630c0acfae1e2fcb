#include "server/name_resolver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "obex/packet.h"
#include "platform/text.h"
#include "tcp/server_tcp.h"
#include "tests/support/obex_client.h"
#include "tests/support/server_thread_runner.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint8_t EnterOnly = 0x02;
constexpr uint8_t EnterOrCreate = 0x00;
const std::string ListingType = "x-obex/folder-listing";

Bytes Bare(uint8_t code) {
  return {code, 0x00, 0x03};
}

// Every folder and file below base, with the files' content and where links
// lead, so a test can show that a request changed nothing at all.
std::vector<std::string> Snapshot(const fs::path& base) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(base)) {
    const std::string relative = entry.path().lexically_relative(base).string();
    if (entry.is_symlink()) {
      entries.push_back(relative + "->" + fs::read_symlink(entry.path()).string());
    } else if (entry.is_directory()) {
      entries.push_back(relative + "/");
    } else {
      entries.push_back(relative + "=" + TempFolder::ReadFile(entry.path()));
    }
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// A session on a real server in a folder that holds hidden files and
// folders, and links to them.
class HiddenNamesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path root = folder_.Exchange();
    fs::create_directories(root / ".ssh" / "sub");
    TempFolder::WriteFile(root / ".ssh" / "id_rsa", "KEY");
    fs::create_directories(root / "a" / ".xdir");
    TempFolder::WriteFile(root / "a" / ".x", "x");
    TempFolder::WriteFile(root / "a" / ".xdir" / "f", "f");
    fs::create_directory(root / "docs");
    TempFolder::WriteFile(root / "where.txt", "root");
    fs::create_directory_symlink(".ssh", root / "keys");
    fs::create_symlink(".ssh/id_rsa", root / "keyfile");
    fs::create_directory_symlink(root / ".ssh", root / "absolute-keys");
  }

  void Start(bool allowHidden) {
    server_ = std::make_unique<ServerThreadRunner>(
        ServerOptions{.root = folder_.Exchange(), .allowHidden = allowHidden});
  }

  void Connect(ObexClient& client) {
    ASSERT_EQ(client.Open("127.0.0.1", server_->Port()), 0);
    ASSERT_EQ(client.Connect().Code(), RspSuccess);
    ++lines_;
    ASSERT_TRUE(server_->WaitForLines(lines_));
  }

  std::string NextLine() {
    ++lines_;
    return server_->WaitForLines(lines_) ? server_->Lines()[lines_ - 1].substr(2) : "<none>";
  }

  std::string Listing(ObexClient& client) {
    Bytes object;
    if (client.Get(u"", ListingType, object).Code() != RspSuccess) return "<failed>";
    NextLine();
    return std::string(object.begin(), object.end());
  }

  TempFolder folder_;
  std::unique_ptr<ServerThreadRunner> server_;
  size_t lines_ = 0;
};

// Nothing at or below a hidden name can be read, written, deleted, entered
// or created, whether it exists or not and however the name gets there: the
// answer is always Forbidden, so it never tells what is there.
TEST_F(HiddenNamesTest, EverythingAtOrBelowAHiddenNameIsForbiddenWhetherItExistsOrNot) {
  struct Case {
    std::u16string name;
    std::string operations;  // g get, p put, d delete, e enter, c enter or create
  };
  const std::vector<Case> cases = {
      {u".ssh", "gpdec"},
      {u".ssh/id_rsa", "gpdec"},
      {u".ssh/sub", "gpdec"},
      {u".ssh/missing", "gpdec"},
      {u".missing", "gpdec"},
      {u".evil", "gpdec"},
      {u"a/.x", "gpdec"},
      {u"a/.xdir/f", "gpdec"},
      {u"a/.nothing/f", "gpdec"},
      {u"docs/../.ssh/id_rsa", "gpdec"},
      {u"docs\\..\\.ssh", "gpdec"},
      // Links are followed to where they lead. A link itself is no hidden
      // name: deleting it would not touch what it leads to.
      {u"keys", "gpec"},
      {u"keys/id_rsa", "gpdec"},
      {u"keys/sub", "gpdec"},
      {u"keys/new", "gpdec"},
      {u"keys/missing/f", "gpdec"},
      {u"keyfile", "gp"},
      {u"absolute-keys/id_rsa", "gpdec"},
  };
  Start(false);
  const auto before = Snapshot(folder_.Base());
  ObexClient client;
  Connect(client);
  for (const Case& c : cases) {
    for (const char operation : c.operations) {
      SCOPED_TRACE(Utf16ToUtf8(c.name) + " " + operation);
      Response response;
      Bytes object;
      switch (operation) {
        case 'g':
          response = client.Get(c.name, "", object);
          break;
        case 'p':
          response = client.Put(c.name, Bytes{'e', 'v', 'i', 'l'});
          break;
        case 'd':
          response = client.Delete(c.name);
          break;
        case 'e':
          response = client.SetPath(EnterOnly, c.name);
          break;
        case 'c':
          response = client.SetPath(EnterOrCreate, c.name);
          break;
      }
      EXPECT_EQ(response.packet, Bare(RspForbidden));
      const std::string line = NextLine();
      EXPECT_TRUE(line.ends_with("Forbidden")) << line;
      // Refused before anything is looked for or made.
      EXPECT_FALSE(line.starts_with("Create folder")) << line;
      EXPECT_EQ(Snapshot(folder_.Base()), before);
      // The current folder stayed where it was.
      EXPECT_EQ(client.Get(u"where.txt", "", object).Code(), RspSuccess);
      NextLine();
    }
  }
}

TEST_F(HiddenNamesTest, ListingsLeaveOutHiddenEntriesAndLinksToThem) {
  Start(false);
  ObexClient client;
  Connect(client);
  const std::string root = Listing(client);
  for (const std::string name : {"a", "docs", "where.txt"}) {
    EXPECT_NE(root.find("name=\"" + name + "\""), std::string::npos) << name;
  }
  for (const std::string name : {".ssh", "keys", "keyfile", "absolute-keys"}) {
    EXPECT_EQ(root.find("name=\"" + name + "\""), std::string::npos) << name;
  }
  ASSERT_EQ(client.SetPath(EnterOnly, u"a").Code(), RspSuccess);
  NextLine();
  EXPECT_EQ(Listing(client).find("<file"), std::string::npos);
}

TEST_F(HiddenNamesTest, WithHiddenAccessOnHiddenNamesAndLinksToThemAreServed) {
  Start(true);
  ObexClient client;
  Connect(client);
  const std::string root = Listing(client);
  for (const std::string name : {".ssh", "keys", "keyfile", "absolute-keys"}) {
    EXPECT_NE(root.find("name=\"" + name + "\""), std::string::npos) << name;
  }
  for (const std::u16string name : {u".ssh/id_rsa", u"keyfile", u"keys/id_rsa"}) {
    Bytes object;
    EXPECT_EQ(client.Get(name, "", object).Code(), RspSuccess);
    EXPECT_EQ(std::string(object.begin(), object.end()), "KEY");
    NextLine();
  }
  EXPECT_EQ(client.SetPath(EnterOrCreate, u".new").Code(), RspSuccess);
  EXPECT_TRUE(fs::is_directory(folder_.Exchange() / ".new"));
}

// The permission is fixed for a session when it starts; a change applies to
// the sessions that start after it.
TEST_F(HiddenNamesTest, SessionKeepsTheHiddenFilesPermissionItStartedWith) {
  Start(false);
  ObexClient early;
  Connect(early);
  server_->OnServerThread([](TOBEXServerTCP& server) { server.AllowAccessHiddenFiles = true; });
  Bytes object;
  EXPECT_EQ(early.Get(u".ssh/id_rsa", "", object).Code(), RspForbidden);
  NextLine();
  ObexClient late;
  Connect(late);
  EXPECT_EQ(late.Get(u".ssh/id_rsa", "", object).Code(), RspSuccess);
  EXPECT_EQ(std::string(object.begin(), object.end()), "KEY");
}

// A folder swapped for a link to outside between the check of a name and
// its use. The swap is made at the worst moment: just after the name has
// passed the test on its text.
fs::path swapFolder;
fs::path swapTarget;
bool swapArmed = false;

void SwapFolderForLink(const std::string& relative) {
  if (!swapArmed || !relative.starts_with(swapFolder.filename().string())) return;
  swapArmed = false;
  fs::rename(swapFolder, swapFolder.string() + ".moved");
  fs::create_directory_symlink(swapTarget, swapFolder);
}

class SwappedLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(folder_.Exchange() / "docs");
    TempFolder::WriteFile(folder_.Exchange() / "docs" / "a.txt", "inside");
    TempFolder::WriteFile(folder_.Outside() / "a.txt", "outside secret");
    swapFolder = folder_.Exchange() / "docs";
    SetNameCheckedHookForTesting(SwapFolderForLink);
  }
  void TearDown() override {
    SetNameCheckedHookForTesting(nullptr);
    swapArmed = false;
  }

  // Undoes a swap, so the next case starts from the same folder.
  void Restore() {
    if (fs::is_symlink(swapFolder)) {
      fs::remove(swapFolder);
      fs::rename(swapFolder.string() + ".moved", swapFolder);
    }
  }

  TempFolder folder_;
};

TEST_F(SwappedLinkTest, FolderSwappedForALinkOutsideAfterTheCheckNeverLeadsOutside) {
  struct Case {
    std::string label;
    bool enterFirst;  // enter docs before the swap, and use the name from there
    std::function<Response(ObexClient&, Bytes&)> request;
  };
  const auto get = [](std::u16string name) {
    return [name](ObexClient& client, Bytes& object) { return client.Get(name, "", object); };
  };
  const auto put = [](std::u16string name) {
    return [name](ObexClient& client, Bytes&) {
      return client.Put(name, Bytes{'w', 'r', 'i', 't', 't', 'e', 'n'});
    };
  };
  const auto list = [](ObexClient& client, Bytes& object) {
    return client.Get(u"", ListingType, object);
  };
  const std::vector<Case> cases = {
      {"get", false, get(u"docs/a.txt")},
      {"put new", false, put(u"docs/new.txt")},
      {"put over", false, put(u"docs/a.txt")},
      {"delete", false, [](ObexClient& client, Bytes&) { return client.Delete(u"docs/a.txt"); }},
      {"enter", false,
       [](ObexClient& client, Bytes&) { return client.SetPath(EnterOnly, u"docs"); }},
      {"create below", false,
       [](ObexClient& client, Bytes&) { return client.SetPath(EnterOrCreate, u"docs/new"); }},
      {"get in current folder", true, get(u"a.txt")},
      {"put in current folder", true, put(u"new.txt")},
      {"list current folder", true, list},
  };
  // With hidden access on, nothing but the kernel's walk beneath the
  // exchange folder stands in the way.
  for (const bool allowHidden : {false, true})
    for (const bool absolute : {true, false}) {
      ServerThreadRunner server(
          ServerOptions{.root = folder_.Exchange(), .allowHidden = allowHidden});
      swapTarget = absolute ? folder_.Outside() : fs::path("../outside");
      for (const Case& c : cases) {
        SCOPED_TRACE(c.label + (absolute ? " (absolute link)" : " (relative link)") +
                     (allowHidden ? " hidden access on" : ""));
        const auto outside = Snapshot(folder_.Outside());
        ObexClient client;
        ASSERT_EQ(client.Open("127.0.0.1", server.Port()), 0);
        ASSERT_EQ(client.Connect().Code(), RspSuccess);
        if (c.enterFirst) {
          ASSERT_EQ(client.SetPath(EnterOnly, u"docs").Code(), RspSuccess);
        }
        swapArmed = true;
        Bytes object;
        const Response response = c.request(client, object);
        EXPECT_FALSE(swapArmed) << "the swap never happened";
        EXPECT_EQ(response.packet, Bare(RspForbidden));
        EXPECT_EQ(std::string(object.begin(), object.end()).find("outside"), std::string::npos);
        EXPECT_EQ(Snapshot(folder_.Outside()), outside);
        client.Disconnect();
        Restore();
      }
    }
}

// A link inside the exchange folder that leads to another place inside it
// keeps working, written relative or absolute.
TEST(NameResolverTest, LinksThatStayInsideAreFollowed) {
  TempFolder folder;
  const fs::path root = folder.Exchange();
  fs::create_directory(root / "docs");
  TempFolder::WriteFile(root / "docs" / "a.txt", "a");
  fs::create_directory_symlink("docs", root / "relative");
  fs::create_directory_symlink(root / "docs", root / "absolute");
  fs::create_directory_symlink("../outside", root / "out");
  const NameResolver names(NormalisedRoot(root.string()));
  struct Case {
    std::string name;
    NameIntent intent;
    NameRefusal refusal;
  };
  const std::vector<Case> cases = {
      {"relative/a.txt", NameIntent::Read, NameRefusal::None},
      {"absolute/a.txt", NameIntent::Read, NameRefusal::None},
      {"relative", NameIntent::Enter, NameRefusal::None},
      {"absolute", NameIntent::Enter, NameRefusal::None},
      {"absolute/new.txt", NameIntent::Replace, NameRefusal::None},
      {"out/keep.txt", NameIntent::Read, NameRefusal::Outside},
      {"out", NameIntent::Enter, NameRefusal::Outside},
      {"out/new.txt", NameIntent::Replace, NameRefusal::Outside},
      {"missing/a.txt", NameIntent::Read, NameRefusal::Missing},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(names.Resolve("", c.name, c.intent, false).refusal, c.refusal) << c.name;
  }
}

}  // namespace
}  // namespace quillfern::testing
