#include "bluetooth/loopback_stack.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace quillfern {
namespace {

namespace fs = std::filesystem;

constexpr int FirstChannel = 1;
constexpr int LastChannel = 30;
constexpr RecordHandle FirstRecordHandle = 0x00010000;  // where bluetoothd starts too
constexpr int RecordHandleTries = 4096;
constexpr int ClientNameTries = 16;
// Bluetooth device names are at most 248 bytes.
constexpr size_t MaxDeviceNameBytes = 248;
// Far above any real record; a longer file is not read.
constexpr size_t MaxRecordBytes = 65535;
constexpr size_t MaxRecordsPerSearch = 64;

// Counts names for temporary files and outgoing sockets, unique within the process; the
// process id makes them unique across processes.
std::atomic<unsigned> nameCounter{0};

std::string UniqueSuffix() {
  return std::to_string(::getpid()) + "-" + std::to_string(nameCounter.fetch_add(1));
}

std::string DeviceFolderName(BluetoothAddress device) {
  char text[13];
  std::snprintf(text, sizeof text, "%012llX",
                static_cast<unsigned long long>(device & BluetoothAddressMask));
  return text;
}

std::optional<BluetoothAddress> ParseDeviceFolderName(std::string_view name) {
  if (name.size() != 12) return std::nullopt;
  BluetoothAddress address = 0;
  for (const char c : name) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    address = address << 4 | static_cast<BluetoothAddress>(digit);
  }
  return address;
}

std::string ChannelName(int channel) {
  char text[16];
  std::snprintf(text, sizeof text, "rfcomm-%02d", channel);
  return text;
}

std::string PsmName(int psm) {
  char text[16];
  std::snprintf(text, sizeof text, "l2cap-%04X", static_cast<unsigned>(psm));
  return text;
}

std::string RecordName(RecordHandle handle) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", handle);
  return text;
}

int Errno() {
  return -errno;
}

// -ENAMETOOLONG when the path does not fit a socket address.
int MakeAddress(const fs::path& path, sockaddr_un& address, socklen_t& length) {
  address = {};
  address.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.size() >= sizeof address.sun_path) return -ENAMETOOLONG;
  std::copy(text.begin(), text.end(), address.sun_path);
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + text.size() + 1);
  return 0;
}

// The path a Unix socket address names; empty for an unnamed socket.
fs::path AddressPath(const sockaddr_un& address, socklen_t length) {
  const size_t head = offsetof(sockaddr_un, sun_path);
  if (length <= head || address.sun_path[0] == '\0') return {};
  const size_t size = std::min<size_t>(length - head, sizeof address.sun_path);
  return fs::path(std::string(address.sun_path, strnlen(address.sun_path, size)));
}

int WriteFile(const fs::path& path, std::span<const uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    ::unlink(path.c_str());
    return -EIO;
  }
  return 0;
}

// Writes a whole file under a temporary name and moves it into place, so a reader never
// sees half of it.
int WriteFileAtomically(const fs::path& path, std::span<const uint8_t> bytes) {
  const fs::path temporary = path.parent_path() / (".new-" + UniqueSuffix());
  if (const int result = WriteFile(temporary, bytes); result < 0) return result;
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int result = Errno();
    ::unlink(temporary.c_str());
    return result;
  }
  return 0;
}

// Reads at most limit bytes; false when the file cannot be opened or is longer.
bool ReadFileBounded(const fs::path& path, size_t limit, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content.assign(limit + 1, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<size_t>(in.gcount()));
  return content.size() <= limit;
}

// Holds a channel or PSM for a bound listening socket: the lock keeps other binders off it,
// and the socket's file goes before the lock does, so the next holder finds the name free.
struct ChannelClaim final : BluetoothSocket::Companion {
  ChannelClaim(UniqueFd lockFd, fs::path socketPath)
      : lock(std::move(lockFd)), path(std::move(socketPath)) {}
  ~ChannelClaim() override { ::unlink(path.c_str()); }
  UniqueFd lock;
  fs::path path;
};

}  // namespace

LoopbackBluetoothStack::LoopbackBluetoothStack(fs::path folder, BluetoothAddress self)
    : folder_(std::move(folder)), self_(self & BluetoothAddressMask) {}

std::unique_ptr<LoopbackBluetoothStack> LoopbackBluetoothStack::Create(
    const fs::path& folder, BluetoothAddress self, const std::optional<std::string>& name,
    std::error_code& error) {
  std::unique_ptr<LoopbackBluetoothStack> stack(
      new LoopbackBluetoothStack(fs::absolute(folder, error), self));
  if (error) return nullptr;
  const fs::path device = stack->DeviceFolder(stack->self_);
  fs::create_directories(device / "records", error);
  if (error) return nullptr;
  if (name) {
    const std::span bytes(reinterpret_cast<const uint8_t*>(name->data()), name->size());
    if (const int result = WriteFileAtomically(device / "name", bytes); result < 0) {
      error = std::error_code(-result, std::generic_category());
      return nullptr;
    }
  }
  return stack;
}

