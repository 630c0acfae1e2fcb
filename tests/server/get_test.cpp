#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "obex/headers.h"
#include "obex/packet.h"
#include "platform/unique_fd.h"
#include "tests/support/obex_client.h"
#include "tests/support/server_thread_runner.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

const Bytes GetFinal = PacketBuilder(OpGetFinal).Build();
const Bytes GetNotFinal = PacketBuilder(OpGet).Build();
const Bytes Abort = PacketBuilder(OpAbort).Build();
const std::string ListingHead =
    "<?xml version=\"1.0\"?>\r\n"
    "<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\r\n"
    "<folder-listing version=\"1.0\">\r\n";

Bytes Bare(uint8_t code) {
  return {code, 0x00, 0x03};
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return data;
}

std::string BodyOf(const Bytes& packet) {
  HeaderIndex index;
  if (IndexHeaders(packet, RequestHeadersOffset, index) < 0) return "<malformed>";
  const auto body = GetByteSequenceView(packet, HdrBody, index);
  const auto end = GetByteSequenceView(packet, HdrEndOfBody, index);
  return std::string(body.begin(), body.end()) + std::string(end.begin(), end.end());
}

class GetTest : public ::testing::Test {
 protected:
  void StartServer(uint8_t mode = ModeFolderBrowsing) {
    server_ = std::make_unique<ServerThreadRunner>(
        ServerOptions{.root = folder_.Exchange(), .mode = mode});
  }

  void ConnectClient(uint16_t maxPacket = 65535) {
    if (!server_) StartServer();
    ASSERT_EQ(client_.Open("127.0.0.1", server_->Port()), 0);
    ASSERT_EQ(client_.Connect(maxPacket).Code(), RspSuccess);
    ASSERT_TRUE(server_->WaitForLines(1));
  }

  // Sends the request, then a GET final after each Continue, and returns
  // every response as received.
  std::vector<Bytes> Transfer(const Bytes& request) {
    std::vector<Bytes> responses;
    Response response = client_.Request(request);
    while (response.result > 0 && responses.size() < 100000) {
      responses.push_back(response.packet);
      if (response.Code() != RspContinue) break;
      response = client_.Request(GetFinal);
    }
    return responses;
  }

  // The log line of the request just answered, without the slot number.
  std::string NextLogLine() {
    ++expectedLines_;
    if (!server_->WaitForLines(expectedLines_)) return "<no log line>";
    return server_->Lines()[expectedLines_ - 1].substr(2);
  }

  TempFolder folder_;
  std::unique_ptr<ServerThreadRunner> server_;
  ObexClient client_;
  size_t expectedLines_ = 1;  // the connect line
};

TEST_F(GetTest, LargeFileGoesOutInPacketsOfExactlyTheClientsMaximum) {
  const std::string data = Pattern(3 * 8192 + 1000);
  TempFolder::WriteFile(folder_.Exchange() / "big.bin", data);
  ConnectClient(8192);

  const auto responses = Transfer(PacketBuilder(OpGetFinal).Name(u"big.bin").Build());

  ASSERT_EQ(responses.size(), 4u);
  std::string received;
  for (size_t i = 0; i + 1 < responses.size(); ++i) {
    EXPECT_EQ(responses[i][0], RspContinue);
    EXPECT_EQ(responses[i].size(), 8192u);
    received += BodyOf(responses[i]);
  }
  const Bytes lengthHeader = {HdrLength, 0x00, 0x00, 0x63, 0xE8};  // 25576
  EXPECT_TRUE(std::equal(lengthHeader.begin(), lengthHeader.end(), responses[0].begin() + 3));
  EXPECT_EQ(responses[1][3], HdrBody);
  EXPECT_EQ(responses.back()[0], RspSuccess);
  EXPECT_EQ(responses.back()[3], HdrEndOfBody);
  received += BodyOf(responses.back());
  EXPECT_EQ(received, data);
  EXPECT_EQ(NextLogLine(), "Get file \"big.bin\" : Success");
}

