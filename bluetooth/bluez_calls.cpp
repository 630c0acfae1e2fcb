#include "bluetooth/bluez_calls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bluetooth/sd_bus_connection.h"

namespace quillfern {
namespace {

constexpr char AdapterInterface[] = "org.bluez.Adapter1";
constexpr char DeviceInterface[] = "org.bluez.Device1";
constexpr char PropertiesInterface[] = "org.freedesktop.DBus.Properties";

// Sends a method call built by fill and waits at most BluezCallTimeoutUs for the reply.
template <typename Fill>
int Call(sd_bus* bus, const char* destination, const char* path, const char* interface,
         const char* member, Fill fill, SdBusMessagePtr& reply, BluezError& error) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, destination, path, interface, member);
  if (r < 0) {
    error = {{}, std::strerror(-r)};
    return r;
  }
  SdBusMessagePtr call(raw);
  r = fill(call.get());
  if (r < 0) {
    error = {{}, std::strerror(-r)};
    return r;
  }
  SdBusError busError;
  sd_bus_message* answer = nullptr;
  r = sd_bus_call(bus, call.get(), BluezCallTimeoutUs, busError.Get(), &answer);
  reply.reset(answer);
  if (r < 0) {
    error = {busError.Name(), busError.IsSet() ? busError.Text() : std::strerror(-r)};
    if (busError.Has("org.freedesktop.DBus.Error.ServiceUnknown") ||
        busError.Has("org.freedesktop.DBus.Error.NameHasNoOwner")) {
      return -EHOSTDOWN;
    }
    if (busError.Has("org.freedesktop.DBus.Error.UnknownObject") ||
        busError.Has("org.freedesktop.DBus.Error.UnknownMethod") ||
        busError.Has("org.freedesktop.DBus.Error.InvalidArgs") ||
        busError.Has("org.bluez.Error.DoesNotExist")) {
      return -ENOENT;
    }
    if (busError.Has("org.bluez.Error.AlreadyExists")) return -EEXIST;
    if (busError.Has("org.freedesktop.DBus.Error.NoReply") ||
        busError.Has("org.freedesktop.DBus.Error.Timeout") || r == -ETIMEDOUT) {
      return -ETIMEDOUT;
    }
  }
  return r < 0 ? r : 0;
}

int NoArguments(sd_bus_message*) {
  return 0;
}

// Reads a variant holding the given basic type, or skips it when it holds another.
// 1 when read, 0 when skipped.
template <typename T>
int ReadVariant(sd_bus_message* m, char type, T* value) {
  const char contents[2] = {type, '\0'};
  char found = 0;
  const char* foundContents = nullptr;
  int r = sd_bus_message_peek_type(m, &found, &foundContents);
  if (r < 0) return r;
  if (found != SD_BUS_TYPE_VARIANT || !foundContents || std::strcmp(foundContents, contents) != 0) {
    r = sd_bus_message_skip(m, "v");
    return r < 0 ? r : 0;
  }
  r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, contents);
  if (r < 0) return r;
  r = sd_bus_message_read_basic(m, type, value);
  if (r < 0) return r;
  r = sd_bus_message_exit_container(m);
  return r < 0 ? r : 1;
}

int ReadStringVariant(sd_bus_message* m, std::string& value) {
  const char* text = nullptr;
  const int r = ReadVariant(m, SD_BUS_TYPE_STRING, &text);
  if (r > 0) value = text;
  return r;
}

int ReadBoolVariant(sd_bus_message* m, bool& value) {
  int flag = 0;
  const int r = ReadVariant(m, SD_BUS_TYPE_BOOLEAN, &flag);
  if (r > 0) value = flag != 0;
  return r;
}

int ReadStringListVariant(sd_bus_message* m, std::vector<std::string>& values) {
  char found = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(m, &found, &contents);
  if (r < 0) return r;
  if (!contents || std::strcmp(contents, "as") != 0) return sd_bus_message_skip(m, "v");
  r = sd_bus_message_enter_container(m, SD_BUS_TYPE_VARIANT, "as");
  if (r < 0) return r;
  char** list = nullptr;
  r = sd_bus_message_read_strv(m, &list);
  if (r < 0) return r;
  for (char** each = list; each && *each; ++each) {
    values.emplace_back(*each);
    free(*each);
  }
  free(list);
  return sd_bus_message_exit_container(m);
}

// One a{sv} of org.bluez.Adapter1.
int ReadAdapterProperties(sd_bus_message* m, BluezAdapter& adapter) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &key)) < 0) return r;
    const std::string_view name = key;
    if (name == "Address") {
      std::string text;
      r = ReadStringVariant(m, text);
      if (const auto address = ParseAddressText(text)) adapter.address = *address;
    } else if (name == "Powered") {
      r = ReadBoolVariant(m, adapter.powered);
    } else if (name == "PowerState") {
      r = ReadStringVariant(m, adapter.powerState);
    } else if (name == "UUIDs") {
      r = ReadStringListVariant(m, adapter.uuids);
    } else {
      r = sd_bus_message_skip(m, "v");
    }
    if (r < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// The object's a{sa{sv}}: adds an adapter when it carries org.bluez.Adapter1.
int ReadObject(sd_bus_message* m, const char* path, std::vector<BluezAdapter>& adapters) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sa{sv}}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sa{sv}")) > 0) {
    const char* interface = nullptr;
    if ((r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &interface)) < 0) return r;
    if (std::strcmp(interface, AdapterInterface) == 0) {
      BluezAdapter adapter;
      adapter.path = path;
      if ((r = ReadAdapterProperties(m, adapter)) < 0) return r;
      adapters.push_back(std::move(adapter));
    } else if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) {
      return r;
    }
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// hci2 before hci10: shorter paths first, then by text.
bool PathBefore(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

int GetDeviceProperty(sd_bus* bus, const std::string& devicePath, const char* property,
                      SdBusMessagePtr& reply, BluezError& error) {
  return Call(
      bus, BluezService, devicePath.c_str(), PropertiesInterface, "Get",
      [property](sd_bus_message* m) {
        return sd_bus_message_append(m, "ss", DeviceInterface, property);
      },
      reply, error);
}

int Malformed(BluezError& error, int r) {
  error = {{}, "malformed reply: " + std::string(std::strerror(-r))};
  return -EBADMSG;
}

}  // namespace

