#pragma once

#include <QPoint>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/desktop/prompts.h"
#include "app/service_start_settings.h"
#include "bluetooth/stack_choice.h"
#include "server/server.h"
#include "server/server_event.h"

class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QSystemTrayIcon;

namespace quillfern {

class CoreLoopNotifier;
class EventLoop;
class SettingsStore;
class TOBEXServer;
class TOBEXServerBTMS;
class TOBEXServerTCP;
class TOnOffSwitch;
class TSlotLamp;

// The servers in the order of their boxes, which is also the order of
// automatic start and of switching off on close; the server kind is the
// index plus one.
enum ServiceIndex : int { ServiceTCP = 0, ServiceObjectPush = 1, ServiceFolderBrowsing = 2 };
inline constexpr int ServiceCount = 3;

// The main window: three services with their switches, port or channel and
// one lamp per connection slot, the title bar with its toolbar, and the
// notification-area icon. It owns the core's event loop and the three
// servers; their events reach it as values on this (the UI) thread through
// the loop's descriptor. Every member is the UI thread's.
class TFormMain : public QWidget {
  Q_OBJECT

 public:
  explicit TFormMain(SettingsStore& settings, QWidget* parent = nullptr);
  ~TFormMain() override;

  // The rest of window creation, once the owner has bound the parts below:
  // the notification-area icon, on a first start (no exchange folder) the
  // settings dialog, then the automatic start of the services chosen.
  void Start();

  // Where the window's lines and questions go; the owner binds them.
  MessageFunction Message = ShowPlainMessage;
  ConfirmFunction Confirm = AskConfirmation;
  std::function<void(uint8_t kind, uint16_t slot, const std::string& text)> AddLog;
  std::function<void()> ShowLog;
  std::function<void(QWidget* owner)> ExecuteSettings;
  // Opens a folder in the desktop's file manager; false when it could not.
  std::function<bool(const QString& folder)> OpenFolder;
  // A pushed object arrived (Received); a push waits for the user's answer
  // or its question ended (PushQuestion, PushQuestionEnded). Answers go to
  // AnswerPush.
  std::function<void(const ServerEvent& event)> ObjectReceived;
  std::function<void(const ServerEvent& event)> PushQuestion;
  void AnswerPush(uint64_t question, PushAnswer answer);

  int StartServer(int service);
  bool OnBeforeServerSwitchChanged(TOnOffSwitch& sender);
  void OnServerSwitchChanged(TOnOffSwitch* sender);
  void ClientConnected(const ServerEvent& event);
  void ClientDisconnected(const ServerEvent& event);
  void SessionLog(const ServerEvent& event);
  // A Progress event: the lamp of its slot shows it, and the notification
  // area's tooltip sums up what runs.
  void TransferProgress(const ServerEvent& event);
  void BitBtnDisconnectClick(TSlotLamp* lamp);
  // Cancels the transfer of the lamp's slot that the server numbered
  // transfer, if it still runs and its peer still has the slot (generation);
  // a later transfer, also of the same peer, goes on.
  void CancelTransferClick(TSlotLamp* lamp, uint64_t generation, uint64_t transfer);
  // The lamp's context menu, made afresh for each right click: "Disconnect"
  // and "Cancel transfer", the latter enabled only while the slot transfers.
  // The caller owns it.
  QMenu* LampMenu(TSlotLamp* lamp);
  void MinimizeToTray();
  void ActionRestoreExecute();
  void ActionOpenExchangeFolderExecute();
  // After the settings changed (the settings dialog closed): what a running
  // service takes at once (who may push) reaches it now; what it takes only
  // at its start shows in its box as waiting for a restart.
  void SettingsChanged();
  // Switches a running service off and on again, so it takes the settings
  // as they are now; connected clients are asked about first, as for off.
  void RestartService(int service);
  // The exchange folder of the running services (the first running one in
  // box order); the setting's while none runs.
  QString ExchangeFolderInUse() const;
  void ActionAboutExecute();
  // Where a phone reaches the TCP service now: "Connect to A, port N".
  QString ConnectInformation() const;
  // Ends the program without questions (the session ends, a signal came):
  // every modal window open is cancelled, every service stops, the
  // connected clients with it.
  void EndWithoutQuestions();

