#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "obex/packet.h"
#include "platform/text.h"
#include "platform/unique_fd.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/headless_process.h"
#include "tests/support/obex_client.h"
#include "tests/support/server_thread_runner.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

const Bytes ConnectMax8192 = {0x80, 0x00, 0x07, 0x10, 0x00, 0x20, 0x00};
const Bytes ConnectResponseSlot1 = {0xA0, 0x00, 0x0C, 0x10, 0x00, 0x20,
                                    0x00, 0xCB, 0x00, 0x00, 0x00, 0x01};
// Final PUT of "a.txt", Length 5, End-of-Body "hello".
// clang-format off
const Bytes PutHelloSinglePacket = {
    0x82, 0x00, 0x1F,                                      // PUT final, 31 bytes
    0x01, 0x00, 0x0F,                                      // Name "a.txt"
    0x00, 'a', 0x00, '.', 0x00, 't', 0x00, 'x', 0x00, 't', 0x00, 0x00,
    0xC3, 0x00, 0x00, 0x00, 0x05,                          // Length 5
    0x49, 0x00, 0x08, 'h', 'e', 'l', 'l', 'o'};            // End-of-Body "hello"
// clang-format on
const Bytes Abort = {0xFF, 0x00, 0x03};
const Bytes Disconnect = {0x81, 0x00, 0x03};

const Bytes Continue = {0x90, 0x00, 0x03};
const Bytes Success = {0xA0, 0x00, 0x03};
const Bytes BadRequest = {0xC0, 0x00, 0x03};
const Bytes Forbidden = {0xC3, 0x00, 0x03};
const Bytes NotFound = {0xC4, 0x00, 0x03};
const Bytes NotAcceptable = {0xC6, 0x00, 0x03};
const Bytes EntityTooLarge = {0xCD, 0x00, 0x03};

const std::string NoLine = "(no line)";
const std::string ProbeLine = "1 Delete \"probe\" : Not found";
const std::string InboxProbeLine = "1 Get operation not acceptable";

Bytes ToBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes PutFirst(std::u16string_view name, std::string_view body) {
  return PacketBuilder(OpPut).Name(name).Length(100).Body(ToBytes(body)).Build();
}
Bytes PutNext(std::string_view body) {
  return PacketBuilder(OpPut).Body(ToBytes(body)).Build();
}
Bytes PutLast(std::string_view body) {
  return PacketBuilder(OpPutFinal).EndOfBody(ToBytes(body)).Build();
}
Bytes PutWhole(std::u16string_view name, std::string_view body) {
  return PacketBuilder(OpPutFinal).Name(name).EndOfBody(ToBytes(body)).Build();
}
Bytes DeleteRequest(std::u16string_view name) {
  return PacketBuilder(OpPutFinal).Name(name).Build();
}

