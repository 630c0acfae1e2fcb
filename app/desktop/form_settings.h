#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "app/desktop/prompts.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;

// The settings dialog: edits the user's settings, modal, without a cancel. It closes
// only when the exchange folder exists and the port is valid, and every change is
// taken over when it has closed. UI thread only.
namespace quillfern {

class SettingsStore;

// What the dialog asks of the desktop, replaceable in tests. Empty members get the
// real thing: Qt's message boxes, Qt's folder picker, the XDG documents folder and the
// running program's own file for the log-on entry.
struct SettingsDialogServices {
  MessageFunction message;
  ConfirmFunction confirm;
  // (owner, title, current folder) -> the folder chosen, or nothing on Cancel.
  std::function<std::optional<QString>(QWidget*, const QString&, const QString&)> selectFolder;
  // The user's documents folder, created when missing; empty when there is none.
  std::function<QString()> documentsFolder;
  // The program the log-on entry starts; empty when it cannot be known.
  std::function<QString()> programFile;
};

// Runs the whole dialog: fills it from the store (taking the documents folder as the
// exchange folder when none is set), shows it modally, then takes over every control,
// keeps the log-on entry in step and saves the store.
void RunSettingsDialog(QWidget* parent, SettingsStore& store,
                       const SettingsDialogServices& services = {});

class TFormSettings : public QDialog {
  Q_OBJECT

 public:
  // Creates and fills the dialog (steps before it is shown).
  TFormSettings(QWidget* parent, SettingsStore& store, const SettingsDialogServices& services);
  ~TFormSettings() override;

  // The validation every attempt to close goes through; true when it may close.
  bool CloseQuery();
  // After the dialog has closed: the log-on entry, every control into the store, then
  // the save.
  void TakeOver();

  // Escape does nothing: the dialog has no cancel.
  void reject() override {}

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void ButtonBrowseClick();
  void ButtonCloseClick();
  void ButtonRemoveDeviceClick();
  void Fill();
  void TakeOverRunAtLogOn();

  // All fields: UI thread only.
  SettingsStore& store_;
  SettingsDialogServices services_;
  QCheckBox* CheckBoxRunOnWindowsStart = nullptr;
  QLineEdit* EditRootPath = nullptr;
  QPushButton* ButtonBrowse = nullptr;
  QCheckBox* CheckBoxAccessHiddenFiles = nullptr;
  QCheckBox* CheckBoxBalloonNotification = nullptr;
  QCheckBox* CheckBoxautostartTCP = nullptr;
  QCheckBox* CheckBoxIPv6 = nullptr;
  QLineEdit* EditTcpPort = nullptr;
  QCheckBox* CheckBoxAutoStartOP = nullptr;
  QLineEdit* EditObjectPushSvcName = nullptr;
  QCheckBox* CheckBoxAutostartFB = nullptr;
  QLineEdit* EditFolderBrowsingSvcName = nullptr;
  QCheckBox* CheckBoxReceivedNotification = nullptr;
  QCheckBox* CheckBoxObjectPushReplaces = nullptr;
  QComboBox* ComboBoxPushPolicy = nullptr;
  QListWidget* ListAlwaysAccepted = nullptr;
  QPushButton* ButtonRemoveDevice = nullptr;
  QPushButton* ButtonClose = nullptr;
  // What Fill showed, so a control left alone leaves its setting unmarked: a policy
  // number the combo box cannot show, or a device list spaced by hand, stays as it is.
  int filledPolicy_ = -1;
  bool devicesRemoved_ = false;
  QStringList filledDevices_;  // the always-accepted devices Fill showed
};

}  // namespace quillfern
