#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "obex/packet.h"
#include "server/session.h"
#include "tcp/server_tcp.h"
#include "tests/support/obex_client.h"
#include "tests/support/server_thread_runner.h"
#include "tests/support/temp_folder.h"

// What the user sees of a running transfer and can do to it: its Progress,
// cancelling it, the Received event of a pushed object, and where a pushed
// object goes when its name is taken.
namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

const Bytes Continue = {0x90, 0x00, 0x03};
const Bytes Success = {0xA0, 0x00, 0x03};
const Bytes Forbidden = {0xC3, 0x00, 0x03};

Bytes ToBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

std::vector<std::string> EntriesOf(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<ServerEvent> OfKind(const std::vector<ServerEvent>& events, ServerEventKind kind) {
  std::vector<ServerEvent> found;
  for (const ServerEvent& event : events) {
    if (event.kind == kind) found.push_back(event);
  }
  return found;
}

class TransferTest : public ::testing::Test {
 protected:
  void StartServer(ServerOptions options) {
    options.root = folder_.Exchange();
    server_ = std::make_unique<ServerThreadRunner>(options);
    ASSERT_EQ(server_->StartResult(), 0) << server_->ErrorText();
  }

  std::unique_ptr<ObexClient> Connected(uint16_t maxPacket = 65535) {
    auto client = std::make_unique<ObexClient>();
    EXPECT_EQ(client->Open("127.0.0.1", server_->Port()), 0);
    EXPECT_EQ(client->Connect(maxPacket).Code(), RspSuccess);
    return client;
  }

  // The last log line, once count lines have been logged.
  std::string LineAfter(size_t count) {
    if (!server_->WaitForLines(count)) return "(no line)";
    return server_->Lines()[count - 1];
  }

  int Cancel(int slot, std::optional<uint64_t> transfer = std::nullopt) {
    int result = 0;
    server_->OnServerThread(
        [&](TOBEXServerTCP& server) { result = server.CancelTransfer(slot, transfer); });
    return result;
  }

  // Puts the first packet of a 30-byte object and, once its Progress has
  // been told, the second: the transfer's number, 0 when none was told.
  uint64_t BeginToldPush(ObexClient& client, const std::u16string& name) {
    EXPECT_EQ(
        client
            .Request(PacketBuilder(OpPut).Name(name).Length(30).Body(ToBytes("0123456789")).Build())
            .packet,
        Continue);
    const size_t told = Progress().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(ProgressIntervalMs + 50));
    EXPECT_EQ(client.Request(PacketBuilder(OpPut).Body(ToBytes("0123456789")).Build()).packet,
              Continue);
    for (int i = 0; i < 1000 && Progress().size() <= told; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Progress().size() > told ? Progress().back().transfer : 0;
  }

  std::vector<ServerEvent> Progress() const {
    return OfKind(server_->TransferEvents(), ServerEventKind::Progress);
  }
  // No lamp is left showing a transfer: none was told, or the last one told ended.
  bool NothingRuns() const {
    const std::vector<ServerEvent> progress = Progress();
    return progress.empty() || progress.back().finished;
  }

  TempFolder folder_;
  std::unique_ptr<ServerThreadRunner> server_;
};

// A push whose packets come a while apart: Progress once it has run a
// while, a few a second after that, and a finished one with every byte at its end.
TEST_F(TransferTest, PushTellsAFewProgressesASecondAndItsEnd) {
  StartServer({.mode = ModeInbox});
  auto client = Connected();
  constexpr int Pieces = 24;
  constexpr size_t PieceSize = 1000;
  constexpr auto Gap = std::chrono::milliseconds(50);
  const std::string piece(PieceSize, 'p');
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(client
                ->Request(PacketBuilder(OpPut)
                              .Name(u"slow.bin")
                              .Length(Pieces * PieceSize)
                              .Body(ToBytes(piece))
                              .Build())
                .packet,
            Continue);
  for (int i = 1; i < Pieces - 1; ++i) {
    std::this_thread::sleep_for(Gap);
    ASSERT_EQ(client->Request(PacketBuilder(OpPut).Body(ToBytes(piece)).Build()).packet, Continue);
  }
  std::this_thread::sleep_for(Gap);
  ASSERT_EQ(client->Request(PacketBuilder(OpPutFinal).EndOfBody(ToBytes(piece)).Build()).packet,
            Success);
  const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - started)
                             .count();
  ASSERT_EQ(LineAfter(2), "1 Put \"slow.bin\" : Success");

  const std::vector<ServerEvent> progress = Progress();
  ASSERT_GE(progress.size(), 3u);
  EXPECT_GT(progress.front().bytes, 0u);
  EXPECT_FALSE(progress.front().finished);
  const ServerEvent& last = progress.back();
  EXPECT_TRUE(last.finished);
  EXPECT_EQ(last.bytes, Pieces * PieceSize);
  EXPECT_EQ(std::count_if(progress.begin(), progress.end(),
                          [](const ServerEvent& e) { return e.finished; }),
            1);
  // One every ProgressIntervalMs at most, then the end.
  EXPECT_LE(progress.size(), 1u + static_cast<size_t>(elapsedMs) / ProgressIntervalMs + 1);
  uint64_t bytes = 0;
  for (const ServerEvent& event : progress) {
    EXPECT_EQ(event.slot, 1);
    EXPECT_EQ(event.object, "slow.bin");
    EXPECT_EQ(event.direction, TransferDirection::Receiving);
    EXPECT_EQ(event.total, std::optional<uint64_t>(Pieces * PieceSize));
    EXPECT_GE(event.bytes, bytes);
    bytes = event.bytes;
  }
}

