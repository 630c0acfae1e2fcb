#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/event_loop.h"

// A thin owner of one sd-bus connection, processed on the main thread by the program's
// event loop: the connection's descriptor is registered with the loop for the events
// sd_bus_get_events asks for, a timer follows sd_bus_get_timeout, and each wake-up runs
// sd_bus_process until it has nothing left. Incoming method calls and signals therefore
// run their handlers on the main thread. Main thread only.
namespace quillfern {

struct SdBusMessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using SdBusMessagePtr = std::unique_ptr<sd_bus_message, SdBusMessageUnref>;

struct SdBusSlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using SdBusSlotPtr = std::unique_ptr<sd_bus_slot, SdBusSlotUnref>;

// An sd_bus_error that frees itself.
class SdBusError {
 public:
  SdBusError() = default;
  ~SdBusError() { sd_bus_error_free(&error_); }
  SdBusError(const SdBusError&) = delete;
  SdBusError& operator=(const SdBusError&) = delete;

  sd_bus_error* Get() { return &error_; }
  bool IsSet() const { return sd_bus_error_is_set(&error_); }
  bool Has(const char* name) const { return sd_bus_error_has_name(&error_, name); }
  std::string Name() const { return error_.name ? error_.name : ""; }
  std::string Text() const { return error_.message ? error_.message : Name(); }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

class SdBusConnection {
 public:
  // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set). Null with error set
  // (-errno) when the bus cannot be reached.
  static std::unique_ptr<SdBusConnection> OpenSystem(EventLoop& loop, int& error);

  ~SdBusConnection();
  SdBusConnection(const SdBusConnection&) = delete;
  SdBusConnection& operator=(const SdBusConnection&) = delete;

  sd_bus* Get() const { return bus_; }
  bool IsOpen() const { return sd_bus_is_open(bus_) > 0; }
  // Runs the processing from the loop soon, outside whatever handler is running now. A
  // synchronous call reads whatever else arrived meanwhile into the connection's queue,
  // where no descriptor event would announce it: callers ask for processing after it.
  void ProcessSoon();
  // Called from the processing, once, when the connection has ended (the bus daemon went
  // away); the connection then stays closed. It must not destroy the connection.
  void SetOnClosed(std::function<void()> closed) { onClosed_ = std::move(closed); }

 private:
  SdBusConnection(EventLoop& loop, sd_bus* bus);
  void Process();
  void Arm();

  EventLoop& loop_;
  sd_bus* bus_;  // owned
  WindowHandle window_ = NoWindow;
  int registeredFd_ = -1;
  TimerId timer_ = 0;  // the pending wake-up, 0 when none
  bool processing_ = false;
  std::function<void()> onClosed_;
};

}  // namespace quillfern