// Every folder and file below base with the files' content, so a test can
// show that a request changed nothing at all.
std::vector<std::string> Snapshot(const fs::path& base) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(base)) {
    const std::string relative = entry.path().lexically_relative(base).string();
    entries.push_back(entry.is_directory() ? relative + "/"
                                           : relative + "=" + TempFolder::ReadFile(entry.path()));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// The names in a folder, hidden ones included, sorted: what a transfer
// leaves behind shows here, however it is named.
std::vector<std::string> EntriesOf(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Makes a file or folder unwritable while it lives. Permission bits bind an
// ordinary user only; the tests may run as root, whom the immutable attribute
// binds too.
class ReadOnly {
 public:
  explicit ReadOnly(const fs::path& path) : path_(path) {
    fs::permissions(path_,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    if (geteuid() != 0) return;
    fd_.Reset(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    int flags = 0;
    if (!fd_ || ::ioctl(fd_.Get(), FS_IOC_GETFLAGS, &flags) != 0) return;
    flags |= FS_IMMUTABLE_FL;
    immutable_ = ::ioctl(fd_.Get(), FS_IOC_SETFLAGS, &flags) == 0;
    applied_ = immutable_;
  }
  ~ReadOnly() {
    if (immutable_) {
      int flags = 0;
      if (::ioctl(fd_.Get(), FS_IOC_GETFLAGS, &flags) == 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd_.Get(), FS_IOC_SETFLAGS, &flags);
      }
    }
    fs::permissions(path_, fs::perms::owner_write, fs::perm_options::add);
  }
  bool Applied() const { return applied_; }

 private:
  fs::path path_;
  UniqueFd fd_;
  bool immutable_ = false;
  bool applied_ = geteuid() != 0;
};

class PutTest : public ::testing::Test {
 protected:
  fs::path Exchange() const { return folder_.Exchange(); }

  void Connect(ObexClient& client) {
    ASSERT_EQ(client.Open("127.0.0.1", server_->Port()), 0);
    ASSERT_EQ(client.Connect().Code(), RspSuccess);
    ASSERT_NE(NextLine().find(" Connected : "), std::string::npos);
  }

  // The next event line the server records, waiting for it.
  std::string NextLine() {
    if (!server_->WaitForLines(seen_ + 1)) return NoLine;
    return server_->Lines()[seen_++];
  }

  // The lines logged before the answer to a probe request: a test sees that
  // a request logged nothing, or exactly one line. An Object Push session
  // refuses a stranger's delete, so there a fetch, which it never serves, is
  // the probe.
  std::vector<std::string> LinesBeforeProbe(ObexClient& client) {
    if (inbox_) {
      EXPECT_EQ(client.Request(PacketBuilder(OpGetFinal).Name(u"probe").Build()).packet,
                NotAcceptable);
    } else {
      EXPECT_EQ(client.Request(DeleteRequest(u"probe")).packet, NotFound);
    }
    const std::string& probeLine = inbox_ ? InboxProbeLine : ProbeLine;
    std::vector<std::string> lines;
    for (std::string line = NextLine(); line != probeLine && line != NoLine; line = NextLine()) {
      lines.push_back(line);
    }
    return lines;
  }

  // An Object Push server in place of the Folder Browsing one, and a client connected to it.
  void ConnectToObjectPush(ObexClient& client) {
    server_ = std::make_unique<ServerThreadRunner>(
        ServerOptions{.root = folder_.Exchange(), .mode = ModeInbox});
    seen_ = 0;
    inbox_ = true;
    Connect(client);
  }

  TempFolder folder_;
  std::unique_ptr<ServerThreadRunner> server_ =
      std::make_unique<ServerThreadRunner>(ServerOptions{.root = folder_.Exchange()});
  size_t seen_ = 0;
  bool inbox_ = false;
};

TEST_F(PutTest, SinglePacketPutStoresObjectAndLogsSuccess) {
  ObexClient client;
  Connect(client);
  EXPECT_EQ(client.Request(PutHelloSinglePacket).packet, Success);
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "a.txt"), "hello");
  EXPECT_EQ(NextLine(), "1 Put \"a.txt\" : Success");
}

TEST_F(PutTest, ThreePacketPutStoresPiecesInOrderWithOneLogLine) {
  ObexClient client;
  Connect(client);
  EXPECT_EQ(client.Request(PutFirst(u"three.txt", "one,")).packet, Continue);
  EXPECT_EQ(client.Request(PutNext("two,")).packet, Continue);
  EXPECT_EQ(client.Request(PutLast("three")).packet, Success);
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "three.txt"), "one,two,three");
  EXPECT_EQ(LinesBeforeProbe(client), std::vector<std::string>{"1 Put \"three.txt\" : Success"});
}

TEST_F(PutTest, SmallAndLargePacketsMixedArriveInOrder) {
  // Small pieces are gathered before they are written, large ones go from
  // the socket to the file: the file must still hold every byte in order.
  ObexClient client;
  Connect(client);
  std::string sent;
  const std::vector<size_t> sizes = {100, 20000, 50, 30000, 7, 40000, 1000};
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::string piece(sizes[i], static_cast<char>('a' + i));
    for (size_t j = 0; j < piece.size(); j += 97) piece[j] = static_cast<char>('0' + j % 10);
    sent += piece;
    const bool last = i + 1 == sizes.size();
    const Bytes response = client
                               .Request(i == 0 ? PutFirst(u"mixed.bin", piece)
                                        : last ? PutLast(piece)
                                               : PutNext(piece))
                               .packet;
    EXPECT_EQ(response, last ? Success : Continue) << i;
  }
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "mixed.bin"), sent);
}

TEST_F(PutTest, ObjectAppearsUnderItsNameOnlyWhenComplete) {
  ObexClient client;
  Connect(client);
  EXPECT_EQ(client.Request(PacketBuilder(OpPut).Name(u"late.txt").Build()).packet, Continue);
  EXPECT_EQ(EntriesOf(Exchange()), std::vector<std::string>{});
  EXPECT_EQ(client.Request(PutNext("data ")).packet, Continue);
  EXPECT_EQ(EntriesOf(Exchange()), std::vector<std::string>{});
  EXPECT_EQ(client.Request(PutLast("arrives")).packet, Success);
  EXPECT_EQ(EntriesOf(Exchange()), std::vector<std::string>{"late.txt"});
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "late.txt"), "data arrives");
  EXPECT_EQ(NextLine(), "1 Put \"late.txt\" : Success");
}

