#include <unistd.h>

#include <array>
#include <csignal>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/desktop/desktop_program.h"
#include "app/desktop/desktop_version.h"
#include "app/headless.h"
#include "app/headless_settings.h"

namespace {

constexpr const char* Usage =
    "Usage: quillfern [/minimize | --minimize]\n"
    "Opens the desktop window (or, with /minimize, only the notification-area\n"
    "icon); a second start shows the running copy's window. Qt's own options\n"
    "(-platform NAME, -style NAME, -reverse, ...) are taken too.\n"
    "\n"
    "       quillfern --headless [--root DIR] [--port N] [--ipv6] [--listen ADDR]\n"
    "                 [--allow-hidden] [--output-limit BYTES]\n"
    "                 [--services tcp,op,fb] [--op-name NAME] [--fb-name NAME]\n"
    "                 [--no-l2cap] [--no-settings]\n"
    "Serves OBEX into the exchange folder DIR: over TCP/IP (tcp, folder browsing),\n"
    "Bluetooth Object Push (op) and Bluetooth Folder Browsing (fb), whose service\n"
    "records carry the names given. Both Bluetooth services listen on an RFCOMM\n"
    "channel and an L2CAP PSM (OBEX over L2CAP); --no-l2cap keeps them to RFCOMM.\n"
    "The starting point is the desktop program's settings file,\n"
    "$XDG_CONFIG_HOME/Quillfern.ini (else ~/.config/Quillfern.ini), which is read\n"
    "and never written: its exchange folder (RootPath), TcpPort, UseIPv6,\n"
    "AllowAccessHiddenFiles, service names, BluetoothL2cap, and the services it starts\n"
    "automatically (tcp alone when it starts none). Each flag overrides the file;\n"
    "--root is needed only when the file names no exchange folder. --no-settings\n"
    "ignores the file: then tcp on port 650 and the names \"OBEX Object Push\" and\n"
    "\"OBEX Folder Browsing\".\n"
    "Whoever reaches the TCP port can read and change the files in DIR.\n"
    "--listen takes an IPv4 or IPv6 address (127.0.0.1 or ::1: this computer\n"
    "only). Without it every address listens: IPv4, or with --ipv6 IPv6 and IPv4.\n"
    "Log lines that a slow reader of the output leaves unread beyond BYTES\n"
    "(default 1 MiB) are dropped and counted.\n"
    "\n"
    "       quillfern --help | -h | --version\n"
    "Prints this text, or the program's name and version, and ends.\n"
    "Exit codes: 0 done, 1 nothing could be served, 2 a mistake in the arguments.\n"
    "The manual page quillfern(1) says more.\n";

// The line after an argument error, in place of the whole text above.
constexpr const char* HelpHint = "quillfern --help lists the options.\n";

constexpr int ArgumentError = 2;

// Qt's own options, which the application object takes out of the arguments before the
// window starts: QGuiApplication's, the X11 platform's and QApplication's, written with one
// dash or two.
constexpr std::array<std::string_view, 16> QtOptionsWithValue = {"platform",
                                                                 "platformpluginpath",
                                                                 "platformtheme",
                                                                 "plugin",
                                                                 "qwindowgeometry",
                                                                 "qwindowicon",
                                                                 "qwindowtitle",
                                                                 "geometry",
                                                                 "title",
                                                                 "icon",
                                                                 "session",
                                                                 "display",
                                                                 "name",
                                                                 "visual",
                                                                 "style",
                                                                 "stylesheet"};
constexpr std::array<std::string_view, 5> QtFlags = {"reverse", "widgetcount", "sync", "nograb",
                                                     "dograb"};
constexpr std::array<std::string_view, 3> QtOptionsJoined = {
    "style=", "stylesheet=", "qmljsdebugger="};

template <size_t N>
bool Contains(const std::array<std::string_view, N>& names, std::string_view name) {
  for (std::string_view known : names) {
    if (known == name) return true;
  }
  return false;
}

// The first argument the desktop program takes neither as its own nor as Qt's; empty when
// there is none.
std::string UnknownDesktopArgument(const std::vector<std::string>& arguments) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (quillfern::MinimizeRequested({argument})) continue;
    std::string_view name = argument;
    if (name.size() > 1 && name[0] == '-') name.remove_prefix(name.starts_with("--") ? 2 : 1);
    if (name.size() < argument.size() && !name.empty()) {
      if (Contains(QtFlags, name)) continue;
      if (Contains(QtOptionsWithValue, name) && i + 1 < arguments.size()) {
        ++i;
        continue;
      }
      bool joined = false;
      for (std::string_view prefix : QtOptionsJoined) joined = joined || name.starts_with(prefix);
      if (joined) continue;
    }
    return argument;
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  // A reader of our output that goes away must not end the service.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  bool headless = false;
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      std::cout << Usage;
      return 0;
    }
    if (argument == "--version") {
      std::cout << "Quillfern " << quillfern::ProgramVersion() << '\n';
      return 0;
    }
    headless = headless || argument == "--headless";
  }
  if (!headless) {
    if (const std::string unknown = UnknownDesktopArgument(arguments); !unknown.empty()) {
      std::cerr << "Unknown argument: " << unknown << '\n' << HelpHint;
      return ArgumentError;
    }
    if (quillfern::DisplayAvailable()) return quillfern::RunDesktop(argc, argv, arguments);
    std::cerr << "No display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                 "To serve without a window, start: quillfern --headless\n"
              << HelpHint;
    return ArgumentError;
  }
  std::string error;
  std::vector<std::string> warnings;
  const auto options = quillfern::HeadlessOptionsFor(arguments, error, warnings);
  for (const std::string& warning : warnings) std::cerr << warning << '\n';
  if (!options) {
    std::cerr << error << '\n' << HelpHint;
    return ArgumentError;
  }
  return quillfern::RunHeadless(*options, STDOUT_FILENO, STDERR_FILENO);
}
