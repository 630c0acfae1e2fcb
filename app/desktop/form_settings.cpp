#include "app/desktop/form_settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QStandardPaths>
#include <QStyle>
#include <QVBoxLayout>
#include <QValidator>
#include <QWindow>
#include <string>

#include "app/autostart.h"
#include "app/desktop/ip_information.h"
#include "app/headless.h"
#include "app/service_port_default.h"
#include "app/settings_store.h"
#include "app/settings_values.h"
#include "app/user_places.h"

namespace quillfern {
namespace {

constexpr int BoxWidth = 448;
constexpr int LabelColumnWidth = 104;
constexpr int BrowseWidth = 75;
constexpr int BrowseHeight = 25;
constexpr int DeviceListRows = 3;

// The PushPolicy numbers, at their positions in the combo box.
const char* const PushPolicyTexts[] = {
    "Every device",
    "Trusted devices; ask about others",
    "Only trusted devices",
};
constexpr int PushPolicyCount = 3;

// A limit on what the keyboard adds to a box. What the program puts there (a folder
// from the picker, a long value from the file) may be longer and can still be
// shortened by typing; it only cannot grow.
class TypedLengthLimit : public QValidator {
 public:
  TypedLengthLimit(QLineEdit* edit, int limit) : QValidator(edit), limit_(limit) {
    connect(edit, &QLineEdit::textChanged, this,
            [this](const QString& text) { lastLength_ = text.size(); });
  }

  State validate(QString& input, int&) const override {
    return input.size() <= limit_ || input.size() <= lastLength_ ? Acceptable : Invalid;
  }

 private:
  const int limit_;
  qsizetype lastLength_ = 0;  // the box's text after its last change
};

QLineEdit* LimitedEdit(const char* name, int typedLimit, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QLatin1String(name));
  edit->setValidator(new TypedLengthLimit(edit, typedLimit));
  return edit;
}

QCheckBox* CheckBox(const char* name, const QString& caption, QWidget* parent) {
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(QLatin1String(name));
  return box;
}

QGroupBox* Box(const QString& caption, QWidget* parent) {
  auto* box = new QGroupBox(caption, parent);
  box->setMinimumWidth(BoxWidth);
  return box;
}

QGridLayout* BoxGrid(QGroupBox* box) {
  auto* grid = new QGridLayout(box);
  grid->setColumnMinimumWidth(0, LabelColumnWidth);
  grid->setColumnStretch(1, 1);
  grid->setColumnMinimumWidth(2, BrowseWidth);
  return grid;
}

QString DocumentsFolder() {
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (folder.isEmpty() || !QDir().mkpath(folder)) return {};
  return folder;
}

QString ProgramFile() {
  const auto program = ProgramFilePath();
  return program ? QString::fromStdString(program->string()) : QString();
}

std::optional<QString> SelectFolder(QWidget* owner, const QString& title, const QString& current) {
  const QString folder = QFileDialog::getExistingDirectory(owner, title, current);
  if (folder.isEmpty()) return std::nullopt;
  return folder;
}

std::string Utf8(const QString& text) {
  return text.toStdString();
}

int32_t OnOff(const QCheckBox* box) {
  return box->isChecked() ? 1 : 0;
}

}  // namespace

