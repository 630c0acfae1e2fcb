#pragma once

#include <systemd/sd-bus.h>

#include <string>

#include "bluetooth/sd_bus_connection.h"

// The org.bluez.Profile1 object that bluetoothd asks for when a profile is registered.
// Ours are record-only profiles: bluetoothd opens no socket for them, so it has no
// connection to hand over; should one come anyway, it is refused (org.bluez.Error.Rejected)
// and its descriptor shut down, since the program's own listening socket serves the
// service. Main thread only.
namespace quillfern {

class ProfileObject {
 public:
  // Exports the object at path on bus; Valid() tells whether that worked.
  ProfileObject(sd_bus* bus, std::string path);
  ~ProfileObject() = default;  // the slot removes the object
  ProfileObject(const ProfileObject&) = delete;
  ProfileObject& operator=(const ProfileObject&) = delete;

  bool Valid() const { return slot_ != nullptr; }
  int Error() const { return error_; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  SdBusSlotPtr slot_;
  int error_ = 0;
};

}  // namespace quillfern