TEST_F(PutTest, PutReplacesOrEmptiesExistingFile) {
  struct Case {
    std::string body;
  };
  const std::vector<Case> cases = {{"new"}, {""}};
  ObexClient client;
  Connect(client);
  for (const Case& c : cases) {
    SCOPED_TRACE("body \"" + c.body + "\"");
    TempFolder::WriteFile(Exchange() / "old.txt", "a much longer old content");
    // An empty End-of-Body is an empty object, not a delete.
    EXPECT_EQ(client.Request(PutWhole(u"old.txt", c.body)).packet, Success);
    EXPECT_EQ(TempFolder::ReadFile(Exchange() / "old.txt"), c.body);
    EXPECT_EQ(NextLine(), "1 Put \"old.txt\" : Success");
  }
}

TEST_F(PutTest, EmptyEndOfBodyCreatesEmptyFile) {
  ObexClient client;
  Connect(client);
  EXPECT_EQ(client.Request(PutWhole(u"empty.txt", "")).packet, Success);
  ASSERT_TRUE(fs::is_regular_file(Exchange() / "empty.txt"));
  EXPECT_EQ(fs::file_size(Exchange() / "empty.txt"), 0u);
}

TEST_F(PutTest, FinalPutWithoutAnyDataHeaderDeletes) {
  struct Case {
    std::u16string name;
    Bytes request;
    Bytes response;
    std::string line;
    bool remains;
  };
  fs::create_directory(Exchange() / "empty-dir");
  fs::create_directory(Exchange() / "full-dir");
  TempFolder::WriteFile(Exchange() / "full-dir" / "inside.txt", "x");
  TempFolder::WriteFile(Exchange() / "file.txt", "x");
  const std::vector<Case> cases = {
      {u"file.txt", DeleteRequest(u"file.txt"), Success, "1 Delete file \"file.txt\" : Success",
       false},
      {u"empty-dir", DeleteRequest(u"empty-dir"), Success,
       "1 Delete directory \"empty-dir\" : Success", false},
      {u"full-dir", DeleteRequest(u"full-dir"), Forbidden,
       "1 Delete directory \"full-dir\" : Forbidden", true},
      {u"missing.txt", DeleteRequest(u"missing.txt"), NotFound,
       "1 Delete \"missing.txt\" : Not found", false},
  };
  ObexClient client;
  Connect(client);
  for (const Case& c : cases) {
    const std::string name = Utf16ToUtf8(c.name);
    SCOPED_TRACE(name);
    EXPECT_EQ(client.Request(c.request).packet, c.response);
    EXPECT_EQ(NextLine(), c.line);
    EXPECT_EQ(fs::exists(Exchange() / name), c.remains);
  }
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "full-dir" / "inside.txt"), "x");
}

TEST_F(PutTest, AbortAfterSecondPacketLeavesNothingBehind) {
  ObexClient client;
  Connect(client);
  EXPECT_EQ(client.Request(PutFirst(u"cut.txt", "first ")).packet, Continue);
  EXPECT_EQ(client.Request(PutNext("second")).packet, Continue);
  EXPECT_EQ(client.Request(Abort).packet, Success);
  EXPECT_EQ(NextLine(), "1 Put \"cut.txt\" : Aborted");
  EXPECT_EQ(EntriesOf(Exchange()), std::vector<std::string>{});
}

TEST_F(PutTest, DisconnectDuringTransferIsBadRequestAndSessionStaysConnected) {
  ObexClient client;
  Connect(client);
  EXPECT_EQ(client.Request(PutFirst(u"half.txt", "half")).packet, Continue);
  EXPECT_EQ(client.Request(Disconnect).packet, BadRequest);
  EXPECT_EQ(NextLine(), "1 Put \"half.txt\" : Bad Request");
  EXPECT_EQ(client.Request(PutWhole(u"next.txt", "next")).packet, Success);
  EXPECT_EQ(NextLine(), "1 Put \"next.txt\" : Success");
  EXPECT_EQ(EntriesOf(Exchange()), std::vector<std::string>{"next.txt"});
}

TEST_F(PutTest, HiddenNamesAreForbiddenWhenHiddenAccessIsOff) {
  struct Case {
    std::string label;
    Bytes request;
  };
  TempFolder::WriteFile(Exchange() / ".secret", "hidden");
  fs::create_directories(Exchange() / ".config" / "autostart");
  fs::create_directory(Exchange() / "sub");
  const std::vector<Case> cases = {
      {"replace hidden file", PutWhole(u".secret", "new")},
      {"delete hidden file", DeleteRequest(u".secret")},
      {"hidden file through ..", PutWhole(u"sub/../.secret", "new")},
      {"new hidden file", PutWhole(u".profile", "run me")},
      {"new file in hidden folder", PutWhole(u".config/autostart/x.desktop", "run me")},
      {"delete hidden folder", DeleteRequest(u".config/autostart")},
  };
  const auto before = Snapshot(folder_.Base());
  ObexClient client;
  Connect(client);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(client.Request(c.request).packet, Forbidden);
    EXPECT_EQ(NextLine(), "1 Forbidden");
    EXPECT_EQ(Snapshot(folder_.Base()), before);
  }
}