TFormSettings::TFormSettings(QWidget* parent, SettingsStore& store,
                             const SettingsDialogServices& services)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint),
      store_(store),
      services_(services),
      firstStart_(store.Text(Setting::RootPath).empty()) {
  if (!services_.message) services_.message = ShowPlainMessage;
  if (!services_.confirm) services_.confirm = AskConfirmation;
  if (!services_.selectFolder) services_.selectFolder = SelectFolder;
  if (!services_.documentsFolder) services_.documentsFolder = DocumentsFolder;
  if (!services_.programFile) services_.programFile = ProgramFile;
  if (!services_.mayBindPort) services_.mayBindPort = MayBindPort;
  if (!services_.localAddresses) services_.localAddresses = ThisComputersAddresses;

  setObjectName(QStringLiteral("FormSettings"));
  setWindowTitle(QStringLiteral("Settings"));
  setModal(true);

  contents_ = new QWidget(this);
  contents_->setObjectName(QStringLiteral("SettingsContents"));
  LabelIntro = new QLabel(
      QStringLiteral("Quillfern receives the files that phones and computers send over "
                     "Bluetooth or the network, and lets the devices you allow browse one "
                     "folder: the exchange folder below, where received files go."),
      contents_);
  LabelIntro->setObjectName(QStringLiteral("LabelIntro"));
  LabelIntro->setWordWrap(true);
  LabelIntro->setVisible(firstStart_);

  QGroupBox* general = Box(QStringLiteral("General"), contents_);
  QGridLayout* generalGrid = BoxGrid(general);
  CheckBoxRunOnWindowsStart =
      CheckBox("CheckBoxRunOnWindowsStart", QStringLiteral("Run On Log-on"), general);
  generalGrid->addWidget(CheckBoxRunOnWindowsStart, 0, 0, 1, 3);
  generalGrid->addWidget(new QLabel(QStringLiteral("* Exchange folder"), general), 1, 0);
  EditRootPath = LimitedEdit("EditRootPath", 255, general);
  EditRootPath->setMinimumWidth(225);
  generalGrid->addWidget(EditRootPath, 1, 1);
  ButtonBrowse = new QPushButton(QStringLiteral("Browse..."), general);
  ButtonBrowse->setObjectName(QStringLiteral("ButtonBrowse"));
  ButtonBrowse->setAutoDefault(false);
  ButtonBrowse->setMinimumSize(BrowseWidth, BrowseHeight);
  generalGrid->addWidget(ButtonBrowse, 1, 2);
  CheckBoxAccessHiddenFiles =
      CheckBox("CheckBoxAccessHiddenFiles",
               QStringLiteral("* Allow access hidden files and folders"), general);
  generalGrid->addWidget(CheckBoxAccessHiddenFiles, 2, 0, 1, 3);
  CheckBoxBalloonNotification = CheckBox(
      "CheckBoxBalloonNotification",
      QStringLiteral("Show balloon notification when client connected/disconnected"), general);
  generalGrid->addWidget(CheckBoxBalloonNotification, 3, 0, 1, 3);
  CheckBoxReceivedNotification = CheckBox(
      "CheckBoxReceivedNotification", QStringLiteral("Notify when a file is received"), general);
  generalGrid->addWidget(CheckBoxReceivedNotification, 4, 0, 1, 3);

  QGroupBox* tcp = Box(QStringLiteral("TCP/IP Server"), contents_);
  auto* tcpGrid = new QGridLayout(tcp);
  CheckBoxautostartTCP =
      CheckBox("CheckBoxautostartTCP", QStringLiteral("Start automatically"), tcp);
  tcpGrid->addWidget(CheckBoxautostartTCP, 0, 0);
  tcpGrid->setColumnStretch(1, 1);
  auto* portLabel = new QLabel(QStringLiteral("* Port"), tcp);
  portLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  tcpGrid->addWidget(portLabel, 0, 2);
  EditTcpPort = LimitedEdit("EditTcpPort", 5, tcp);
  EditTcpPort->setFixedWidth(
      std::max(49, EditTcpPort->fontMetrics().horizontalAdvance(QStringLiteral("000000")) + 12));
  tcpGrid->addWidget(EditTcpPort, 0, 3);
  // The port box ends where the other boxes' edits end, in line above the Browse button.
  tcpGrid->setColumnMinimumWidth(4, BrowseWidth);
  CheckBoxIPv6 = CheckBox("CheckBoxIPv6", QStringLiteral("* Use IPv6"), tcp);
  tcpGrid->addWidget(CheckBoxIPv6, 1, 0);
  auto* listenLabel = new QLabel(QStringLiteral("* Listen on"), tcp);
  listenLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  tcpGrid->addWidget(listenLabel, 1, 1);
  ComboBoxListenOn = new QComboBox(tcp);
  ComboBoxListenOn->setObjectName(QStringLiteral("ComboBoxListenOn"));
  ComboBoxListenOn->setToolTip(
      QStringLiteral("Who can reach the TCP service: this computer only, every network this "
                     "computer is on, or the one network of an address. Whoever reaches it can "
                     "read and change the files in the exchange folder."));
  listenLabel->setBuddy(ComboBoxListenOn);
  tcpGrid->addWidget(ComboBoxListenOn, 1, 2, 1, 3);
  LabelPortNote = new QLabel(tcp);
  LabelPortNote->setObjectName(QStringLiteral("LabelPortNote"));
  LabelPortNote->setWordWrap(true);
  LabelPortNote->hide();
  tcpGrid->addWidget(LabelPortNote, 2, 0, 1, 5);

  QGroupBox* objectPush = Box(QStringLiteral("Bluetooth Object Push Server"), contents_);
  QGridLayout* objectPushGrid = BoxGrid(objectPush);
  CheckBoxAutoStartOP =
      CheckBox("CheckBoxAutoStartOP", QStringLiteral("Start automatically"), objectPush);
  objectPushGrid->addWidget(CheckBoxAutoStartOP, 0, 0, 1, 3);
  objectPushGrid->addWidget(new QLabel(QStringLiteral("* Service Name"), objectPush), 1, 0);
  EditObjectPushSvcName = LimitedEdit("EditObjectPushSvcName", 84, objectPush);
  EditObjectPushSvcName->setToolTip(QStringLiteral("Default: OBEX Object Push"));
  objectPushGrid->addWidget(EditObjectPushSvcName, 1, 1);
  CheckBoxObjectPushReplaces = CheckBox(
      "CheckBoxObjectPushReplaces",
      QStringLiteral("* Object Push replaces an existing file of the same name"), objectPush);
  const QString replaceNote =
      QStringLiteral("Otherwise the file is saved under a numbered name like \"name (1).ext\".");
  CheckBoxObjectPushReplaces->setToolTip(replaceNote);
  objectPushGrid->addWidget(CheckBoxObjectPushReplaces, 2, 0, 1, 3);
  auto* replaceLabel = new QLabel(replaceNote, objectPush);
  replaceLabel->setObjectName(QStringLiteral("LabelObjectPushReplaces"));
  replaceLabel->setWordWrap(true);
  replaceLabel->setIndent(
      CheckBoxObjectPushReplaces->style()->pixelMetric(QStyle::PM_IndicatorWidth) +
      CheckBoxObjectPushReplaces->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing));
  replaceLabel->setEnabled(false);
  objectPushGrid->addWidget(replaceLabel, 3, 0, 1, 3);
  objectPushGrid->addWidget(new QLabel(QStringLiteral("* Who may push"), objectPush), 4, 0);
  ComboBoxPushPolicy = new QComboBox(objectPush);
  ComboBoxPushPolicy->setObjectName(QStringLiteral("ComboBoxPushPolicy"));
  for (const char* text : PushPolicyTexts) ComboBoxPushPolicy->addItem(QString::fromLatin1(text));
  ComboBoxPushPolicy->setToolTip(
      QStringLiteral("Who may send files with Object Push; asking means a question for each "
                     "push from a device neither trusted (desktop pairing tools trust the "
                     "devices they pair; 'bluetoothctl trust' does too) nor always accepted."));
  objectPushGrid->addWidget(ComboBoxPushPolicy, 4, 1);
  auto* devicesLabel = new QLabel(QStringLiteral("* Always accepted"), objectPush);
  devicesLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  objectPushGrid->addWidget(devicesLabel, 5, 0);
  ListAlwaysAccepted = new QListWidget(objectPush);
  ListAlwaysAccepted->setObjectName(QStringLiteral("ListAlwaysAccepted"));
  ListAlwaysAccepted->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ListAlwaysAccepted->setToolTip(
      QStringLiteral("Devices whose pushes are accepted without a question"));
  ListAlwaysAccepted->setFixedHeight(ListAlwaysAccepted->fontMetrics().height() * DeviceListRows +
                                     2 * ListAlwaysAccepted->frameWidth() + 6);
  devicesLabel->setBuddy(ListAlwaysAccepted);
  objectPushGrid->addWidget(ListAlwaysAccepted, 5, 1);
  ButtonRemoveDevice = new QPushButton(QStringLiteral("Remove"), objectPush);
  ButtonRemoveDevice->setObjectName(QStringLiteral("ButtonRemoveDevice"));
  ButtonRemoveDevice->setAutoDefault(false);
  ButtonRemoveDevice->setMinimumSize(BrowseWidth, BrowseHeight);
  ButtonRemoveDevice->setEnabled(false);
  objectPushGrid->addWidget(ButtonRemoveDevice, 5, 2, Qt::AlignTop);

  QGroupBox* folderBrowsing = Box(QStringLiteral("Bluetooth Folder Browsing Server"), contents_);
  QGridLayout* folderBrowsingGrid = BoxGrid(folderBrowsing);
  CheckBoxAutostartFB =
      CheckBox("CheckBoxAutostartFB", QStringLiteral("Start automatically"), folderBrowsing);
  folderBrowsingGrid->addWidget(CheckBoxAutostartFB, 0, 0, 1, 3);
  folderBrowsingGrid->addWidget(new QLabel(QStringLiteral("* Service Name"), folderBrowsing), 1, 0);
  EditFolderBrowsingSvcName = LimitedEdit("EditFolderBrowsingSvcName", 84, folderBrowsing);
  folderBrowsingGrid->addWidget(EditFolderBrowsingSvcName, 1, 1);

  auto* boxes = new QVBoxLayout(contents_);
  boxes->setContentsMargins(0, 0, 0, 0);
  boxes->addWidget(LabelIntro);
  boxes->addWidget(general);
  boxes->addWidget(tcp);
  boxes->addWidget(objectPush);
  boxes->addWidget(folderBrowsing);
  boxes->addStretch(1);
  // On a small screen (or a large scale) the boxes scroll; OK and Cancel stay in sight.
  scroll_ = new QScrollArea(this);
  scroll_->setObjectName(QStringLiteral("ScrollSettings"));
  scroll_->setFrameShape(QFrame::NoFrame);
  scroll_->setWidgetResizable(true);
  scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroll_->setWidget(contents_);

  auto* bottom = new QHBoxLayout;
  auto* starNote = new QLabel(
      QStringLiteral("* takes effect when the service next starts; the main window offers "
                     "the restart."),
      this);
  starNote->setWordWrap(true);
  bottom->addWidget(starNote, 1);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ButtonOk = buttons->button(QDialogButtonBox::Ok);
  ButtonOk->setObjectName(QStringLiteral("ButtonOk"));
  ButtonOk->setDefault(true);
  ButtonCancel = buttons->button(QDialogButtonBox::Cancel);
  ButtonCancel->setObjectName(QStringLiteral("ButtonCancel"));
  bottom->addWidget(buttons, 0, Qt::AlignBottom);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 4, 8, 8);
  layout->addWidget(scroll_, 1);
  layout->addLayout(bottom);

  // Tab order: box by box, then the close button.
  setTabOrder(CheckBoxRunOnWindowsStart, EditRootPath);
  setTabOrder(EditRootPath, ButtonBrowse);
  setTabOrder(ButtonBrowse, CheckBoxAccessHiddenFiles);
  setTabOrder(CheckBoxAccessHiddenFiles, CheckBoxBalloonNotification);
  setTabOrder(CheckBoxBalloonNotification, CheckBoxReceivedNotification);
  setTabOrder(CheckBoxReceivedNotification, CheckBoxautostartTCP);
  setTabOrder(CheckBoxautostartTCP, CheckBoxIPv6);
  setTabOrder(CheckBoxIPv6, ComboBoxListenOn);
  setTabOrder(ComboBoxListenOn, EditTcpPort);
  setTabOrder(EditTcpPort, CheckBoxAutoStartOP);
  setTabOrder(CheckBoxAutoStartOP, EditObjectPushSvcName);
  setTabOrder(EditObjectPushSvcName, CheckBoxObjectPushReplaces);
  setTabOrder(CheckBoxObjectPushReplaces, ComboBoxPushPolicy);
  setTabOrder(ComboBoxPushPolicy, ListAlwaysAccepted);
  setTabOrder(ListAlwaysAccepted, ButtonRemoveDevice);
  setTabOrder(ButtonRemoveDevice, CheckBoxAutostartFB);
  setTabOrder(CheckBoxAutostartFB, EditFolderBrowsingSvcName);
  setTabOrder(EditFolderBrowsingSvcName, ButtonOk);
  setTabOrder(ButtonOk, ButtonCancel);

  connect(ButtonBrowse, &QPushButton::clicked, this, &TFormSettings::ButtonBrowseClick);
  connect(ButtonOk, &QPushButton::clicked, this, &TFormSettings::ButtonOkClick);
  connect(ButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(ButtonRemoveDevice, &QPushButton::clicked, this, &TFormSettings::ButtonRemoveDeviceClick);
  connect(ListAlwaysAccepted, &QListWidget::itemSelectionChanged, this, [this] {
    ButtonRemoveDevice->setEnabled(!ListAlwaysAccepted->selectedItems().isEmpty());
  });

  Fill();
}

