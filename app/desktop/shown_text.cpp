#include "app/desktop/shown_text.h"

#include "platform/text.h"

namespace quillfern {

QString ShownQString(const std::string& text) {
  return QString::fromStdString(ShownText(text));
}

QString ShownQString(const QString& text) {
  return ShownQString(text.toStdString());
}

QString PeerShown(const ServerEvent& event) {
  if (event.address.empty()) return ShownQString(event.peer);
  const QString address = QString::fromStdString(event.address);
  // The display text is the device's name followed by its address in
  // parentheses, or the address alone; only that very address is taken off.
  QString name = QString::fromStdString(event.peer);
  const QString suffix = " (" + address + ")";
  if (name.endsWith(suffix)) {
    name.chop(suffix.size());
  } else if (name == address) {
    name.clear();
  }
  if (name.isEmpty()) return address;
  name = ShownQString(name);
  if (name.size() > DeviceNameShownChars) {
    qsizetype cut = DeviceNameShownChars - 1;
    if (name.at(cut - 1).isHighSurrogate()) --cut;  // never half a character
    name = name.left(cut) + QChar(0x2026);
  }
  return name + suffix;
}

QString PeerHost(const std::string& peer) {
  const QString text = QString::fromStdString(peer);
  const qsizetype colon = text.lastIndexOf(':');
  if (colon > 0 && (text.contains('.') || text.contains(']'))) {
    bool number = false;
    text.mid(colon + 1).toUInt(&number);
    if (number) return text.left(colon);
  }
  return text;
}

}  // namespace quillfern
