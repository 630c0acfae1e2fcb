#include "app/desktop/form_about.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/desktop/bluetooth_tool.h"
#include "app/desktop/desktop_version.h"
#include "app/desktop/form_memo_dlg.h"
#include "app/desktop/ip_information.h"
#include "app/desktop/program_icon.h"

namespace quillfern {

TFormAbout::TFormAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint) {
  setWindowTitle("About Quillfern");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 8, 13, 12);

  auto* top = new QHBoxLayout;
  auto* image = new QLabel(this);
  image->setObjectName("ImageAppIcon");
  image->setPixmap(ProgramPixmap(96, devicePixelRatioF()));
  image->setFixedSize(96, 96);
  top->addWidget(image, 0, Qt::AlignTop);
  top->addSpacing(20);
  auto* names = new QVBoxLayout;
  names->setSpacing(2);
  auto* title = new QLabel("Quillfern", this);
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  names->addSpacing(8);
  names->addWidget(title);
  auto* version = new QLabel(QString("Version %1").arg(ProgramVersion()), this);
  version->setObjectName("LabelVersion");
  names->addWidget(version);
  names->addStretch(1);
  top->addLayout(names, 1);
  layout->addLayout(top);

  auto* info = new QLabel(
      "Quillfern provides the OBEX Object Push and Folder Browsing services over Bluetooth "
      "and TCP/IP.",
      this);
  info->setObjectName("LabelInfo");
  info->setWordWrap(true);
  info->setContentsMargins(8, 8, 8, 8);
  layout->addWidget(info, 1);

  auto* buttons = new QHBoxLayout;
  ButtonBluetoothSettings = new QPushButton("Bluetooth Settings", this);
  ButtonIPInformation = new QPushButton("IP Information", this);
  auto* ok = new QPushButton("Close", this);
  ok->setDefault(true);
  buttons->addWidget(ButtonBluetoothSettings);
  buttons->addWidget(ButtonIPInformation);
  buttons->addStretch(1);
  buttons->addWidget(ok);
  layout->addLayout(buttons);

  connect(ButtonBluetoothSettings, &QPushButton::clicked, this,
          &TFormAbout::ButtonBluetoothSettingsClick);
  connect(ButtonIPInformation, &QPushButton::clicked, this, &TFormAbout::ButtonIPInformationClick);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  setMinimumSize(384, 261);
  resize(384, 261);
}

void TFormAbout::ButtonIPInformationClick() {
  // The command runs on its own; the text window opens when it has ended,
  // with whatever it wrote (empty when it could not run).
  ButtonIPInformation->setEnabled(false);
  const QString connect = ConnectInformation ? ConnectInformation() : QString();
  RunIpAddress(this, [this, connect](const QString& output) {
    ButtonIPInformation->setEnabled(true);
    // What a phone should use first, then the command's own words.
    ShowMemo(parentWidget() ? parentWidget() : this, "ip address",
             connect.isEmpty() ? output : connect + "\n\n" + output);
  });
}

void TFormAbout::ButtonBluetoothSettingsClick() {
  const auto tool = FindBluetoothTool();
  if (!tool) {
    Message(this,
            "No Bluetooth settings program is installed. Install one, such as Blueman "
            "(blueman-manager), or use 'bluetoothctl' in a terminal.");
  } else if (!StartBluetoothTool(*tool)) {
    Message(this, "The Bluetooth settings program " + tool->program + " could not be started.");
  }
}

}  // namespace quillfern