TEST_F(PutTest, HiddenNamesAreServedWhenHiddenAccessIsOn) {
  server_ = std::make_unique<ServerThreadRunner>(
      ServerOptions{.root = folder_.Exchange(), .allowHidden = true});
  TempFolder::WriteFile(Exchange() / ".secret", "hidden");
  ObexClient client;
  Connect(client);
  EXPECT_EQ(client.Request(PutWhole(u".secret", "replaced")).packet, Success);
  EXPECT_EQ(NextLine(), "1 Put \".secret\" : Success");
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / ".secret"), "replaced");
  EXPECT_EQ(client.Request(DeleteRequest(u".secret")).packet, Success);
  EXPECT_FALSE(fs::exists(Exchange() / ".secret"));
}

TEST_F(PutTest, HostileNamesNeverTouchAnythingOutsideTheExchangeFolder) {
  struct Case {
    std::string label;
    std::optional<std::u16string> name;  // none: no Name header at all
    Bytes putResponse;
    std::vector<std::string> putLines;
    Bytes deleteResponse;
    std::vector<std::string> deleteLines;
  };
  const std::vector<std::string> forbidden = {"1 Forbidden"};
  const std::vector<std::string> none;
  // A name starting with '/' lies below the exchange folder like any other.
  const std::string absolute = (folder_.Outside() / "keep.txt").string();
  fs::create_directory(Exchange() / "sub");
  const std::vector<Case> cases = {
      {"dot dot", u"..", Forbidden, forbidden, Forbidden, forbidden},
      {"dot dot file", u"../x", Forbidden, forbidden, Forbidden, forbidden},
      {"climbing back out", u"a/../../x", Forbidden, forbidden, Forbidden, forbidden},
      {"backslash", u"..\\x", Forbidden, forbidden, Forbidden, forbidden},
      {"sibling file", u"../outside/keep.txt", Forbidden, forbidden, Forbidden, forbidden},
      {"sibling by backslash", u"..\\outside\\keep.txt", Forbidden, forbidden, Forbidden,
       forbidden},
      {"absolute",
       Utf8ToUtf16(absolute),
       Forbidden,
       {"1 Put \"" + absolute + "\" : Forbidden"},
       NotFound,
       {"1 Delete \"" + absolute + "\" : Not found"}},
      {"the folder itself", u".", Forbidden, forbidden, Forbidden, forbidden},
      {"the folder itself through ..", u"sub/..", Forbidden, forbidden, Forbidden, forbidden},
      {"the folder itself as /", u"/", Forbidden, forbidden, Forbidden, forbidden},
      {"embedded NUL", std::u16string(u"a\0b", 3), Forbidden, forbidden, Forbidden, forbidden},
      {"lone surrogate", std::u16string(1, char16_t{0xD800}), Forbidden, forbidden, Forbidden,
       forbidden},
      // Too long to be resolved, let alone created.
      {"300 characters", std::u16string(300, u'n'), Forbidden, forbidden, Forbidden, forbidden},
      {"empty name", u"", BadRequest, none, BadRequest, none},
      {"no name", std::nullopt, BadRequest, none, BadRequest, none},
  };
  const auto before = Snapshot(folder_.Base());
  ObexClient client;
  Connect(client);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    PacketBuilder put(OpPutFinal);
    PacketBuilder remove(OpPutFinal);
    if (c.name) {
      put.Name(*c.name);
      remove.Name(*c.name);
    }
    put.EndOfBody(ToBytes("overwritten"));
    EXPECT_EQ(client.Request(put.Build()).packet, c.putResponse);
    EXPECT_EQ(LinesBeforeProbe(client), c.putLines);
    EXPECT_EQ(client.Request(remove.Build()).packet, c.deleteResponse);
    EXPECT_EQ(LinesBeforeProbe(client), c.deleteLines);
    EXPECT_EQ(Snapshot(folder_.Base()), before);
  }
  EXPECT_EQ(TempFolder::ReadFile(folder_.Outside() / "keep.txt"), "untouched");
}

