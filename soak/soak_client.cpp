#include "soak/soak_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "bluetooth/address.h"
#include "obex/packet.h"

namespace quillfern::soak {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t LinkTimeoutMs = 60000;
constexpr size_t KeptErrors = 20;
// What each client keeps stored at most, so that the disk holds a bounded amount.
constexpr size_t MaxFiles = 12;
constexpr size_t MaxLargeFiles = 2;
constexpr uint64_t LargeObject = 8 << 20;
constexpr uint64_t MaxObject = 64 << 20;
// A transfer takes at most this many packets, so that the smallest packets carry
// small objects and the large objects travel in large packets.
constexpr uint64_t MaxPacketsPerObject = 4096;
constexpr uint16_t MinPacket = 255;
constexpr uint16_t MaxPacket = 65535;
// Within a transfer that is aborted or abandoned, the packets answered before.
constexpr size_t MaxPacketsBeforeEnd = 6;
constexpr int MinRequestsPerSession = 3;
constexpr int MaxRequestsPerSession = 30;
// Turned away because every slot was taken (a peer of ours that vanished may still hold
// one for a moment): the client tries again after a pause, for this long at most.
constexpr auto BusyPause = std::chrono::milliseconds(20);
constexpr auto MaxBusyWait = std::chrono::seconds(20);
// Unstored objects up to this size are compared byte for byte at once; larger ones by
// size, and byte for byte at the end.
constexpr uint64_t ImmediateCompareLimit = 256 << 10;
// Object bytes (and packet) headroom: opcode, length, Name, Length and data header.
constexpr size_t PacketOverhead = 64;

// Four packets of the largest size.
constexpr uint64_t SlotCheckObjectSize = 200000;

constexpr uint8_t FlagBackUp = 0x01;
constexpr uint8_t FlagDoNotCreate = 0x02;

std::string ServiceText(Service service) {
  switch (service) {
    case Service::Tcp:
      return "TCP";
    case Service::ObjectPush:
      return "OP";
    case Service::FolderBrowsing:
      return "FB";
  }
  return "?";
}

std::string KindOf(Service service) {
  switch (service) {
    case Service::Tcp:
      return "TCP";
    case Service::ObjectPush:
      return "BT_OP";
    case Service::FolderBrowsing:
      return "BT_FB";
  }
  return "?";
}

std::u16string Wide(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

std::string Quoted(const std::string& name) {
  return "\"" + name + "\"";
}

std::string CodeText(uint8_t code) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", code);
  return std::string(hex) + " (" + std::string(ResponseText(code)) + ")";
}

BluetoothAddress DeviceAddress(Service service, int number) {
  return 0x0A'00'00'00'00'00ull | (static_cast<uint64_t>(service) + 1) << 8 |
         static_cast<uint64_t>(number);
}

// The listing's entries as "name" -> size (-1 for a folder).
std::map<std::string, int64_t> ParseListing(const std::string& listing, bool& wellFormed) {
  std::map<std::string, int64_t> entries;
  wellFormed = listing.find("<folder-listing") != std::string::npos &&
               listing.ends_with("</folder-listing>");
  for (size_t at = listing.find('<'); at != std::string::npos; at = listing.find('<', at + 1)) {
    const bool file = listing.compare(at, 6, "<file ") == 0;
    const bool folder = listing.compare(at, 8, "<folder ") == 0;
    if (!file && !folder) continue;
    const size_t end = listing.find('>', at);
    const std::string element = listing.substr(at, end - at);
    const auto attribute = [&element](const std::string& key) -> std::string {
      const size_t start = element.find(" " + key + "=\"");
      if (start == std::string::npos) return {};
      const size_t value = start + key.size() + 3;
      return element.substr(value, element.find('"', value) - value);
    };
    const std::string name = attribute("name");
    entries[name] = file ? std::strtoll(attribute("size").c_str(), nullptr, 10) : -1;
  }
  return entries;
}

}  // namespace