TFormSettings::~TFormSettings() = default;

void TFormSettings::Fill() {
  CheckBoxRunOnWindowsStart->setChecked(store_.IsOn(Setting::AutoStart));
  const auto text = [this](Setting setting) {
    return QString::fromStdString(store_.Text(setting));
  };
  // The first exchange folder offered is the user's documents folder; OK saves it
  // even when nothing was changed.
  EditRootPath->setText(firstStart_ ? services_.documentsFolder() : text(Setting::RootPath));
  CheckBoxBalloonNotification->setChecked(store_.IsOn(Setting::BalloonNotification));
  CheckBoxAutoStartOP->setChecked(store_.IsOn(Setting::AutoStartOP));
  EditObjectPushSvcName->setText(text(Setting::OPServiceName));
  CheckBoxAutostartFB->setChecked(store_.IsOn(Setting::AutoStartFB));
  EditFolderBrowsingSvcName->setText(text(Setting::FBServiceName));
  CheckBoxautostartTCP->setChecked(store_.IsOn(Setting::AutoStartTCP));
  CheckBoxIPv6->setChecked(store_.IsOn(Setting::UseIPv6));
  EditTcpPort->setText(QString::number(store_.Integer(Setting::TcpPort)));
  CheckBoxAccessHiddenFiles->setChecked(store_.IsOn(Setting::AllowAccessHiddenFiles));
  CheckBoxReceivedNotification->setChecked(store_.IsOn(Setting::ReceivedNotification));
  CheckBoxObjectPushReplaces->setChecked(store_.IsOn(Setting::ObjectPushReplaces));
  // A number that is no policy is taken as the strictest by the service, so the box
  // shows that one.
  const int32_t policy = store_.Integer(Setting::PushPolicy);
  filledPolicy_ = policy >= 0 && policy < PushPolicyCount ? policy : PushPolicyCount - 1;
  ComboBoxPushPolicy->setCurrentIndex(filledPolicy_);
  // Every word as it is, also one that is no address, so the user can remove it.
  const QStringList devices = text(Setting::AlwaysAcceptDevices).split(u' ', Qt::SkipEmptyParts);
  ListAlwaysAccepted->addItems(devices);
  filledDevices_ = devices;
  devicesRemoved_ = false;
  FillListenOn();
  if (firstStart_) FillFirstStart();
}

