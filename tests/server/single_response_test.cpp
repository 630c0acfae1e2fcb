#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "obex/headers.h"
#include "obex/packet.h"
#include "tcp/server_tcp.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/obex_client.h"
#include "tests/support/server_thread_runner.h"
#include "tests/support/temp_folder.h"

// Single Response Mode: a PUT or GET whose first packet asks for it, on a link that allows
// it, streams without an answer for each packet. The server's links here are TCP links that
// allow it, as an L2CAP link does, and plain TCP links that do not.
namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

const Bytes ContinueAgreeing = {0x90, 0x00, 0x05, 0x97, 0x01};
const Bytes Continue = {0x90, 0x00, 0x03};
const Bytes Success = {0xA0, 0x00, 0x03};
const Bytes Forbidden = {0xC3, 0x00, 0x03};
const Bytes EntityTooLarge = {0xCD, 0x00, 0x03};
const Bytes Abort = {0xFF, 0x00, 0x03};

constexpr uint16_t ClientMaxPacket = 4096;

// Bytes that differ from packet to packet, so a piece stored twice or out of order shows.
Bytes Pattern(size_t size) {
  Bytes data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
  return data;
}

Bytes FileBytes(const fs::path& path) {
  const std::string text = TempFolder::ReadFile(path);
  return Bytes(text.begin(), text.end());
}

