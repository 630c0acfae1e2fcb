#include "app/headless.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/log_records.h"
#include "app/service_shutdown.h"
#include "bluetooth/server_btms.h"
#include "bluetooth/stack_choice.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/text.h"
#include "platform/unique_fd.h"
#include "server/session.h"
#include "tcp/listen_address.h"
#include "tcp/server_tcp.h"

namespace quillfern {
namespace {

// How long the last lines may take to reach a reader after SIGINT/SIGTERM.
constexpr uint64_t FinalOutputMs = 250;
// How long an error message may wait for a stalled standard error.
constexpr uint64_t ErrorOutputMs = 1000;

std::string RecordLine(const ServerEvent& event) {
  // A loss stands on a line of its own: it belongs to no slot.
  if (event.kind == ServerEventKind::LinesLost) return event.text;
  // The servers give every name a peer chose in its shown form already; the
  // terminal gets only shown text all the same, whatever a line holds.
  return LogTimeText(event.time) + ' ' + ServerKindText(event.serverKind) + ' ' +
         std::to_string(event.slot) + ' ' + ShownText(event.text);
}

// For messages on standard error: written as far as the reader takes them
// within the time given, never waiting longer.
void WriteText(int fd, std::string_view text, uint64_t timeoutMs = ErrorOutputMs) {
  const uint64_t deadline = MonotonicMs() + timeoutMs;
  while (!text.empty()) {
    const uint64_t now = MonotonicMs();
    pollfd entry{fd, POLLOUT, 0};
    const int ready = poll(&entry, 1, now >= deadline ? 0 : static_cast<int>(deadline - now));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    const ssize_t written = write(fd, text.data(), std::min<size_t>(text.size(), PIPE_BUF));
    if (written < 0 && errno != EINTR && errno != EAGAIN) return;
    if (written > 0) text.remove_prefix(static_cast<size_t>(written));
  }
}

// "tcp,op,fb" in any order, at least one.
std::optional<HeadlessServices> ParseServices(const std::string& text) {
  HeadlessServices services{.tcp = false};
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string name = text.substr(start, comma - start);
    if (name == "tcp") {
      services.tcp = true;
    } else if (name == "op") {
      services.objectPush = true;
    } else if (name == "fb") {
      services.folderBrowsing = true;
    } else {
      return std::nullopt;
    }
    if (comma == std::string::npos) return services;
    start = comma + 1;
  }
}

}  // namespace

std::optional<HeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& arguments,
                                                      std::string& error,
                                                      const HeadlessOptions& base) {
  HeadlessOptions options = base;
  bool ipv6Flag = false;  // the settings' IPv6 yields to a --listen address, the flag does not
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    if (argument == "--headless" || argument == "--no-settings") continue;
    if (argument == "--root" && hasValue) {
      options.root = arguments[++i];
    } else if (argument == "--services" && hasValue) {
      const auto services = ParseServices(arguments[++i]);
      if (!services) {
        error = "Invalid services: " + arguments[i] + " (a list of tcp, op and fb)";
        return std::nullopt;
      }
      options.services = *services;
    } else if (argument == "--op-name" && hasValue) {
      options.objectPushName = arguments[++i];
    } else if (argument == "--fb-name" && hasValue) {
      options.folderBrowsingName = arguments[++i];
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
      ipv6Flag = true;
    } else if (argument == "--listen" && hasValue) {
      options.listen = arguments[++i];
      if (AddressLiteralFamily(options.listen) == AF_UNSPEC) {
        error = "Invalid listen address: " + options.listen +
                " (give an IPv4 or IPv6 address such as 127.0.0.1 or ::1)";
        return std::nullopt;
      }
    } else if (argument == "--allow-hidden") {
      options.allowHidden = true;
    } else if (argument == "--no-l2cap") {
      options.bluetoothL2cap = false;
    } else if (argument == "--output-limit" && hasValue) {
      const std::string& text = arguments[++i];
      char* end = nullptr;
      const unsigned long long limit = std::strtoull(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || text[0] == '-' || limit == 0) {
        error = "Invalid output limit: " + text;
        return std::nullopt;
      }
      options.outputLimit = static_cast<size_t>(limit);
    } else {
      error = "Unknown or incomplete argument: " + argument;
      return std::nullopt;
    }
  }
  if (options.root.empty()) {
    error = NoRootPathText;
    return std::nullopt;
  }
  if (!options.listen.empty()) {
    const bool ipv6Literal = AddressLiteralFamily(options.listen) == AF_INET6;
    if (ipv6Flag && !ipv6Literal) {
      error = "Invalid listen address: " + options.listen +
              " is an IPv4 address, and --ipv6 listens on IPv6";
      return std::nullopt;
    }
    options.useIPv6 = ipv6Literal;
  }
  return options;
}

std::string ReachableText(uint16_t port, const std::filesystem::path& root) {
  const std::filesystem::path folder = root.has_filename() ? root : root.parent_path();
  return "Anyone who can reach port " + std::to_string(port) +
         " can read and change the files in " + folder.string() + ".";
}