TEST_F(GetTest, RequestInTwoPacketsIsAnsweredWithHeadersFirstAndDataAfterTheFinalPacket) {
  struct Case {
    std::string content;
    Bytes firstResponse;
    Bytes finalResponse;
  };
  const std::vector<Case> cases = {
      {"hello",
       {0x90, 0x00, 0x08, HdrLength, 0x00, 0x00, 0x00, 0x05},
       {0xA0, 0x00, 0x0B, HdrEndOfBody, 0x00, 0x08, 'h', 'e', 'l', 'l', 'o'}},
      // Even with nothing to send, the final response answers the final packet.
      {"",
       {0x90, 0x00, 0x08, HdrLength, 0x00, 0x00, 0x00, 0x00},
       {0xA0, 0x00, 0x06, HdrEndOfBody, 0x00, 0x03}},
  };
  TempFolder::WriteFile(folder_.Exchange() / "object", "");
  ConnectClient();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    TempFolder::WriteFile(folder_.Exchange() / "object", c.content);
    EXPECT_EQ(client_.Request(PacketBuilder(OpGet).Name(u"object").Build()).packet,
              c.firstResponse);
    EXPECT_EQ(client_.Request(GetFinal).packet, c.finalResponse);
    EXPECT_EQ(NextLogLine(), "Get file \"object\" : Success");
  }
}

TEST_F(GetTest, TransferEndsOnAbortOrAnUnexpectedPacket) {
  struct Case {
    Bytes reply;
    Bytes answer;
    std::string logLine;
  };
  const std::vector<Case> cases = {
      {Abort, Bare(RspSuccess), "Get file \"big.bin\" : Aborted"},
      {GetNotFinal, Bare(RspBadRequest), "Get file \"big.bin\" : Bad Request"},
  };
  TempFolder::WriteFile(folder_.Exchange() / "big.bin", Pattern(100000));
  ConnectClient(8192);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logLine);
    EXPECT_EQ(client_.Request(PacketBuilder(OpGetFinal).Name(u"big.bin").Build()).Code(),
              RspContinue);
    EXPECT_EQ(client_.Request(GetFinal).Code(), RspContinue);
    EXPECT_EQ(client_.Request(c.reply).packet, c.answer);
    EXPECT_EQ(NextLogLine(), c.logLine);
  }
  // The session goes on answering requests.
  EXPECT_EQ(client_.Request(PacketBuilder(OpGetFinal).Name(u"none").Build()).packet,
            Bare(RspNotFound));
}

TEST_F(GetTest, RefusedRequestsGetABareAnswerAndTheirLogLine) {
  struct Case {
    std::string label;
    Bytes request;
    uint8_t code;
    std::string logLine;
  };
  const std::vector<Case> cases = {
      {"capability", PacketBuilder(OpGetFinal).Type("x-obex/capability").Build(), RspNotImplemented,
       "Get type x-obex/capability : Not implemented"},
      {"nothing", GetFinal, RspNotImplemented, "Get : Not implemented"},
      {"missing", PacketBuilder(OpGetFinal).Name(u"missing.txt").Build(), RspNotFound, "Not found"},
      {"folder", PacketBuilder(OpGetFinal).Name(u"docs").Build(), RspNotFound,
       "Get file \"docs\" : Not found"},
      {"hidden", PacketBuilder(OpGetFinal).Name(u".secret").Build(), RspForbidden,
       "Get file \".secret\" : Forbidden"},
      {"hidden folder", PacketBuilder(OpGetFinal).Name(u".private/a.txt").Build(), RspForbidden,
       "Get file \".private/a.txt\" : Forbidden"},
      {"outside", PacketBuilder(OpGetFinal).Name(u"../outside/keep.txt").Build(), RspForbidden,
       "Get file \"../outside/keep.txt\" : Forbidden"},
      {"outside by backslash", PacketBuilder(OpGetFinal).Name(u"..\\outside\\keep.txt").Build(),
       RspForbidden, "Get file \"..\\outside\\keep.txt\" : Forbidden"},
      {"NUL", PacketBuilder(OpGetFinal).Name(std::u16string(u"a.txt\0x", 7)).Build(), RspForbidden,
       "Get file \"a.txt\\u0000x\" : Forbidden"},
      {"lone surrogate", PacketBuilder(OpGetFinal).Name(u"a\xD800.txt").Build(), RspForbidden,
       "Get file \"a\xEF\xBF\xBD.txt\" : Forbidden"},
      {"too long for any file", PacketBuilder(OpGetFinal).Name(std::u16string(300, u'n')).Build(),
       RspNotFound, "Not found"},
      {"malformed headers",
       {OpGetFinal, 0x00, 0x05, HdrName, 0x00},
       RspBadRequest,
       "Get : Bad Request"},
  };
  fs::create_directory(folder_.Exchange() / "docs");
  fs::create_directory(folder_.Exchange() / ".private");
  TempFolder::WriteFile(folder_.Exchange() / ".secret", "s");
  TempFolder::WriteFile(folder_.Exchange() / ".private" / "a.txt", "p");
  TempFolder::WriteFile(folder_.Exchange() / "a.txt", "a");
  ConnectClient();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(client_.Request(c.request).packet, Bare(c.code));
    EXPECT_EQ(NextLogLine(), c.logLine);
  }
}

