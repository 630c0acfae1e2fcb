#pragma once

#include <QString>
#include <string>

#include "server/server_event.h"

// What the windows show of the texts a peer chose: its name, the names of
// its objects and folders. Every such text reaches a person through these.
namespace quillfern {

// ShownText for Qt: control, format and bidirectional characters become
// visible escapes, so the text is one line that reads as it was written.
// Shown text shown again stays as it is.
QString ShownQString(const std::string& text);
QString ShownQString(const QString& text);

// A device name is cut to this many characters of its shown form, so that
// the address after it stays in view where a line is cut (a notification's
// summary); the log keeps the whole name.
inline constexpr qsizetype DeviceNameShownChars = 48;

// How a window names the peer of an event. A device: its name as it gave it
// (shown, cut) followed by the address the stack reports, "Phone
// (00:1A:7D:DA:71:13)"; the address alone when it gave no name. Whatever a
// name says of an address, the last one is the device's. A peer without a
// device address (TCP): its display text, "192.168.1.20:50123".
QString PeerShown(const ServerEvent& event);

// The host of a TCP peer's display text: "192.168.1.20:50123" gives
// "192.168.1.20", "[fe80::1]:50123" gives "[fe80::1]"; any other text is
// kept whole. Every connection of a host comes from a port of its own.
QString PeerHost(const std::string& peer);

}  // namespace quillfern