void TFormSettings::FillListenOn() {
  // Every address (the default), this computer only, or one of its addresses; an
  // address the settings give that is none of these is shown as it is.
  ComboBoxListenOn->addItem(QStringLiteral("All networks"), QString());
  ComboBoxListenOn->addItem(QStringLiteral("This computer only"), QStringLiteral("127.0.0.1"));
  for (const QString& address : services_.localAddresses()) {
    ComboBoxListenOn->addItem(address, address);
  }
  const QString listen = QString::fromStdString(store_.Text(Setting::ListenAddress));
  int index = ComboBoxListenOn->findData(listen);
  if (listen == QLatin1String("::1")) index = 1;
  if (index < 0) {
    ComboBoxListenOn->addItem(listen, listen);
    index = ComboBoxListenOn->count() - 1;
  }
  ComboBoxListenOn->setCurrentIndex(index);
  filledListen_ = index;
}

std::string TFormSettings::ChosenListenAddress() const {
  // This computer only: the loopback address of the family the service listens on.
  if (ComboBoxListenOn->currentIndex() == 1 && CheckBoxIPv6->isChecked()) return "::1";
  return Utf8(ComboBoxListenOn->currentData().toString());
}

void TFormSettings::FillFirstStart() {
  // A first start ends with a service running: Object Push, which asks about
  // devices the user has not chosen, is the one offered.
  CheckBoxAutoStartOP->setChecked(true);
  // OBEX's port needs a privilege; without it the first start proposes one
  // that works, and says why.
  if (store_.Integer(Setting::TcpPort) == DefaultTcpPort &&
      !services_.mayBindPort(DefaultTcpPort)) {
    EditTcpPort->setText(QString::number(UnprivilegedObexTcpPort));
    LabelPortNote->setText(
        QStringLiteral("Port %1, OBEX's own, needs root or the CAP_NET_BIND_SERVICE "
                       "capability, which Quillfern does not have here: port %2 is proposed.")
            .arg(DefaultTcpPort)
            .arg(UnprivilegedObexTcpPort));
    LabelPortNote->show();
  }
}

