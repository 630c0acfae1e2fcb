#include "app/desktop/form_main.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "app/desktop/caption_bar.h"
#include "app/desktop/core_loop_notifier.h"
#include "app/desktop/form_about.h"
#include "app/desktop/ip_information.h"
#include "app/desktop/on_off_switch.h"
#include "app/desktop/program_icon.h"
#include "app/desktop/shown_text.h"
#include "app/desktop/slot_lamp.h"
#include "app/desktop/transfer_text.h"
#include "app/headless.h"
#include "app/service_push_settings.h"
#include "app/service_shutdown.h"
#include "app/settings_store.h"
#include "bluetooth/server_btms.h"
#include "platform/event_loop.h"
#include "tcp/listen_address.h"
#include "tcp/server_tcp.h"

namespace quillfern {
namespace {

const QColor TitleBarColour(33, 150, 243);
constexpr int LampPitch = 64;
constexpr int MinimumHeight = 409;
constexpr int ConnectedBalloonMs = 1500;
constexpr int DisconnectedBalloonMs = 3000;
// The notification-area icon's tooltip: the application title as the window
// was made, followed by the running transfers while there are any.
const char* const TrayTitle = "Quillfern";

QString FromUtf8(const std::string& text) {
  return QString::fromStdString(text);
}

}  // namespace

TFormMain::TFormMain(SettingsStore& settings, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), settings_(settings) {
  setObjectName("TFormMain");
  setWindowTitle("Quillfern");
  setWindowIcon(ProgramIcon());
  // The window mostly sits beside others without focus; a lamp's tooltip,
  // which tells its transfer, should show there too.
  setAttribute(Qt::WA_AlwaysShowToolTips);
  // The one-pixel frame around the panels, in the palette's frame colour.
  setAutoFillBackground(true);
  QPalette framePalette = palette();
  framePalette.setColor(QPalette::Window, palette().color(QPalette::Dark));
  setPalette(framePalette);

  CreateActions();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(1, 1, 1, 1);
  layout->setSpacing(1);
  layout->addWidget(CreateTitleBar());

  auto* body = new QWidget(this);
  body->setObjectName("PanelBody");
  body->setAutoFillBackground(true);
  QPalette bodyPalette = body->palette();
  bodyPalette.setColor(QPalette::Window, QGuiApplication::palette().color(QPalette::Window));
  body->setPalette(bodyPalette);
  auto* bodyLayout = new QVBoxLayout(body);
  bodyLayout->setContentsMargins(8, 8, 8, 8);
  bodyLayout->setSpacing(7);
  bodyLayout->addWidget(CreateServiceBox(ServiceTCP, "TCP/IP"));
  bodyLayout->addWidget(CreateServiceBox(ServiceObjectPush, "Bluetooth - Object Push Service"));
  bodyLayout->addWidget(
      CreateServiceBox(ServiceFolderBrowsing, "Bluetooth - Folder Browsing Service"));
  layout->addWidget(body, 1);

  try {
    loop_ = std::make_unique<EventLoop>();
  } catch (const std::exception&) {
    networkError_ = "Network initialization failed.";
  }
  if (loop_) {
    notifier_ = std::make_unique<CoreLoopNotifier>(*loop_);
    bluetooth_ = ChooseBluetoothStackFromEnvironment(*loop_);
    CreateServers();
  }
  // Without servers the veto refuses every change: the switches stay off.
  for (ServiceControls& controls : boxes_) {
    controls.onOff->OnBeforeChange = [this](TOnOffSwitch& sender) {
      return OnBeforeServerSwitchChanged(sender);
    };
    connect(controls.onOff, &TOnOffSwitch::Changed, this, &TFormMain::OnServerSwitchChanged);
  }
  CreateTray();

  // The layouts size the window from the desktop's font; 432 by 409 at the least.
  setMinimumSize(432, MinimumHeight);
  adjustSize();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

TFormMain::~TFormMain() {
  DestroyServers();
}

void TFormMain::CreateActions() {
  const auto make = [this](const QString& caption, auto handler) {
    auto* action = new QAction(caption, this);
    connect(action, &QAction::triggered, this, handler);
    actions_.push_back(action);
    return action;
  };
  ActionOpenExchangeFolder =
      make("Open exchange folder", [this] { ActionOpenExchangeFolderExecute(); });
  ActionLog = make("Log", [this] {
    if (ShowLog) ShowLog();
  });
  ActionSettings = make("Settings", [this] {
    if (ExecuteSettings) ExecuteSettings(this);
    if (!closing_) SettingsChanged();
  });
  ActionAbout = make("About", [this] { ActionAboutExecute(); });
  ActionMinimize = make("Minimize", [this] { MinimizeToTray(); });
  ActionExit = make("Exit", [this] { close(); });
  ActionRestore = make("Restore", [this] { ActionRestoreExecute(); });
}

QAction* TFormMain::Action(const QString& caption) const {
  for (QAction* action : actions_) {
    if (action->text() == caption) return action;
  }
  return nullptr;
}

QWidget* TFormMain::CreateTitleBar() {
  auto* bar = new TCaptionBar(this);
  bar->setObjectName("PanelTitleBar");
  bar->setFixedHeight(38);
  bar->setStyleSheet(
      QString("#PanelTitleBar { background: %1; }"
              "#PanelTitleBar QToolButton { border: none; border-radius: 3px; }"
              "#PanelTitleBar QToolButton:hover { background: rgba(255,255,255,48); }"
              "#PanelTitleBar QToolButton:pressed { background: rgba(0,0,0,40); }"
              "#PanelTitleBar QToolButton:focus { border: 2px solid white; }")
          .arg(TitleBarColour.name()));
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(4, 2, 2, 2);
  layout->setSpacing(0);

  auto* image = new QLabel(bar);
  image->setObjectName("ImageTitle");
  image->setPixmap(ProgramPixmap(32, devicePixelRatioF()));
  image->setFixedSize(32, 32);
  image->setAttribute(Qt::WA_TransparentForMouseEvents);
  layout->addWidget(image);
  layout->addSpacing(4);

  auto* caption = new QLabel("Quillfern", bar);
  caption->setObjectName("LabelCaptionBar");
  QFont captionFont = font();
  captionFont.setBold(true);
  captionFont.setPointSizeF(captionFont.pointSizeF() * 16.0 / 13.0);
  caption->setFont(captionFont);
  caption->setStyleSheet("color: white;");
  caption->setAttribute(Qt::WA_TransparentForMouseEvents);
  layout->addWidget(caption);
  layout->addStretch(1);

  const std::pair<QAction*, ToolbarImage> buttons[] = {
      {ActionOpenExchangeFolder, ToolbarImage::Folder}, {ActionLog, ToolbarImage::Log},
      {ActionSettings, ToolbarImage::Settings},         {ActionAbout, ToolbarImage::About},
      {ActionMinimize, ToolbarImage::Minimize},         {ActionExit, ToolbarImage::Close},
  };
  for (const auto& [action, picture] : buttons) {
    auto* button = new QToolButton(bar);
    button->setAutoRaise(true);
    button->setFixedSize(42, 34);
    button->setIconSize(QSize(24, 24));
    button->setIcon(ToolbarIcon(picture));
    // "Close" on the bar; its action reads "Exit" in the tray's menu.
    const QString tip = action == ActionExit ? QString("Close") : action->text();
    button->setToolTip(tip);
    button->setAccessibleName(tip);
    connect(button, &QToolButton::clicked, action, &QAction::trigger);
    layout->addWidget(button);
  }
  return bar;
}

QGroupBox* TFormMain::CreateServiceBox(int service, const QString& caption) {
  ServiceControls& controls = boxes_[service];
  controls.box = new QGroupBox(caption, this);
  const char* names[] = {"GroupBoxTCPIP", "GroupBoxObjectPush", "GroupBoxFolderBrowsing"};
  controls.box->setObjectName(names[service]);
  controls.box->setMinimumHeight(113);
  auto* outer = new QVBoxLayout(controls.box);
  outer->setContentsMargins(14, 4, 8, 6);
  outer->setSpacing(4);
  auto* layout = new QHBoxLayout;
  layout->setSpacing(14);
  outer->addLayout(layout);

  auto* left = new QVBoxLayout;
  left->setSpacing(6);
  controls.onOff = new TOnOffSwitch(controls.box);
  controls.onOff->setAccessibleDescription(caption);
  left->addWidget(controls.onOff);
  controls.label = new QLabel(controls.box);
  controls.label->setMinimumSize(113, 24);
  left->addWidget(controls.label);
  left->addStretch(1);
  layout->addLayout(left);

  controls.indicator = new QGroupBox("Connections", controls.box);
  controls.indicator->setMinimumWidth(257);
  auto* lamps = new QHBoxLayout(controls.indicator);
  lamps->setContentsMargins(2, 2, 2, 2);
  lamps->setSpacing(LampPitch - 60);
  layout->addWidget(controls.indicator, 1);

  // Below the switch and lamps, lines that show only when there is something
  // to know: why the service cannot start or who can reach it, and a change
  // of its settings that waits for a restart.
  controls.note = new QLabel(controls.box);
  controls.note->setObjectName("LabelNote");
  controls.note->setWordWrap(true);
  controls.note->setTextFormat(Qt::PlainText);
  controls.note->setTextInteractionFlags(Qt::TextSelectableByMouse);
  controls.note->hide();
  outer->addWidget(controls.note);
  controls.restartRow = new QWidget(controls.box);
  auto* restart = new QHBoxLayout(controls.restartRow);
  restart->setContentsMargins(0, 0, 0, 0);
  controls.restartText = new QLabel(controls.restartRow);
  controls.restartText->setObjectName("LabelRestart");
  controls.restartText->setWordWrap(true);
  controls.restartText->setTextFormat(Qt::PlainText);
  restart->addWidget(controls.restartText, 1);
  controls.restartButton = new QPushButton("Restart to apply", controls.restartRow);
  controls.restartButton->setObjectName("ButtonRestart");
  connect(controls.restartButton, &QPushButton::clicked, this,
          [this, service] { RestartService(service); });
  restart->addWidget(controls.restartButton, 0, Qt::AlignTop);
  controls.restartRow->hide();
  outer->addWidget(controls.restartRow);
  return controls.box;
}

void TFormMain::CreateSlotIndicators(int service) {
  ServiceControls& controls = boxes_[service];
  auto* lamps = static_cast<QHBoxLayout*>(controls.indicator->layout());
  for (int i = 0; i < servers_[service]->SlotCount; ++i) {
    auto* column = new QVBoxLayout;
    column->setSpacing(0);
    auto* lamp = new TSlotLamp(service, i, controls.indicator);
    connect(lamp, &TSlotLamp::clicked, this, [this, lamp] { BitBtnDisconnectClick(lamp); });
    lamp->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lamp, &TSlotLamp::customContextMenuRequested, this, [this, lamp](const QPoint& at) {
      QMenu* menu = LampMenu(lamp);
      menu->setAttribute(Qt::WA_DeleteOnClose);
      menu->popup(lamp->mapToGlobal(at));
    });
    column->addWidget(lamp, 0, Qt::AlignHCenter);
    auto* number = new QLabel(QString::number(i + 1), controls.indicator);
    number->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    number->setFixedWidth(52);
    column->addWidget(number, 0, Qt::AlignHCenter);
    lamps->addLayout(column);
    controls.lamps.push_back(lamp);
  }
  lamps->addStretch(1);
}

void TFormMain::CreateServers() {
  servers_[ServiceTCP] = std::make_unique<TOBEXServerTCP>(*loop_, ModeFolderBrowsing);
  servers_[ServiceObjectPush] =
      std::make_unique<TOBEXServerBTMS>(*loop_, *bluetooth_.stack, ModeInbox);
  // Its sessions require the Folder Browsing target of their own accord.
  servers_[ServiceFolderBrowsing] =
      std::make_unique<TOBEXServerBTMS>(*loop_, *bluetooth_.stack, ModeFolderBrowsing);
  // Object Push asks about pushes (as its push policy says), Folder Browsing
  // about devices the user has not chosen: here someone is there to answer.
  servers_[ServiceFolderBrowsing]->SetAskToBrowse(true);
  for (const int service : {ServiceObjectPush, ServiceFolderBrowsing}) {
    servers_[service]->OnPushQuestion = [this](const ServerEvent& event) {
      try {
        if (PushQuestion) PushQuestion(event);
      } catch (...) {
      }
    };
  }
  for (int service = 0; service < ServiceCount; ++service) {
    TOBEXServer& server = *servers_[service];
    server.SetKind(static_cast<uint8_t>(service + 1));
    server.OnConnect = [this](const ServerEvent& event) { ClientConnected(event); };
    server.OnDisconnect = [this](const ServerEvent& event) { ClientDisconnected(event); };
    server.SetOnLog([this](const ServerEvent& event) { SessionLog(event); });
    server.OnProgress = [this](const ServerEvent& event) { TransferProgress(event); };
    server.OnReceived = [this](const ServerEvent& event) {
      try {
        if (ObjectReceived) ObjectReceived(event);
      } catch (...) {
      }
    };
    CreateSlotIndicators(service);
  }
}

void TFormMain::CreateTray() {
  TrayMenu = new QMenu(this);
  TrayMenu->addAction(ActionRestore);
  TrayMenu->addAction(ActionOpenExchangeFolder);
  TrayMenu->addAction(ActionExit);
  ETrayIcon1 = new QSystemTrayIcon(ProgramIcon(), this);
  ETrayIcon1->setToolTip(TrayTitle);
  ETrayIcon1->setContextMenu(TrayMenu);
  connect(ETrayIcon1, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) ActionRestoreExecute();
          });
}

