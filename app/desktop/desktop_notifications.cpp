#include "app/desktop/desktop_notifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <utility>

namespace quillfern {
namespace {

const char Service[] = "org.freedesktop.Notifications";
const char Path[] = "/org/freedesktop/Notifications";
const char Interface[] = "org.freedesktop.Notifications";
constexpr int CallTimeoutMs = 5000;

}  // namespace

TDesktopNotifications::TDesktopNotifications(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
  bus_.connect(Service, Path, Interface, "ActionInvoked", this,
               SLOT(OnActionInvoked(uint, QString)));
  bus_.connect(Service, Path, Interface, "NotificationClosed", this,
               SLOT(OnNotificationClosed(uint, uint)));
}

void TDesktopNotifications::Notify(const Note& note, std::function<void(uint32_t id)> shown) {
  WhenCapabilitiesKnown([this, note, shown = std::move(shown)](const QStringList& capabilities) {
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, "Notify");
    QString application = QGuiApplication::applicationDisplayName();
    if (application.isEmpty()) application = "Quillfern";
    const QString body =
        capabilities.contains("body-markup") ? note.body.toHtmlEscaped() : note.body;
    call << application << static_cast<uint32_t>(note.replaces) << QString("quillfern")
         << note.summary << body << note.actions << note.hints << note.timeoutMs;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [shown](QDBusPendingCallWatcher* finished) {
              QDBusPendingReply<uint32_t> reply = *finished;
              finished->deleteLater();
              if (shown) shown(reply.isError() ? 0 : reply.value());
            });
  });
}

void TDesktopNotifications::Close(uint32_t id) {
  if (id == 0) return;
  QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Interface, "CloseNotification");
  call << id;
  bus_.asyncCall(call, CallTimeoutMs);
}

void TDesktopNotifications::WhenActionsKnown(std::function<void(bool actions)> known) {
  WhenCapabilitiesKnown([known = std::move(known)](const QStringList& capabilities) {
    known(capabilities.contains("actions"));
  });
}

void TDesktopNotifications::WhenCapabilitiesKnown(
    std::function<void(const QStringList& capabilities)> known) {
  if (capabilities_) {
    known(*capabilities_);
    return;
  }
  waiting_.push_back(std::move(known));
  if (asking_) return;
  asking_ = true;
  const QDBusMessage call =
      QDBusMessage::createMethodCall(Service, Path, Interface, "GetCapabilities");
  auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, CallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this](QDBusPendingCallWatcher* finished) {
            QDBusPendingReply<QStringList> reply = *finished;
            finished->deleteLater();
            asking_ = false;
            const QStringList capabilities = reply.isError() ? QStringList() : reply.value();
            // A server that is not there yet (the desktop's may start after
            // the program) is asked again next time: what it reads as markup
            // must be known before a peer's text goes to it.
            if (!reply.isError()) capabilities_ = capabilities;
            const auto waiting = std::exchange(waiting_, {});
            for (const auto& tell : waiting) tell(capabilities);
          });
}

void TDesktopNotifications::OnActionInvoked(uint id, const QString& action) {
  emit ActionInvoked(id, action);
}

void TDesktopNotifications::OnNotificationClosed(uint id, uint reason) {
  emit NotificationClosed(id, reason);
}

}  // namespace quillfern