bool TFormSettings::CloseQuery() {
  // The folder must exist; it must also be absolute, since a relative one would name
  // another folder whenever the program starts elsewhere, and storable whole.
  const QString root = EditRootPath->text();
  if (root.isEmpty() || !QDir::isAbsolutePath(root) || !QFileInfo(root).isDir() ||
      !StorableText(Setting::RootPath, Utf8(root))) {
    EditRootPath->setFocus();
    services_.message(this, QStringLiteral("Invalid root path"));
    return false;
  }
  const auto port = ParseSettingInteger(Utf8(EditTcpPort->text().trimmed()));
  if (!port) {
    EditTcpPort->setFocus();
    services_.message(this, QStringLiteral("Invalid Port Number"));
    return false;
  }
  if (*port == 0) {
    if (services_.confirm(this, QStringLiteral("Use dynamic port number for TCP server?"))) {
      return true;
    }
    EditTcpPort->setFocus();
    return false;
  }
  if (*port < 1 || *port > 65535) {
    EditTcpPort->setFocus();
    services_.message(this, QStringLiteral("Invalid Port Number"));
    return false;
  }
  return true;
}

void TFormSettings::ButtonOkClick() {
  if (CloseQuery()) accept();
}

void TFormSettings::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (fitted_) return;
  fitted_ = true;
  FitToScreen();
}

