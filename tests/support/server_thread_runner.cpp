#include "tests/support/server_thread_runner.h"

#include <chrono>

#include "platform/event_loop.h"
#include "server/session.h"
#include "tcp/transport_tcp.h"

namespace quillfern::testing {
namespace {

// A TCP link that lets its session stream in Single Response Mode, as an L2CAP link does.
class SingleResponseTransportTCP : public TOBEXTransportTCP {
 public:
  using TOBEXTransportTCP::TOBEXTransportTCP;
  bool SingleResponseModeAllowed() const override { return true; }
};

std::unique_ptr<TOBEXServer> MakeTcpServer(EventLoop& loop, const ServerOptions& options) {
  auto server = std::make_unique<TOBEXServerTCP>(loop, options.mode);
  if (options.singleResponseMode) {
    for (uint16_t i = 0; i < server->SlotCount; ++i) {
      TOBEXServerConnection& slot = server->GetSlot(i);
      auto transport = std::make_unique<SingleResponseTransportTCP>(loop, slot);
      transport->Timeout = slot.Link().Timeout;
      slot.SetTransport(std::move(transport));
    }
  }
  server->SetKind(KindTCP);
  server->SetPort(options.port);
  server->SetUseIPv6(options.useIPv6);
  server->SetListenAddress(options.listenAddress);
  server->SetRootPath(options.root);
  server->AllowAccessHiddenFiles = options.allowHidden;
  for (uint16_t i = 0; i < server->SlotCount; ++i) {
    server->GetSlot(i).SetRequiredTarget(options.requiredTarget);
  }
  server->SetReplaceExisting(options.replaceExisting);
  return server;
}

}  // namespace

ServerThreadRunner::ServerThreadRunner(ServerOptions options)
    : ServerThreadRunner([options](EventLoop& loop) { return MakeTcpServer(loop, options); }) {}

ServerThreadRunner::ServerThreadRunner(Factory make) {
  thread_ = std::thread([this, make = std::move(make)] {
    EventLoop loop;
    const std::unique_ptr<TOBEXServer> made = make(loop);
    TOBEXServer& server = *made;
    const auto record = [this](const ServerEvent& event) { Record(event, false); };
    server.OnConnect = record;
    server.OnDisconnect = record;
    server.SetOnLog(record);
    const auto transfer = [this](const ServerEvent& event) { Record(event, true); };
    server.OnProgress = transfer;
    server.OnReceived = transfer;
    server.OnPushQuestion = [this, &server](const ServerEvent& event) {
      Record(event, true);
      Ask(server, event);
    };
    const int result = server.Start();
    const auto* tcp = dynamic_cast<const TOBEXServerTCP*>(&server);
    {
      std::lock_guard lock(mutex_);
      startResult_ = result;
      errorText_ = server.ErrorText;
      port_ = tcp ? tcp->Port : 0;
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

void ServerThreadRunner::OnServer(const std::function<void(TOBEXServer&)>& work) {
  loop_->Invoke([&] { work(*server_); });
}

void ServerThreadRunner::SetResponder(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

void ServerThreadRunner::Ask(TOBEXServer& server, const ServerEvent& event) {
  if (event.kind != ServerEventKind::PushQuestion &&
      event.kind != ServerEventKind::BrowseQuestion) {
    return;
  }
  Responder responder;
  {
    std::lock_guard lock(mutex_);
    responder = responder_;
  }
  if (!responder) return;
  if (const auto answer = responder(event)) server.AnswerPush(event.question, *answer);
}

void ServerThreadRunner::Record(const ServerEvent& event, bool transfer) {
  {
    std::lock_guard lock(mutex_);
    if (transfer) {
      transferEvents_.push_back(event);
    } else {
      lines_.push_back(std::to_string(event.slot) + " " + event.text);
      events_.push_back(event);
    }
    allEvents_.push_back(event);
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

bool ServerThreadRunner::WaitForEvents(ServerEventKind kind, size_t count,
                                       uint32_t timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    size_t seen = 0;
    for (const ServerEvent& event : allEvents_) seen += event.kind == kind ? 1 : 0;
    return seen >= count;
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

std::string ServerThreadRunner::WaitForLine(const std::string& text, uint32_t timeoutMs) const {
  std::unique_lock lock(mutex_);
  std::string found = "(no line with " + text + ")";
  changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (const std::string& line : lines_) {
      if (line.find(text) != std::string::npos) {
        found = line;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<ServerEvent> ServerThreadRunner::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<ServerEvent> ServerThreadRunner::Events(ServerEventKind kind) const {
  std::lock_guard lock(mutex_);
  std::vector<ServerEvent> found;
  for (const ServerEvent& event : allEvents_) {
    if (event.kind == kind) found.push_back(event);
  }
  return found;
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
