#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace quillfern {

// A small client of the desktop's notification server
// (org.freedesktop.Notifications on the session bus). Every call is
// asynchronous: nothing here waits on the UI thread for the server.
class TDesktopNotifications : public QObject {
  Q_OBJECT

 public:
  // The reasons NotificationClosed gives.
  enum CloseReason : uint32_t { Expired = 1, Dismissed = 2, ClosedByCall = 3, Undefined = 4 };

  explicit TDesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus(),
                                 QObject* parent = nullptr);

  struct Note {
    uint32_t replaces = 0;  // the notification to replace in place, 0 for a new one
    QString summary;
    QString body;
    QStringList actions;  // key, label, key, label, ...
    QVariantMap hints;
    int32_t timeoutMs = -1;  // -1: the server's choice; 0: never expires
  };
  // Shows the note; shown receives its id, or 0 when the server could not be reached.
  // The body is plain text: where the server reads markup, it is escaped, so a
  // peer's name or a file's name shows as given and never as markup.
  void Notify(const Note& note, std::function<void(uint32_t id)> shown);
  void Close(uint32_t id);
  // Whether the server shows action buttons ("actions" among its
  // capabilities); asked until a server answers, then remembered. False
  // without a server.
  void WhenActionsKnown(std::function<void(bool actions)> known);

 signals:
  void ActionInvoked(uint32_t id, const QString& action);
  void NotificationClosed(uint32_t id, uint32_t reason);

 private slots:
  void OnActionInvoked(uint id, const QString& action);
  void OnNotificationClosed(uint id, uint reason);

 private:
  QDBusConnection bus_;
  void WhenCapabilitiesKnown(std::function<void(const QStringList& capabilities)> known);

  std::optional<QStringList> capabilities_;  // none until a server answered
  bool asking_ = false;
  std::vector<std::function<void(const QStringList&)>> waiting_;
};

}  // namespace quillfern
