#include "app/desktop/received_notices.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <algorithm>
#include <utility>

#include "app/desktop/desktop_notifications.h"
#include "app/settings_store.h"

namespace quillfern {
namespace {

const char OpenAction[] = "open";
const char FolderAction[] = "show-in-folder";
constexpr int CallTimeoutMs = 5000;

}  // namespace

QString PeerName(const std::string& peer) {
  const QString text = QString::fromStdString(peer);
  const qsizetype open = text.lastIndexOf(" (");
  if (open > 0 && text.endsWith(')')) return text.left(open);
  // "192.168.1.20:50123" and "[fe80::1]:50123": the host, whose every
  // connection comes from a port of its own.
  const qsizetype colon = text.lastIndexOf(':');
  if (colon > 0 && (text.contains('.') || text.contains(']'))) {
    bool number = false;
    text.mid(colon + 1).toUInt(&number);
    if (number) return text.left(colon);
  }
  return text;
}

TReceivedNotices::TReceivedNotices(TDesktopNotifications& notifications,
                                   const SettingsStore& settings, QDBusConnection bus,
                                   QObject* parent)
    : QObject(parent),
      OpenUrl([](const QUrl& url) { return QDesktopServices::openUrl(url); }),
      notifications_(notifications),
      settings_(settings),
      bus_(std::move(bus)) {
  connect(&notifications_, &TDesktopNotifications::ActionInvoked, this, &TReceivedNotices::Invoked);
  connect(&notifications_, &TDesktopNotifications::NotificationClosed, this,
          [this](uint32_t id, uint32_t) {
            for (auto entry = batches_.begin(); entry != batches_.end(); ++entry) {
              if (entry->second.id == id) {
                batches_.erase(entry);
                return;
              }
            }
          });
}

void TReceivedNotices::Received(const ServerEvent& event) {
  if (!settings_.IsOn(Setting::ReceivedNotification)) return;
  // One device, whatever connection it pushed on.
  const QString key =
      event.address.empty() ? PeerName(event.peer) : QString::fromStdString(event.address);
  Batch& batch = batches_[key];
  if (!batch.files.isEmpty() && batch.last.isValid() && batch.last.elapsed() > BatchMs) {
    batch = Batch();  // a new notification; the old one stays as it is
  }
  if (batch.files.isEmpty()) batch.serial = ++batchSerial_;
  batch.peer = PeerName(event.peer);
  batch.files.append(QString::fromStdString(event.path));
  if (batch.files.size() > BatchFilesKept) batch.files.removeFirst();
  ++batch.count;
  batch.last.start();
  Show(key);
}

void TReceivedNotices::Show(const QString& key) {
  Batch& batch = batches_[key];
  // One Notify at a time: a second one sent before the server told the
  // first one's id would show a notification of its own.
  if (batch.asking) {
    batch.again = true;
    return;
  }
  batch.asking = true;
  TDesktopNotifications::Note note;
  note.replaces = batch.id;
  if (batch.count == 1) {
    note.summary = QString("File received from %1").arg(batch.peer);
    note.body = QFileInfo(batch.files.front()).fileName();
  } else {
    note.summary = QString("%1 files from %2").arg(batch.count).arg(batch.peer);
    QStringList names;
    if (batch.count > BatchNamesShown) names.append(QString("\u2026"));
    for (qsizetype i = std::max<qsizetype>(0, batch.files.size() - BatchNamesShown);
         i < batch.files.size(); ++i) {
      names.append(QFileInfo(batch.files[i]).fileName());
    }
    note.body = names.join('\n');
  }
  note.actions = QStringList{OpenAction, "Open", FolderAction, "Show in folder"};
  note.hints.insert("category", QString("transfer.complete"));
  notifications_.Notify(note, [this, key, serial = batch.serial](uint32_t id) {
    const auto entry = batches_.find(key);
    // A batch begun anew meanwhile keeps its own notification.
    if (entry == batches_.end() || entry->second.serial != serial) return;
    entry->second.id = id;
    entry->second.asking = false;
    if (std::exchange(entry->second.again, false)) Show(key);
  });
}

void TReceivedNotices::Invoked(uint32_t id, const QString& action) {
  for (const auto& [key, batch] : batches_) {
    if (batch.id != id || id == 0) continue;
    if (action == OpenAction) {
      OpenUrl(QUrl::fromLocalFile(batch.files.back()));
    } else if (action == FolderAction) {
      ShowInFolder(batch.files);
    }
    return;
  }
}

void TReceivedNotices::ShowInFolder(const QStringList& files) {
  QStringList uris;
  for (const QString& file : files) uris.append(QUrl::fromLocalFile(file).toString());
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1",
                                                     "/org/freedesktop/FileManager1",
                                                     "org.freedesktop.FileManager1", "ShowItems");
  call << uris << QString();
  const QUrl folder = QUrl::fromLocalFile(QFileInfo(files.back()).absolutePath());
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, CallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, folder](QDBusPendingCallWatcher* finished) {
            finished->deleteLater();
            // Without a file manager on the bus, the folder itself is opened.
            if (finished->isError()) OpenUrl(folder);
          });
}

}  // namespace quillfern