void TFormMain::AnswerPush(uint64_t question, PushAnswer answer) {
  TOBEXServer* bluetooth[] = {servers_[ServiceObjectPush].get(),
                              servers_[ServiceFolderBrowsing].get()};
  for (TOBEXServer* server : bluetooth) {
    std::string device;
    if (!server || !server->AnswerPush(question, answer, &device)) continue;
    // A device always accepted on one service is chosen on both, from now on.
    if (answer == PushAnswer::AlwaysAccept && !device.empty()) {
      for (TOBEXServer* other : bluetooth) {
        if (other && other != server) other->AddAlwaysAccepted(device);
      }
    }
    return;
  }
}

TOBEXServerTCP* TFormMain::TcpServer() const {
  return static_cast<TOBEXServerTCP*>(servers_[ServiceTCP].get());
}

void TFormMain::Start() {
  if (!loop_) {
    Message(this, networkError_);
    return;
  }
  ETrayIcon1->setVisible(true);
  // A first start (no exchange folder yet) asks for the settings first and
  // ends with the services chosen there running.
  if (settings_.Text(Setting::RootPath).empty() && ExecuteSettings) {
    ExecuteSettings(this);
    // The program may have been ended while the dialog was open.
    if (closing_) return;
    SettingsChanged();
  }
  const Setting autoStart[] = {Setting::AutoStartTCP, Setting::AutoStartOP, Setting::AutoStartFB};
  for (int service = 0; service < ServiceCount; ++service) {
    if (settings_.IsOn(autoStart[service])) boxes_[service].onOff->RequestState(true);
  }
}

