#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "app/desktop/prompts.h"

class QPushButton;

namespace quillfern {

// The about box: the program's image, name and version, and its two tools,
// the machine's addresses ("IP Information") and the desktop's Bluetooth
// settings. UI thread only.
class TFormAbout : public QDialog {
  Q_OBJECT

 public:
  explicit TFormAbout(QWidget* parent = nullptr);

  void ButtonIPInformationClick();
  void ButtonBluetoothSettingsClick();

  MessageFunction Message = ShowPlainMessage;  // tests answer in its place
  // The line that heads the IP information: where a phone reaches the TCP
  // service ("Connect to 192.168.1.20, port 650"); none when unbound.
  std::function<QString()> ConnectInformation;
  QPushButton* ButtonIPInformation = nullptr;
  QPushButton* ButtonBluetoothSettings = nullptr;
};

}  // namespace quillfern