void TFormSettings::FitToScreen() {
  const QScreen* shown = screen();
  if (shown == nullptr) return;
  layout()->activate();
  // Every box in full across, with room for the bar that scrolls them.
  const QSize natural = contents_->sizeHint();
  const int frame = 2 * scroll_->frameWidth();
  scroll_->setMinimumWidth(natural.width() + frame +
                           style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll_));
  layout()->activate();
  // Margins and the row of OK and Cancel, besides the boxes.
  const int around = sizeHint().height() - scroll_->sizeHint().height();
  const QRect available = shown->availableGeometry();
  // The window manager's frame, once known; a generous one before.
  int titleBar = 0;
  if (const QWindow* window = windowHandle()) {
    const QMargins margins = window->frameMargins();
    titleBar = margins.top() + margins.bottom();
  }
  if (titleBar <= 0) titleBar = 2 * style()->pixelMetric(QStyle::PM_TitleBarHeight);
  const int wanted = around + natural.height() + frame;
  // A few pixels to spare, for a frame that rounds up at a fractional scale.
  const int height = std::min(wanted, available.height() - titleBar - 8);
  resize(std::min(sizeHint().width(), available.width()), std::max(height, minimumHeight()));
  QRect placed = frameGeometry();
  placed.setHeight(this->height() + titleBar);
  placed.moveCenter(available.center());
  placed.moveTop(std::max(placed.top(), available.top()));
  placed.moveLeft(std::max(placed.left(), available.left()));
  move(placed.topLeft());
}

void TFormSettings::ButtonBrowseClick() {
  const auto folder =
      services_.selectFolder(this, QStringLiteral("Select directory"), EditRootPath->text());
  if (folder) EditRootPath->setText(QDir::toNativeSeparators(*folder));
}