LoopbackBluetoothStack::~LoopbackBluetoothStack() {
  for (const RecordHandle handle : std::vector(ownRecords_)) DeleteRecord(handle);
}

fs::path LoopbackBluetoothStack::DeviceFolder(BluetoothAddress device) const {
  return folder_ / DeviceFolderName(device);
}

int LoopbackBluetoothStack::SetTrusted(bool trusted) {
  const fs::path flag = DeviceFolder(self_) / "trusted";
  if (trusted) return WriteFileAtomically(flag, {});
  if (::unlink(flag.c_str()) != 0 && errno != ENOENT) return Errno();
  return 0;
}

bool LoopbackBluetoothStack::Loaded() {
  return true;
}

int LoopbackBluetoothStack::CreateSocket(RfcommSocket& socket) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return Errno();
  socket = RfcommSocket(std::move(fd));
  return 0;
}

int LoopbackBluetoothStack::BindAnyChannel(RfcommSocket& socket) {
  return BindFirstFree(socket, FirstChannel, LastChannel, 1, ChannelName);
}

int LoopbackBluetoothStack::BindFirstFree(BluetoothSocket& socket, int first, int last, int step,
                                          std::string (*name)(int)) {
  const fs::path device = DeviceFolder(self_);
  for (int number = first; number <= last; number += step) {
    const fs::path path = device / name(number);
    const fs::path lockPath = device / (name(number) + ".lock");
    UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock) return Errno();
    if (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) continue;
      return Errno();
    }
    // The name is ours; a socket file left behind by a holder that died goes first.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return Errno();
    sockaddr_un address;
    socklen_t length;
    if (const int result = MakeAddress(path, address, length); result < 0) return result;
    if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
      return Errno();
    }
    socket.SetCompanion(std::make_unique<ChannelClaim>(std::move(lock), path));
    return 0;
  }
  return -EADDRINUSE;
}

int LoopbackBluetoothStack::BoundChannel(const RfcommSocket& socket) {
  sockaddr_un address{};
  socklen_t length = sizeof address;
  if (::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return Errno();
  }
  const std::string name = AddressPath(address, length).filename().string();
  for (int channel = FirstChannel; channel <= LastChannel; ++channel) {
    if (name == ChannelName(channel)) return channel;
  }
  return -EINVAL;
}

int LoopbackBluetoothStack::SetLinkSecurity(RfcommSocket&, LinkSecurity) {
  // Unix sockets have no link to secure; DeviceTrusted still answers for the user's choice.
  return 0;
}

int LoopbackBluetoothStack::Listen(RfcommSocket& socket, int backlog) {
  return ::listen(socket.Get(), backlog) == 0 ? 0 : Errno();
}