int TFormMain::StartServer(int service) {
  TOBEXServer& server = *servers_[service];
  server.SetErrorText("");
  const std::string& root = settings_.Text(Setting::RootPath);
  if (root.empty()) {
    server.SetErrorText("Invalid root path");
    return -1;
  }
  std::error_code error;
  if (!std::filesystem::is_directory(root, error)) {
    server.SetErrorText("The exchange folder does not exist: " + root);
    return -1;
  }
  server.SetRootPath(root);
  server.AllowAccessHiddenFiles = settings_.IsOn(Setting::AllowAccessHiddenFiles);
  if (service == ServiceObjectPush || service == ServiceFolderBrowsing) {
    static_cast<TOBEXServerBTMS&>(server).SetL2cap(settings_.IsOn(Setting::BluetoothL2cap));
  }
  if (service == ServiceObjectPush) {
    server.SetServiceName(settings_.Text(Setting::OPServiceName));
    std::vector<std::string> unreadable;  // what cannot be read stays out, as PushSettingsFrom says
    ApplyPushSettings(PushSettingsFrom(settings_, unreadable), server);
  }
  if (service == ServiceFolderBrowsing) {
    server.SetServiceName(settings_.Text(Setting::FBServiceName));
    std::vector<std::string> unreadable;
    server.SetAlwaysAccepted(PushSettingsFrom(settings_, unreadable).alwaysAccepted);
  }
  if (service == ServiceTCP) {
    const int32_t port = settings_.Integer(Setting::TcpPort);
    if (port < 0 || port > 65535) {
      server.SetErrorText("Invalid Port Number");
      return -1;
    }
    // An address of one family listens on that family; every address, on
    // the family chosen. One that cannot be read fails the start, which says so.
    const std::string& listen = settings_.Text(Setting::ListenAddress);
    const int family = AddressLiteralFamily(listen);
    TcpServer()->SetUseIPv6(family == AF_INET6 ||
                            (family == AF_UNSPEC && settings_.IsOn(Setting::UseIPv6)));
    TcpServer()->SetListenAddress(listen);
    TcpServer()->SetPort(static_cast<uint16_t>(port));
  }
  const int result = server.Start();
  // A half-made start (a socket without its record) is taken down again.
  if (result != 0) {
    server.Stop();
  } else {
    running_[service] = StartSettingsOf(settings_, server.Kind);
  }
  return result;
}

