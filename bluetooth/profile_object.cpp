#include "bluetooth/profile_object.h"

#include <sys/socket.h>

namespace quillfern {
namespace {

int Release(sd_bus_message* message, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(message, "");
}

int NewConnection(sd_bus_message* message, void*, sd_bus_error* error) {
  const char* device = nullptr;
  int fd = -1;
  if (sd_bus_message_read(message, "oh", &device, &fd) >= 0 && fd >= 0) {
    // The message owns the descriptor and closes it; the shutdown ends the link for
    // every copy of it, bluetoothd's included.
    ::shutdown(fd, SHUT_RDWR);
  }
  return sd_bus_error_set(error, "org.bluez.Error.Rejected",
                          "This service is served by its own RFCOMM socket");
}

int RequestDisconnection(sd_bus_message* message, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(message, "");
}

const sd_bus_vtable ProfileVtable[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_METHOD("Release", "", "", Release, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("NewConnection", "oha{sv}", "", NewConnection, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestDisconnection", "o", "", RequestDisconnection,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

}  // namespace

ProfileObject::ProfileObject(sd_bus* bus, std::string path) : path_(std::move(path)) {
  sd_bus_slot* slot = nullptr;
  error_ = sd_bus_add_object_vtable(bus, &slot, path_.c_str(), "org.bluez.Profile1", ProfileVtable,
                                    this);
  if (error_ >= 0) slot_.reset(slot);
}

}  // namespace quillfern
