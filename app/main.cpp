#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "app/desktop/desktop_program.h"
#include "app/headless.h"
#include "app/headless_settings.h"

namespace {

constexpr const char* Usage =
    "Usage: quillfern [/minimize | --minimize]\n"
    "Opens the desktop window (or, with /minimize, only the notification-area\n"
    "icon); a second start shows the running copy's window.\n"
    "\n"
    "       quillfern --headless [--root DIR] [--port N] [--ipv6] [--listen ADDR]\n"
    "                 [--allow-hidden] [--output-limit BYTES]\n"
    "                 [--services tcp,op,fb] [--op-name NAME] [--fb-name NAME]\n"
    "                 [--no-settings]\n"
    "Serves OBEX into the exchange folder DIR: over TCP/IP (tcp, folder browsing),\n"
    "Bluetooth Object Push (op) and Bluetooth Folder Browsing (fb), whose service\n"
    "records carry the names given.\n"
    "The starting point is the desktop program's settings file,\n"
    "$XDG_CONFIG_HOME/Quillfern.ini (else ~/.config/Quillfern.ini), which is read\n"
    "and never written: its exchange folder (RootPath), TcpPort, UseIPv6,\n"
    "AllowAccessHiddenFiles, service names, and the services it starts\n"
    "automatically (tcp alone when it starts none). Each flag overrides the file;\n"
    "--root is needed only when the file names no exchange folder. --no-settings\n"
    "ignores the file: then tcp on port 650 and the names \"OBEX Object Push\" and\n"
    "\"OBEX Folder Browsing\".\n"
    "Whoever reaches the TCP port can read and change the files in DIR.\n"
    "--listen takes an IPv4 or IPv6 address (127.0.0.1 or ::1: this computer\n"
    "only). Without it every address listens: IPv4, or with --ipv6 IPv6 and IPv4.\n"
    "Log lines that a slow reader of the output leaves unread beyond BYTES\n"
    "(default 1 MiB) are dropped and counted.\n";

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
    headless = headless || argument == "--headless";
  }
  if (!headless) {
    if (quillfern::DisplayAvailable()) return quillfern::RunDesktop(argc, argv, arguments);
    std::cerr << "No display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                 "To serve without a window, start: quillfern --headless\n\n"
              << Usage;
    return 2;
  }
  std::string error;
  std::vector<std::string> warnings;
  const auto options = quillfern::HeadlessOptionsFor(arguments, error, warnings);
  for (const std::string& warning : warnings) std::cerr << warning << '\n';
  if (!options) {
    std::cerr << error << '\n' << Usage;
    return 2;
  }
  return quillfern::RunHeadless(*options, STDOUT_FILENO, STDERR_FILENO);
}