TEST_F(GetTest, InboxSessionRefusesListingsAndFiles) {
  TempFolder::WriteFile(folder_.Exchange() / "a.txt", "a");
  StartServer(ModeInbox);
  ConnectClient();
  EXPECT_EQ(client_.Request(PacketBuilder(OpGetFinal).Type("x-obex/folder-listing").Build()).packet,
            Bare(RspNotAcceptable));
  EXPECT_EQ(NextLogLine(), "Get folder listing : Not Acceptable");
  EXPECT_EQ(client_.Request(PacketBuilder(OpGetFinal).Name(u"a.txt").Build()).packet,
            Bare(RspNotAcceptable));
  EXPECT_EQ(NextLogLine(), "Get operation not acceptable");
}

TEST_F(GetTest, ListingOfAnEmptyFolderIsOneSuccessResponse) {
  fs::create_directory(folder_.Exchange() / "empty");
  ConnectClient();
  ASSERT_EQ(client_.SetPath(0x02, u"empty").Code(), RspSuccess);
  NextLogLine();
  // Padding around the type, and its terminating NUL, are not part of it.
  const auto responses =
      Transfer(PacketBuilder(OpGetFinal).Type(" x-obex/folder-listing\t").Build());
  ASSERT_EQ(responses.size(), 1u);
  const std::string listing = ListingHead + "</folder-listing>";
  EXPECT_EQ(responses[0][0], RspSuccess);
  EXPECT_EQ(responses[0].size(), 3 + 5 + 3 + listing.size());
  EXPECT_EQ(responses[0][3], HdrLength);
  EXPECT_EQ(BodyOf(responses[0]), listing);
  EXPECT_EQ(NextLogLine(), "Get folder listing : Success");
}