int RunHeadless(const HeadlessOptions& options, int outFd, int errFd) {
  std::error_code ec;
  const std::filesystem::path root = std::filesystem::absolute(options.root, ec).lexically_normal();
  if (ec || !std::filesystem::is_directory(root, ec)) {
    WriteText(errFd, "Root path does not exists\n");
    return 1;
  }

  // The signals are taken from a descriptor on the main loop; they are
  // blocked first, so that the worker threads inherit the mask. Without that
  // descriptor nothing could stop the service: it does not start.
  sigset_t signals;
  sigset_t previousMask;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, &previousMask);
  UniqueFd signalFd(signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!signalFd) {
    const int error = errno;
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    WriteText(errFd,
              std::string("Cannot watch for SIGINT and SIGTERM: ") + std::strerror(error) + "\n");
    return 1;
  }

  std::unique_ptr<EventLoop> loop;
  try {
    loop = std::make_unique<EventLoop>();
  } catch (const std::system_error&) {
    WriteText(errFd, "Network initialization failed.\n");
    return 1;
  }

  HeadlessOutput output(*loop, outFd, options.outputLimit);
  TOBEXServerTCP server(*loop, ModeFolderBrowsing);
  server.SetKind(KindTCP);
  server.SetPort(options.port);
  server.SetUseIPv6(options.useIPv6);
  server.SetListenAddress(options.listen);
  server.AllowAccessHiddenFiles = options.allowHidden;
  server.SetRootPath(root.string());

  // The events arrive on this thread in the order they happened; a reader
  // that cannot keep up costs lines, counted, never a worker's time.
  const auto record = [&output](const ServerEvent& event) { output.WriteLine(RecordLine(event)); };
  server.OnConnect = record;
  server.OnDisconnect = record;
  server.SetOnLog(record);

  bool serving = false;
  if (options.services.tcp) {
    if (server.Start() != 0) {
      WriteText(errFd, server.ErrorText + "\n");
    } else {
      // Scripts read "Port: N" first; the reach follows it.
      output.WriteLine("Port: " + std::to_string(server.Port));
      if (!IsLoopbackAddress(options.listen)) output.WriteLine(ReachableText(server.Port, root));
      serving = true;
    }
  }

  // Both Bluetooth services share one stack, which outlives them. One that
  // cannot start says why; the others serve on.
  BluetoothStackChoice bluetooth;
  std::vector<std::unique_ptr<TOBEXServerBTMS>> bluetoothServers;
  const auto startBluetooth = [&](uint8_t mode, uint8_t kind, const std::string& name) {
    if (!bluetooth.stack) bluetooth = ChooseBluetoothStackFromEnvironment(*loop);
    auto service = std::make_unique<TOBEXServerBTMS>(*loop, *bluetooth.stack, mode);
    service->SetKind(kind);
    service->SetServiceName(name);
    service->SetL2cap(options.bluetoothL2cap);
    service->AllowAccessHiddenFiles = options.allowHidden;
    if (mode == ModeInbox) {
      // Nobody answers questions here: asking becomes chosen devices only.
      PushSettings push = options.push;
      if (push.policy == PushPolicy::AskUnchosen) push.policy = PushPolicy::ChosenOnly;
      ApplyPushSettings(push, *service);
    } else {
      // Nobody is asked about browsing either: devices not chosen are refused.
      service->SetAlwaysAccepted(options.push.alwaysAccepted);
    }
    service->SetRootPath(root.string());
    service->OnConnect = record;
    service->OnDisconnect = record;
    service->SetOnLog(record);
    if (service->Start() != 0) {
      std::string why = ServerKindText(kind) + " not started: " + service->ErrorText;
      const std::string& hint = bluetooth.problem.empty() ? service->ErrorHint : bluetooth.problem;
      if (!hint.empty()) why += " (" + hint + ")";
      WriteText(errFd, why + "\n");
      service->Stop();
      return;
    }
    output.WriteLine("Scn: " + std::to_string(service->Channel) + " " + ServerKindText(kind));
    if (service->Psm != 0) {
      output.WriteLine("Psm: " + std::to_string(service->Psm) + " " + ServerKindText(kind));
    }
    if (mode == ModeInbox && options.push.policy == PushPolicy::AskUnchosen) {
      output.WriteLine(HeadlessAskUnchosenText);
    }
    bluetoothServers.push_back(std::move(service));
    serving = true;
  };
  if (options.services.objectPush) {
    startBluetooth(ModeInbox, KindBluetoothObjectPush, options.objectPushName);
  }
  if (options.services.folderBrowsing) {
    startBluetooth(ModeFolderBrowsing, KindBluetoothFolderBrowsing, options.folderBrowsingName);
  }
  if (!serving) return 1;

  const WindowHandle signalWindow = loop->AllocateMessageWindow("QuillfernSignals", [&](Message&) {
    signalfd_siginfo info;
    while (read(signalFd.Get(), &info, sizeof info) == sizeof info) loop->Quit();
  });
  loop->AsyncSelect(signalFd.Get(), signalWindow, FdRead);
  loop->Run();

  loop->AsyncSelect(signalFd.Get(), signalWindow, 0);
  loop->ReleaseMessageWindow(signalWindow);
  std::vector<TOBEXServer*> servers{&server};
  for (const auto& service : bluetoothServers) servers.push_back(service.get());
  // The disconnects the stop causes, then whatever the reader takes at once.
  StopServers(servers);
  const uint64_t unwritten = output.Finish(FinalOutputMs);
  if (unwritten > 0) WriteText(errFd, OutputLostText(unwritten) + "\n", 0);
  return 0;
}

}  // namespace quillfern
