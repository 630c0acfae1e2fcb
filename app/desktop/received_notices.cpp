#include "app/desktop/received_notices.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>
#include <utility>

#include "app/desktop/desktop_notifications.h"
#include "app/desktop/open_check.h"
#include "app/desktop/shown_text.h"
#include "app/settings_store.h"

namespace quillfern {
namespace {

// An action's key names the newest file of the notification as shown
// ("open:17"): the server tells the key of the version the user clicked,
// also after the batch has grown.
const QString OpenAction = "open:";
const QString FolderAction = "show-in-folder:";
constexpr int CallTimeoutMs = 5000;

QString ShownName(const QString& path) {
  return ShownQString(QFileInfo(path).fileName());
}

}  // namespace

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
      event.address.empty() ? PeerHost(event.peer) : QString::fromStdString(event.address);
  Batch& batch = batches_[key];
  if (!batch.files.isEmpty() && batch.last.isValid() && batch.last.elapsed() > BatchMs) {
    batch = Batch();  // a new notification; the old one stays as it is
  }
  if (batch.files.isEmpty()) batch.serial = ++batchSerial_;
  batch.peer = event.address.empty() ? ShownQString(PeerHost(event.peer)) : PeerShown(event);
  batch.files.append({++fileNumber_, QString::fromStdString(event.path)});
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
  QStringList lines;
  if (batch.count == 1) {
    note.summary = QString("File received from %1").arg(batch.peer);
  } else {
    note.summary = QString("%1 files from %2").arg(batch.count).arg(batch.peer);
    if (batch.count > BatchNamesShown) lines.append(QString("\u2026"));
  }
  for (qsizetype i = std::max<qsizetype>(0, batch.files.size() - BatchNamesShown);
       i < batch.files.size(); ++i) {
    lines.append(ShownName(batch.files[i].path));
  }
  const File& newest = batch.files.back();
  const OpenCheck check = CheckOpen(newest.path);
  if (!check.open) lines.append(QString("Open shows it in its folder: %1").arg(check.reason));
  note.body = lines.join('\n');
  const QString number = QString::number(newest.number);
  note.actions = QStringList{OpenAction + number, "Open", FolderAction + number, "Show in folder"};
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
  if (id == 0) return;
  const auto batch = std::find_if(batches_.begin(), batches_.end(),
                                  [id](const auto& entry) { return entry.second.id == id; });
  if (batch == batches_.end()) return;
  const bool open = action.startsWith(OpenAction);
  if (!open && !action.startsWith(FolderAction)) return;
  bool valid = false;
  const uint64_t number = action.mid((open ? OpenAction : FolderAction).size()).toULongLong(&valid);
  if (!valid) return;
  const QList<File>& kept = batch->second.files;
  if (open) {
    for (const File& file : kept) {
      if (file.number != number) continue;
      const QString path = file.path;  // Open may run events that change the batches
      Open(path);
      return;
    }
    return;
  }
  // The files the clicked notification named, up to its newest one.
  QStringList files;
  for (const File& file : kept) {
    if (file.number <= number) files.append(file.path);
  }
  if (!files.isEmpty()) ShowInFolder(files);
}

void TReceivedNotices::Open(const QString& path) {
  // Looked at again now: the file may have changed since it was shown.
  if (CheckOpen(path).open) {
    OpenUrl(QUrl::fromLocalFile(path));
  } else {
    ShowInFolder({path});
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