// Object Push keeps to the top level of the exchange folder, as its refusal of SETPATH
// says: a name with a folder in it, by either separator, is refused for a push and for a
// delete, with a line that says so. Folder Browsing stores such a name where it leads.
TEST_F(PutTest, ObjectPushNameIsOneNameWithoutAFolder) {
  fs::create_directories(Exchange() / "Projects" / "empty");
  TempFolder::WriteFile(Exchange() / "Projects" / "thesis.tex", "thesis");
  const auto before = Snapshot(folder_.Base());
  ObexClient client;
  ConnectToObjectPush(client);
  struct Case {
    Bytes request;
    std::string line;
  };
  const std::vector<Case> cases = {
      {PutWhole(u"Projects/planted.txt", "planted"), "1 Put \"Projects/planted.txt\" : Forbidden"},
      {PutWhole(u"Projects\\planted2.txt", "planted"),
       "1 Put \"Projects\\planted2.txt\" : Forbidden"},
      // The first packet of a longer object is refused at once: nothing more is taken.
      {PutFirst(u"Projects/planted3.txt", "planted"),
       "1 Put \"Projects/planted3.txt\" : Forbidden"},
      {DeleteRequest(u"Projects/thesis.tex"), "1 Delete \"Projects/thesis.tex\" : Forbidden"},
      {DeleteRequest(u"Projects\\empty"), "1 Delete \"Projects\\empty\" : Forbidden"},
      {DeleteRequest(u"Projects/missing"), "1 Delete \"Projects/missing\" : Forbidden"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(client.Request(c.request).packet, Forbidden);
    EXPECT_EQ(LinesBeforeProbe(client), std::vector<std::string>{c.line});
  }
  EXPECT_EQ(Snapshot(folder_.Base()), before);
  // A top-level name is pushed as ever.
  EXPECT_EQ(client.Request(PutWhole(u"top.txt", "top")).packet, Success);

  server_ = std::make_unique<ServerThreadRunner>(ServerOptions{.root = folder_.Exchange()});
  seen_ = 0;
  inbox_ = false;
  ObexClient browser;
  Connect(browser);
  EXPECT_EQ(browser.Request(PutWhole(u"Projects\\placed.txt", "placed")).packet, Success);
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "Projects" / "placed.txt"), "placed");
}

// A second push of a name as long as a file name may be is kept beside the first, under a
// numbered name shortened to fit, not refused after the whole object arrived.
TEST_F(PutTest, ObjectPushKeepsASecondObjectOfTheLongestNameBesideTheFirst) {
  ObexClient client;
  ConnectToObjectPush(client);
  for (const size_t stem : {247, 251}) {
    const std::string name = std::string(stem, 'p') + ".txt";
    const std::string numbered = std::string(247, 'p') + " (1).txt";
    SCOPED_TRACE(name.size());
    EXPECT_EQ(client.Request(PutWhole(Utf8ToUtf16(name), "first")).packet, Success);
    EXPECT_EQ(client.Request(PutWhole(Utf8ToUtf16(name), "second")).packet, Success);
    EXPECT_EQ(LinesBeforeProbe(client),
              (std::vector<std::string>{
                  "1 Put \"" + name + "\" : Success",
                  "1 Put \"" + name + "\" stored as \"" + numbered + "\" : Success"}));
    EXPECT_EQ(TempFolder::ReadFile(Exchange() / name), "first");
    EXPECT_EQ(TempFolder::ReadFile(Exchange() / numbered), "second");
    fs::remove(Exchange() / name);
    fs::remove(Exchange() / numbered);
  }
}

TEST_F(PutTest, FileThatCannotBeOpenedForWritingIsForbidden) {
  struct Case {
    std::u16string name;
    std::string readOnly;  // made read-only for the request; empty: nothing
  };
  fs::create_directory(Exchange() / "folder");
  fs::create_directory(Exchange() / "locked-folder");
  TempFolder::WriteFile(Exchange() / "locked.txt", "original");
  const std::vector<Case> cases = {
      {u"no-such-folder/x.txt", ""},
      {u"folder", ""},
      {u"locked.txt", "locked.txt"},
      {u"locked-folder/new.txt", "locked-folder"},
  };
  ObexClient client;
  Connect(client);
  for (const Case& c : cases) {
    const std::string name = Utf16ToUtf8(c.name);
    SCOPED_TRACE(name);
    std::optional<ReadOnly> readOnly;
    if (!c.readOnly.empty()) {
      readOnly.emplace(Exchange() / c.readOnly);
      if (!readOnly->Applied()) GTEST_SKIP() << "cannot make a file read-only for root here";
    }
    const auto before = Snapshot(folder_.Base());
    EXPECT_EQ(client.Request(PutWhole(c.name, "new content")).packet, Forbidden);
    EXPECT_EQ(NextLine(), "1 Put \"" + name + "\" : Forbidden");
    EXPECT_EQ(Snapshot(folder_.Base()), before);
  }
}

