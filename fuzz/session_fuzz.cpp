// Fuzz target: a whole session fed an arbitrary byte stream as a peer's requests.
// The first byte picks the service (Object Push, Folder Browsing with its target
// required, TCP folder browsing) and whether hidden files are reachable; the rest is
// sent to the session as one stream, then the peer stops sending and reads the answers
// until the session closes. After every input: nothing outside the exchange folder has
// changed, the session answered or closed within its limits, its answers are whole
// packets, and it never answered more requests than it was sent.

#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "obex/packet.h"
#include "obex/transport.h"
#include "platform/event_loop.h"
#include "platform/unique_fd.h"
#include "server/session.h"
#include "tcp/server_tcp.h"

namespace {

using namespace quillfern;
namespace fs = std::filesystem;

// A session that neither answers nor closes in this time has hung. Its own limit on a
// stalled link is far shorter; the margin is for a machine under heavy load, where a
// plain connect and disconnect was seen to take most of a second.
constexpr int64_t SessionLimitMs = 10000;
// The sessions' own limit on a stalled link, short so that a run stays fast.
constexpr uint32_t TransportTimeoutMs = 300;

void Fail(const char* what) {
  std::fprintf(stderr, "session_fuzz: %s\n", what);
  std::abort();
}

// The TCP listener without its socket: peers are handed over directly.
class DirectServer : public TOBEXServerTCP {
 public:
  using TOBEXServerTCP::TOBEXServerTCP;
  int Adopt(UniqueFd socket) { return AdoptPeer(std::move(socket), "fuzz peer"); }
};

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Everything under base except the exchange folder: kind, size and content of each entry.
std::map<std::string, std::string> Snapshot(const fs::path& base, const fs::path& exchange) {
  std::map<std::string, std::string> entries;
  for (auto it = fs::recursive_directory_iterator(base); it != fs::recursive_directory_iterator();
       ++it) {
    if (it->path() == exchange) {
      it.disable_recursion_pending();
      continue;
    }
    const auto status = it->symlink_status();
    std::string value = std::to_string(static_cast<int>(status.type())) + ":" +
                        std::to_string(static_cast<unsigned>(status.permissions()));
    if (fs::is_regular_file(status)) value += ":" + ReadFile(it->path());
    if (fs::is_symlink(status)) value += ":" + fs::read_symlink(it->path()).string();
    entries[it->path().string()] = value;
  }
  return entries;
}

// Everything a session could change is watched: the exchange folder and its
// folders, and every folder outside it. Most inputs change nothing, and then the
// folders are neither compared nor rebuilt, which keeps a run fast.
constexpr uint32_t ChangeEvents = IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                  IN_DELETE_SELF | IN_MODIFY | IN_MOVE_SELF | IN_MOVED_FROM |
                                  IN_MOVED_TO;

struct Fixture {
  fs::path base;
  fs::path exchange;
  std::map<std::string, std::string> outside;
  UniqueFd watch{inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};

  Fixture() {
    // A memory file system where there is one: creating and removing files there
    // costs far less than on a disk.
    const char* parent = fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(parent) + "/quillfern-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Fail("cannot make the temporary folder");
    if (!watch) Fail("inotify");
    base = pattern;
    exchange = base / "exchange";
    fs::create_directories(base / "outside" / "inner");
    WriteFile(base / "outside" / "canary.txt", "canary");
    WriteFile(base / "outside" / "inner" / "deep.txt", "deep");
    WriteFile(base / "exchangeX", "a sibling whose name extends the exchange folder's");
    for (const fs::path& folder : {base, base / "outside", base / "outside" / "inner"}) {
      Watch(folder);
    }
    ResetExchange();
    outside = Snapshot(base, exchange);
  }
  ~Fixture() {
    std::error_code ignored;
    fs::remove_all(base, ignored);
  }

  void Watch(const fs::path& folder) const {
    if (inotify_add_watch(watch.Get(), folder.c_str(), ChangeEvents | IN_DONT_FOLLOW) < 0) {
      Fail("inotify_add_watch");
    }
  }

  // True when anything watched changed since the last call.
  bool Changed() const {
    bool changed = false;
    alignas(inotify_event) char buffer[16384];
    while (read(watch.Get(), buffer, sizeof buffer) > 0) changed = true;
    return changed;
  }

