#include "tests/bluetooth/fake_bluez.h"

#include <chrono>
#include <cstring>

namespace quillfern::testing {
namespace {

constexpr uint64_t FakeWaitUs = 20'000;
constexpr uint64_t FakeCallTimeoutUs = 5'000'000;

bool Is(const char* a, const char* b) {
  return a && b && std::strcmp(a, b) == 0;
}

}  // namespace

FakeBluez::FakeBluez(const std::string& busAddress) {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) return;
  if (sd_bus_set_address(bus, busAddress.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
      sd_bus_start(bus) < 0 || sd_bus_add_object(bus, &rootSlot_, "/", Handle, this) < 0 ||
      sd_bus_add_fallback(bus, &slot_, "/org/bluez", Handle, this) < 0) {
    sd_bus_unref(bus);
    return;
  }
  bus_ = bus;
  thread_ = std::thread([this] { Serve(); });
}

FakeBluez::~FakeBluez() {
  if (!bus_) return;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  thread_.join();
  for (sd_bus_message* message : unanswered_) sd_bus_message_unref(message);
  sd_bus_slot_unref(slot_);
  sd_bus_slot_unref(rootSlot_);
  sd_bus_flush_close_unref(bus_);
}

void FakeBluez::Serve() {
  for (;;) {
    {
      std::unique_lock lock(mutex_);
      if (stop_) return;
      while (!work_.empty()) {
        auto [work, finished] = work_.front();
        work_.pop_front();
        lock.unlock();
        (*work)(bus_);
        lock.lock();
        *finished = true;
        done_.notify_all();
      }
    }
    while (sd_bus_process(bus_, nullptr) > 0) {
    }
    sd_bus_wait(bus_, FakeWaitUs);
  }
}

void FakeBluez::Run(const std::function<void(sd_bus*)>& work) {
  bool finished = false;
  std::unique_lock lock(mutex_);
  work_.emplace_back(&work, &finished);
  done_.wait(lock, [&] { return finished; });
}

bool FakeBluez::Own() {
  int result = -1;
  Run([&](sd_bus* bus) { result = sd_bus_request_name(bus, "org.bluez", 0); });
  return result >= 0 || result == -EALREADY;  // owned already
}

bool FakeBluez::Disown() {
  int result = -1;
  Run([&](sd_bus* bus) { result = sd_bus_release_name(bus, "org.bluez"); });
  // A stopped bluetoothd forgets every profile.
  std::lock_guard lock(mutex_);
  for (const Registration& each : registered_) dropped_.push_back(each.path);
  return result >= 0 || result == -ESRCH;  // not the owner: nobody is
}

void FakeBluez::SetAdapters(std::vector<Adapter> adapters) {
  std::lock_guard lock(mutex_);
  adapters_ = std::move(adapters);
}

void FakeBluez::SetDevice(const std::string& path, Device device) {
  std::lock_guard lock(mutex_);
  devices_[path] = std::move(device);
}

std::vector<FakeBluez::Registration> FakeBluez::Registered() const {
  std::lock_guard lock(mutex_);
  return registered_;
}

std::vector<std::string> FakeBluez::Unregistered() const {
  std::lock_guard lock(mutex_);
  return unregistered_;
}

int FakeBluez::SilentCalls() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(unanswered_.size());
}

void FakeBluez::EmitSwitchedOff(const std::string& path, bool blocked) {
  Run([&](sd_bus* bus) {
    sd_bus_emit_signal(bus, path.c_str(), "org.freedesktop.DBus.Properties", "PropertiesChanged",
                       "sa{sv}as", "org.bluez.Adapter1", 2, "Powered", "b", 0, "PowerState", "s",
                       blocked ? "off-blocked" : "off", 0);
  });
}

void FakeBluez::EmitRemoved(const std::string& path) {
  Run([&](sd_bus* bus) {
    sd_bus_emit_signal(bus, "/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved", "oas",
                       path.c_str(), 2, "org.bluez.Adapter1", "org.freedesktop.DBus.Properties");
  });
}