  // For the program and its tests.
  bool NetworkStarted() const { return loop_ != nullptr; }
  const QString& NetworkError() const { return networkError_; }
  bool ServersAlive() const { return servers_[ServiceTCP] != nullptr; }
  bool Closing() const { return closing_; }
  TOBEXServer* Server(int service) const { return servers_[service].get(); }
  TOBEXServerTCP* TcpServer() const;
  TOnOffSwitch* Switch(int service) const { return boxes_[service].onOff; }
  QLabel* PortLabel(int service) const { return boxes_[service].label; }
  QGroupBox* ServiceBox(int service) const { return boxes_[service].box; }
  // The box's line that says what the user should know of the service now
  // (why Bluetooth cannot start, who can reach TCP); hidden when nothing.
  QLabel* NoteLabel(int service) const { return boxes_[service].note; }
  // "Runs with the old ..." and its "Restart to apply" button, hidden while
  // the service runs with the settings as they are.
  QLabel* RestartLabel(int service) const { return boxes_[service].restartText; }
  QPushButton* RestartButton(int service) const { return boxes_[service].restartButton; }
  TSlotLamp* Lamp(int service, int slot) const { return boxes_[service].lamps[slot]; }
  QSystemTrayIcon* TrayIcon() const { return ETrayIcon1; }
  QMenu* TrayContextMenu() const { return TrayMenu; }
  QAction* Action(const QString& caption) const;

 signals:
  // A balloon was asked of the notification-area icon.
  void BalloonShown(const QString& title, const QString& text);
  // The close was allowed and the servers are gone: the program may end.
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  struct ServiceControls {
    QGroupBox* box = nullptr;
    TOnOffSwitch* onOff = nullptr;
    QLabel* label = nullptr;
    QGroupBox* indicator = nullptr;
    std::vector<TSlotLamp*> lamps;
    QLabel* note = nullptr;
    QWidget* restartRow = nullptr;
    QLabel* restartText = nullptr;
    QPushButton* restartButton = nullptr;
  };

  QWidget* CreateTitleBar();
  QGroupBox* CreateServiceBox(int service, const QString& caption);
  void CreateActions();
  void CreateServers();
  void CreateTray();
  void CreateSlotIndicators(int service);
  int ServiceOfSwitch(const TOnOffSwitch& onOff) const;
  TSlotLamp* LampOf(const ServerEvent& event) const;
  void Balloon(const QString& title, const ServerEvent& event, int timeoutMs);
  void UpdateReachWarning();
  void UpdateRestartNote(int service);
  // Why a Bluetooth service could not start, with what to do about it.
  std::string BluetoothProblem(const TOBEXServerBTMS& server) const;
  void ShowNote(int service, const QString& text);
  void FitHeight();
  void UpdateTrayTip();
  bool CloseQuery();
  void DestroyServers();

  SettingsStore& settings_;
  std::unique_ptr<EventLoop> loop_;  // null when it could not be made
  std::unique_ptr<CoreLoopNotifier> notifier_;
  QString networkError_;
  BluetoothStackChoice bluetooth_;  // outlives both Bluetooth servers
  std::array<std::unique_ptr<TOBEXServer>, ServiceCount> servers_;
  std::array<ServiceControls, ServiceCount> boxes_;
  // What each running service was started with; empty while it is off.
  std::array<std::optional<ServiceStartSettings>, ServiceCount> running_;
  std::vector<QAction*> actions_;
  QAction* ActionOpenExchangeFolder = nullptr;
  QAction* ActionLog = nullptr;
  QAction* ActionSettings = nullptr;
  QAction* ActionAbout = nullptr;
  QAction* ActionMinimize = nullptr;
  QAction* ActionExit = nullptr;
  QAction* ActionRestore = nullptr;
  QSystemTrayIcon* ETrayIcon1 = nullptr;
  QMenu* TrayMenu = nullptr;
  QPoint dragOffset_;
  bool closing_ = false;
};

}  // namespace quillfern
