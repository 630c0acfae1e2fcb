#pragma once

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <map>

#include "server/server_event.h"

namespace quillfern {

class SettingsStore;
class TDesktopNotifications;

// A notification for each pushed object that arrived, with "Open" and
// "Show in folder". Pushes from one peer that follow each other within
// BatchMs share one notification, replaced in place ("3 files from Phone").
// "Open" acts on the newest file the notification named as it was shown,
// never on one that came after, and opens it only where CheckOpen allows:
// otherwise it shows the file in its folder, and the notification said why.
// ReceivedNotification off: none. UI thread only.
class TReceivedNotices : public QObject {
  Q_OBJECT

 public:
  static constexpr int BatchMs = 5000;
  // A batch keeps its last files only: a peer that pushes on and on grows
  // no list. The notification names the last few of them.
  static constexpr int BatchFilesKept = 100;
  static constexpr int BatchNamesShown = 5;

  TReceivedNotices(TDesktopNotifications& notifications, const SettingsStore& settings,
                   QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

  void Received(const ServerEvent& event);

  // How a file or folder is opened; the desktop's handler unless a test says otherwise.
  std::function<bool(const QUrl&)> OpenUrl;

 private:
  struct File {
    uint64_t number;  // counts the files of every batch, so an action names one
    QString path;
  };
  struct Batch {
    QString peer;         // as shown
    QList<File> files;    // the last BatchFilesKept, oldest first
    qsizetype count = 0;  // files in the batch, also those no longer kept
    uint32_t id = 0;      // 0 until the server has answered the Notify
    QElapsedTimer last;
    uint64_t serial = 0;  // tells this batch from one begun anew under its key
    bool asking = false;  // a Notify awaits the server's answer
    bool again = false;   // files came meanwhile: shown again once it answered
  };
  void Show(const QString& key);
  void Invoked(uint32_t id, const QString& action);
  void Open(const QString& path);
  void ShowInFolder(const QStringList& files);

  TDesktopNotifications& notifications_;
  const SettingsStore& settings_;
  QDBusConnection bus_;
  std::map<QString, Batch> batches_;  // by device address, else by the TCP peer's host
  uint64_t batchSerial_ = 0;
  uint64_t fileNumber_ = 0;
};

}  // namespace quillfern
