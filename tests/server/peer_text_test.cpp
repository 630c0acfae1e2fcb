#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "obex/packet.h"
#include "platform/text.h"
#include "tests/support/obex_client.h"
#include "tests/support/server_thread_runner.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

// A name built to forge log lines and to drive the terminal that shows them: a line break
// that starts a line of its own, ESC with a clear-screen sequence, BEL, CR, the C1
// controls CSI and NEL, and a right-to-left override.
const std::u16string Forged =
    u"a.txt : Success\n2026-01-01 00:00:00 TCP 2 Delete file \"thesis.pdf\" : "
    u"Success\x1B[2J\x07\r\u009B\u0085\u202Etxt";
const std::string ForgedType =
    "text/plain\n2026-01-01 00:00:00 TCP 2 Delete file \"thesis.pdf\" : Success\x1B[2J";

const std::string ProbeLine = "1 Delete \"probe\" : Not found";

// Every request whose log line names what the peer sent gives exactly one line, and that
// line shows the peer's text with its controls made visible: nothing in it ends the line
// early or reaches a terminal as a control.
TEST(PeerText, EveryRequestLogsOneLineThatShowsThePeersTextAsItWasSent) {
  TempFolder folder;
  ServerThreadRunner server(ServerOptions{.root = folder.Exchange()});
  ObexClient client;
  ASSERT_EQ(client.Open("127.0.0.1", server.Port()), 0);
  ASSERT_EQ(client.Connect().Code(), RspSuccess);
  ASSERT_TRUE(server.WaitForLines(1));
  size_t seen = 1;

  const Bytes data = {'x'};
  struct Case {
    const char* what;
    Bytes request;
  };
  const std::vector<Case> cases = {
      {"push", PacketBuilder(OpPutFinal).Name(Forged).EndOfBody(data).Build()},
      {"delete of a name that is not there",
       PacketBuilder(OpPutFinal).Name(u"gone " + Forged).Build()},
      {"fetch", PacketBuilder(OpGetFinal).Name(Forged).Build()},
      {"fetch of a type nobody serves", PacketBuilder(OpGetFinal).Type(ForgedType).Build()},
      {"entering a folder that is not there",
       PacketBuilder(OpSetPath, {0x02, 0x00}).Name(u"gone " + Forged).Build()},
      {"creating a folder",
       PacketBuilder(OpSetPath, {0x00, 0x00}).Name(u"folder " + Forged).Build()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NE(client.Request(c.request).Code(), 0);
    // A probe request after it: whatever came between is what this request logged.
    ASSERT_EQ(client.Request(PacketBuilder(OpPutFinal).Name(u"probe").Build()).Code(), RspNotFound);
    std::vector<std::string> lines;
    for (;; ++seen) {
      ASSERT_TRUE(server.WaitForLines(seen + 1));
      const std::string line = server.Lines()[seen];
      if (line == ProbeLine) break;
      lines.push_back(line);
    }
    ++seen;
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(ShownText(lines[0]), lines[0]);
    EXPECT_NE(lines[0].find("\\u000A2026-01-01"), std::string::npos) << lines[0];
  }
  // The file and the folder carry their names as sent: only the log shows them otherwise.
  EXPECT_EQ(TempFolder::ReadFile(folder.Exchange() / Utf16ToUtf8(Forged)), "x");
  EXPECT_TRUE(fs::is_directory(folder.Exchange() / Utf16ToUtf8(u"folder " + Forged)));
}

}  // namespace
}  // namespace quillfern::testing