SoakClient::SoakClient(Service service, int number, const Endpoints& endpoints, LogBook& log,
                       uint64_t seed)
    : service_(service),
      number_(number),
      name_(ServiceText(service) + " " + std::to_string(number)),
      folder_(service == Service::ObjectPush
                  ? "soak-op" + std::to_string(number) + "-"
                  : "soak-" + (service == Service::Tcp ? std::string("tcp") : std::string("fb")) +
                        std::to_string(number)),
      endpoints_(endpoints),
      log_(log),
      random_(seed) {
  if (service_ == Service::Tcp) return;
  const BluetoothAddress address = DeviceAddress(service_, number_);
  const std::string deviceName = "Soak Phone " + name_;
  std::error_code error;
  device_ = LoopbackBluetoothStack::Create(endpoints_.air, address, deviceName, error);
  if (!device_) {
    Error("the loopback device cannot be made: " + error.message());
    return;
  }
  // Folder Browsing serves trusted devices only; the pushing phones are trusted too, so
  // that no question about an unknown device holds their pushes.
  if (device_->SetTrusted(true) < 0) Error("the loopback device cannot be marked trusted");
  devicePeerText_ = PeerDisplayText(deviceName, address);
}

void SoakClient::Error(const std::string& what) {
  ++figures_.errorCount;
  if (figures_.errors.size() < KeptErrors) figures_.errors.push_back(name_ + ": " + what);
}

UniqueFd SoakClient::ConnectSocket(std::string& peer) {
  if (service_ != Service::Tcp) {
    if (!device_) return UniqueFd();
    const uint8_t channel = service_ == Service::ObjectPush ? endpoints_.objectPushChannel
                                                            : endpoints_.folderBrowsingChannel;
    RfcommSocket socket;
    int result = -EAGAIN;
    // A full backlog answers EAGAIN on a Unix socket; the server takes the waiting peers
    // within milliseconds.
    for (int attempt = 0; attempt < 500 && result == -EAGAIN; ++attempt) {
      result = device_->Connect(LoopbackRadioAddress, channel, socket);
      if (result == -EAGAIN) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (result < 0) {
      Error("connecting to channel " + std::to_string(channel) +
            " failed: " + std::strerror(-result));
      return UniqueFd();
    }
    peer = devicePeerText_;
    return UniqueFd(socket.Release());
  }
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(endpoints_.tcpPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINPROGRESS) {
      Error(std::string("TCP connect failed: ") + std::strerror(errno));
      return UniqueFd();
    }
    pollfd entry{fd.Get(), POLLOUT, 0};
    int problem = 0;
    socklen_t length = sizeof problem;
    if (::poll(&entry, 1, static_cast<int>(LinkTimeoutMs)) != 1 ||
        ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &problem, &length) != 0 || problem != 0) {
      Error("TCP connect failed: " + std::string(std::strerror(problem)));
      return UniqueFd();
    }
  }
  const int on = 1;
  ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in local{};
  socklen_t length = sizeof local;
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&local), &length);
  peer = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
  return fd;
}

std::unique_ptr<ObexLink> SoakClient::Open(uint16_t packetSize, LogBook::SessionId& session,
                                           uint8_t& code, bool& retry) {
  retry = false;
  std::string peer;
  UniqueFd socket = ConnectSocket(peer);
  if (!socket) return nullptr;
  // Opened before the CONNECT goes out, so that the log's line finds the session.
  session = log_.OpenSession(KindOf(service_), peer, name_);
  auto link = std::make_unique<ObexLink>(std::move(socket), LinkTimeoutMs);
  if (!link->Connect(packetSize, service_ == Service::FolderBrowsing, code)) {
    log_.CancelSession(session);
    if (link->ClosedByServer()) {
      // A slot whose peer has not connected yet gives way to a newcomer; one of ours
      // that vanished and came straight back can be that newcomer.
      ++figures_.displaced;
      retry = true;
      return nullptr;
    }
    Error("CONNECT failed: " + link->Error());
    return nullptr;
  }
  if (code == RspServiceUnavailable) {
    log_.CancelSession(session);
    ++figures_.busyAnswers;
    retry = true;
    return nullptr;
  }
  if (code != RspSuccess) {
    log_.CancelSession(session);
    Error("CONNECT answered " + CodeText(code));
    return nullptr;
  }
  ++figures_.sessions;
  return link;
}