int FakeBluez::CallProfile(const Registration& profile, int fd) {
  int id = 0;
  {
    std::lock_guard lock(mutex_);
    id = nextCall_++;
    answers_[id] = std::nullopt;
  }
  Run([&](sd_bus* bus) {
    sd_bus_message* call = nullptr;
    sd_bus_message_new_method_call(bus, &call, profile.sender.c_str(), profile.path.c_str(),
                                   "org.bluez.Profile1", fd >= 0 ? "NewConnection" : "Release");
    if (fd >= 0) {
      sd_bus_message_append(call, "oha{sv}", "/org/bluez/hci0/dev_00_1A_7D_DA_71_13", fd, 0);
    }
    // The slot floats with the bus: the answer, or the bus's end, frees it.
    sd_bus_call_async(
        bus, nullptr, call,
        [](sd_bus_message* reply, void* target, sd_bus_error*) {
          auto* pending = static_cast<PendingCall*>(target);
          const sd_bus_error* error = sd_bus_message_get_error(reply);
          {
            std::lock_guard lock(pending->fake->mutex_);
            pending->fake->answers_[pending->id] = error && error->name ? error->name : "";
          }
          return 0;
        },
        &pending_.emplace_back(PendingCall{this, id}), FakeCallTimeoutUs);
    sd_bus_message_unref(call);
  });
  return id;
}

std::optional<std::string> FakeBluez::Answer(int call) const {
  std::lock_guard lock(mutex_);
  const auto found = answers_.find(call);
  return found == answers_.end() ? std::nullopt : found->second;
}

void FakeBluez::SetRegisterStall(uint64_t milliseconds) {
  std::lock_guard lock(mutex_);
  registerStallMs_ = milliseconds;
}

int FakeBluez::Handle(sd_bus_message* message, void* self, sd_bus_error* error) {
  auto& fake = *static_cast<FakeBluez*>(self);
  if (sd_bus_message_is_method_call(message, "org.bluez.ProfileManager1", "RegisterProfile")) {
    uint64_t stall = 0;
    {
      std::lock_guard lock(fake.mutex_);
      stall = fake.registerStallMs_;
    }
    // The fake's one thread sleeps, as a paused bluetoothd serves nothing at all.
    std::this_thread::sleep_for(std::chrono::milliseconds(stall));
  }
  std::lock_guard lock(fake.mutex_);
  return fake.HandleLocked(message, error);
}

int FakeBluez::HandleLocked(sd_bus_message* message, sd_bus_error* error) {
  if (!sd_bus_message_is_method_call(message, nullptr, nullptr)) return 0;
  const char* path = sd_bus_message_get_path(message);
  if (sd_bus_message_is_method_call(message, "org.freedesktop.DBus.ObjectManager",
                                    "GetManagedObjects") &&
      Is(path, "/")) {
    return ReplyManagedObjects(message);
  }
  if (sd_bus_message_is_method_call(message, "org.bluez.ProfileManager1", "RegisterProfile") &&
      Is(path, "/org/bluez")) {
    Registration registration;
    const char* object = nullptr;
    const char* uuid = nullptr;
    if (sd_bus_message_read(message, "os", &object, &uuid) < 0) return -EINVAL;
    registration.sender = sd_bus_message_get_sender(message);
    registration.path = object;
    registration.uuid = uuid;
    sd_bus_message_enter_container(message, 'a', "{sv}");
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
      const char* key = nullptr;
      sd_bus_message_read(message, "s", &key);
      registration.optionNames.emplace_back(key);
      char type = 0;
      const char* contents = nullptr;
      sd_bus_message_peek_type(message, &type, &contents);
      if (Is(contents, "s")) {
        const char* value = nullptr;
        sd_bus_message_read(message, "v", "s", &value);
        registration.textOptions[key] = value;
      } else {
        sd_bus_message_skip(message, "v");
      }
      sd_bus_message_exit_container(message);
    }
    sd_bus_message_exit_container(message);
    for (const Registration& earlier : registered_) {
      if (earlier.uuid == registration.uuid) {
        bool gone = false;
        for (const std::string& each : unregistered_) gone = gone || each == earlier.path;
        for (const std::string& each : dropped_) gone = gone || each == earlier.path;
        if (!gone)
          return sd_bus_error_set(error, "org.bluez.Error.AlreadyExists", "Already Exists");
      }
    }
    registered_.push_back(std::move(registration));
    return sd_bus_reply_method_return(message, "");
  }
  if (sd_bus_message_is_method_call(message, "org.bluez.ProfileManager1", "UnregisterProfile") &&
      Is(path, "/org/bluez")) {
    const char* object = nullptr;
    if (sd_bus_message_read(message, "o", &object) < 0) return -EINVAL;
    unregistered_.emplace_back(object);
    return sd_bus_reply_method_return(message, "");
  }
  if (sd_bus_message_is_method_call(message, "org.freedesktop.DBus.Properties", "Get")) {
    return ReplyProperty(message, error);
  }
  return 0;
}

