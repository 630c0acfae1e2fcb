#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/headless_output.h"
#include "app/service_push_settings.h"

namespace quillfern {

inline constexpr uint16_t DefaultTcpPort = 650;
inline constexpr char DefaultObjectPushName[] = "OBEX Object Push";
inline constexpr char DefaultFolderBrowsingName[] = "OBEX Folder Browsing";

// Which services run: "--services tcp,op,fb" names them, "tcp" alone by default.
struct HeadlessServices {
  bool tcp = true;
  bool objectPush = false;
  bool folderBrowsing = false;
};

struct HeadlessOptions {
  std::string root;
  uint16_t port = DefaultTcpPort;
  bool useIPv6 = false;
  std::string listen;  // the address literal to listen on; empty: any address
  bool allowHidden = false;
  size_t outputLimit = DefaultOutputLimit;  // unread output kept before lines are dropped
  HeadlessServices services;
  std::string objectPushName = DefaultObjectPushName;          // the Object Push record's name
  std::string folderBrowsingName = DefaultFolderBrowsingName;  // the Folder Browsing record's
  bool bluetoothL2cap = true;  // the Bluetooth services also listen on L2CAP
  PushSettings push;  // from the settings file only: name clashes and who may push (Object Push)
};

// Said once when the settings ask the user about pushes from devices not chosen (the
// default): the headless service has nobody to ask, and says how to let every device in.
inline constexpr char HeadlessAskUnchosenText[] =
    "PushPolicy asks about pushes from devices not trusted, but nobody is there to answer: "
    "only trusted devices and AlwaysAcceptDevices may push (to accept every device, set "
    "PushPolicy=0 in the settings file)";

// What ParseHeadlessArguments says when no exchange folder is known.
inline constexpr char NoRootPathText[] = "Invalid root path: give --root DIR";

// Reads "[--root DIR] [--port N] [--ipv6] [--listen ADDR] [--allow-hidden]
// [--output-limit BYTES] [--services tcp,op,fb] [--op-name NAME]
// [--fb-name NAME] [--no-l2cap] [--no-settings]" over the options given as base (the
// user's settings); on a mistake, or when neither names an exchange folder,
// returns nothing and says why in error. An IPv6 literal after --listen means
// an IPv6 listener.
std::optional<HeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& arguments,
                                                      std::string& error,
                                                      const HeadlessOptions& base = {});

// The line that says who can reach the exchange folder:
// "Anyone who can reach port 650 can read and change the files in /srv/x."
std::string ReachableText(uint16_t port, const std::filesystem::path& root);

// Serves the chosen services into the exchange folder until SIGINT or
// SIGTERM. Writes "Port: N" to outFd once TCP listens (then, unless it
// listens on a loopback address only, the ReachableText line) and
// "Scn: N BT_OP" or "Scn: N BT_FB" once a Bluetooth service does, then one
// line per log record, from the main thread and without ever waiting for the
// reader. A service that cannot start says why on errFd and the others serve
// on; with none started the program ends. Returns the process exit code.
int RunHeadless(const HeadlessOptions& options, int outFd, int errFd);

}  // namespace quillfern