int LoopbackBluetoothStack::Accept(RfcommSocket& listener, UniqueFd& peer) {
  UniqueFd fd(::accept4(listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
  if (!fd) return Errno();
  peer = std::move(fd);
  return 0;
}

int LoopbackBluetoothStack::PeerAddress(int socket, BluetoothAddress& address) {
  sockaddr_un peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return Errno();
  // A peer that did not connect through a loopback stack has no device folder.
  const auto device =
      ParseDeviceFolderName(AddressPath(peer, length).parent_path().filename().string());
  if (!device) return -EADDRNOTAVAIL;
  address = *device;
  return 0;
}

int LoopbackBluetoothStack::CreateL2capSocket(L2capSocket& socket) {
  UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return Errno();
  socket = L2capSocket(std::move(fd));
  return 0;
}

int LoopbackBluetoothStack::BindAnyPsm(L2capSocket& socket) {
  return BindFirstFree(socket, FirstDynamicPsm, LastDynamicPsm, 2, PsmName);
}

int LoopbackBluetoothStack::BoundPsm(const L2capSocket& socket) {
  sockaddr_un address{};
  socklen_t length = sizeof address;
  if (::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return Errno();
  }
  const std::string name = AddressPath(address, length).filename().string();
  for (int psm = FirstDynamicPsm; psm <= LastDynamicPsm; psm += 2) {
    if (name == PsmName(psm)) return psm;
  }
  return -EINVAL;
}

int LoopbackBluetoothStack::LinkMtu(int socket, L2capMtu& mtu) {
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return Errno();
  if (type != SOCK_SEQPACKET) return -ENOPROTOOPT;
  mtu = {LoopbackL2capMtu, LoopbackL2capMtu};
  return 0;
}

int LoopbackBluetoothStack::RegisterRecord(std::span<const uint8_t> record, RecordHandle& handle) {
  const fs::path records = DeviceFolder(self_) / "records";
  const fs::path temporary = records / (".new-" + UniqueSuffix());
  if (const int result = WriteFile(temporary, record); result < 0) return result;
  // A record appears whole under its handle at once, and link() refuses a name that exists, so two
  // registrations never share a handle.
  int result = -ENOSPC;
  for (RecordHandle candidate = FirstRecordHandle;
       candidate < FirstRecordHandle + RecordHandleTries; ++candidate) {
    if (::link(temporary.c_str(), (records / RecordName(candidate)).c_str()) == 0) {
      handle = candidate;
      ownRecords_.push_back(candidate);
      result = 0;
      break;
    }
    if (errno != EEXIST) {
      result = Errno();
      break;
    }
  }
  ::unlink(temporary.c_str());
  return result;
}

int LoopbackBluetoothStack::DeleteRecord(RecordHandle handle) {
  if (handle == NoRecordHandle) return -EINVAL;
  std::erase(ownRecords_, handle);
  const fs::path path = DeviceFolder(self_) / "records" / RecordName(handle);
  return ::unlink(path.c_str()) == 0 ? 0 : Errno();
}

int LoopbackBluetoothStack::FirstRadio(BluetoothAddress& address) {
  address = self_;
  return 0;
}

int LoopbackBluetoothStack::LookupDeviceName(BluetoothAddress device, std::string& name) {
  std::string content;
  if (!ReadFileBounded(DeviceFolder(device) / "name", MaxDeviceNameBytes, content)) {
    // A longer name is cut as the radio would cut it; a missing one is not known.
    if (content.empty()) return -ENOENT;
    content.resize(MaxDeviceNameBytes);
  }
  name = std::move(content);
  return 0;
}

int LoopbackBluetoothStack::DeviceTrusted(BluetoothAddress device) {
  std::error_code error;
  return fs::exists(DeviceFolder(device) / "trusted", error) ? 1 : 0;
}

int LoopbackBluetoothStack::Connect(BluetoothAddress device, uint8_t channel,
                                    RfcommSocket& socket) {
  if (channel < FirstChannel || channel > LastChannel) return -EINVAL;
  return ConnectTo(device, ChannelName(channel), SOCK_STREAM, socket);
}

int LoopbackBluetoothStack::ConnectL2cap(BluetoothAddress device, uint16_t psm,
                                         L2capSocket& socket) {
  // Any valid PSM may be asked for; only the dynamic ones can be listened on here.
  if ((psm & 0x0101) != 0x0001) return -EINVAL;
  return ConnectTo(device, PsmName(psm), SOCK_SEQPACKET, socket);
}

int LoopbackBluetoothStack::ConnectTo(BluetoothAddress device, const std::string& name, int type,
                                      BluetoothSocket& socket) {
  const fs::path target = DeviceFolder(device);
  std::error_code error;
  if (!fs::is_directory(target, error)) return -EHOSTDOWN;
  sockaddr_un remote{};
  socklen_t remoteLength = 0;
  if (const int result = MakeAddress(target / name, remote, remoteLength); result < 0) {
    return result;
  }

  UniqueFd fd(::socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return Errno();
  // The name stays the socket's own after the file is gone, and the listener reads this
  // device's address from it.
  int bound = -EADDRINUSE;
  for (int attempt = 0; attempt < ClientNameTries && bound == -EADDRINUSE; ++attempt) {
    const fs::path local = DeviceFolder(self_) / ("client-" + UniqueSuffix());
    sockaddr_un address{};
    socklen_t length = 0;
    if (const int result = MakeAddress(local, address, length); result < 0) return result;
    bound =
        ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), length) == 0 ? 0 : Errno();
    if (bound == 0) ::unlink(local.c_str());
  }
  if (bound < 0) return bound;

  if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&remote), remoteLength) != 0) {
    // No listener on the channel or PSM: the answer a Bluetooth connect gets.
    return errno == ENOENT ? -ECONNREFUSED : Errno();
  }
  socket = BluetoothSocket(std::move(fd));
  return 0;
}

int LoopbackBluetoothStack::SearchRecords(BluetoothAddress device,
                                          std::vector<std::vector<uint8_t>>& records) {
  const fs::path target = DeviceFolder(device);
  std::error_code error;
  if (!fs::is_directory(target, error)) return -EHOSTDOWN;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(target / "records", error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() == 8 && name.find_first_not_of("0123456789ABCDEF") == std::string::npos) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  if (names.size() > MaxRecordsPerSearch) names.resize(MaxRecordsPerSearch);
  records.clear();
  for (const auto& name : names) {
    std::string content;
    // A record deleted since the listing, or one too long to be real, is left out.
    if (!ReadFileBounded(target / "records" / name, MaxRecordBytes, content)) continue;
    records.emplace_back(content.begin(), content.end());
  }
  return static_cast<int>(records.size());
}

}  // namespace quillfern