TEST_F(TransferTest, SlowFetchTellsItsProgressAndItsEndWithTheFileSize) {
  StartServer({});
  const std::string content(100000, 'g');
  TempFolder::WriteFile(folder_.Exchange() / "big.bin", content);
  auto client = Connected(8192);
  Response response = client->Request(PacketBuilder(OpGetFinal).Name(u"big.bin").Build());
  for (int i = 0; i < 40 && response.Code() == RspContinue; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    response = client->Request(PacketBuilder(OpGetFinal).Build());
  }
  ASSERT_EQ(response.Code(), RspSuccess);
  ASSERT_EQ(LineAfter(2), "1 Get file \"big.bin\" : Success");
  const std::vector<ServerEvent> progress = Progress();
  ASSERT_GE(progress.size(), 2u);
  EXPECT_FALSE(progress.front().finished);
  EXPECT_TRUE(progress.back().finished);
  EXPECT_EQ(progress.back().bytes, content.size());
  EXPECT_EQ(progress.back().total, std::optional<uint64_t>(content.size()));
  EXPECT_EQ(progress.back().direction, TransferDirection::Sending);
  EXPECT_EQ(progress.back().object, "big.bin");
}

TEST_F(TransferTest, QuickTransfersTellNoProgress) {
  StartServer({});
  auto client = Connected();
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(client->Put(u"small.txt", ToBytes("a small note")).Code(), RspSuccess);
  }
  Bytes object;
  ASSERT_EQ(client->Get(u"small.txt", "", object).Code(), RspSuccess);
  ASSERT_EQ(LineAfter(22), "1 Get file \"small.txt\" : Success");
  // Every one of them was over within the first interval but on a very slow machine.
  EXPECT_LE(Progress().size(), 2u);
  EXPECT_TRUE(NothingRuns());
}

// Folder Browsing: over Object Push only a device the user chose may delete,
// and a TCP peer is no device.
TEST_F(TransferTest, ReceivedTellsTheNameGivenAndTheStoredPath) {
  StartServer({.mode = ModeFolderBrowsing});
  auto client = Connected();
  ASSERT_EQ(client->Put(u"note.txt", ToBytes("hello")).Code(), RspSuccess);
  ASSERT_TRUE(server_->WaitForTransferEvent(ServerEventKind::Received, 1));
  const auto received = OfKind(server_->TransferEvents(), ServerEventKind::Received);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].object, "note.txt");
  EXPECT_EQ(fs::path(received[0].path).lexically_normal(),
            (folder_.Exchange() / "note.txt").lexically_normal());
  EXPECT_EQ(received[0].address, "");  // TCP peers have no device address
  // A delete or a failed push is no Received.
  ASSERT_EQ(client->Delete(u"note.txt").Code(), RspSuccess);
  ASSERT_EQ(LineAfter(3), "1 Delete file \"note.txt\" : Success");
  EXPECT_EQ(OfKind(server_->TransferEvents(), ServerEventKind::Received).size(), 1u);
}

TEST_F(TransferTest, CancelledPushIsRefusedAtItsNextPacketAndLeavesNothing) {
  StartServer({.mode = ModeInbox});
  auto client = Connected();
  EXPECT_EQ(Cancel(0), -1);  // nothing runs yet
  ASSERT_EQ(
      client
          ->Request(
              PacketBuilder(OpPut).Name(u"big.bin").Length(30).Body(ToBytes("0123456789")).Build())
          .packet,
      Continue);
  EXPECT_EQ(Cancel(0), 0);
  EXPECT_EQ(client->Request(PacketBuilder(OpPut).Body(ToBytes("0123456789")).Build()).packet,
            Forbidden);
  EXPECT_EQ(LineAfter(2), "1 Put \"big.bin\" : Cancelled by the user");
  EXPECT_TRUE(EntriesOf(folder_.Exchange()).empty());
  EXPECT_TRUE(NothingRuns());
  EXPECT_EQ(Cancel(0), -1);
  // The session goes on: the next push is stored.
  EXPECT_EQ(client->Put(u"after.txt", ToBytes("x")).Code(), RspSuccess);
  EXPECT_EQ(EntriesOf(folder_.Exchange()), std::vector<std::string>{"after.txt"});
}

