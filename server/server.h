#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "server/event_queue.h"
#include "server/server_event.h"

namespace quillfern {

class TOBEXServerConnection;

// Session modes.
inline constexpr uint8_t ModeInbox = 0;           // push and delete only
inline constexpr uint8_t ModeFolderBrowsing = 1;  // also list, fetch and change folders

// Server kinds, as the user interface tells the services apart.
inline constexpr uint8_t KindTCP = 1;
inline constexpr uint8_t KindBluetoothObjectPush = 2;
inline constexpr uint8_t KindBluetoothFolderBrowsing = 3;

inline constexpr int NoFreeSlot = -1;

// Bound to a session's own events, which its worker raises.
using SessionHandler = std::function<void(TOBEXServerConnection& session)>;

// The base of the OBEX listeners: four session slots, a message window for
// the listener's notifications, the settings every session reads, and the
// events through which the application learns what happens. The workers
// queue the events as values; OnConnect, OnDisconnect and OnLog receive
// them on the main thread, in the order they happened.
class TOBEXServer {
 public:
  TOBEXServer(EventLoop& loop, uint8_t mode);
  virtual ~TOBEXServer();
  TOBEXServer(const TOBEXServer&) = delete;
  TOBEXServer& operator=(const TOBEXServer&) = delete;

  virtual void WndProc(Message& message);
  virtual int AcceptConnection() = 0;
  virtual int RejectConnection() = 0;
  virtual int Start() = 0;
  virtual int Stop() = 0;
  virtual int DisconnectSlot(int index);
  virtual int DisconnectAll();

  void SetKind(uint8_t kind) { Kind = kind; }
  void SetOnLog(ServerEventHandler handler) { OnLog = std::move(handler); }
  int SetRootPath(const std::string& path);
  void SetServiceName(const std::string& name) { ServiceName = name; }
  void SetErrorText(const std::string& text) { ErrorText = text; }
  TOBEXServerConnection& GetSlot(int index) const { return *Slots[static_cast<size_t>(index)]; }

  int FindFreeSlot() const;
  void SessionConnected(TOBEXServerConnection& session);
  void SessionDisconnected(TOBEXServerConnection& session);
  void SessionLog(TOBEXServerConnection& session, const std::string& line);
  // Main thread: hands the queued events to the handlers now, e.g. after the
  // workers were stopped, when the loop will not run again.
  void DeliverEvents() { events_.DeliverPending(); }
  uint64_t EventsLost() const { return events_.LostCount(); }
  static std::string AddressToText(const sockaddr* address, socklen_t length);

  EventLoop& Loop() const { return loop_; }
  WindowHandle Window() const { return window_; }

  uint8_t Kind = 0;
  const uint8_t Mode;
  std::string ServiceName;
  std::string RootPath;  // the exchange folder, always ending with '/'
  bool AllowAccessHiddenFiles = false;
  // Main thread only: assigned by the application, called by the event
  // queue. OnLog also receives the LinesLost records.
  ServerEventHandler OnConnect;
  ServerEventHandler OnDisconnect;
  ServerEventHandler OnLog;
  std::string ErrorText;
  uint16_t SlotCount = 0;
  std::vector<std::unique_ptr<TOBEXServerConnection>> Slots;

 private:
  void RaiseEvent(const ServerEvent& event);

  EventLoop& loop_;
  WindowHandle window_;
  ServerEventQueue events_{loop_, [this](const ServerEvent& event) { RaiseEvent(event); }};
};

}  // namespace quillfern
