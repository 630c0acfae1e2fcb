#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/temp_folder.h"
#include "tests/support/third_party_client.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

// openobex-apps' obex_test, the interactive client of libopenobex, driven
// through its standard input. "-i" is its only TCP mode and always connects
// to [::1]:650, so the program listens on ::1 and the port shim sends the
// client to the test's port.
TEST(ObexTestClient, PutsPushesFetchesAndChangesFolderOnOneConnection) {
  if (!HaveProgram("obex_test")) {
    GTEST_SKIP() << "obex_test is not installed (Debian package openobex-apps)";
  }
  ServedExchange served(QUILLFERN_BINARY, "::1");
  if (served.port == 0) GTEST_SKIP() << "no IPv6 loopback here: " << served.server.ReadAllErrors();
  const fs::path& work = served.work;
  const fs::path root = served.folder.Exchange();
  fs::create_directory(root / "sub");
  TempFolder::WriteFile(root / "sub" / "mid.txt", "in the middle");
  TempFolder::WriteFile(root / "existing.txt", "old");
  TempFolder::WriteFile(work / "hello.txt", "hello from obex_test");
  TempFolder::WriteFile(work / "note.txt", "a pushed note");
  TempFolder::WriteFile(work / "gr\u00fc\u00dfe.txt", "umlaut");

  // c connect; p put (local file, then the remote name, empty for the same);
  // t set path; g get (written to the current folder); x push, a PUT whose
  // body is streamed; d disconnect; q quit.
  TempFolder::WriteFile(work / "script",
                        "c\n"
                        "p\nhello.txt\n\n"
                        "p\nhello.txt\nexisting.txt\n"
                        "t\nsub\n"
                        "g\nmid.txt\n"
                        "x\nnote.txt\n"
                        "p\ngr\u00fc\u00dfe.txt\n\n"
                        "d\nq\n");
  RunIn(work, "obex_test -i <script >obex_test.out 2>&1",
        {std::string("LD_PRELOAD=") + QUILLFERN_PORT_SHIM,
         "QF_OBEX_PORT=" + std::to_string(served.port)});

  for (const std::string expected : {
           "Connected : [::1]:",
           "Put \"hello.txt\" : Success",
           "Put \"existing.txt\" : Success",
           "Change folder to \"sub\" : Success",
           "Get file \"mid.txt\" : Success",
           "Put \"note.txt\" : Success",
           // obex_test makes each byte of a name one UTF-16 character, so
           // the UTF-8 of "grüße" arrives as "grÃ¼Ã\u009Fe" (below).
           "Put \"gr\u00c3",
           "Disconnected : [::1]:",
       }) {
    const std::string got = served.records.Next();
    EXPECT_EQ(got.rfind(expected, 0), 0u)
        << expected << "\nclient:\n"
        << TempFolder::ReadFile(work / "obex_test.out") << "\nlog:\n"
        << served.records.Seen();
  }

  EXPECT_EQ(TempFolder::ReadFile(root / "hello.txt"), "hello from obex_test");
  // Over TCP a name that exists is replaced.
  EXPECT_EQ(TempFolder::ReadFile(root / "existing.txt"), "hello from obex_test");
  EXPECT_FALSE(fs::exists(root / "existing (1).txt"));
  EXPECT_EQ(TempFolder::ReadFile(work / "mid.txt"), "in the middle");
  EXPECT_EQ(TempFolder::ReadFile(root / "sub" / "note.txt"), "a pushed note");
  EXPECT_EQ(TempFolder::ReadFile(root / "sub" / "gr\u00c3\u00bc\u00c3\u009fe.txt"), "umlaut");
}

// openobex-apps' obex_tcp sends one file per run, to port 650 of the host
// given (no port can be given either).
TEST(ObexTcpClient, SendsAFileAndReplacesItWhenSentAgain) {
  if (!HaveProgram("obex_tcp")) {
    GTEST_SKIP() << "obex_tcp is not installed (Debian package openobex-apps)";
  }
  ServedExchange served(QUILLFERN_BINARY);
  ASSERT_NE(served.port, 0);
  const fs::path& work = served.work;
  const std::vector<std::string> toPort = {std::string("LD_PRELOAD=") + QUILLFERN_PORT_SHIM,
                                           "QF_OBEX_PORT=" + std::to_string(served.port)};
  for (const std::string content : {"first", "second"}) {
    TempFolder::WriteFile(work / "card.txt", content);
    RunIn(work, "obex_tcp card.txt 127.0.0.1 >>obex_tcp.out 2>&1", toPort);
    for (const std::string expected :
         {"Connected : 127.0.0.1:", "Put \"card.txt\" : Success", "Disconnected : 127.0.0.1:"}) {
      EXPECT_EQ(served.records.Next().rfind(expected, 0), 0u)
          << expected << "\nclient:\n"
          << TempFolder::ReadFile(work / "obex_tcp.out") << "\nlog:\n"
          << served.records.Seen();
    }
    EXPECT_EQ(TempFolder::ReadFile(served.folder.Exchange() / "card.txt"), content);
  }
  EXPECT_FALSE(fs::exists(served.folder.Exchange() / "card (1).txt"));
}

}  // namespace
}  // namespace quillfern::testing