int TFormMain::ServiceOfSwitch(const TOnOffSwitch& onOff) const {
  for (int service = 0; service < ServiceCount; ++service) {
    if (boxes_[service].onOff == &onOff) return service;
  }
  return -1;
}

bool TFormMain::OnBeforeServerSwitchChanged(TOnOffSwitch& sender) {
  const int service = ServiceOfSwitch(sender);
  if (service < 0 || !servers_[service]) return false;
  TOBEXServer& server = *servers_[service];
  if (!sender.IsOn()) {
    if (StartServer(service) == 0) {
      if (service != ServiceTCP) ShowNote(service, {});
      return true;
    }
    const QString failed =
        server.ErrorText.empty() ? QString("Unable to start server") : FromUtf8(server.ErrorText);
    if (service == ServiceTCP) {
      Message(this, failed);
      return false;
    }
    // What the stack said, which names what to do; the box keeps it in
    // sight until the service starts.
    const QString why = FromUtf8(BluetoothProblem(static_cast<TOBEXServerBTMS&>(server)));
    ShowNote(service, "Bluetooth unavailable: " + why);
    Message(this,
            QString("%1 cannot start: %2.\n\n%3.").arg(boxes_[service].box->title(), failed, why));
    return false;
  }
  bool connected = false;
  for (TSlotLamp* lamp : boxes_[service].lamps) connected = connected || lamp->IsLit();
  if (connected && !Confirm(this, "A connection is still active, continue?")) {
    return false;
  }
  server.Stop();
  return true;
}