TEST_F(TransferTest, CancelledFetchIsRefusedAtTheClientsNextPacket) {
  StartServer({});
  TempFolder::WriteFile(folder_.Exchange() / "big.bin", std::string(100000, 'g'));
  auto client = Connected(8192);
  const Response first = client->Request(PacketBuilder(OpGetFinal).Name(u"big.bin").Build());
  ASSERT_EQ(first.Code(), RspContinue);
  EXPECT_EQ(Cancel(0), 0);
  EXPECT_EQ(client->Request(PacketBuilder(OpGetFinal).Build()).packet, Forbidden);
  EXPECT_EQ(LineAfter(2), "1 Get file \"big.bin\" : Cancelled by the user");
  EXPECT_TRUE(NothingRuns());
  Bytes object;
  EXPECT_EQ(client->Get(u"big.bin", "", object).Code(), RspSuccess);
  EXPECT_EQ(object.size(), 100000u);
}

// A cancel that names a transfer cancels that one only: once it has ended,
// the next transfer of the same peer goes on, also before any Progress of
// the new one was told.
TEST_F(TransferTest, CancelOfATransferThatEndedLeavesThePeersNextOneAlone) {
  StartServer({.mode = ModeInbox});
  auto client = Connected();
  const uint64_t first = BeginToldPush(*client, u"first.bin");
  ASSERT_NE(first, 0u);
  ASSERT_EQ(
      client->Request(PacketBuilder(OpPutFinal).EndOfBody(ToBytes("0123456789")).Build()).packet,
      Success);

  ASSERT_EQ(client
                ->Request(PacketBuilder(OpPut)
                              .Name(u"second.bin")
                              .Length(20)
                              .Body(ToBytes("0123456789"))
                              .Build())
                .packet,
            Continue);
  EXPECT_EQ(Cancel(0, first), -1);
  EXPECT_EQ(
      client->Request(PacketBuilder(OpPutFinal).EndOfBody(ToBytes("0123456789")).Build()).packet,
      Success);
  EXPECT_EQ(TempFolder::ReadFile(folder_.Exchange() / "second.bin"), "01234567890123456789");

  // Named by its own number, a running transfer is cancelled.
  const uint64_t third = BeginToldPush(*client, u"third.bin");
  ASSERT_NE(third, 0u);
  EXPECT_NE(third, first);
  EXPECT_EQ(Cancel(0, first), -1);
  EXPECT_EQ(Cancel(0, third), 0);
  EXPECT_EQ(
      client->Request(PacketBuilder(OpPutFinal).EndOfBody(ToBytes("0123456789")).Build()).packet,
      Forbidden);
  EXPECT_FALSE(fs::exists(folder_.Exchange() / "third.bin"));
}

TEST_F(TransferTest, CancelOfASlotOutOfRangeOrIdleSaysSo) {
  StartServer({});
  EXPECT_EQ(Cancel(-1), -1);
  EXPECT_EQ(Cancel(3), -1);
  EXPECT_EQ(Cancel(4), -1);
}

struct ClashCase {
  const char* title;
  std::vector<std::string> existing;
  std::u16string pushed;
  std::string stored;  // where the push lands
};

class NameClashTest : public TransferTest, public ::testing::WithParamInterface<ClashCase> {};

// Object Push keeps what is there: the pushed object gets the first free
// numbered name, and the log line names it.
TEST_P(NameClashTest, PushOfATakenNameIsStoredUnderTheNextFreeNumber) {
  const ClashCase& clash = GetParam();
  for (const std::string& name : clash.existing) {
    TempFolder::WriteFile(folder_.Exchange() / name, "old " + name);
  }
  StartServer({.mode = ModeInbox});
  auto client = Connected();
  ASSERT_EQ(client->Put(clash.pushed, ToBytes("new")).Code(), RspSuccess);
  const std::string pushed(clash.pushed.begin(), clash.pushed.end());
  const std::string expectedLine =
      clash.stored == pushed
          ? "1 Put \"" + pushed + "\" : Success"
          : "1 Put \"" + pushed + "\" stored as \"" + clash.stored + "\" : Success";
  EXPECT_EQ(LineAfter(2), expectedLine);
  EXPECT_EQ(TempFolder::ReadFile(folder_.Exchange() / clash.stored), "new");
  for (const std::string& name : clash.existing) {
    EXPECT_EQ(TempFolder::ReadFile(folder_.Exchange() / name), "old " + name);
  }
  ASSERT_TRUE(server_->WaitForTransferEvent(ServerEventKind::Received, 1));
  const auto received = OfKind(server_->TransferEvents(), ServerEventKind::Received);
  EXPECT_EQ(received.back().object, pushed);
  EXPECT_EQ(fs::path(received.back().path).filename(), clash.stored);
}