  // A few files, a folder, hidden entries and links that lead outside.
  void ResetExchange() const {
    std::error_code error;
    fs::remove_all(exchange, error);
    fs::create_directories(exchange / "sub" / "inner");
    fs::create_directories(exchange / ".hidden-folder");
    WriteFile(exchange / "a.txt", "alpha");
    WriteFile(exchange / "sub" / "b.txt", "beta");
    WriteFile(exchange / ".hidden.txt", "hidden");
    WriteFile(exchange / ".hidden-folder" / "c.txt", "gamma");
    fs::create_directory_symlink("../outside", exchange / "link-out", error);
    fs::create_symlink("../outside/canary.txt", exchange / "link-canary", error);
    fs::create_directory_symlink("..", exchange / "sub" / "up", error);
    for (const fs::path& folder :
         {exchange, exchange / "sub", exchange / "sub" / "inner", exchange / ".hidden-folder"}) {
      Watch(folder);
    }
    Changed();  // the rebuilding's own events
  }
};

// Counts the whole packets at the start of bytes; false when bytes end inside one or
// hold a length field below the packet head.
bool CountPackets(std::span<const uint8_t> bytes, size_t& count) {
  count = 0;
  size_t position = 0;
  while (bytes.size() - position >= ObexPacketHeadSize) {
    const size_t length = PacketLength(bytes.subspan(position));
    if (length < ObexPacketHeadSize || length > bytes.size() - position) return false;
    position += length;
    ++count;
  }
  return position == bytes.size();
}

// Sends the stream, stops sending, and reads the answers until the session closes.
std::vector<uint8_t> Converse(EventLoop& loop, int peer, std::span<const uint8_t> stream) {
  std::vector<uint8_t> answers;
  size_t sent = 0;
  bool sendingDone = false;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(SessionLimitMs);
  for (;;) {
    if (!sendingDone && sent == stream.size()) {
      shutdown(peer, SHUT_WR);
      sendingDone = true;
    }
    loop.Dispatch();
    // Woken by the peer's socket or by the loop's own descriptor, whichever is first:
    // the session's end reaches the peer through the main thread.
    pollfd entries[2] = {{peer, static_cast<short>(POLLIN | (sendingDone ? 0 : POLLOUT)), 0},
                         {loop.Descriptor(), POLLIN, 0}};
    poll(entries, 2, 20);
    const pollfd& entry = entries[0];
    if (entry.revents & POLLOUT) {
      const ssize_t count =
          send(peer, stream.data() + sent, stream.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (count > 0) sent += static_cast<size_t>(count);
      if (count < 0 && errno != EAGAIN) sendingDone = true;  // the session closed first
    }
    if (entry.revents & (POLLIN | POLLHUP | POLLERR)) {
      uint8_t buffer[65536];
      const ssize_t count = recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
      if (count == 0 || (count < 0 && errno != EAGAIN)) break;  // closed
      if (count > 0) answers.insert(answers.end(), buffer, buffer + count);
    }
    if (std::chrono::steady_clock::now() > deadline) Fail("session neither answered nor closed");
  }
  return answers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static Fixture fixture;
  static EventLoop loop;
  static std::unique_ptr<DirectServer> servers[3];
  if (!servers[0]) {
    for (size_t i = 0; i < 3; ++i) {
      servers[i] = std::make_unique<DirectServer>(loop, i == 0 ? ModeInbox : ModeFolderBrowsing);
      servers[i]->SetRootPath(fixture.exchange.string());
      servers[i]->SetOnLog([](const ServerEvent&) {});
      for (uint16_t slot = 0; slot < servers[i]->SlotCount; ++slot) {
        servers[i]->GetSlot(slot).Link().Timeout = TransportTimeoutMs;
      }
    }
    servers[0]->SetKind(KindBluetoothObjectPush);
    servers[1]->SetKind(KindBluetoothFolderBrowsing);
    servers[1]->GetSlot(0).SetRequiredTarget(
        std::vector<uint8_t>(FolderBrowsingTarget.begin(), FolderBrowsingTarget.end()));
    servers[2]->SetKind(KindTCP);
  }
  DirectServer& server = *servers[data[0] % 3];
  server.AllowAccessHiddenFiles = (data[0] & 0x80) != 0;
  const std::span<const uint8_t> stream(data + 1, size - 1);

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) Fail("socketpair");
  UniqueFd peer(pair[0]);
  server.Adopt(UniqueFd(pair[1]));
  const std::vector<uint8_t> answers = Converse(loop, peer.Get(), stream);
  server.GetSlot(0).StopWorker();
  server.DisconnectSlot(0);
  loop.Dispatch();
  server.DeliverEvents();

  size_t requests = 0;
  size_t responses = 0;
  CountPackets(stream, requests);  // the whole packets before any that is cut off
  if (!CountPackets(answers, responses)) Fail("an answer is not a whole packet");
  if (responses > requests) Fail("more answers than requests");
  if (fixture.Changed()) {
    if (Snapshot(fixture.base, fixture.exchange) != fixture.outside) {
      Fail("something outside the exchange folder changed");
    }
    fixture.ResetExchange();
  }
  return 0;
}