std::string TFormMain::BluetoothProblem(const TOBEXServerBTMS& server) const {
  if (!bluetooth_.problem.empty()) return bluetooth_.problem;
  if (!server.ErrorHint.empty()) return server.ErrorHint;
  return "check that this computer has a Bluetooth radio and that it is switched on "
         "('bluetoothctl show')";
}

void TFormMain::OnServerSwitchChanged(TOnOffSwitch* sender) {
  const int service = ServiceOfSwitch(*sender);
  if (service < 0) return;
  QLabel* label = boxes_[service].label;
  if (!sender->IsOn()) {
    label->clear();
    running_[service].reset();
  } else if (service == ServiceTCP) {
    label->setText(QString("Port: %1").arg(TcpServer()->Port));
  } else {
    label->setText(
        QString("Scn: %1").arg(static_cast<TOBEXServerBTMS*>(servers_[service].get())->Channel));
  }
  if (service == ServiceTCP) UpdateReachWarning();
  UpdateRestartNote(service);
}

void TFormMain::SettingsChanged() {
  // Who may push is asked at each push: the running service takes it now.
  if (TOBEXServer* objectPush = servers_[ServiceObjectPush].get()) {
    std::vector<std::string> unreadable;  // what cannot be read stays out
    const PushSettings push = PushSettingsFrom(settings_, unreadable);
    objectPush->SetPushPolicy(push.policy, push.alwaysAccepted);
  }
  for (int service = 0; service < ServiceCount; ++service) UpdateRestartNote(service);
  if (servers_[ServiceTCP]) UpdateReachWarning();
}

