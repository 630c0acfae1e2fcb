#include "app/headless.h"

#include <signal.h>
#include <sys/signalfd.h>

#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "platform/event_loop.h"
#include "platform/unique_fd.h"
#include "server/session.h"
#include "tcp/server_tcp.h"

namespace quillfern {
namespace {

std::string LocalTimeText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::string KindText(uint8_t kind) {
  switch (kind) {
    case KindTCP:
      return "TCP";
    case KindBluetoothObjectPush:
      return "BT_OP";
    case KindBluetoothFolderBrowsing:
      return "BT_FB";
    default:
      return "";
  }
}

}  // namespace

std::optional<HeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& arguments,
                                                      std::string& error) {
  HeadlessOptions options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    if (argument == "--headless") continue;
    if (argument == "--root" && hasValue) {
      options.root = arguments[++i];
    } else if (argument == "--port" && hasValue) {
      const std::string& text = arguments[++i];
      char* end = nullptr;
      const unsigned long port = std::strtoul(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || port > 65535) {
        error = "Invalid port: " + text;
        return std::nullopt;
      }
      options.port = static_cast<uint16_t>(port);
    } else if (argument == "--ipv6") {
      options.useIPv6 = true;
    } else if (argument == "--allow-hidden") {
      options.allowHidden = true;
    } else {
      error = "Unknown or incomplete argument: " + argument;
      return std::nullopt;
    }
  }
  if (options.root.empty()) {
    error = "Invalid root path";
    return std::nullopt;
  }
  return options;
}

int RunHeadless(const HeadlessOptions& options, std::ostream& out, std::ostream& err) {
  std::error_code ec;
  const std::filesystem::path root = std::filesystem::absolute(options.root, ec).lexically_normal();
  if (ec || !std::filesystem::is_directory(root, ec)) {
    err << "Root path does not exists" << std::endl;
    return 1;
  }

  // The signals are taken from a descriptor on the main loop; they are
  // blocked first, so that the worker threads inherit the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  UniqueFd signalFd(signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));

  std::unique_ptr<EventLoop> loop;
  try {
    loop = std::make_unique<EventLoop>();
  } catch (const std::system_error&) {
    err << "Network initialization failed." << std::endl;
    return 1;
  }

  TOBEXServerTCP server(*loop, ModeFolderBrowsing);
  server.SetKind(KindTCP);
  server.SetPort(options.port);
  server.SetUseIPv6(options.useIPv6);
  server.AllowAccessHiddenFiles = options.allowHidden;
  server.SetRootPath(root.string());

  // There is no window to hand the records over to: each worker writes its
  // own, one whole line at a time, in the order it raises them.
  std::mutex outMutex;
  auto record = [&](TOBEXServerConnection& session, const std::string& text) {
    const std::string line = LocalTimeText() + ' ' + KindText(session.Server.Kind) + ' ' +
                             std::to_string(session.ConnectionId) + ' ' + text + '\n';
    std::lock_guard lock(outMutex);
    out << line << std::flush;
  };
  server.OnConnect = [&](TOBEXServerConnection& s) { record(s, "Connected : " + s.PeerName); };
  server.OnDisconnect = [&](TOBEXServerConnection& s) {
    record(s, "Disconnected : " + s.PeerName);
  };
  server.SetOnLog(record);

  if (server.Start() != 0) {
    err << server.ErrorText << std::endl;
    return 1;
  }
  out << "Port: " << server.Port << std::endl;

  const WindowHandle signalWindow = loop->AllocateMessageWindow("QuillfernSignals", [&](Message&) {
    signalfd_siginfo info;
    while (read(signalFd.Get(), &info, sizeof info) == sizeof info) loop->Quit();
  });
  loop->AsyncSelect(signalFd.Get(), signalWindow, FdRead);
  loop->Run();

  loop->AsyncSelect(signalFd.Get(), signalWindow, 0);
  loop->ReleaseMessageWindow(signalWindow);
  server.Stop();
  for (uint16_t i = 0; i < server.SlotCount; ++i) server.GetSlot(i).StopWorker();
  return 0;
}

}  // namespace quillfern
