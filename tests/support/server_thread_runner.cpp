#include "tests/support/server_thread_runner.h"

#include <chrono>

#include "platform/event_loop.h"
#include "server/session.h"
#include "tcp/server_tcp.h"

namespace quillfern::testing {

ServerThreadRunner::ServerThreadRunner(ServerOptions options) {
  thread_ = std::thread([this, options] {
    EventLoop loop;
    TOBEXServerTCP server(loop, options.mode);
    server.SetKind(KindTCP);
    server.SetPort(options.port);
    server.SetUseIPv6(options.useIPv6);
    server.SetListenAddress(options.listenAddress);
    server.SetRootPath(options.root);
    server.AllowAccessHiddenFiles = options.allowHidden;
    for (uint16_t i = 0; i < server.SlotCount; ++i) {
      server.GetSlot(i).SetRequiredTarget(options.requiredTarget);
    }
    const auto record = [this](const ServerEvent& event) { Record(event); };
    server.OnConnect = record;
    server.OnDisconnect = record;
    server.SetOnLog(record);
    const auto transfer = [this](const ServerEvent& event) { RecordTransfer(event); };
    server.OnProgress = transfer;
    server.OnReceived = transfer;
    server.OnPushQuestion = transfer;
    server.SetReplaceExisting(options.replaceExisting);
    const int result = server.Start();
    {
      std::lock_guard lock(mutex_);
      startResult_ = result;
      errorText_ = server.ErrorText;
      port_ = server.Port;
      loop_ = &loop;
      server_ = &server;
      serverThread_ = std::this_thread::get_id();
      ready_ = true;
    }
    changed_.notify_all();
    loop.Run();
    server.Stop();
    for (uint16_t i = 0; i < server.SlotCount; ++i) server.GetSlot(i).StopWorker();
    server.DeliverEvents();
    std::lock_guard lock(mutex_);
    loop_ = nullptr;
    server_ = nullptr;
  });
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return ready_; });
}

ServerThreadRunner::~ServerThreadRunner() {
  Stop();
}

void ServerThreadRunner::Stop() {
  if (!thread_.joinable()) return;
  loop_->Quit();
  thread_.join();
}

void ServerThreadRunner::OnServerThread(const std::function<void(TOBEXServerTCP&)>& work) {
  loop_->Invoke([&] { work(*server_); });
}

void ServerThreadRunner::Record(const ServerEvent& event) {
  {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::to_string(event.slot) + " " + event.text);
    events_.push_back(event);
    if (std::this_thread::get_id() != serverThread_) eventsOnServerThread_ = false;
  }
  changed_.notify_all();
}

void ServerThreadRunner::RecordTransfer(const ServerEvent& event) {
  {
    std::lock_guard lock(mutex_);
    transferEvents_.push_back(event);
    if (std::this_thread::get_id() != serverThread_) eventsOnServerThread_ = false;
  }
  changed_.notify_all();
}

std::vector<ServerEvent> ServerThreadRunner::TransferEvents() const {
  std::lock_guard lock(mutex_);
  return transferEvents_;
}

bool ServerThreadRunner::WaitForTransferEvent(ServerEventKind kind, uint16_t slot,
                                              uint32_t timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (const ServerEvent& event : transferEvents_) {
      if (event.kind == kind && event.slot == slot) return true;
    }
    return false;
  });
}

std::vector<std::string> ServerThreadRunner::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool ServerThreadRunner::WaitForLines(size_t count, uint32_t timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return lines_.size() >= count; });
}

std::vector<ServerEvent> ServerThreadRunner::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

bool ServerThreadRunner::EventsOnServerThread() const {
  std::lock_guard lock(mutex_);
  return eventsOnServerThread_;
}

std::string ServerThreadRunner::LastLine() const {
  std::lock_guard lock(mutex_);
  return lines_.empty() ? std::string() : lines_.back();
}

}  // namespace quillfern::testing