void TFormMain::UpdateRestartNote(int service) {
  ServiceControls& controls = boxes_[service];
  std::vector<std::string> changed;
  if (running_[service] && servers_[service]) {
    changed = ChangedStartSettings(*running_[service],
                                   StartSettingsOf(settings_, servers_[service]->Kind));
  }
  const bool show = !changed.empty();
  if (show) {
    controls.restartText->setText(
        QString("Runs with the old %1 until it restarts.").arg(FromUtf8(JoinedInWords(changed))));
  }
  if (controls.restartRow->isVisibleTo(this) != show) {
    controls.restartRow->setVisible(show);
    FitHeight();
  }
}

void TFormMain::RestartService(int service) {
  TOnOffSwitch* onOff = boxes_[service].onOff;
  if (!onOff->IsOn() || onOff->RequestState(false)) return;
  onOff->RequestState(true);
}

QString TFormMain::ExchangeFolderInUse() const {
  for (const auto& running : running_) {
    if (running) return FromUtf8(running->root);
  }
  return FromUtf8(settings_.Text(Setting::RootPath));
}

void TFormMain::ShowNote(int service, const QString& text) {
  QLabel* note = boxes_[service].note;
  note->setText(text);
  if (note->isVisibleTo(this) != !text.isEmpty()) {
    note->setVisible(!text.isEmpty());
    FitHeight();
  }
}

void TFormMain::FitHeight() {
  // The lines below a service come and go; the window keeps its width and
  // takes the height they need, never squeezing a box below its own.
  QLayout* own = layout();
  if (own == nullptr) return;
  own->invalidate();
  own->activate();
  int needed = std::max(own->totalMinimumSize().height(), MinimumHeight);
  if (own->hasHeightForWidth()) needed = std::max(needed, own->totalHeightForWidth(width()));
  setMinimumHeight(needed);
  resize(width(), needed);
}

void TFormMain::UpdateReachWarning() {
  // Whoever reaches a listener beyond this computer can read and change the
  // exchange folder; the box says so while that is the case.
  TOBEXServerTCP* tcp = TcpServer();
  const bool listening = boxes_[ServiceTCP].onOff->IsOn();
  const bool beyondLoopback = listening && !IsLoopbackAddress(tcp->ListenAddress);
  const std::string root = running_[ServiceTCP] ? running_[ServiceTCP]->root : std::string();
  boxes_[ServiceTCP].box->setToolTip(beyondLoopback ? FromUtf8(ReachableText(tcp->Port, root))
                                                    : QString());
  ShowNote(ServiceTCP, beyondLoopback ? QString("Open to the network: anyone who reaches port %1 "
                                                "can read and change these files.")
                                            .arg(tcp->Port)
                                      : QString());
}