std::vector<std::string> EntriesOf(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// The packets of a push of data in pieces of at most piece bytes: the first names the object
// and asks for Single Response Mode, the last is final.
std::vector<Bytes> PushPackets(std::u16string_view name, std::span<const uint8_t> data,
                               size_t piece) {
  std::vector<Bytes> packets;
  size_t sent = 0;
  do {
    const size_t chunk = std::min(piece, data.size() - sent);
    const bool final = sent + chunk == data.size();
    PacketBuilder packet(final ? OpPutFinal : OpPut);
    if (sent == 0) {
      packet.Name(name).Length(static_cast<uint32_t>(data.size())).SingleResponseMode(SrmEnable);
    }
    if (final) {
      packet.EndOfBody(data.subspan(sent, chunk));
    } else {
      packet.Body(data.subspan(sent, chunk));
    }
    packets.push_back(packet.Build());
    sent += chunk;
  } while (sent < data.size());
  return packets;
}

Bytes GetRequest(std::u16string_view name, std::optional<uint8_t> parameter = std::nullopt) {
  PacketBuilder packet(OpGetFinal);
  packet.Name(name).SingleResponseMode(SrmEnable);
  if (parameter) packet.SingleResponseParameters(*parameter);
  return packet.Build();
}

// A GET packet of the response phase that asks the server to wait after its next response.
Bytes GetWait() {
  return PacketBuilder(OpGetFinal).SingleResponseParameters(SrmpWait).Build();
}

std::optional<uint8_t> ByteHeaderOf(const Response& response, uint8_t id) {
  HeaderIndex index;
  if (response.packet.empty() || IndexHeaders(response.packet, RequestHeadersOffset, index) < 0 ||
      !HasHeader(index, id)) {
    return std::nullopt;
  }
  return GetByteHeader(response.packet, id, index);
}

// Appends the response's data to object.
void TakeBody(const Response& response, Bytes& object) {
  HeaderIndex index;
  if (IndexHeaders(response.packet, RequestHeadersOffset, index) < 0) return;
  for (const uint8_t id : {HdrBody, HdrEndOfBody}) {
    const auto data = GetByteSequenceView(response.packet, id, index);
    object.insert(object.end(), data.begin(), data.end());
  }
}

// Takes responses without sending anything until one that is not Continue; the data of
// them all in object.
Response ReceiveUntilFinal(ObexClient& client, Bytes& object, size_t* continues = nullptr) {
  for (;;) {
    Response response = client.Receive();
    if (response.result <= 0) return response;
    TakeBody(response, object);
    if (response.Code() != RspContinue) return response;
    if (continues) ++*continues;
  }
}

class SingleResponseTest : public ::testing::Test {
 protected:
  void StartServer(ServerOptions options = {}) {
    options.root = folder_.Exchange();
    server_ = std::make_unique<ServerThreadRunner>(options);
    ASSERT_EQ(server_->StartResult(), 0) << server_->ErrorText();
    seen_ = 0;
  }
  void StartServer(bool allowed) { StartServer(ServerOptions{.singleResponseMode = allowed}); }

  std::unique_ptr<ObexClient> Connected() {
    auto client = std::make_unique<ObexClient>();
    EXPECT_EQ(client->Open("127.0.0.1", server_->Port()), 0);
    EXPECT_EQ(client->Connect(ClientMaxPacket).Code(), RspSuccess);
    EXPECT_NE(NextLine().find(" Connected : "), std::string::npos);
    return client;
  }

  // The next log line, waiting for it.
  std::string NextLine() {
    if (!server_->WaitForLines(seen_ + 1)) return "(no line)";
    return server_->Lines()[seen_++];
  }

  // Sends every packet without waiting for an answer, as a client in Single Response Mode
  // does.
  static void Stream(ObexClient& client, const std::vector<Bytes>& packets, size_t from = 0) {
    for (size_t i = from; i < packets.size(); ++i) {
      ASSERT_EQ(client.Send(packets[i]), static_cast<int>(packets[i].size()));
    }
  }

  // The session answers its next request in step: a push of a small object.
  void ExpectInStep(ObexClient& client) {
    const Bytes whole = PacketBuilder(OpPutFinal).Name(u"after.txt").EndOfBody(Pattern(5)).Build();
    EXPECT_EQ(client.Request(whole).packet, Success);
    EXPECT_EQ(NextLine(), "1 Put \"after.txt\" : Success");
    fs::remove(folder_.Exchange() / "after.txt");
  }

  int Cancel() {
    int result = 0;
    server_->OnServerThread([&](TOBEXServerTCP& server) { result = server.CancelTransfer(0); });
    return result;
  }

  fs::path Exchange() const { return folder_.Exchange(); }

  TempFolder folder_;
  std::unique_ptr<ServerThreadRunner> server_;
  size_t seen_ = 0;
};

// Several packets, one answer: the agreement to the first, then Success to the final one
// once the file is in place. The first response the client finds after streaming the rest
// is that Success: no Continue was sent for any packet in between.
TEST_F(SingleResponseTest, PushStreamsItsPacketsAndHearsOnlyTheFinalAnswer) {
  StartServer(true);
  auto client = Connected();
  // Pieces below and above the size the writer gathers, and packets that are all body.
  for (const size_t piece : {size_t{1000}, size_t{ClientMaxPacket - 6}}) {
    SCOPED_TRACE(piece);
    const Bytes data = Pattern(50000 + piece);
    const std::vector<Bytes> packets = PushPackets(u"stream.bin", data, piece);
    ASSERT_GT(packets.size(), 10u);
    EXPECT_EQ(client->Request(packets[0]).packet, ContinueAgreeing);
    Stream(*client, packets, 1);
    EXPECT_EQ(client->Receive().packet, Success);
    EXPECT_EQ(FileBytes(Exchange() / "stream.bin"), data);
    EXPECT_EQ(NextLine(), "1 Put \"stream.bin\" : Success");
  }
  EXPECT_TRUE(server_->WaitForEvents(ServerEventKind::Received, 2));
  ExpectInStep(*client);
}

// The server sends every response of the object after the first without a request for
// each, the first agreeing; the body arrives whole, for a file and a folder listing.
TEST_F(SingleResponseTest, FetchStreamsResponsesWithoutARequestEach) {
  StartServer(true);
  const Bytes data = Pattern(200000);
  TempFolder::WriteFile(Exchange() / "big.bin", std::string(data.begin(), data.end()));
  auto client = std::make_unique<ObexClient>();
  ASSERT_EQ(client->Open("127.0.0.1", server_->Port()), 0);
  ASSERT_EQ(client->Connect(ClientMaxPacket, FolderBrowsingTarget).Code(), RspSuccess);
  NextLine();

  ASSERT_GT(client->Send(GetRequest(u"big.bin")), 0);
  const Response first = client->Receive();
  EXPECT_EQ(first.Code(), RspContinue);
  EXPECT_EQ(ByteHeaderOf(first, HdrSingleResponseMode), SrmEnable);
  Bytes object;
  TakeBody(first, object);
  size_t continues = 0;
  EXPECT_EQ(ReceiveUntilFinal(*client, object, &continues).Code(), RspSuccess);
  EXPECT_GT(continues, 40u);
  EXPECT_EQ(object, data);
  EXPECT_EQ(NextLine(), "1 Get file \"big.bin\" : Success");

  ASSERT_GT(client->Send(PacketBuilder(OpGetFinal)
                             .Type("x-obex/folder-listing")
                             .SingleResponseMode(SrmEnable)
                             .Build()),
            0);
  Bytes listing;
  EXPECT_EQ(ReceiveUntilFinal(*client, listing).Code(), RspSuccess);
  EXPECT_NE(std::string(listing.begin(), listing.end()).find("name=\"big.bin\""),
            std::string::npos);
  EXPECT_EQ(NextLine(), "1 Get folder listing : Success");
  ExpectInStep(*client);
}

// The same client over a link that allows the mode and one that does not (RFCOMM, TCP):
// there the request is ignored, no answer carries the header, and each packet is answered.
TEST_F(SingleResponseTest, ALinkThatDoesNotAllowItAnswersEveryPacket) {
  for (const bool allowed : {true, false}) {
    SCOPED_TRACE(allowed ? "allowed" : "not allowed");
    StartServer(allowed);
    auto client = Connected();
    const Bytes data = Pattern(9000);
    const std::vector<Bytes> packets = PushPackets(u"p.bin", data, 3000);
    EXPECT_EQ(client->Request(packets[0]).packet, allowed ? ContinueAgreeing : Continue);
    if (allowed) {
      Stream(*client, packets, 1);
      EXPECT_EQ(client->Receive().packet, Success);
    } else {
      EXPECT_EQ(client->Request(packets[1]).packet, Continue);
      EXPECT_EQ(client->Request(packets[2]).packet, Success);
    }
    EXPECT_EQ(FileBytes(Exchange() / "p.bin"), data);
    EXPECT_EQ(NextLine(), "1 Put \"p.bin\" : Success");

    TempFolder::WriteFile(Exchange() / "g.bin", std::string(20000, 'g'));
    ASSERT_GT(client->Send(GetRequest(u"g.bin")), 0);
    Response response = client->Receive();
    EXPECT_EQ(ByteHeaderOf(response, HdrSingleResponseMode),
              allowed ? std::optional<uint8_t>(SrmEnable) : std::nullopt);
    Bytes object;
    TakeBody(response, object);
    if (allowed) {
      response = ReceiveUntilFinal(*client, object);
    } else {
      while (response.Code() == RspContinue) {
        response = client->Request(PacketBuilder(OpGetFinal).Build());
        TakeBody(response, object);
      }
    }
    EXPECT_EQ(response.Code(), RspSuccess);
    EXPECT_EQ(object.size(), 20000u);
    EXPECT_EQ(NextLine(), "1 Get file \"g.bin\" : Success");
    ExpectInStep(*client);
    client.reset();
    server_.reset();
    fs::remove_all(Exchange());
    fs::create_directory(Exchange());
  }
}

// A GET packet with the wait parameter holds the stream after the next response until the
// client's next request; one without lets it run on.
TEST_F(SingleResponseTest, FetchWaitsWhereTheClientAsksItTo) {
  StartServer(true);
  const Bytes data = Pattern(100000);
  TempFolder::WriteFile(Exchange() / "w.bin", std::string(data.begin(), data.end()));
  auto client = Connected();
  struct Case {
    std::string label;
    bool abortWhileHeld;
  };
  for (const Case& c : {Case{"paced, then let run", false}, Case{"paced, then aborted", true}}) {
    SCOPED_TRACE(c.label);
    ASSERT_GT(client->Send(GetRequest(u"w.bin", SrmpWait)), 0);
    Bytes object;
    Response response = client->Receive();
    EXPECT_EQ(ByteHeaderOf(response, HdrSingleResponseMode), SrmEnable);
    TakeBody(response, object);
    // One response for each request while the client asks the server to wait.
    for (int i = 0; i < 3; ++i) {
      response = client->Request(GetWait());
      ASSERT_EQ(response.Code(), RspContinue);
      TakeBody(response, object);
    }
    if (c.abortWhileHeld) {
      // The server holds the stream: the answer to the ABORT is the very next response.
      EXPECT_EQ(client->Request(Abort).packet, Success);
      EXPECT_EQ(NextLine(), "1 Get file \"w.bin\" : Aborted");
    } else {
      ASSERT_GT(client->Send(PacketBuilder(OpGetFinal).Build()), 0);
      EXPECT_EQ(ReceiveUntilFinal(*client, object).Code(), RspSuccess);
      EXPECT_EQ(object, data);
      EXPECT_EQ(NextLine(), "1 Get file \"w.bin\" : Success");
      // A request to pause that crossed the end of the stream gets no answer: the next
      // answer the client hears is the one to its next request.
      ASSERT_EQ(client->Send(GetWait()), 5);
      ExpectInStep(*client);
    }
  }
  ExpectInStep(*client);
}

// An ABORT among the streamed packets of a push is answered Success and nothing is stored;
// one sent while a fetch streams is read between the responses and answered Success after
// those already sent.
TEST_F(SingleResponseTest, AbortInTheMiddleOfAStreamEndsIt) {
  StartServer(true);
  auto client = Connected();
  const std::vector<Bytes> packets = PushPackets(u"cut.bin", Pattern(40000), 2000);
  EXPECT_EQ(client->Request(packets[0]).packet, ContinueAgreeing);
  Stream(*client, std::vector<Bytes>(packets.begin(), packets.begin() + 8), 1);
  EXPECT_EQ(client->Request(Abort).packet, Success);
  EXPECT_EQ(NextLine(), "1 Put \"cut.bin\" : Aborted");
  EXPECT_EQ(EntriesOf(Exchange()), std::vector<std::string>{});
  ExpectInStep(*client);

  // Large enough that the stream is still running when the ABORT arrives.
  const fs::path big = Exchange() / "big.bin";
  TempFolder::WriteFile(big, "");
  ASSERT_EQ(::truncate(big.c_str(), 64 * 1024 * 1024), 0);
  ASSERT_GT(client->Send(GetRequest(u"big.bin")), 0);
  EXPECT_EQ(client->Receive().Code(), RspContinue);
  ASSERT_EQ(client->Send(Abort), 3);
  Bytes object;
  EXPECT_EQ(ReceiveUntilFinal(*client, object).packet, Success);
  EXPECT_LT(object.size(), 64u * 1024 * 1024);
  EXPECT_EQ(NextLine(), "1 Get file \"big.bin\" : Aborted");
  ExpectInStep(*client);
}

// The user cancels: a fetch hears Forbidden at once, without a request; a push hears it at
// the next packet that arrives, and the packets of it that follow, up to its final one, get
// no answer. Nothing is stored, and the session answers the next request in step.
TEST_F(SingleResponseTest, CancelInTheMiddleOfAStreamIsForbiddenAtOnce) {
  StartServer(true);
  auto client = Connected();
  const Bytes data = Pattern(40000);
  const std::vector<Bytes> packets = PushPackets(u"cancelled.bin", data, 2000);
  EXPECT_EQ(client->Request(packets[0]).packet, ContinueAgreeing);
  Stream(*client, std::vector<Bytes>(packets.begin(), packets.begin() + 5), 1);
  ASSERT_EQ(Cancel(), 0);
  Stream(*client, packets, 5);
  EXPECT_EQ(client->Receive().packet, Forbidden);
  EXPECT_EQ(NextLine(), "1 Put \"cancelled.bin\" : Cancelled by the user");
  ExpectInStep(*client);
  EXPECT_EQ(EntriesOf(Exchange()), std::vector<std::string>{});

  // Larger than the socket buffers hold: the server is still sending when the user cancels.
  const fs::path big = Exchange() / "big.bin";
  TempFolder::WriteFile(big, "");
  ASSERT_EQ(::truncate(big.c_str(), 64 * 1024 * 1024), 0);
  ASSERT_GT(client->Send(GetRequest(u"big.bin")), 0);
  EXPECT_EQ(client->Receive().Code(), RspContinue);
  ASSERT_EQ(Cancel(), 0);
  Bytes object;
  EXPECT_EQ(ReceiveUntilFinal(*client, object).packet, Forbidden);
  EXPECT_EQ(NextLine(), "1 Get file \"big.bin\" : Cancelled by the user");
  ExpectInStep(*client);
}

// A first packet that is refused gets the refusal alone: no agreement, nothing streams, and
// the next push in the mode runs as it should.
TEST_F(SingleResponseTest, ARefusedFirstPacketStartsNoStream) {
  StartServer(true);
  TempFolder::WriteFile(Exchange() / ".hidden", "secret");
  const std::vector<std::string> outside = TempFolder::Snapshot(folder_.Outside());
  auto client = Connected();
  struct Case {
    std::string label;
    Bytes request;
    Bytes answer;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"hidden name pushed", PushPackets(u".profile", Pattern(9000), 3000)[0], Forbidden,
       "1 Forbidden"},
      {"name outside pushed", PushPackets(u"../out.bin", Pattern(9000), 3000)[0], Forbidden,
       "1 Forbidden"},
      {"hidden name fetched", GetRequest(u".hidden"), Forbidden,
       "1 Get file \".hidden\" : Forbidden"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(client->Request(c.request).packet, c.answer);
    EXPECT_EQ(NextLine(), c.line);
    const Bytes data = Pattern(9000);
    const std::vector<Bytes> packets = PushPackets(u"next.bin", data, 3000);
    EXPECT_EQ(client->Request(packets[0]).packet, ContinueAgreeing);
    Stream(*client, packets, 1);
    EXPECT_EQ(client->Receive().packet, Success);
    EXPECT_EQ(NextLine(), "1 Put \"next.bin\" : Success");
    EXPECT_EQ(FileBytes(Exchange() / "next.bin"), data);
  }
  EXPECT_EQ(TempFolder::Snapshot(folder_.Outside()), outside);
}

// The disk fills part way: the refusal goes out as the write fails (small pieces are gathered
// and written together, so within a few packets), before the client's final packet;
// the packets still on the way get no answer; nothing of the object stays.
TEST_F(SingleResponseTest, FullDiskInTheMiddleOfAStreamIsRefusedAtOnce) {
  StartServer(true);
  auto client = Connected();
  // Packets all body (spliced into the file) and packets with more than their data (written).
  for (const bool bodyOnly : {true, false}) {
    SCOPED_TRACE(bodyOnly ? "spliced" : "written");
    std::vector<Bytes> packets = PushPackets(u"full.bin", Pattern(200000), ClientMaxPacket - 6);
    if (!bodyOnly) {
      for (size_t i = 1; i + 1 < packets.size(); ++i) {
        // A Length header before the data: the packet is taken whole and its data written.
        packets[i] =
            PacketBuilder(OpPut).Length(200000).Body(std::span(packets[i]).subspan(6)).Build();
      }
    }
    const FileSizeLimit limit(20000);
    EXPECT_EQ(client->Request(packets[0]).packet, ContinueAgreeing);
    // The client goes on up to its last packet but one; the refusal is there before the final.
    Stream(*client, std::vector<Bytes>(packets.begin(), packets.end() - 1), 1);
    EXPECT_EQ(client->Receive().packet, EntityTooLarge);
    Stream(*client, packets, packets.size() - 1);
    EXPECT_EQ(NextLine(), "1 Put \"full.bin\" : Requested entity too large");
    ExpectInStep(*client);
    EXPECT_EQ(EntriesOf(Exchange()), std::vector<std::string>{});
  }
}

// A push to a device the user has not chosen waits for the user's answer; the first
// response, and with it the agreement, comes only once the user has accepted, and the client
// streams only after it.
TEST_F(SingleResponseTest, ThePushQuestionHoldsTheFirstAnswerUntilTheUserAnswers) {
  StartServer(ServerOptions{.mode = ModeInbox, .singleResponseMode = true});
  server_->OnServerThread(
      [](TOBEXServerTCP& server) { server.SetPushPolicy(PushPolicy::AskUnchosen, {}); });
  auto client = Connected();
  const Bytes data = Pattern(30000);
  const std::vector<Bytes> packets = PushPackets(u"asked.bin", data, 3000);
  ASSERT_EQ(client->Send(packets[0]), static_cast<int>(packets[0].size()));
  ASSERT_TRUE(server_->WaitForEvents(ServerEventKind::PushQuestion, 1));
  EXPECT_FALSE(client->Transport().PacketWaiting());
  const uint64_t question = server_->Events(ServerEventKind::PushQuestion).at(0).question;
  server_->OnServerThread(
      [&](TOBEXServerTCP& server) { server.AnswerPush(question, PushAnswer::Accept); });
  EXPECT_EQ(client->Receive().packet, ContinueAgreeing);
  Stream(*client, packets, 1);
  EXPECT_EQ(client->Receive().packet, Success);
  EXPECT_EQ(FileBytes(Exchange() / "asked.bin"), data);
  EXPECT_EQ(NextLine(), "1 Put \"asked.bin\" : Success");
}

}  // namespace
}  // namespace quillfern::testing
