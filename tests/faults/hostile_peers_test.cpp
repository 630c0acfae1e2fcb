// Peers that misbehave on purpose, against the real program: one that sends
// a byte every few seconds, one that never reads its GET response, one that
// floods CONNECTs. None of them holds the main thread (a newcomer is
// answered at once), grows the program's memory without bound, or stops the
// clients in the other slots.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "obex/packet.h"
#include "platform/clock.h"
#include "platform/unique_fd.h"
#include "tests/faults/fault_fixture.h"
#include "tests/support/headless_process.h"

namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers keep freed memory aside and add their own.
constexpr size_t MemoryGrowthLimitKiB = 96 * 1024;
#else
constexpr size_t MemoryGrowthLimitKiB = 16 * 1024;
#endif
// A newcomer's CONNECT is answered within this while the others misbehave.
constexpr uint64_t AnsweredWithinMs = 1500;

const Bytes ConnectRequest = {0x80, 0x00, 0x07, 0x10, 0x00, 0x20, 0x00};
const Bytes GetNext = PacketBuilder(OpGetFinal).Build();

// A blocking loopback socket, with a small receive buffer when asked.
UniqueFd RawPeer(uint16_t port, int receiveBuffer = 0) {
  UniqueFd peer(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (receiveBuffer > 0) {
    setsockopt(peer.Get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(connect(peer.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return peer;
}

bool SendAll(int socket, const Bytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t count = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) return false;
    sent += static_cast<size_t>(count);
  }
  return true;
}

// Reads exactly count bytes, or fewer when the time runs out or the stream ends.
Bytes ReadBytes(int socket, size_t count, uint32_t timeoutMs) {
  Bytes bytes;
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  while (bytes.size() < count) {
    const uint64_t now = MonotonicMs();
    if (now >= deadline) break;
    pollfd entry{socket, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(deadline - now)) <= 0) continue;
    uint8_t chunk[4096];
    const ssize_t got = recv(socket, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
    if (got <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  return bytes;
}

size_t ResidentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
  }
  return 0;
}

size_t OpenDescriptors(pid_t pid) {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry :
       fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    ++count;
  }
  return count;
}

class HostilePeersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TempFolder::WriteFile(folder_.Exchange() / "big.bin", big_);
    port_ = process_.WaitForPort(8000);
    ASSERT_NE(port_, 0);
    // Every record is read as it comes, so the program's output never waits.
    reader_ = std::thread([this] {
      std::string line;
      while (!stop_.load()) {
        if (process_.ReadLine(line, 200)) {
          std::lock_guard lock(mutex_);
          lines_.push_back(line.substr(line.find(' ', 11) + 1));  // after the time
        }
      }
    });
  }
  void TearDown() override {
    stop_.store(true);
    if (reader_.joinable()) reader_.join();
  }

  std::unique_ptr<ObexClient> Client() {
    auto client = std::make_unique<ObexClient>();
    EXPECT_EQ(client->Open("127.0.0.1", port_), 0);
    EXPECT_EQ(client->Connect().Code(), RspSuccess);
    return client;
  }

  // A client in another slot is served whole: a push and a fetch.
  void ExpectOtherSlotServed(ObexClient& client, int round) {
    const std::string name = "other-" + std::to_string(round) + ".bin";
    const std::string data = Pattern(256 * 1024 + static_cast<size_t>(round));
    EXPECT_EQ(client.Put(std::u16string(name.begin(), name.end()), ToBytes(data)).Code(),
              RspSuccess);
    Bytes object;
    EXPECT_EQ(client.Get(std::u16string(name.begin(), name.end()), "", object).Code(), RspSuccess);
    EXPECT_EQ(object, ToBytes(data));
  }

  // A newcomer's link and CONNECT are taken at once: the main thread is
  // free. It is answered Success, or Service Unavailable when the slots are
  // full, or, amid a crowd, its link is closed when a later peer takes the
  // slot it held before its CONNECT arrived; never left waiting.
  void ExpectNewcomerAnsweredAtOnce() {
    const uint64_t start = MonotonicMs();
    ObexClient newcomer;
    ASSERT_EQ(newcomer.Open("127.0.0.1", port_), 0);
    const Response response = newcomer.Connect();
    EXPECT_NE(response.result, 0);  // 0: nothing came within the time
    EXPECT_LT(MonotonicMs() - start, AnsweredWithinMs);
  }

  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Waits for a record "<kind> <slot> <text>" that starts as given.
  bool WaitForLine(const std::string& wanted, uint32_t timeoutMs = 8000) {
    const uint64_t deadline = MonotonicMs() + timeoutMs;
    while (MonotonicMs() < deadline) {
      for (const std::string& line : Lines()) {
        if (line.rfind(wanted, 0) == 0) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  TempFolder folder_;
  const std::string big_ = Pattern(8 * 1024 * 1024);
  HeadlessProcess process_{{QUILLFERN_BINARY, "--headless", "--no-settings", "--listen",
                            "127.0.0.1", "--root", folder_.Exchange().string(), "--port", "0"}};
  uint16_t port_ = 0;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> lines_;  // written by reader_ under mutex_
};

TEST_F(HostilePeersTest, PeerSendingAByteEveryFewSecondsHoldsOnlyItsOwnSlot) {
  auto slow = Client();
  auto other = Client();
  const std::string content = "slowly";
  const Bytes put = PacketBuilder(OpPutFinal).Name(u"slow.txt").EndOfBody(ToBytes(content)).Build();
  // A byte every two seconds: slower than anyone would call a transfer, yet
  // never standing still as long as the link's time limit.
  std::atomic<bool> done{false};
  std::thread crawler([&] {
    for (size_t i = 0; i < 3; ++i) {
      SendAll(slow->Transport().Socket(), Bytes{put[i]});
      std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    done.store(true);
  });
  const size_t memoryBefore = ResidentKiB(process_.Pid());
  for (int round = 0; !done.load() && round < 50; ++round) {
    ExpectOtherSlotServed(*other, round);
    ExpectNewcomerAnsweredAtOnce();
  }
  crawler.join();
  EXPECT_LT(ResidentKiB(process_.Pid()), memoryBefore + MemoryGrowthLimitKiB);
  // The rest of the packet comes at once: the slow push is stored.
  EXPECT_TRUE(SendAll(slow->Transport().Socket(), Bytes(put.begin() + 3, put.end())));
  EXPECT_EQ(slow->Receive().Code(), RspSuccess);
  EXPECT_EQ(TempFolder::ReadFile(folder_.Exchange() / "slow.txt"), content);
  EXPECT_TRUE(WaitForLine("TCP 1 Put \"slow.txt\" : Success"));
}

TEST_F(HostilePeersTest, PeerThatNeverReadsItsGetResponseIsDroppedAndHoldsUpNoOne) {
  UniqueFd stalled = RawPeer(port_, 4096);
  ASSERT_TRUE(SendAll(stalled.Get(), ConnectRequest));
  ASSERT_EQ(ReadBytes(stalled.Get(), 12, 2000).size(), 12u);
  // It asks for the whole object at once, request after request, and reads
  // nothing: the server's answers pile up until its send waits.
  ASSERT_TRUE(SendAll(stalled.Get(), PacketBuilder(OpGetFinal).Name(u"big.bin").Build()));
  for (int i = 0; i < 200; ++i) {
    if (!SendAll(stalled.Get(), GetNext)) break;
  }
  auto other = Client();
  const size_t memoryBefore = ResidentKiB(process_.Pid());
  for (int round = 0; round < 3; ++round) {
    ExpectOtherSlotServed(*other, round);
    ExpectNewcomerAnsweredAtOnce();
  }
  // A send that makes no progress for the link's time limit ends the
  // transfer, and the peer that cannot take answers is dropped.
  EXPECT_TRUE(WaitForLine("TCP 1 Get file \"big.bin\" : Unknown response ", 10000));
  EXPECT_TRUE(WaitForLine("TCP 1 Disconnected : 127.0.0.1:", 5000));
  EXPECT_LT(ResidentKiB(process_.Pid()), memoryBefore + MemoryGrowthLimitKiB);
  // Its slot serves the next peer.
  auto next = Client();
  ExpectOtherSlotServed(*next, 10);
}

TEST_F(HostilePeersTest, ConnectFloodsNeitherGrowMemoryNorStopTheOtherSlots) {
  auto other = Client();
  const size_t memoryBefore = ResidentKiB(process_.Pid());
  const size_t descriptorsBefore = OpenDescriptors(process_.Pid());

  // One connected peer sends CONNECT after CONNECT without reading: each is
  // answered Bad Request (with the CONNECT fields) and the session stays.
  constexpr size_t Repeats = 20000;
  UniqueFd repeater = RawPeer(port_);
  ASSERT_TRUE(SendAll(repeater.Get(), ConnectRequest));
  ASSERT_EQ(ReadBytes(repeater.Get(), 12, 2000).size(), 12u);
  Bytes flood;
  for (size_t i = 0; i < Repeats; ++i)
    flood.insert(flood.end(), ConnectRequest.begin(), ConnectRequest.end());
  std::thread sender([&] { SendAll(repeater.Get(), flood); });

  // Many peers connect, send CONNECT and go, one after another.
  std::atomic<size_t> answered{0};
  std::thread crowd([&] {
    for (int i = 0; i < 300; ++i) {
      UniqueFd peer = RawPeer(port_);
      if (SendAll(peer.Get(), ConnectRequest) && ReadBytes(peer.Get(), 3, 3000).size() == 3) {
        answered.fetch_add(1);
      }
    }
  });
  for (int round = 0; round < 3; ++round) {
    ExpectOtherSlotServed(*other, round);
    ExpectNewcomerAnsweredAtOnce();
  }
  crowd.join();
  EXPECT_EQ(answered.load(), 300u);

  const Bytes badRequest = {RspBadRequest, 0x00, 0x07, 0x10, 0x00, 0xFF, 0xFF};
  const size_t size = badRequest.size();
  const Bytes answers = ReadBytes(repeater.Get(), size * Repeats, 20000);
  sender.join();
  ASSERT_EQ(answers.size(), size * Repeats);
  for (size_t i = 0; i < Repeats; ++i) {
    ASSERT_EQ(Bytes(answers.begin() + size * i, answers.begin() + size * (i + 1)), badRequest) << i;
  }
  EXPECT_LT(ResidentKiB(process_.Pid()), memoryBefore + MemoryGrowthLimitKiB);
  // Refused peers' sockets are closed about a second after their answer;
  // what stays is at most two descriptors for each of the slots the
  // crowd used (its last peer's socket and its exchange folder, kept until
  // the slot's next peer).
  size_t descriptors = OpenDescriptors(process_.Pid());
  for (int i = 0; i < 40 && descriptors > descriptorsBefore + 2 * 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    descriptors = OpenDescriptors(process_.Pid());
  }
  EXPECT_LE(descriptors, descriptorsBefore + 2 * 4);
  // Each peer of the crowd that was taken into a slot is logged coming and
  // going; the last one's going may still be on its way to the log.
  size_t connected = 0;
  size_t disconnected = 0;
  for (int i = 0; i < 50; ++i) {
    connected = 0;
    disconnected = 0;
    for (const std::string& line : Lines()) {
      if (line.find(" Connected : ") != std::string::npos) ++connected;
      if (line.find(" Disconnected : ") != std::string::npos) ++disconnected;
    }
    if (connected - disconnected <= 2) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_GT(connected, 0u);
  // The repeater and the served client are still connected.
  EXPECT_EQ(connected - disconnected, 2u);
  // The repeater's session still serves it.
  const Bytes push = PacketBuilder(OpPutFinal).Name(u"after.txt").EndOfBody(ToBytes("ok")).Build();
  ASSERT_TRUE(SendAll(repeater.Get(), push));
  EXPECT_EQ(ReadBytes(repeater.Get(), 3, 3000), (Bytes{RspSuccess, 0x00, 0x03}));
}

}  // namespace
}  // namespace quillfern::testing