QString TFormMain::ConnectInformation() const {
  const TOBEXServerTCP* tcp = TcpServer();
  if (tcp == nullptr || !boxes_[ServiceTCP].onOff->IsOn()) return ConnectText({}, 0, false, {});
  return ConnectText(FromUtf8(tcp->ListenAddress), tcp->Port, tcp->UseIPv6,
                     ThisComputersAddresses());
}

void TFormMain::ActionAboutExecute() {
  TFormAbout about(this);
  about.ConnectInformation = [this] { return ConnectInformation(); };
  about.exec();
}

TSlotLamp* TFormMain::LampOf(const ServerEvent& event) const {
  const int service = event.serverKind - 1;
  if (service < 0 || service >= ServiceCount) return nullptr;
  const std::vector<TSlotLamp*>& lamps = boxes_[service].lamps;
  if (event.slot < 1 || event.slot > lamps.size()) return nullptr;
  return lamps[event.slot - 1];
}

void TFormMain::Balloon(const QString& title, const ServerEvent& event, int timeoutMs) {
  if (!settings_.IsOn(Setting::BalloonNotification)) return;
  const QString peer = PeerShown(event);
  ETrayIcon1->showMessage(title, peer, QSystemTrayIcon::Information, timeoutMs);
  emit BalloonShown(title, peer);
}

void TFormMain::ClientConnected(const ServerEvent& event) {
  try {
    if (TSlotLamp* lamp = LampOf(event)) lamp->Light(PeerShown(event));
    if (AddLog) AddLog(event.serverKind, event.slot, "Connected : " + event.peer);
    Balloon("Connected", event, ConnectedBalloonMs);
  } catch (...) {
    // A failing handler must not take the window down; the next event comes as usual.
  }
}

void TFormMain::ClientDisconnected(const ServerEvent& event) {
  try {
    if (TSlotLamp* lamp = LampOf(event)) {
      lamp->Darken();
      UpdateTrayTip();
    }
    if (AddLog) AddLog(event.serverKind, event.slot, "Disconnected : " + event.peer);
    Balloon("Disconnected", event, DisconnectedBalloonMs);
  } catch (...) {
  }
}

void TFormMain::SessionLog(const ServerEvent& event) {
  try {
    if (AddLog) AddLog(event.serverKind, event.slot, event.text);
  } catch (...) {
  }
}

void TFormMain::TransferProgress(const ServerEvent& event) {
  try {
    TSlotLamp* lamp = LampOf(event);
    // A slot gone dark has no peer any more, and the next peer's transfers
    // come with events of their own.
    if (lamp == nullptr || !lamp->IsLit()) return;
    lamp->ShowProgress(event);
    UpdateTrayTip();
  } catch (...) {
  }
}

void TFormMain::UpdateTrayTip() {
  if (ETrayIcon1 == nullptr) return;
  std::vector<const TransferState*> running;
  for (const ServiceControls& controls : boxes_) {
    for (const TSlotLamp* lamp : controls.lamps) {
      if (lamp->IsLit() && lamp->Transfer() != nullptr) running.push_back(lamp->Transfer());
    }
  }
  ETrayIcon1->setToolTip(FromUtf8(TransfersSummary(TrayTitle, running)));
}

QMenu* TFormMain::LampMenu(TSlotLamp* lamp) {
  auto* menu = new QMenu(this);
  const uint64_t generation = lamp->Generation();
  const uint64_t transfer = lamp->TransferNumber();
  QAction* disconnect = menu->addAction("Disconnect");
  disconnect->setEnabled(lamp->IsLit());
  connect(disconnect, &QAction::triggered, this, [this, lamp] { BitBtnDisconnectClick(lamp); });
  QAction* cancel = menu->addAction("Cancel transfer");
  cancel->setEnabled(lamp->IsLit() && lamp->Transfer() != nullptr);
  connect(cancel, &QAction::triggered, this,
          [this, lamp, generation, transfer] { CancelTransferClick(lamp, generation, transfer); });
  return menu;
}