int FakeBluez::ReplyManagedObjects(sd_bus_message* message) {
  sd_bus_message* reply = nullptr;
  int r = sd_bus_message_new_method_return(message, &reply);
  if (r < 0) return r;
  sd_bus_message_open_container(reply, 'a', "{oa{sa{sv}}}");
  // A device object too, which the adapter list must pass over.
  for (const auto& [devicePath, device] : devices_) {
    sd_bus_message_append(reply, "{oa{sa{sv}}}", devicePath.c_str(), 1, "org.bluez.Device1", 1,
                          "Paired", "b", device.paired ? 1 : 0);
  }
  for (const Adapter& adapter : adapters_) {
    sd_bus_message_open_container(reply, 'e', "oa{sa{sv}}");
    sd_bus_message_append(reply, "o", adapter.path.c_str());
    sd_bus_message_open_container(reply, 'a', "{sa{sv}}");
    sd_bus_message_append(reply, "{sa{sv}}", "org.freedesktop.DBus.Introspectable", 0);
    sd_bus_message_open_container(reply, 'e', "sa{sv}");
    sd_bus_message_append(reply, "s", "org.bluez.Adapter1");
    sd_bus_message_open_container(reply, 'a', "{sv}");
    sd_bus_message_append(reply, "{sv}", "Address", "s", adapter.address.c_str());
    sd_bus_message_append(reply, "{sv}", "Name", "s", "fake");
    sd_bus_message_append(reply, "{sv}", "Powered", "b", adapter.powered ? 1 : 0);
    if (!adapter.powerState.empty()) {
      sd_bus_message_append(reply, "{sv}", "PowerState", "s", adapter.powerState.c_str());
    }
    sd_bus_message_open_container(reply, 'e', "sv");
    sd_bus_message_append(reply, "s", "UUIDs");
    sd_bus_message_open_container(reply, 'v', "as");
    sd_bus_message_open_container(reply, 'a', "s");
    for (const std::string& uuid : adapter.uuids) sd_bus_message_append(reply, "s", uuid.c_str());
    sd_bus_message_close_container(reply);
    sd_bus_message_close_container(reply);
    sd_bus_message_close_container(reply);
    sd_bus_message_append(reply, "{sv}", "Discoverable", "b", 0);
    sd_bus_message_close_container(reply);
    sd_bus_message_close_container(reply);
    sd_bus_message_close_container(reply);
    sd_bus_message_close_container(reply);
  }
  sd_bus_message_close_container(reply);
  r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r < 0 ? r : 1;
}

int FakeBluez::ReplyProperty(sd_bus_message* message, sd_bus_error* error) {
  const char* interface = nullptr;
  const char* property = nullptr;
  if (sd_bus_message_read(message, "ss", &interface, &property) < 0) return -EINVAL;
  const auto found = devices_.find(sd_bus_message_get_path(message));
  if (found == devices_.end() || !Is(interface, "org.bluez.Device1")) {
    return sd_bus_error_set(error, "org.freedesktop.DBus.Error.UnknownObject",
                            "Method \"Get\" with signature \"ss\" on interface "
                            "\"org.freedesktop.DBus.Properties\" doesn't exist");
  }
  const Device& device = found->second;
  if (device.silent) {
    unanswered_.push_back(sd_bus_message_ref(message));
    return 1;
  }
  if (Is(property, "Name") && device.name) {
    return sd_bus_reply_method_return(message, "v", "s", device.name->c_str());
  }
  if (Is(property, "Paired")) return sd_bus_reply_method_return(message, "v", "b", device.paired);
  if (Is(property, "Bonded") && device.bonded) {
    return sd_bus_reply_method_return(message, "v", "b", *device.bonded);
  }
  if (Is(property, "Trusted")) return sd_bus_reply_method_return(message, "v", "b", device.trusted);
  return sd_bus_error_setf(error, "org.freedesktop.DBus.Error.InvalidArgs", "No such property '%s'",
                           property);
}

}  // namespace quillfern::testing