TEST_F(PutTest, WriteThatDoesNotFitIsAnsweredEntityTooLarge) {
  struct Packet {
    bool final;
    size_t size;
    Bytes response;
  };
  struct Case {
    std::string label;
    std::vector<Packet> packets;
  };
  constexpr size_t Limit = 4096;
  const std::vector<Case> cases = {
      {"single packet", {{true, 2 * Limit, EntityTooLarge}}},
      {"later packet stops part way", {{false, 3000, Continue}, {true, 3000, EntityTooLarge}}},
      // Small pieces are gathered and written together: the disk's refusal
      // is told at the latest by the final packet, never as Success.
      {"later packet finds no room at all",
       {{false, Limit, Continue}, {false, 10, Continue}, {true, 10, EntityTooLarge}}},
      {"gathered pieces find no room",
       {{false, 1000, Continue},
        {false, 1000, Continue},
        {false, 3000, Continue},
        {true, 10, EntityTooLarge}}},
  };
  ObexClient client;
  Connect(client);
  const FileSizeLimit limit(Limit);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    for (size_t i = 0; i < c.packets.size(); ++i) {
      const Packet& p = c.packets[i];
      PacketBuilder builder(p.final ? OpPutFinal : OpPut);
      if (i == 0) builder.Name(u"full.bin");
      const Bytes data(p.size, 'd');
      if (p.final) {
        builder.EndOfBody(data);
      } else {
        builder.Body(data);
      }
      EXPECT_EQ(client.Request(builder.Build()).packet, p.response);
    }
    EXPECT_EQ(NextLine(), "1 Put \"full.bin\" : Requested entity too large");
    EXPECT_EQ(EntriesOf(Exchange()), std::vector<std::string>{});
  }
}

TEST_F(PutTest, DeclaredLengthOfTwoGibibytesOrMoreIsRefused) {
  const std::vector<uint32_t> lengths = {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu};
  ObexClient client;
  Connect(client);
  for (const uint32_t length : lengths) {
    SCOPED_TRACE(length);
    const Bytes first =
        PacketBuilder(OpPut).Name(u"big.bin").Length(length).Body(ToBytes("abc")).Build();
    EXPECT_EQ(client.Request(first).packet, Continue);
    // The refusal answers the client's next packet, whose data are not kept.
    EXPECT_EQ(client.Request(PutNext("def")).packet, EntityTooLarge);
    EXPECT_EQ(NextLine(), "1 Put \"big.bin\" : Unknown response ");
    EXPECT_FALSE(fs::exists(Exchange() / "big.bin"));
    // The session is still in step with the client.
    EXPECT_EQ(client.Request(PutWhole(u"after.txt", "fine")).packet, Success);
    EXPECT_EQ(NextLine(), "1 Put \"after.txt\" : Success");
  }
}

TEST_F(PutTest, PeerVanishingMidTransferLeavesNothingAndFreesItsSlot) {
  {
    ObexClient client;
    Connect(client);
    EXPECT_EQ(client.Request(PutFirst(u"gone.txt", "partial")).packet, Continue);
    client.Close();
  }
  EXPECT_EQ(NextLine(), "1 Put \"gone.txt\" : Unknown response ");
  EXPECT_EQ(NextLine().rfind("1 Disconnected : ", 0), 0u);
  EXPECT_EQ(EntriesOf(Exchange()), std::vector<std::string>{});

  ObexClient next;
  ASSERT_EQ(next.Open("127.0.0.1", server_->Port()), 0);
  EXPECT_EQ(next.Request(ConnectMax8192).packet, ConnectResponseSlot1);
  EXPECT_EQ(NextLine().rfind("1 Connected : ", 0), 0u);
  EXPECT_EQ(next.Request(PutWhole(u"gone.txt", "whole")).packet, Success);
  EXPECT_EQ(NextLine(), "1 Put \"gone.txt\" : Success");
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "gone.txt"), "whole");
}

TEST_F(PutTest, NameBeingReceivedCannotBeWrittenReadOrDeletedByAnotherSession) {
  struct Case {
    std::string label;
    std::optional<std::string> earlier;  // the file's content before the transfer, if any
  };
  const std::vector<Case> cases = {{"new name", std::nullopt}, {"replacing a file", "earlier"}};
  ObexClient first;
  ObexClient second;
  Connect(first);
  Connect(second);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove(Exchange() / "shared.txt");
    if (c.earlier) TempFolder::WriteFile(Exchange() / "shared.txt", *c.earlier);
    EXPECT_EQ(first.Request(PutFirst(u"shared.txt", "first ")).packet, Continue);
    EXPECT_EQ(second.Request(PutWhole(u"shared.txt", "second")).packet, Forbidden);
    EXPECT_EQ(NextLine(), "2 Put \"shared.txt\" : Forbidden");
    Bytes object;
    EXPECT_EQ(second.Get(u"shared.txt", "", object).packet, Forbidden);
    EXPECT_EQ(NextLine(), "2 Get file \"shared.txt\" : Forbidden");
    EXPECT_EQ(second.Request(DeleteRequest(u"shared.txt")).packet, Forbidden);
    EXPECT_EQ(NextLine(), "2 Delete file \"shared.txt\" : Forbidden");
    // Until the transfer is complete the name holds what it held before.
    EXPECT_EQ(fs::exists(Exchange() / "shared.txt"), c.earlier.has_value());
    if (c.earlier) {
      EXPECT_EQ(TempFolder::ReadFile(Exchange() / "shared.txt"), *c.earlier);
    }
    EXPECT_EQ(first.Request(PutLast("wins")).packet, Success);
    EXPECT_EQ(NextLine(), "1 Put \"shared.txt\" : Success");
    EXPECT_EQ(TempFolder::ReadFile(Exchange() / "shared.txt"), "first wins");
    // The name is free again.
    EXPECT_EQ(second.Get(u"shared.txt", "", object).Code(), RspSuccess);
    EXPECT_EQ(std::string(object.begin(), object.end()), "first wins");
    EXPECT_EQ(NextLine(), "2 Get file \"shared.txt\" : Success");
  }
}