void SoakClient::ExpectAnswer(ObexLink&, LogBook::SessionId session, const std::string& linePrefix,
                              uint8_t code, uint8_t wanted) {
  ++figures_.requests;
  log_.Expect(session, {linePrefix + std::string(ResponseText(code)), false});
  if (code != wanted) {
    Error(linePrefix + "answered " + CodeText(code) + ", not " + CodeText(wanted));
  }
}

bool SoakClient::EnterOwnFolder(ObexLink& link, LogBook::SessionId session) {
  uint8_t code = 0;
  if (!link.SetPath(0, Wide(folder_), true, code)) {
    Error("SETPATH to its folder failed: " + link.Error());
    return false;
  }
  const std::string line =
      (folderExists_ ? "Change folder to " : "Create folder ") + Quoted(folder_) + " : ";
  ExpectAnswer(link, session, line, code, RspSuccess);
  if (code == RspSuccess) folderExists_ = true;
  return code == RspSuccess;
}

void SoakClient::Run(const std::atomic<bool>& stop) {
  auto busySince = std::chrono::steady_clock::time_point{};
  while (!stop.load()) {
    const uint64_t errorsBefore = figures_.errorCount;
    const uint64_t turnedAwayBefore = figures_.busyAnswers + figures_.displaced;
    RunSession(stop);
    if (figures_.busyAnswers + figures_.displaced != turnedAwayBefore) {
      const auto now = std::chrono::steady_clock::now();
      if (busySince == std::chrono::steady_clock::time_point{}) busySince = now;
      if (now - busySince > MaxBusyWait) {
        Error("every slot stayed taken for " + std::to_string(MaxBusyWait.count()) + " s");
        return;
      }
      std::this_thread::sleep_for(BusyPause);
      continue;
    }
    busySince = {};
    // A client whose sessions keep failing stops rather than flood the report.
    if (figures_.errorCount > errorsBefore && figures_.errorCount >= KeptErrors) return;
    if (figures_.errorCount > errorsBefore)
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

void SoakClient::RunSession(const std::atomic<bool>& stop) {
  // Log-uniform over 255 to 65535: small packets are as common as large ones.
  std::uniform_real_distribution<double> exponent(std::log(MinPacket), std::log(MaxPacket + 1.0));
  const auto packetSize =
      static_cast<uint16_t>(std::clamp<double>(std::exp(exponent(random_)), MinPacket, MaxPacket));
  LogBook::SessionId session = 0;
  uint8_t code = 0;
  bool retry = false;
  std::unique_ptr<ObexLink> link = Open(packetSize, session, code, retry);
  if (!link) return;
  bool alive = !Browses() || EnterOwnFolder(*link, session);
  const int requests =
      std::uniform_int_distribution(MinRequestsPerSession, MaxRequestsPerSession)(random_);
  for (int i = 0; alive && i < requests && !stop.load(); ++i) {
    alive = Request(*link, session, packetSize);
  }
  if (alive) Disconnect(*link, session);
  log_.EndSession(session);
}

bool SoakClient::Disconnect(ObexLink& link, LogBook::SessionId) {
  uint8_t code = 0;
  if (!link.Disconnect(code)) {
    Error("DISCONNECT failed: " + link.Error());
    return false;
  }
  if (code != RspSuccess) Error("DISCONNECT answered " + CodeText(code));
  return true;
}

bool SoakClient::Request(ObexLink& link, LogBook::SessionId session, uint16_t packetSize) {
  // Weights of the requests; each falls back to a push where it has nothing to work on.
  enum Kind {
    Put,
    Get,
    GetNothing,
    List,
    Delete,
    DeleteNothing,
    MakeFolder,
    RemoveFolder,
    AbortPut,
    AbortGet,
    VanishPut,
    VanishMidPacket,
    VanishGet,
    KindCount
  };
  static constexpr int BrowseWeights[KindCount] = {30, 20, 2, 8, 10, 1, 3, 3, 4, 3, 1, 1, 1};
  static constexpr int PushWeights[KindCount] = {56, 0, 0, 0, 26, 2, 0, 0, 8, 0, 3, 2, 0};
  const int* weights = Browses() ? BrowseWeights : PushWeights;
  std::discrete_distribution<int> pick(weights, weights + KindCount);
  int kind = pick(random_);
  if ((kind == Get || kind == AbortGet || kind == VanishGet || kind == Delete) && files_.empty()) {
    kind = Put;
  }
  if (kind == RemoveFolder && subfolders_.empty()) kind = MakeFolder;
  if (kind == Put && files_.size() >= MaxFiles) kind = Delete;
  switch (kind) {
    case Put:
      return PutObject(link, session, packetSize, Ending::Complete);
    case Get:
      return GetObject(link, session, packetSize, Ending::Complete);
    case GetNothing:
      return GetMissing(link, session);
    case List:
      return ListFolder(link, session);
    case Delete:
      return DeleteObject(link, session, false);
    case DeleteNothing:
      return DeleteObject(link, session, true);
    case MakeFolder:
      return CreateSubfolder(link, session);
    case RemoveFolder:
      return DeleteSubfolder(link, session);
    case AbortPut:
      return PutObject(link, session, packetSize, Ending::Abort);
    case AbortGet:
      return GetObject(link, session, packetSize, Ending::Abort);
    case VanishPut:
      return PutObject(link, session, packetSize, Ending::Vanish);
    case VanishMidPacket:
      return PutObject(link, session, packetSize, Ending::VanishMidPacket);
    case VanishGet:
      return GetObject(link, session, packetSize, Ending::Vanish);
    default:
      return true;
  }
}

uint64_t SoakClient::ChooseSize(uint16_t packetSize, uint64_t atLeast) {
  const int band = std::uniform_int_distribution(0, 999)(random_);
  const auto between = [this](uint64_t low, uint64_t high) {
    return std::uniform_int_distribution<uint64_t>(low, high)(random_);
  };
  uint64_t size;
  if (band < 50) {
    size = 0;
  } else if (band < 400) {
    size = between(1, 1 << 10);
  } else if (band < 700) {
    size = between(1 << 10, 64 << 10);
  } else if (band < 900) {
    size = between(64 << 10, 1 << 20);
  } else if (band < 980) {
    size = between(1 << 20, LargeObject);
  } else {
    size = band % 4 == 0 ? MaxObject : between(LargeObject, MaxObject);
  }
  size_t large = 0;
  for (const auto& [name, object] : files_) large += object.size > LargeObject ? 1 : 0;
  if (large >= MaxLargeFiles) size = std::min(size, LargeObject);
  const uint64_t perPacket = packetSize > PacketOverhead ? packetSize - PacketOverhead : 1;
  size = std::min(size, perPacket * MaxPacketsPerObject);
  return std::max(size, atLeast);
}

std::string SoakClient::NewName() {
  const std::string serial = std::to_string(nextName_++);
  return service_ == Service::ObjectPush ? folder_ + serial + ".bin" : "obj-" + serial + ".bin";
}

fs::path SoakClient::PathOf(const std::string& name) const {
  return service_ == Service::ObjectPush ? endpoints_.exchange / name
                                         : endpoints_.exchange / folder_ / name;
}

void SoakClient::CheckUnstored(const std::string& name) {
  const fs::path path = PathOf(name);
  const auto stored = files_.find(name);
  std::error_code error;
  if (stored == files_.end()) {
    if (fs::exists(fs::symlink_status(path, error))) {
      Error(Quoted(name) + " appeared, though no PUT of it was acknowledged");
    }
    return;
  }
  if (stored->second.size <= ImmediateCompareLimit) {
    const std::string difference = CompareFileWithObject(path, stored->second);
    if (!difference.empty())
      Error(Quoted(name) + " changed by an unacknowledged PUT: it " + difference);
    return;
  }
  const auto size = fs::file_size(path, error);
  if (error || size != stored->second.size) {
    Error(Quoted(name) + " changed by an unacknowledged PUT");
  }
}

bool SoakClient::PutObject(ObexLink& link, LogBook::SessionId session, uint16_t packetSize,
                           Ending ending) {
  const size_t before = ending == Ending::Complete ? 0
                                                   : std::uniform_int_distribution<size_t>(
                                                         1, MaxPacketsBeforeEnd)(random_);
  // A transfer that is to end early needs packets beyond those answered before.
  const uint64_t room = std::min<uint64_t>(packetSize, link.ServerMaxPacket()) - PacketOverhead;
  const uint64_t atLeast = ending == Ending::Complete ? 0 : (before + 2) * room;
  // A third of the pushes to a folder of one's own replace an object already there.
  std::string name;
  if (Browses() && !files_.empty() && std::uniform_int_distribution(0, 2)(random_) == 0) {
    auto it = files_.begin();
    std::advance(it, std::uniform_int_distribution<size_t>(0, files_.size() - 1)(random_));
    name = it->first;
  } else {
    name = NewName();
  }
  const ObjectId object{random_(), ChooseSize(packetSize, atLeast)};
  TransferResult result;
  const bool done = link.Put(Wide(name), object, packetSize, ending, before, result);
  figures_.bytesUp += result.bytesMoved;
  if (!done) {
    Error("PUT " + Quoted(name) + " failed: " + link.Error());
    return false;
  }
  const std::string line = "Put " + Quoted(name) + " : ";
  switch (result.ended) {
    case Ended::Completed:
      ExpectAnswer(link, session, line, result.code, RspSuccess);
      if (result.code == RspSuccess) {
        files_[name] = object;
        neverStored_.erase(name);
        ++figures_.stored;
        figures_.largest = std::max(figures_.largest, object.size);
      }
      return true;
    case Ended::Aborted:
      ++figures_.aborts;
      ++figures_.requests;
      log_.Expect(session, {line + std::string(ResponseText(ResultAborted)), false});
      if (result.code != RspSuccess) Error("ABORT of a PUT answered " + CodeText(result.code));
      if (!files_.contains(name)) neverStored_.insert(name);
      CheckUnstored(name);
      return true;
    case Ended::Vanished:
      ++figures_.vanishings;
      ++figures_.requests;
      log_.Expect(session, {line, true});
      if (!files_.contains(name)) neverStored_.insert(name);
      CheckUnstored(name);
      return false;
  }
  return false;
}

bool SoakClient::GetObject(ObexLink& link, LogBook::SessionId session, uint16_t packetSize,
                           Ending ending) {
  const size_t before = ending == Ending::Complete ? 0
                                                   : std::uniform_int_distribution<size_t>(
                                                         1, MaxPacketsBeforeEnd)(random_);
  // Answers carry at most the packet size the client announced.
  const uint64_t needed = ending == Ending::Complete ? 0 : (before + 2) * uint64_t{packetSize};
  std::vector<std::string> candidates;
  for (const auto& [name, object] : files_) {
    if (object.size >= needed) candidates.push_back(name);
  }
  if (candidates.empty()) return PutObject(link, session, packetSize, Ending::Complete);
  const std::string name =
      candidates[std::uniform_int_distribution<size_t>(0, candidates.size() - 1)(random_)];
  TransferResult result;
  const bool done = link.Get(Wide(name), files_.at(name), ending, before, result);
  figures_.bytesDown += result.bytesMoved;
  if (!done) {
    Error("GET " + Quoted(name) + " failed: " + link.Error());
    return false;
  }
  const std::string line = "Get file " + Quoted(name) + " : ";
  switch (result.ended) {
    case Ended::Completed:
      ExpectAnswer(link, session, line, result.code, RspSuccess);
      return true;
    case Ended::Aborted:
      ++figures_.aborts;
      ++figures_.requests;
      log_.Expect(session, {line + std::string(ResponseText(ResultAborted)), false});
      if (result.code != RspSuccess) Error("ABORT of a GET answered " + CodeText(result.code));
      return true;
    case Ended::Vanished:
      ++figures_.vanishings;
      ++figures_.requests;
      log_.Expect(session, {line, true});
      return false;
  }
  return false;
}

bool SoakClient::GetMissing(ObexLink& link, LogBook::SessionId session) {
  const std::string name = "missing-" + std::to_string(nextName_++) + ".bin";
  uint8_t code = 0;
  if (!link.GetMissing(Wide(name), code)) {
    Error("GET of a missing object failed: " + link.Error());
    return false;
  }
  // A name that is not there is logged by the answer alone.
  ExpectAnswer(link, session, "", code, RspNotFound);
  return true;
}

bool SoakClient::DeleteObject(ObexLink& link, LogBook::SessionId session, bool missing) {
  std::string name;
  if (missing || files_.empty()) {
    name = NewName();
  } else {
    auto it = files_.begin();
    std::advance(it, std::uniform_int_distribution<size_t>(0, files_.size() - 1)(random_));
    name = it->first;
  }
  uint8_t code = 0;
  if (!link.Delete(Wide(name), code)) {
    Error("delete of " + Quoted(name) + " failed: " + link.Error());
    return false;
  }
  if (files_.contains(name)) {
    ExpectAnswer(link, session, "Delete file " + Quoted(name) + " : ", code, RspSuccess);
    if (code == RspSuccess) files_.erase(name);
  } else {
    ExpectAnswer(link, session, "Delete " + Quoted(name) + " : ", code, RspNotFound);
  }
  return true;
}

bool SoakClient::ListFolder(ObexLink& link, LogBook::SessionId session) {
  std::string listing;
  uint8_t code = 0;
  if (!link.ListFolder(listing, code)) {
    Error("the listing failed: " + link.Error());
    return false;
  }
  figures_.bytesDown += listing.size();
  ExpectAnswer(link, session, "Get folder listing : ", code, RspSuccess);
  if (code != RspSuccess) return true;
  bool wellFormed = false;
  const auto entries = ParseListing(listing, wellFormed);
  std::map<std::string, int64_t> expected;
  for (const auto& [name, object] : files_) expected[name] = static_cast<int64_t>(object.size);
  for (const auto& folder : subfolders_) expected[folder] = -1;
  if (!wellFormed) Error("the listing is cut short");
  if (entries != expected) {
    std::string shown;
    for (const auto& [name, size] : entries) shown += " " + name + "=" + std::to_string(size);
    Error("the listing of its folder differs from what it stored:" + shown);
  }
  return true;
}

bool SoakClient::CreateSubfolder(ObexLink& link, LogBook::SessionId session) {
  const std::string name = "d" + std::to_string(nextName_++);
  uint8_t code = 0;
  if (!link.SetPath(0, Wide(name), true, code)) {
    Error("creating a folder failed: " + link.Error());
    return false;
  }
  ExpectAnswer(link, session, "Create folder " + Quoted(name) + " : ", code, RspSuccess);
  if (code != RspSuccess) return true;
  subfolders_.insert(name);
  if (!link.SetPath(FlagBackUp | FlagDoNotCreate, u"", false, code)) {
    Error("going back up failed: " + link.Error());
    return false;
  }
  ExpectAnswer(link, session, "Change folder to parent : ", code, RspSuccess);
  return true;
}

bool SoakClient::DeleteSubfolder(ObexLink& link, LogBook::SessionId session) {
  const std::string name = *subfolders_.begin();
  uint8_t code = 0;
  if (!link.Delete(Wide(name), code)) {
    Error("deleting a folder failed: " + link.Error());
    return false;
  }
  ExpectAnswer(link, session, "Delete directory " + Quoted(name) + " : ", code, RspSuccess);
  if (code == RspSuccess) subfolders_.erase(name);
  return true;
}

std::unique_ptr<ObexLink> SoakClient::OpenForSlotCheck(LogBook::SessionId& session, uint8_t& code) {
  bool retry = false;
  std::unique_ptr<ObexLink> link = Open(MaxPacket, session, code, retry);
  if (!link) return nullptr;
  if (Browses() && !EnterOwnFolder(*link, session)) {
    log_.EndSession(session);
    return nullptr;
  }
  return link;
}

void SoakClient::FinishSlotCheck(ObexLink& link, LogBook::SessionId session) {
  // A push of several packets (whose later packets take the transport's path from the
  // socket to the file) and its delete, so that the slot has made whatever it keeps for
  // the next peer.
  const std::string name = NewName();
  const ObjectId object{random_(), SlotCheckObjectSize};
  TransferResult result;
  if (!link.Put(Wide(name), object, MaxPacket, Ending::Complete, 0, result)) {
    Error("PUT " + Quoted(name) + " failed: " + link.Error());
    log_.EndSession(session);
    return;
  }
  figures_.bytesUp += result.bytesMoved;
  ExpectAnswer(link, session, "Put " + Quoted(name) + " : ", result.code, RspSuccess);
  uint8_t code = 0;
  if (!link.Delete(Wide(name), code)) {
    Error("delete of " + Quoted(name) + " failed: " + link.Error());
    log_.EndSession(session);
    return;
  }
  ExpectAnswer(link, session, "Delete file " + Quoted(name) + " : ", code, RspSuccess);
  if (Browses()) ListFolder(link, session);
  Disconnect(link, session);
  log_.EndSession(session);
}

bool SoakClient::Owns(const std::string& topLevelName) const {
  if (service_ != Service::ObjectPush) return topLevelName == folder_ && folderExists_;
  return files_.contains(topLevelName);
}

void SoakClient::CheckExchangeFolder(std::vector<std::string>& faults, uint64_t& objects,
                                     uint64_t& bytes) const {
  const auto fault = [&faults, this](const std::string& text) {
    faults.push_back(name_ + ": " + text);
  };
  for (const auto& [name, object] : files_) {
    const std::string difference = CompareFileWithObject(PathOf(name), object);
    if (!difference.empty()) fault("acknowledged object " + Quoted(name) + " " + difference);
    ++objects;
    bytes += object.size;
  }
  std::error_code error;
  for (const auto& name : neverStored_) {
    if (fs::exists(fs::symlink_status(PathOf(name), error))) {
      fault(Quoted(name) + " is there, though no PUT of it was acknowledged");
    }
  }
  if (!Browses() || !folderExists_) return;
  // The client's folder holds its objects and folders, and nothing else: no temporary
  // file of an abandoned transfer either.
  for (const auto& entry : fs::directory_iterator(endpoints_.exchange / folder_, error)) {
    const std::string name = entry.path().filename().string();
    const bool known = files_.contains(name) || subfolders_.contains(name);
    if (!known) fault("its folder holds " + Quoted(name) + ", which it never stored");
  }
  for (const auto& name : subfolders_) {
    if (!fs::is_directory(endpoints_.exchange / folder_ / name, error)) {
      fault("folder " + Quoted(name) + " is missing");
    }
  }
}

}  // namespace quillfern::soak