INSTANTIATE_TEST_SUITE_P(
    Names, NameClashTest,
    ::testing::Values(
        ClashCase{"FreeName", {}, u"a.txt", "a.txt"},
        ClashCase{"Taken", {"a.txt"}, u"a.txt", "a (1).txt"},
        ClashCase{"FirstNumberTakenToo", {"a.txt", "a (1).txt"}, u"a.txt", "a (2).txt"},
        ClashCase{"NoExtension", {"README"}, u"README", "README (1)"},
        ClashCase{"TwoDots", {"archive.tar.gz"}, u"archive.tar.gz", "archive.tar (1).gz"},
        ClashCase{"NumberedNameItself", {"a (1).txt"}, u"a (1).txt", "a (1) (1).txt"}),
    [](const ::testing::TestParamInfo<ClashCase>& clash) { return clash.param.title; });

TEST_F(TransferTest, TwoSessionsPushingOneNameAtOnceKeepBothObjects) {
  StartServer({.mode = ModeInbox});
  auto first = Connected();
  auto second = Connected();
  const auto begin = [](ObexClient& client, std::string_view body) {
    return client.Request(PacketBuilder(OpPut).Name(u"IMG_0001.jpg").Body(ToBytes(body)).Build())
        .packet;
  };
  // Both are under way before either ends.
  ASSERT_EQ(begin(*first, "first "), Continue);
  ASSERT_EQ(begin(*second, "second "), Continue);
  std::thread other([&] {
    EXPECT_EQ(second->Request(PacketBuilder(OpPutFinal).EndOfBody(ToBytes("photo")).Build()).packet,
              Success);
  });
  EXPECT_EQ(first->Request(PacketBuilder(OpPutFinal).EndOfBody(ToBytes("photo")).Build()).packet,
            Success);
  other.join();
  EXPECT_EQ(EntriesOf(folder_.Exchange()),
            (std::vector<std::string>{"IMG_0001 (1).jpg", "IMG_0001.jpg"}));
  std::vector<std::string> contents{TempFolder::ReadFile(folder_.Exchange() / "IMG_0001.jpg"),
                                    TempFolder::ReadFile(folder_.Exchange() / "IMG_0001 (1).jpg")};
  std::sort(contents.begin(), contents.end());
  EXPECT_EQ(contents, (std::vector<std::string>{"first photo", "second photo"}));
}

struct ReplaceCase {
  const char* title;
  uint8_t mode;
  bool replaceExisting;
};

class ReplacingTest : public TransferTest, public ::testing::WithParamInterface<ReplaceCase> {};

TEST_P(ReplacingTest, PushOfATakenNameReplacesTheFile) {
  TempFolder::WriteFile(folder_.Exchange() / "a.txt", "old");
  StartServer({.mode = GetParam().mode, .replaceExisting = GetParam().replaceExisting});
  auto client = Connected();
  ASSERT_EQ(client->Put(u"a.txt", ToBytes("new")).Code(), RspSuccess);
  EXPECT_EQ(LineAfter(2), "1 Put \"a.txt\" : Success");
  EXPECT_EQ(EntriesOf(folder_.Exchange()), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(TempFolder::ReadFile(folder_.Exchange() / "a.txt"), "new");
}

INSTANTIATE_TEST_SUITE_P(
    Services, ReplacingTest,
    ::testing::Values(ReplaceCase{"ObjectPushWithReplaceOn", ModeInbox, true},
                      ReplaceCase{"FolderBrowsing", ModeFolderBrowsing, false},
                      ReplaceCase{"FolderBrowsingWithReplaceOn", ModeFolderBrowsing, true}),
    [](const ::testing::TestParamInfo<ReplaceCase>& service) { return service.param.title; });

TEST_F(TransferTest, HiddenNamesAreStillRefusedWhenNamesAreKept) {
  StartServer({.mode = ModeInbox});
  auto client = Connected();
  EXPECT_EQ(client->Put(u".profile", ToBytes("x")).Code(), RspForbidden);
  EXPECT_TRUE(EntriesOf(folder_.Exchange()).empty());
}

}  // namespace
}  // namespace quillfern::testing