// Every Body and End-of-Body header carries data, in order, in every PUT
// packet; only a final PUT without either is a delete.
TEST_F(PutTest, EveryDataHeaderOfEveryPacketIsStored) {
  struct Step {
    bool final;
    std::vector<std::pair<uint8_t, std::string>> data;  // header and its bytes, in order
    Bytes response;
  };
  struct Case {
    std::string label;
    std::vector<Step> steps;  // the first carries the Name
    std::string stored;
  };
  const std::string large1(30000, 'L');
  const std::string large2(20000, 'M');
  const std::vector<Case> cases = {
      {"Body in a single final packet", {{true, {{HdrBody, "abc"}}, Success}}, "abc"},
      {"Body and End-of-Body in one final packet",
       {{true, {{HdrBody, "ab"}, {HdrEndOfBody, "cd"}}, Success}},
       "abcd"},
      {"two Bodies in the first packet",
       {{false, {{HdrBody, "a"}, {HdrBody, "b"}}, Continue},
        {true, {{HdrEndOfBody, "c"}}, Success}},
       "abc"},
      {"End-of-Body in a first packet that is not final",
       {{false, {{HdrEndOfBody, "one,"}}, Continue}, {true, {{HdrEndOfBody, "two"}}, Success}},
       "one,two"},
      {"End-of-Body in a continuation that is not final",
       {{false, {}, Continue},
        {false, {{HdrEndOfBody, "x"}}, Continue},
        {true, {{HdrEndOfBody, "y"}}, Success}},
       "xy"},
      {"Body in the final continuation",
       {{false, {{HdrBody, "p,"}}, Continue}, {true, {{HdrBody, "q"}}, Success}},
       "p,q"},
      {"two data headers in each continuation",
       {{false, {}, Continue},
        {false, {{HdrBody, "1"}, {HdrEndOfBody, "2"}}, Continue},
        {true, {{HdrEndOfBody, "3"}, {HdrBody, "4"}}, Success}},
       "1234"},
      // Continuations that are nothing but their data header go from the
      // socket to the file directly.
      {"large continuations with the other data header",
       {{false, {}, Continue},
        {false, {{HdrEndOfBody, large1}}, Continue},
        {true, {{HdrBody, large2}}, Success}},
       large1 + large2},
  };
  ObexClient client;
  Connect(client);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempFolder::WriteFile(Exchange() / "data.txt", "earlier content");
    for (size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      PacketBuilder packet(step.final ? OpPutFinal : OpPut);
      if (i == 0) packet.Name(u"data.txt");
      for (const auto& [header, bytes] : step.data) {
        if (header == HdrBody) {
          packet.Body(ToBytes(bytes));
        } else {
          packet.EndOfBody(ToBytes(bytes));
        }
      }
      EXPECT_EQ(client.Request(packet.Build()).packet, step.response) << "packet " << i;
    }
    EXPECT_EQ(NextLine(), "1 Put \"data.txt\" : Success");
    EXPECT_EQ(TempFolder::ReadFile(Exchange() / "data.txt"), c.stored);
    EXPECT_EQ(EntriesOf(Exchange()), std::vector<std::string>{"data.txt"});
  }
}