// Clients that walk a folder tree (obexftp -l sub, obexfs) ask for a
// subfolder's listing by naming it, without entering it first.
TEST_F(GetTest, ListingWithANameListsThatFolderOfTheCurrentOne) {
  struct Case {
    std::string label;
    std::u16string currentFolder;  // entered first, from the exchange folder
    std::optional<std::u16string> name;
    uint8_t code;
    std::string listed;  // an entry the listing holds; it holds one file only
    std::string logLine;
  };
  const std::vector<Case> cases = {
      {"no name", u"", std::nullopt, RspSuccess, "<file name=\"top.txt\"",
       "Get folder listing : Success"},
      {"empty name", u"sub", u"", RspSuccess, "<file name=\"mid.txt\"",
       "Get folder listing : Success"},
      // A link is listed where it can be followed from the named folder.
      {"subfolder", u"", u"sub", RspSuccess, "<folder name=\"shortcut\"",
       "Get folder listing \"sub\" : Success"},
      {"below the current folder", u"sub", u"inner", RspSuccess, "<file name=\"deep.txt\"",
       "Get folder listing \"inner\" : Success"},
      {"two levels", u"", u"sub/inner", RspSuccess, "<file name=\"deep.txt\"",
       "Get folder listing \"sub/inner\" : Success"},
      {"non-ASCII", u"", u"Fotos \u00e4\u00f6\u00fc", RspSuccess, "<file name=\"bild.jpg\"",
       "Get folder listing \"Fotos \u00e4\u00f6\u00fc\" : Success"},
      {"parent", u"sub", u"..", RspSuccess, "<file name=\"top.txt\"",
       "Get folder listing \"..\" : Success"},
      {"a file", u"", u"top.txt", RspNotFound, "", "Get folder listing \"top.txt\" : Not found"},
      {"missing", u"", u"none", RspNotFound, "", "Get folder listing \"none\" : Not found"},
      {"hidden", u"", u".private", RspForbidden, "", "Get folder listing \".private\" : Forbidden"},
      {"outside", u"", u"../outside", RspForbidden, "",
       "Get folder listing \"../outside\" : Forbidden"},
  };
  const fs::path root = folder_.Exchange();
  fs::create_directories(root / "sub" / "inner");
  fs::create_directory(root / ".private");
  fs::create_directory(root / "Fotos \u00e4\u00f6\u00fc");
  TempFolder::WriteFile(root / "top.txt", "t");
  TempFolder::WriteFile(root / "sub" / "mid.txt", "m");
  fs::create_directory_symlink("inner", root / "sub" / "shortcut");
  TempFolder::WriteFile(root / "sub" / "inner" / "deep.txt", "d");
  TempFolder::WriteFile(root / ".private" / "secret.txt", "s");
  TempFolder::WriteFile(root / "Fotos \u00e4\u00f6\u00fc" / "bild.jpg", "b");
  TempFolder::WriteFile(folder_.Outside() / "keep.txt", "k");
  ConnectClient();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_EQ(client_.SetPath(0x02, u"").Code(), RspSuccess);
    NextLogLine();
    if (!c.currentFolder.empty()) {
      ASSERT_EQ(client_.SetPath(0x02, c.currentFolder).Code(), RspSuccess);
      NextLogLine();
    }
    PacketBuilder request(OpGetFinal);
    if (c.name) request.Name(*c.name);
    const auto responses = Transfer(request.Type("x-obex/folder-listing").Build());
    ASSERT_EQ(responses.size(), 1u);
    if (c.code == RspSuccess) {
      const std::string listing = BodyOf(responses[0]);
      EXPECT_NE(listing.find(c.listed), std::string::npos) << listing;
      // Only that folder's own entries.
      EXPECT_EQ(listing.find("<file name="), listing.rfind("<file name=")) << listing;
    } else {
      EXPECT_EQ(responses[0], Bare(c.code));
    }
    EXPECT_EQ(NextLogLine(), c.logLine);
  }
}

TEST_F(GetTest, ListingOfACurrentFolderDeletedSinceIsNotFound) {
  fs::create_directory(folder_.Exchange() / "gone");
  ConnectClient();
  ASSERT_EQ(client_.SetPath(0x02, u"gone").Code(), RspSuccess);
  NextLogLine();
  fs::remove(folder_.Exchange() / "gone");
  EXPECT_EQ(client_.Request(PacketBuilder(OpGetFinal).Type("x-obex/folder-listing").Build()).packet,
            Bare(RspNotFound));
  EXPECT_EQ(NextLogLine(), "Get folder listing : Not found");
}

