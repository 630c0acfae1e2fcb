#include "app/desktop/form_settings.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
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
#include <QStandardPaths>
#include <QStyle>
#include <QVBoxLayout>
#include <QValidator>
#include <string>

#include "app/autostart.h"
#include "app/settings_store.h"
#include "app/settings_values.h"
#include "app/user_places.h"

namespace quillfern {
namespace {

constexpr int BoxWidth = 448;
constexpr int LabelColumnWidth = 104;
constexpr int BrowseWidth = 75;
constexpr int BrowseHeight = 25;
constexpr int CloseWidth = 136;
constexpr int DeviceListRows = 3;

// The PushPolicy numbers, at their positions in the combo box.
const char* const PushPolicyTexts[] = {
    "Every device",
    "Paired devices; ask about others",
    "Only devices paired with this computer",
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
                          Qt::WindowStaysOnTopHint),
      store_(store),
      services_(services) {
  if (!services_.message) services_.message = ShowPlainMessage;
  if (!services_.confirm) services_.confirm = AskConfirmation;
  if (!services_.selectFolder) services_.selectFolder = SelectFolder;
  if (!services_.documentsFolder) services_.documentsFolder = DocumentsFolder;
  if (!services_.programFile) services_.programFile = ProgramFile;

  setObjectName(QStringLiteral("FormSettings"));
  setWindowTitle(QStringLiteral("Settings"));
  setModal(true);

  QGroupBox* general = Box(QStringLiteral("General"), this);
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

  QGroupBox* tcp = Box(QStringLiteral("TCP/IP Server"), this);
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

  QGroupBox* objectPush = Box(QStringLiteral("Bluetooth Object Push Server"), this);
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
                     "push from a device not paired with this computer."));
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

  QGroupBox* folderBrowsing = Box(QStringLiteral("Bluetooth Folder Browsing Server"), this);
  QGridLayout* folderBrowsingGrid = BoxGrid(folderBrowsing);
  CheckBoxAutostartFB =
      CheckBox("CheckBoxAutostartFB", QStringLiteral("Start automatically"), folderBrowsing);
  folderBrowsingGrid->addWidget(CheckBoxAutostartFB, 0, 0, 1, 3);
  folderBrowsingGrid->addWidget(new QLabel(QStringLiteral("* Service Name"), folderBrowsing), 1, 0);
  EditFolderBrowsingSvcName = LimitedEdit("EditFolderBrowsingSvcName", 84, folderBrowsing);
  folderBrowsingGrid->addWidget(EditFolderBrowsingSvcName, 1, 1);

  auto* bottom = new QHBoxLayout;
  bottom->addWidget(
      new QLabel(QStringLiteral("* = change will be applied at next server startup"), this), 1);
  ButtonClose = new QPushButton(QStringLiteral("&Close"), this);
  ButtonClose->setObjectName(QStringLiteral("ButtonClose"));
  ButtonClose->setMinimumWidth(CloseWidth);
  ButtonClose->setDefault(true);
  bottom->addWidget(ButtonClose);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 4, 8, 8);
  layout->addWidget(general);
  layout->addWidget(tcp);
  layout->addWidget(objectPush);
  layout->addWidget(folderBrowsing);
  layout->addLayout(bottom);
  // A fixed border: the dialog is as large as its contents need.
  layout->setSizeConstraint(QLayout::SetFixedSize);

  // Tab order: box by box, then the close button.
  setTabOrder(CheckBoxRunOnWindowsStart, EditRootPath);
  setTabOrder(EditRootPath, ButtonBrowse);
  setTabOrder(ButtonBrowse, CheckBoxAccessHiddenFiles);
  setTabOrder(CheckBoxAccessHiddenFiles, CheckBoxBalloonNotification);
  setTabOrder(CheckBoxBalloonNotification, CheckBoxReceivedNotification);
  setTabOrder(CheckBoxReceivedNotification, CheckBoxautostartTCP);
  setTabOrder(CheckBoxautostartTCP, CheckBoxIPv6);
  setTabOrder(CheckBoxIPv6, EditTcpPort);
  setTabOrder(EditTcpPort, CheckBoxAutoStartOP);
  setTabOrder(CheckBoxAutoStartOP, EditObjectPushSvcName);
  setTabOrder(EditObjectPushSvcName, CheckBoxObjectPushReplaces);
  setTabOrder(CheckBoxObjectPushReplaces, ComboBoxPushPolicy);
  setTabOrder(ComboBoxPushPolicy, ListAlwaysAccepted);
  setTabOrder(ListAlwaysAccepted, ButtonRemoveDevice);
  setTabOrder(ButtonRemoveDevice, CheckBoxAutostartFB);
  setTabOrder(CheckBoxAutostartFB, EditFolderBrowsingSvcName);
  setTabOrder(EditFolderBrowsingSvcName, ButtonClose);

  connect(ButtonBrowse, &QPushButton::clicked, this, &TFormSettings::ButtonBrowseClick);
  connect(ButtonClose, &QPushButton::clicked, this, &TFormSettings::ButtonCloseClick);
  connect(ButtonRemoveDevice, &QPushButton::clicked, this, &TFormSettings::ButtonRemoveDeviceClick);
  connect(ListAlwaysAccepted, &QListWidget::itemSelectionChanged, this, [this] {
    ButtonRemoveDevice->setEnabled(!ListAlwaysAccepted->selectedItems().isEmpty());
  });

  Fill();
}

TFormSettings::~TFormSettings() = default;

void TFormSettings::Fill() {
  CheckBoxRunOnWindowsStart->setChecked(store_.IsOn(Setting::AutoStart));
  // The first exchange folder is the user's documents folder, taken into the store at
  // once, so that closing without a change still saves it.
  if (store_.Text(Setting::RootPath).empty()) {
    const QString documents = services_.documentsFolder();
    if (!documents.isEmpty()) store_.SetSetting(Setting::RootPath, Utf8(documents));
  }
  const auto text = [this](Setting setting) {
    return QString::fromStdString(store_.Text(setting));
  };
  EditRootPath->setText(text(Setting::RootPath));
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

void TFormSettings::closeEvent(QCloseEvent* event) {
  if (!CloseQuery()) {
    event->ignore();
    return;
  }
  event->accept();
  done(Accepted);
}

void TFormSettings::ButtonCloseClick() {
  close();
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

void RunSettingsDialog(QWidget* parent, SettingsStore& store,
                       const SettingsDialogServices& services) {
  TFormSettings dialog(parent, store, services);
  if (const QScreen* shown = dialog.screen()) {
    dialog.adjustSize();
    QRect frame = dialog.frameGeometry();
    frame.moveCenter(shown->availableGeometry().center());
    dialog.move(frame.topLeft());
  }
  dialog.exec();
  dialog.TakeOver();
}

}  // namespace quillfern
