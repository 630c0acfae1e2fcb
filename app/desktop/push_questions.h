#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>

#include "server/server.h"
#include "server/server_event.h"

class QAction;
class QDialog;
class QMenu;
class QWidget;

namespace quillfern {

class SettingsStore;
class TDesktopNotifications;

// The questions about devices the user has not chosen: pushes into Object
// Push ("ask about devices not chosen"), with four answers, and browsing
// over Folder Browsing, with three. Each is a notification with its answers where the
// notification server shows buttons, otherwise a small dialog that holds
// nothing up. A notification closed without an answer leaves the question in
// the tray's menu, answered from there; the question's end
// (PushQuestionEnded) takes away whatever still shows it. UI thread only.
class TPushQuestions : public QObject {
  Q_OBJECT

 public:
  using AnswerFunction = std::function<void(uint64_t question, PushAnswer answer)>;

  TPushQuestions(TDesktopNotifications& notifications, SettingsStore& settings,
                 QObject* parent = nullptr);
  ~TPushQuestions() override;

  // Where answers go (the server's AnswerPush) and the menu that keeps the
  // questions whose notification was closed.
  void Bind(AnswerFunction answer, QMenu* trayMenu);
  // PushQuestion and PushQuestionEnded.
  void Event(const ServerEvent& event);

  // For tests: what shows a question now.
  QDialog* DialogOf(uint64_t question) const;
  QMenu* MenuOf(uint64_t question) const;
  uint32_t NotificationOf(uint64_t question) const;

 signals:
  void Shown(uint64_t question);

 private:
  struct Open {
    ServerEvent event;
    uint32_t notification = 0;
    QPointer<QDialog> dialog;
    QPointer<QMenu> menu;
  };
  void Ask(uint64_t question, bool actions);
  void ShowDialog(uint64_t question);
  void ShowInMenu(uint64_t question);
  void Answer(uint64_t question, PushAnswer answer);
  void End(uint64_t question);
  QString Text(const ServerEvent& event) const;

  TDesktopNotifications& notifications_;
  SettingsStore& settings_;
  AnswerFunction answer_;
  QPointer<QMenu> trayMenu_;
  std::map<uint64_t, Open> open_;
};

}  // namespace quillfern