void TFormMain::CancelTransferClick(TSlotLamp* lamp, uint64_t generation, uint64_t transfer) {
  // The menu may have stayed open while the peer left or its transfer ended;
  // the server may have begun the peer's next one before the lamp heard.
  if (!lamp->IsLit() || lamp->Generation() != generation || lamp->Transfer() == nullptr ||
      lamp->TransferNumber() != transfer) {
    return;
  }
  if (TOBEXServer* server = servers_[lamp->Server()].get()) {
    server->CancelTransfer(lamp->Slot(), transfer);
  }
}

void TFormMain::BitBtnDisconnectClick(TSlotLamp* lamp) {
  if (!lamp->IsLit()) return;
  const uint64_t generation = lamp->Generation();
  if (!Confirm(this, QString("Disconnect %1").arg(lamp->Peer()))) return;
  // While the question was open the peer may have gone, and another may have
  // taken the slot: only the peer asked about is disconnected.
  if (!lamp->IsLit() || lamp->Generation() != generation) return;
  if (TOBEXServer* server = servers_[lamp->Server()].get()) server->DisconnectSlot(lamp->Slot());
}

void TFormMain::MinimizeToTray() {
  if (QSystemTrayIcon::isSystemTrayAvailable() && ETrayIcon1->isVisible()) {
    hide();
    return;
  }
  // No notification area (a bare Wayland compositor, GNOME without its
  // extension): a hidden window could not be reached, so it waits on the
  // task bar.
  showMinimized();
}

void TFormMain::ActionRestoreExecute() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
  raise();
  activateWindow();
}

void TFormMain::ActionOpenExchangeFolderExecute() {
  const QString folder = ExchangeFolderInUse();
  const bool opened =
      !folder.isEmpty() &&
      (OpenFolder ? OpenFolder(folder) : QDesktopServices::openUrl(QUrl::fromLocalFile(folder)));
  if (!opened) {
    Message(this, "Unable to open the exchange folder " + folder);
  }
}

bool TFormMain::CloseQuery() {
  for (ServiceControls& controls : boxes_) {
    if (controls.onOff->IsOn() && controls.onOff->RequestState(false)) return false;
  }
  return true;
}

void TFormMain::closeEvent(QCloseEvent* event) {
  if (closing_) {
    event->accept();
    return;
  }
  if (!CloseQuery()) {
    event->ignore();
    return;
  }
  closing_ = true;
  ETrayIcon1->hide();
  event->accept();
  DestroyServers();
  emit Closed();
}

void TFormMain::EndWithoutQuestions() {
  if (closing_) return;
  closing_ = true;
  // A modal window (the settings, a question, the about box) runs a loop of
  // its own, which would hold the end up: each one open is answered Cancel.
  // Their callers see that the program is closing and do nothing more.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) {
      dialog->reject();
    }
  }
  ETrayIcon1->hide();
  DestroyServers();
  hide();
  emit Closed();
}

void TFormMain::DestroyServers() {
  // In the order of the boxes; each stops and waits for its workers, serving
  // their events meanwhile. The loop goes last.
  std::vector<TOBEXServer*> servers;
  for (const auto& server : servers_) {
    if (server) servers.push_back(server.get());
  }
  StopServers(servers);
  for (auto& server : servers_) server.reset();
  notifier_.reset();
  loop_.reset();
}

void TFormMain::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Lines shown while the window was hidden (an automatic start) are measured
  // now that it has its size.
  FitHeight();
}

void TFormMain::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // The window system's minimize goes to the notification area where there is one.
  if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) &&
      QSystemTrayIcon::isSystemTrayAvailable()) {
    MinimizeToTray();
  }
}

void TFormMain::mousePressEvent(QMouseEvent* event) {
  // Only the frame itself: a press that a panel let through is not a caption's.
  if (childAt(event->position().toPoint()) != nullptr ||
      !TCaptionBar::StartMove(this, event, dragOffset_)) {
    QWidget::mousePressEvent(event);
  }
}

void TFormMain::mouseMoveEvent(QMouseEvent* event) {
  TCaptionBar::FollowMove(this, event, dragOffset_);
}

}  // namespace quillfern
