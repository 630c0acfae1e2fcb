#include "bluetooth/linux_stack.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bluetooth/l2cap_sockets.h"
#include "bluetooth/radio_notices.h"
#include "bluetooth/record_info.h"
#include "bluetooth/record_xml.h"
#include "bluetooth/rfcomm_sockets.h"
#include "bluetooth/sdp_search.h"
#include "obex/packet.h"
#include "platform/clock.h"
#include "platform/debug.h"

namespace quillfern {
namespace {

constexpr char ObjectPushClass[] = "00001105-0000-1000-8000-00805F9B34FB";
constexpr char FileTransferClass[] = "00001106-0000-1000-8000-00805F9B34FB";
constexpr char AdapterInterface[] = "org.bluez.Adapter1";
constexpr size_t MaxSearchRecords = 64;

const char* ProfileUuidFor(const std::string& serviceClass) {
  if (serviceClass == ObjectPushClass) return ObjectPushProfileUuid;
  if (serviceClass == FileTransferClass) return FolderBrowsingProfileUuid;
  return OtherProfileUuid;
}

bool SameText(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

// "0x1105" for a class on the Bluetooth base UUID, else the whole text.
std::string ShortClassText(const std::string& serviceClass) {
  if (serviceClass.size() == 36 && serviceClass.starts_with("0000") &&
      serviceClass.ends_with("-0000-1000-8000-00805F9B34FB")) {
    return "0x" + serviceClass.substr(4, 4);
  }
  return serviceClass;
}

}  // namespace

LinuxBluetoothStack::LinuxBluetoothStack(EventLoop& loop) : loop_(loop) {}

LinuxBluetoothStack::~LinuxBluetoothStack() {
  if (lostTimer_ != 0) loop_.CancelTimer(lostTimer_);
  // The records go with the connection; the objects and matches first, while it is open.
  profiles_.clear();
  matches_.clear();
  bus_.reset();
}

sd_bus* LinuxBluetoothStack::Bus() {
  if (bus_ && !bus_->IsOpen()) {
    // The bus went away, and bluetoothd's copy of our records with it; the handles stay
    // valid for DeleteRecord.
    for (auto& [handle, profile] : profiles_) {
      profile.registered = false;
      profile.object.reset();
    }
    matches_.clear();
    bus_.reset();
  }
  if (!bus_) {
    int error = 0;
    bus_ = SdBusConnection::OpenSystem(loop_, error);
    if (!bus_) {
      notice_ = NoSystemBusNotice;
      return nullptr;
    }
    bus_->SetOnClosed([this] {
      // bluetoothd dropped our profiles with the connection.
      for (auto& [handle, profile] : profiles_) profile.registered = false;
      radio_.reset();
      if (!watchedRadio_.empty()) RadioLost(SystemBusStoppedNotice);
    });
    Subscribe();
  }
  return bus_->Get();
}

bool LinuxBluetoothStack::Quiet() const {
  return MonotonicMs() < quietUntilMs_;
}

int LinuxBluetoothStack::Failed(int result, const BluezError& error, const std::string& what) {
  if (result == -ETIMEDOUT) {
    quietUntilMs_ = MonotonicMs() + BluetoothdQuietMs;
    notice_ = BluetoothdSilentNotice;
  } else if (result == -EHOSTDOWN) {
    notice_ = BluetoothdNotRunningNotice;
  } else {
    notice_ = BluetoothdRefusedNotice(what, error);
  }
  return result;
}

bool LinuxBluetoothStack::Loaded() {
  sd_bus* bus = Bus();
  if (!bus) return false;
  BluezError error;
  const int running = BluezIsRunning(bus, error);
  bus_->ProcessSoon();
  if (running == 0) notice_ = BluetoothdNotRunningNotice;
  if (running < 0) Failed(running, error, "the question whether bluetoothd runs");
  return running == 1;
}

int LinuxBluetoothStack::UsableRadio(BluezAdapter& adapter) {
  sd_bus* bus = Bus();
  if (!bus) return -ENOTCONN;
  if (Quiet()) {
    notice_ = BluetoothdSilentNotice;
    return -ETIMEDOUT;
  }
  std::vector<BluezAdapter> adapters;
  BluezError error;
  const int found = BluezAdapters(bus, adapters, error);
  bus_->ProcessSoon();
  if (found < 0) return Failed(found, error, "the list of radios");
  if (adapters.empty()) {
    radio_.reset();
    notice_ = NoRadioNotice;
    return -ENODEV;
  }
  adapter = adapters.front();
  radio_ = adapter;
  if (adapter.powerState == "off-blocked" ||
      (!adapter.powered && adapter.powerState.empty() && BluetoothRfkillBlocked())) {
    notice_ = RadioBlockedNotice(adapter.path);
    return -ERFKILL;
  }
  if (!adapter.powered) {
    notice_ = RadioOffNotice(adapter.path);
    return -ENETDOWN;
  }
  watchedRadio_ = adapter.path;
  return 0;
}

int LinuxBluetoothStack::FirstRadio(BluetoothAddress& address) {
  BluezAdapter adapter;
  const int result = UsableRadio(adapter);
  if (result == 0) address = adapter.address;
  return result;
}

int LinuxBluetoothStack::CreateSocket(RfcommSocket& socket) {
  UniqueFd fd;
  const int result = CreateRfcommSocket(fd);
  if (result == -EAFNOSUPPORT || result == -EPROTONOSUPPORT) notice_ = NoKernelBluetoothNotice;
  if (result < 0) return result;
  socket = RfcommSocket(std::move(fd));
  return 0;
}

int LinuxBluetoothStack::BindAnyChannel(RfcommSocket& socket) {
  BluezAdapter adapter;
  if (const int usable = UsableRadio(adapter); usable < 0) return usable;
  return BindFirstFreeRfcommChannel(socket.Get(), adapter.address);
}

int LinuxBluetoothStack::BoundChannel(const RfcommSocket& socket) {
  return BoundRfcommChannel(socket.Get());
}

int LinuxBluetoothStack::SetLinkSecurity(RfcommSocket& socket, LinkSecurity level) {
  return SetRfcommSecurity(socket.Get(), level);
}

int LinuxBluetoothStack::Listen(RfcommSocket& socket, int backlog) {
  return ListenRfcomm(socket.Get(), backlog);
}

int LinuxBluetoothStack::Accept(RfcommSocket& listener, UniqueFd& peer) {
  return AcceptRfcomm(listener.Get(), peer);
}

int LinuxBluetoothStack::PeerAddress(int socket, BluetoothAddress& address) {
  if (IsL2capSocket(socket)) return L2capPeerAddress(socket, address);
  return RfcommPeerAddress(socket, address);
}

int LinuxBluetoothStack::CreateL2capSocket(L2capSocket& socket) {
  UniqueFd fd;
  const int result = quillfern::CreateL2capSocket(fd);
  if (result == -EAFNOSUPPORT) notice_ = NoKernelBluetoothNotice;
  if (result < 0) return result;
  socket = L2capSocket(std::move(fd));
  return 0;
}

int LinuxBluetoothStack::BindAnyPsm(L2capSocket& socket) {
  BluezAdapter adapter;
  if (const int usable = UsableRadio(adapter); usable < 0) return usable;
  return BindFirstFreePsm(socket.Get(), adapter.address);
}

int LinuxBluetoothStack::BoundPsm(const L2capSocket& socket) {
  return BoundL2capPsm(socket.Get());
}

int LinuxBluetoothStack::LinkMtu(int socket, L2capMtu& mtu) {
  return L2capLinkMtu(socket, mtu);
}

int LinuxBluetoothStack::RegisterRecord(std::span<const uint8_t> record, RecordHandle& handle) {
  const auto xml = ServiceRecordToXml(record);
  const auto info = ParseServiceRecord(record);
  if (!xml || !info) return -EINVAL;
  sd_bus* bus = Bus();
  if (!bus) return -ENOTCONN;
  if (Quiet()) {
    notice_ = BluetoothdSilentNotice;
    return -ETIMEDOUT;
  }
  const std::string serviceClass = info->serviceClass ? UuidToText(*info->serviceClass) : "";

  // Our own record lists the class on the radio too, so only the first registration of
  // a class can tell that another program offers it.
  std::string warning;
  if (!serviceClass.empty() && checkedClasses_.insert(serviceClass).second && radio_) {
    const bool listed =
        std::any_of(radio_->uuids.begin(), radio_->uuids.end(),
                    [&](const std::string& uuid) { return SameText(uuid, serviceClass); });
    if (listed) warning = ServiceOfferedElsewhereNotice(info->name, ShortClassText(serviceClass));
  }

  const RecordHandle token = nextHandle_++;
  auto object =
      std::make_unique<ProfileObject>(bus, "/org/quillfern/record" + std::to_string(token));
  if (!object->Valid()) {
    notice_ = "Cannot offer the service's object on the system bus: " +
              std::string(std::strerror(-object->Error()));
    return object->Error();
  }
  BluezError error;
  const int registered = BluezRegisterProfile(bus, object->Path(), ProfileUuidFor(serviceClass),
                                              info->name, *xml, error);
  bus_->ProcessSoon();
  if (registered == -EEXIST) {
    notice_ = ServiceTakenNotice;
    return registered;
  }
  if (registered == -ETIMEDOUT) {
    // bluetoothd, late, may still register the record when it gets to the call, and
    // would then announce a service that nobody serves until this program ends. It is
    // asked to undo that right behind the registration, and the service does not start.
    const int undone = BluezUnregisterProfileUnanswered(bus, object->Path());
    if (undone < 0) DebugPrintf("cannot undo a registration bluetoothd did not answer: %d", undone);
    bus_->ProcessSoon();
  }
  if (registered < 0) return Failed(registered, error, "the service record");
  profiles_[token] = Profile{std::move(object)};
  handle = token;
  if (!warning.empty()) notice_ = warning;
  return 0;
}

int LinuxBluetoothStack::DeleteRecord(RecordHandle handle) {
  const auto found = profiles_.find(handle);
  if (found == profiles_.end()) return -ENOENT;
  Profile profile = std::move(found->second);
  profiles_.erase(found);
  if (!profile.registered || !bus_ || !profile.object) return 0;
  if (Quiet()) {
    // bluetoothd is not waited for again so soon, yet the record must not outlive the
    // service: it drops it when it gets to the call.
    const int asked = BluezUnregisterProfileUnanswered(bus_->Get(), profile.object->Path());
    bus_->ProcessSoon();
    return asked;
  }
  BluezError error;
  const int result = BluezUnregisterProfile(bus_->Get(), profile.object->Path(), error);
  bus_->ProcessSoon();
  // A daemon that does not know the profile (restarted meanwhile) publishes no record.
  if (result == -ENOENT) return 0;
  return result < 0 ? Failed(result, error, "to delete the service record") : 0;
}

std::string LinuxBluetoothStack::ProfilePath(RecordHandle handle) const {
  const auto found = profiles_.find(handle);
  return found == profiles_.end() || !found->second.object ? "" : found->second.object->Path();
}

std::string LinuxBluetoothStack::RadioPathForDevices() {
  if (!radio_) {
    // A lookup only changes a peer's text: it leaves no notice behind.
    const std::string notice = notice_;
    BluezAdapter adapter;
    UsableRadio(adapter);
    notice_ = notice;
  }
  return radio_ ? radio_->path : "";
}

int LinuxBluetoothStack::LookupDeviceName(BluetoothAddress device, std::string& name) {
  if (!bus_ && !Bus()) return -ENOTCONN;
  if (Quiet()) return -ETIMEDOUT;
  const std::string radio = RadioPathForDevices();
  if (radio.empty()) return -ENODEV;
  BluezError error;
  const int result = BluezDeviceName(bus_->Get(), BluezDevicePath(radio, device), name, error);
  bus_->ProcessSoon();
  if (result == -ETIMEDOUT) quietUntilMs_ = MonotonicMs() + BluetoothdQuietMs;
  return result;
}

int LinuxBluetoothStack::DeviceTrusted(BluetoothAddress device) {
  if (!bus_ && !Bus()) return -ENOTCONN;
  if (Quiet()) return -ETIMEDOUT;
  const std::string radio = RadioPathForDevices();
  if (radio.empty()) return -ENODEV;
  BluezError error;
  const int result = BluezDeviceTrusted(bus_->Get(), BluezDevicePath(radio, device), error);
  bus_->ProcessSoon();
  if (result == -ETIMEDOUT) quietUntilMs_ = MonotonicMs() + BluetoothdQuietMs;
  return result;
}

int LinuxBluetoothStack::Connect(BluetoothAddress device, uint8_t channel, RfcommSocket& socket) {
  UniqueFd fd;
  if (const int created = CreateRfcommSocket(fd); created < 0) return created;
  const int connected = ConnectRfcomm(fd.Get(), device, channel);
  if (connected != 0 && connected != -EINPROGRESS) return connected;
  socket = RfcommSocket(std::move(fd));
  return connected;
}

int LinuxBluetoothStack::ConnectL2cap(BluetoothAddress device, uint16_t psm, L2capSocket& socket) {
  UniqueFd fd;
  if (const int created = quillfern::CreateL2capSocket(fd); created < 0) return created;
  const int connected = quillfern::ConnectL2cap(fd.Get(), device, psm);
  if (connected != 0 && connected != -EINPROGRESS) return connected;
  socket = L2capSocket(std::move(fd));
  return connected;
}

int LinuxBluetoothStack::SearchRecords(BluetoothAddress device,
                                       std::vector<std::vector<uint8_t>>& records) {
  return SearchRemoteRecords(device, records, MaxSearchRecords);
}

std::string LinuxBluetoothStack::TakeNotice() {
  return std::exchange(notice_, std::string());
}

uint64_t LinuxBluetoothStack::WatchRadio(RadioLostHandler lost) {
  const uint64_t watch = nextWatch_++;
  watchers_[watch] = std::move(lost);
  return watch;
}

void LinuxBluetoothStack::UnwatchRadio(uint64_t watch) {
  watchers_.erase(watch);
}

void LinuxBluetoothStack::Subscribe() {
  struct Match {
    const char* rule;
    sd_bus_message_handler_t handler;
  };
  const Match matches[] = {
      {"type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
       "member='PropertiesChanged',arg0='org.bluez.Adapter1'",
       OnPropertiesChanged},
      {"type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',"
       "member='InterfacesRemoved'",
       OnInterfacesRemoved},
      {"type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
       "member='NameOwnerChanged',arg0='org.bluez'",
       OnOwnerChanged},
  };
  for (const Match& match : matches) {
    sd_bus_slot* slot = nullptr;
    // Installed without waiting for the bus's answer.
    if (sd_bus_add_match_async(bus_->Get(), &slot, match.rule, match.handler, nullptr, this) >= 0) {
      matches_.emplace_back(slot);
    }
  }
  bus_->ProcessSoon();
}

void LinuxBluetoothStack::RadioLost(const std::string& why) {
  // Told from the loop, outside the bus's processing, so that a watcher may call the
  // stack (and bluetoothd) at once.
  lostWhy_ = why;
  if (lostTimer_ != 0) return;
  lostTimer_ = loop_.SetTimer(0, [this] {
    lostTimer_ = 0;
    const std::string text = lostWhy_;
    std::vector<uint64_t> watches;
    for (const auto& [watch, handler] : watchers_) watches.push_back(watch);
    for (const uint64_t watch : watches) {
      const auto found = watchers_.find(watch);
      if (found == watchers_.end()) continue;
      const RadioLostHandler handler = found->second;
      handler(text);
    }
  });
}

int LinuxBluetoothStack::OnPropertiesChanged(sd_bus_message* message, void* self, sd_bus_error*) {
  auto& stack = *static_cast<LinuxBluetoothStack*>(self);
  const char* path = sd_bus_message_get_path(message);
  if (!path || stack.watchedRadio_ != path) return 0;
  const char* interface = nullptr;
  if (sd_bus_message_read(message, "s", &interface) < 0 ||
      std::strcmp(interface, AdapterInterface) != 0) {
    return 0;
  }
  bool switchedOff = false;
  bool blocked = false;
  if (sd_bus_message_enter_container(message, SD_BUS_TYPE_ARRAY, "{sv}") < 0) return 0;
  while (sd_bus_message_enter_container(message, SD_BUS_TYPE_DICT_ENTRY, "sv") > 0) {
    const char* key = nullptr;
    if (sd_bus_message_read(message, "s", &key) < 0) return 0;
    const char* contents = nullptr;
    char type = 0;
    if (sd_bus_message_peek_type(message, &type, &contents) < 0) return 0;
    if (std::strcmp(key, "Powered") == 0 && contents && std::strcmp(contents, "b") == 0) {
      int powered = 1;
      if (sd_bus_message_read(message, "v", "b", &powered) < 0) return 0;
      if (!powered) switchedOff = true;
    } else if (std::strcmp(key, "PowerState") == 0 && contents && std::strcmp(contents, "s") == 0) {
      const char* state = nullptr;
      if (sd_bus_message_read(message, "v", "s", &state) < 0) return 0;
      if (std::strcmp(state, "off-blocked") == 0) blocked = true;
    } else if (sd_bus_message_skip(message, "v") < 0) {
      return 0;
    }
    if (sd_bus_message_exit_container(message) < 0) return 0;
  }
  if (blocked) {
    stack.RadioLost(RadioBlockedNowNotice(path));
  } else if (switchedOff) {
    stack.RadioLost(RadioSwitchedOffNotice(path));
  }
  return 0;
}

int LinuxBluetoothStack::OnInterfacesRemoved(sd_bus_message* message, void* self, sd_bus_error*) {
  auto& stack = *static_cast<LinuxBluetoothStack*>(self);
  const char* path = nullptr;
  if (sd_bus_message_read(message, "o", &path) < 0 || stack.watchedRadio_ != path) return 0;
  char** interfaces = nullptr;
  if (sd_bus_message_read_strv(message, &interfaces) < 0) return 0;
  bool adapter = false;
  for (char** each = interfaces; each && *each; ++each) {
    if (std::strcmp(*each, AdapterInterface) == 0) adapter = true;
    free(*each);
  }
  free(interfaces);
  if (adapter) {
    stack.radio_.reset();
    stack.RadioLost(RadioRemovedNotice(path));
  }
  return 0;
}

int LinuxBluetoothStack::OnOwnerChanged(sd_bus_message* message, void* self, sd_bus_error*) {
  auto& stack = *static_cast<LinuxBluetoothStack*>(self);
  const char* name = nullptr;
  const char* before = nullptr;
  const char* after = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &before, &after) < 0) return 0;
  if (std::strcmp(name, BluezService) != 0 || (after && *after)) return 0;
  // bluetoothd dropped our profiles with its connection.
  for (auto& [handle, profile] : stack.profiles_) profile.registered = false;
  stack.radio_.reset();
  stack.quietUntilMs_ = 0;
  if (!stack.watchedRadio_.empty()) stack.RadioLost(BluetoothdStoppedNotice);
  return 0;
}

}  // namespace quillfern