TEST_F(GetTest, FileHeldByAWriterIsForbiddenWhileOtherReadersShareIt) {
  const fs::path path = folder_.Exchange() / "incoming.bin";
  TempFolder::WriteFile(path, "partial");
  ConnectClient();
  const Bytes request = PacketBuilder(OpGetFinal).Name(u"incoming.bin").Build();
  {
    // What a session receiving the file holds.
    UniqueFd writer(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(writer.Get(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(client_.Request(request).packet, Bare(RspForbidden));
    EXPECT_EQ(NextLogLine(), "Get file \"incoming.bin\" : Forbidden");
  }
  UniqueFd reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(::flock(reader.Get(), LOCK_SH | LOCK_NB), 0);
  const auto responses = Transfer(request);
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(BodyOf(responses[0]), "partial");
  EXPECT_EQ(NextLogLine(), "Get file \"incoming.bin\" : Success");
}

TEST_F(GetTest, ObjectTooLargeForTheLengthHeaderIsRefusedBeforeAnyData) {
  const fs::path path = folder_.Exchange() / "huge.bin";
  TempFolder::WriteFile(path, "");
  fs::resize_file(path, 2147483647);  // sparse: no space is used
  ConnectClient();
  EXPECT_EQ(client_.Request(PacketBuilder(OpGetFinal).Name(u"huge.bin").Build()).packet,
            Bare(RspEntityTooLarge));
  EXPECT_EQ(NextLogLine(), "Get file \"huge.bin\" : Unknown response ");
}

TEST_F(GetTest, FileCutShortWhileBeingSentEndsWithAnError) {
  // Within what is read ahead at once, and larger than it, so that the cut
  // is met in the bytes already read and in a later read.
  ConnectClient(8192);
  for (const size_t size : {20000u, 400000u}) {
    SCOPED_TRACE(size);
    const fs::path path = folder_.Exchange() / "shrinking.bin";
    TempFolder::WriteFile(path, Pattern(size));
    EXPECT_EQ(client_.Request(PacketBuilder(OpGetFinal).Name(u"shrinking.bin").Build()).Code(),
              RspContinue);
    fs::resize_file(path, 9000);
    Response response;
    for (int packets = 0; packets < 60; ++packets) {
      response = client_.Request(GetFinal);
      if (response.Code() != RspContinue) break;
    }
    EXPECT_EQ(response.packet, Bare(RspInternalError));
    EXPECT_EQ(NextLogLine(), "Get file \"shrinking.bin\" : Unknown response ");
  }
}

TEST_F(GetTest, NoPacketExceedsTheClientsMaximumEvenWhenItLeavesNoRoomForData) {
  struct Case {
    uint16_t maxPacket;
    std::vector<Bytes> responses;
    std::string logLine;
  };
  const std::vector<Case> cases = {
      {10, {Bare(RspNotAcceptable)}, "Get file \"a.txt\" : Not Acceptable"},
      // The first packet holds the Length header and an empty body; each
      // later one five bytes of data.
      {11,
       {{0x90, 0x00, 0x0B, HdrLength, 0x00, 0x00, 0x00, 0x07, HdrBody, 0x00, 0x03},
        {0x90, 0x00, 0x0B, HdrBody, 0x00, 0x08, 'a', 'b', 'c', 'd', 'e'},
        {0xA0, 0x00, 0x08, HdrEndOfBody, 0x00, 0x05, 'f', 'g'}},
       "Get file \"a.txt\" : Success"},
  };
  TempFolder::WriteFile(folder_.Exchange() / "a.txt", "abcdefg");
  StartServer();
  expectedLines_ = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.maxPacket);
    ObexClient client;
    ASSERT_EQ(client.Open("127.0.0.1", server_->Port()), 0);
    ASSERT_EQ(client.Connect(c.maxPacket).Code(), RspSuccess);
    ++expectedLines_;  // connect
    std::vector<Bytes> responses;
    Response response = client.Request(PacketBuilder(OpGetFinal).Name(u"a.txt").Build());
    while (response.result > 0 && responses.size() < 10) {
      responses.push_back(response.packet);
      if (response.Code() != RspContinue) break;
      response = client.Request(GetFinal);
    }
    EXPECT_EQ(responses, c.responses);
    EXPECT_EQ(NextLogLine(), c.logLine);
    client.Disconnect();
    ++expectedLines_;  // disconnect
    ASSERT_TRUE(server_->WaitForLines(expectedLines_));
  }
}

TEST_F(GetTest, ClientThatCannotTakeAnyResponseIsDisconnected) {
  TempFolder::WriteFile(folder_.Exchange() / "a.txt", "abc");
  ConnectClient(2);
  const Bytes request = PacketBuilder(OpGetFinal).Name(u"a.txt").Build();
  ASSERT_EQ(client_.Send(request), static_cast<int>(request.size()));
  EXPECT_TRUE(client_.WaitForClose(2000));
  EXPECT_EQ(NextLogLine(), "Get file \"a.txt\" : Unknown response ");
}

}  // namespace
}  // namespace quillfern::testing