// However a transfer ends before its last packet, the earlier file of that
// name stays as it was and nothing else is left in the folder.
TEST_F(PutTest, TransferEndingEarlyLeavesEarlierFileAsItWasAndNothingElse) {
  struct Case {
    std::string label;
    std::vector<Bytes> after;  // sent after the first packet; the last answer is checked
    Bytes lastResponse;
    std::string line;
    bool vanish;  // the client goes away instead
    bool diskFull;
  };
  const Bytes malformed = {OpPut, 0x00, 0x05, HdrBody, 0x00};
  const std::vector<Case> cases = {
      {"abort", {PutNext("more"), Abort}, Success, "Aborted", false, false},
      {"unexpected packet", {Disconnect}, BadRequest, "Bad Request", false, false},
      {"unreadable continuation", {malformed}, BadRequest, "Bad Request", false, false},
      {"disk full",
       {PutNext(std::string(8192, 'f'))},
       EntityTooLarge,
       "Requested entity too large",
       false,
       true},
      {"declared length too large",
       {PutNext("x")},
       EntityTooLarge,
       "Unknown response ",
       false,
       false},
      {"peer vanishes", {}, {}, "Unknown response ", true, false},
  };
  TempFolder::WriteFile(Exchange() / "keep.txt", "earlier content");
  fs::permissions(Exchange() / "keep.txt", fs::perms(0640));
  const auto before = Snapshot(folder_.Base());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ObexClient client;
    Connect(client);
    std::optional<FileSizeLimit> limit;
    if (c.diskFull) limit.emplace(4096);
    const uint32_t length = c.label == "declared length too large" ? 0x80000000u : 100;
    EXPECT_EQ(client
                  .Request(PacketBuilder(OpPut)
                               .Name(u"keep.txt")
                               .Length(length)
                               .Body(ToBytes("new content"))
                               .Build())
                  .packet,
              Continue);
    Response response;
    for (const Bytes& packet : c.after) response = client.Request(packet);
    if (!c.after.empty()) {
      EXPECT_EQ(response.packet, c.lastResponse);
    }
    if (c.vanish) client.Close();
    EXPECT_EQ(NextLine(), "1 Put \"keep.txt\" : " + c.line);
    limit.reset();
    EXPECT_EQ(Snapshot(folder_.Base()), before);
    EXPECT_EQ(fs::status(Exchange() / "keep.txt").permissions(), fs::perms(0640));
    client.Close();
    EXPECT_EQ(NextLine().rfind("1 Disconnected : ", 0), 0u);
  }
}

// The object is complete but cannot be given its name: the client hears so
// instead of Success.
TEST_F(PutTest, ObjectThatCannotBeNamedAtTheEndIsForbidden) {
  fs::create_directory(Exchange() / "sub");
  ObexClient client;
  Connect(client);
  EXPECT_EQ(client.Request(PutFirst(u"sub/x.txt", "data")).packet, Continue);
  // The folder looks empty while the object has no name, so it can go.
  fs::remove(Exchange() / "sub");
  EXPECT_EQ(client.Request(PutLast("end")).packet, Forbidden);
  EXPECT_EQ(NextLine(), "1 Put \"sub/x.txt\" : Forbidden");
  EXPECT_EQ(EntriesOf(Exchange()), std::vector<std::string>{});
}

TEST_F(PutTest, ReplacementKeepsTheModeOfTheFileItReplaces) {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  TempFolder::WriteFile(Exchange() / "private.txt", "earlier");
  fs::permissions(Exchange() / "private.txt", fs::perms(0600));
  ObexClient client;
  Connect(client);
  EXPECT_EQ(client.Request(PutWhole(u"private.txt", "later")).packet, Success);
  EXPECT_EQ(client.Request(PutWhole(u"fresh.txt", "new")).packet, Success);
  EXPECT_EQ(TempFolder::ReadFile(Exchange() / "private.txt"), "later");
  EXPECT_EQ(fs::status(Exchange() / "private.txt").permissions(), fs::perms(0600));
  EXPECT_EQ(fs::status(Exchange() / "fresh.txt").permissions(), fs::perms(0666 & ~mask));
}

// A program killed in the middle of a transfer leaves the folder as it was:
// the object had no name yet.
TEST(PutCrashTest, ProgramKilledMidTransferLeavesEarlierFileAndNothingElse) {
  TempFolder folder;
  TempFolder::WriteFile(folder.Exchange() / "keep.txt", "earlier content");
  const auto before = Snapshot(folder.Base());
  HeadlessProcess process(
      {QUILLFERN_BINARY, "--headless", "--root", folder.Exchange().string(), "--port", "0"});
  const uint16_t port = process.WaitForPort();
  ASSERT_NE(port, 0);
  ObexClient client;
  ASSERT_EQ(client.Open("127.0.0.1", port), 0);
  ASSERT_EQ(client.Connect().Code(), RspSuccess);
  EXPECT_EQ(client.Request(PutFirst(u"keep.txt", std::string(60000, 'n'))).packet, Continue);
  EXPECT_EQ(client.Request(PutNext(std::string(60000, 'm'))).packet, Continue);
  process.Signal(SIGKILL);
  EXPECT_NE(process.Wait(), -1);
  EXPECT_EQ(Snapshot(folder.Base()), before);
}

}  // namespace
}  // namespace quillfern::testing