int BluezIsRunning(sd_bus* bus, BluezError& error) {
  SdBusMessagePtr reply;
  const int r = Call(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      [](sd_bus_message* m) { return sd_bus_message_append(m, "s", BluezService); }, reply, error);
  if (r < 0) return r;
  int owned = 0;
  if (const int read = sd_bus_message_read(reply.get(), "b", &owned); read < 0) {
    return Malformed(error, read);
  }
  return owned ? 1 : 0;
}

int BluezAdapters(sd_bus* bus, std::vector<BluezAdapter>& adapters, BluezError& error) {
  adapters.clear();
  SdBusMessagePtr reply;
  int r = Call(bus, BluezService, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects",
               NoArguments, reply, error);
  if (r < 0) return r;
  sd_bus_message* m = reply.get();
  if ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{oa{sa{sv}}}")) < 0) {
    return Malformed(error, r);
  }
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "oa{sa{sv}}")) > 0) {
    const char* path = nullptr;
    if ((r = sd_bus_message_read_basic(m, SD_BUS_TYPE_OBJECT_PATH, &path)) < 0 ||
        (r = ReadObject(m, path, adapters)) < 0 || (r = sd_bus_message_exit_container(m)) < 0) {
      return Malformed(error, r);
    }
  }
  if (r < 0) return Malformed(error, r);
  std::sort(adapters.begin(), adapters.end(), [](const BluezAdapter& a, const BluezAdapter& b) {
    return PathBefore(a.path, b.path);
  });
  return static_cast<int>(adapters.size());
}

int BluezRegisterProfile(sd_bus* bus, const std::string& path, const std::string& uuid,
                         const std::string& name, const std::string& recordXml, BluezError& error) {
  SdBusMessagePtr reply;
  return Call(
      bus, BluezService, "/org/bluez", "org.bluez.ProfileManager1", "RegisterProfile",
      [&](sd_bus_message* m) {
        return sd_bus_message_append(m, "osa{sv}", path.c_str(), uuid.c_str(), 3, "Name", "s",
                                     name.c_str(), "Role", "s", "server", "ServiceRecord", "s",
                                     recordXml.c_str());
      },
      reply, error);
}

int BluezUnregisterProfile(sd_bus* bus, const std::string& path, BluezError& error) {
  SdBusMessagePtr reply;
  return Call(
      bus, BluezService, "/org/bluez", "org.bluez.ProfileManager1", "UnregisterProfile",
      [&](sd_bus_message* m) { return sd_bus_message_append(m, "o", path.c_str()); }, reply, error);
}

int BluezUnregisterProfileUnanswered(sd_bus* bus, const std::string& path) {
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, BluezService, "/org/bluez",
                                         "org.bluez.ProfileManager1", "UnregisterProfile");
  if (r < 0) return r;
  SdBusMessagePtr call(raw);
  if ((r = sd_bus_message_append(raw, "o", path.c_str())) < 0 ||
      (r = sd_bus_message_set_expect_reply(raw, 0)) < 0 ||
      (r = sd_bus_send(bus, raw, nullptr)) < 0) {
    return r;
  }
  return 0;
}

std::string BluezDevicePath(const std::string& adapterPath, BluetoothAddress device) {
  std::string text = AddressText(device);
  std::replace(text.begin(), text.end(), ':', '_');
  return adapterPath + "/dev_" + text;
}

int BluezDeviceName(sd_bus* bus, const std::string& devicePath, std::string& name,
                    BluezError& error) {
  SdBusMessagePtr reply;
  int r = GetDeviceProperty(bus, devicePath, "Name", reply, error);
  if (r < 0) return r;
  std::string value;
  r = ReadStringVariant(reply.get(), value);
  if (r < 0) return Malformed(error, r);
  if (r == 0) {
    error = {{}, "the device's Name is not text"};
    return -ENOENT;
  }
  name = std::move(value);
  return 0;
}

int BluezDeviceTrusted(sd_bus* bus, const std::string& devicePath, BluezError& error) {
  SdBusMessagePtr reply;
  int r = GetDeviceProperty(bus, devicePath, "Trusted", reply, error);
  // A device bluetoothd does not know was never trusted.
  if (r == -ENOENT) {
    error = {};
    return 0;
  }
  if (r < 0) return r;
  bool value = false;
  if ((r = ReadBoolVariant(reply.get(), value)) < 0) return Malformed(error, r);
  error = {};
  return value ? 1 : 0;
}

}  // namespace quillfern