void TFormSettings::ButtonRemoveDeviceClick() {
  const QList<QListWidgetItem*> chosen = ListAlwaysAccepted->selectedItems();
  if (chosen.isEmpty()) return;
  for (QListWidgetItem* item : chosen) {
    delete ListAlwaysAccepted->takeItem(ListAlwaysAccepted->row(item));
  }
  devicesRemoved_ = true;
}

void TFormSettings::TakeOverRunAtLogOn() {
  const bool checked = CheckBoxRunOnWindowsStart->isChecked();
  if (!store_.SetSetting(Setting::AutoStart, checked ? 1 : 0)) return;
  const QString program = services_.programFile();
  std::string error;
  QWidget* owner = parentWidget();
  if (checked) {
    const bool written =
        !program.isEmpty() && SetRunAtStart(Utf8(program), AutostartName, true, error);
    if (!written) {
      if (!error.empty()) services_.message(owner, QString::fromStdString(error));
      // Still marked changed, so the 0 reaches the file.
      store_.SetSetting(Setting::AutoStart, 0);
    }
  } else if (!SetRunAtStart(Utf8(program), AutostartName, false, error) && !error.empty()) {
    services_.message(owner, QString::fromStdString(error));
  }
}

void TFormSettings::TakeOver() {
  TakeOverRunAtLogOn();
  store_.SetSetting(Setting::RootPath, Utf8(EditRootPath->text()));
  store_.SetSetting(Setting::AutoStartOP, OnOff(CheckBoxAutoStartOP));
  store_.SetSetting(Setting::BalloonNotification, OnOff(CheckBoxBalloonNotification));
  store_.SetSetting(Setting::OPServiceName, Utf8(EditObjectPushSvcName->text()));
  store_.SetSetting(Setting::AutoStartFB, OnOff(CheckBoxAutostartFB));
  store_.SetSetting(Setting::FBServiceName, Utf8(EditFolderBrowsingSvcName->text()));
  store_.SetSetting(Setting::AutoStartTCP, OnOff(CheckBoxautostartTCP));
  store_.SetSetting(Setting::UseIPv6, OnOff(CheckBoxIPv6));
  if (const auto port = ParseSettingInteger(Utf8(EditTcpPort->text().trimmed()))) {
    store_.SetSetting(Setting::TcpPort, *port);
  }
  store_.SetSetting(Setting::AllowAccessHiddenFiles, OnOff(CheckBoxAccessHiddenFiles));
  store_.SetSetting(Setting::ReceivedNotification, OnOff(CheckBoxReceivedNotification));
  store_.SetSetting(Setting::ObjectPushReplaces, OnOff(CheckBoxObjectPushReplaces));
  // A choice left alone keeps the line as it was written.
  if (ComboBoxListenOn->currentIndex() != filledListen_ ||
      (filledListen_ == 1 && ChosenListenAddress() != store_.Text(Setting::ListenAddress))) {
    store_.SetSetting(Setting::ListenAddress, ChosenListenAddress());
  }
  if (ComboBoxPushPolicy->currentIndex() != filledPolicy_) {
    store_.SetSetting(Setting::PushPolicy, ComboBoxPushPolicy->currentIndex());
  }
  if (devicesRemoved_) {
    QStringList kept;
    for (int row = 0; row < ListAlwaysAccepted->count(); ++row) {
      kept << ListAlwaysAccepted->item(row)->text();
    }
    // Only the removed devices leave: one that an "Always accept" answer added
    // while the dialog was open stays.
    QStringList devices;
    for (const QString& device : QString::fromStdString(store_.Text(Setting::AlwaysAcceptDevices))
                                     .split(u' ', Qt::SkipEmptyParts)) {
      if (kept.contains(device) || !filledDevices_.contains(device)) devices << device;
    }
    store_.SetSetting(Setting::AlwaysAcceptDevices, Utf8(devices.join(u' ')));
  }
  store_.SaveSettings();
}

bool RunSettingsDialog(QWidget* parent, SettingsStore& store,
                       const SettingsDialogServices& services) {
  TFormSettings dialog(parent, store, services);
  if (dialog.exec() != QDialog::Accepted) return false;
  dialog.TakeOver();
  return true;
}

}  // namespace quillfern
