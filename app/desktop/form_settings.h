#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

#include "app/desktop/prompts.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QScrollArea;

// The settings dialog: edits the user's settings, modal, with OK and Cancel (Escape).
// OK closes it only when the exchange folder exists and the port is valid, and takes
// every change over; Cancel discards them. It scrolls where the screen is too small for
// it. UI thread only.
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
  // Whether this program may listen on the TCP port given (650 needs root or the
  // capability to bind privileged ports).
  std::function<bool(uint16_t port)> mayBindPort;
  // This computer's addresses, offered under "Listen on".
  std::function<QStringList()> localAddresses;
};

// Runs the whole dialog: fills it from the store (offering the documents folder as the
// exchange folder when none is set), shows it modally, then on OK takes over every
// control, keeps the log-on entry in step and saves the store. True on OK.
bool RunSettingsDialog(QWidget* parent, SettingsStore& store,
                       const SettingsDialogServices& services = {});

class TFormSettings : public QDialog {
  Q_OBJECT

 public:
  // Creates and fills the dialog (steps before it is shown).
  TFormSettings(QWidget* parent, SettingsStore& store, const SettingsDialogServices& services);
  ~TFormSettings() override;

  // The validation OK goes through; true when the dialog may close.
  bool CloseQuery();
  // After the dialog has closed with OK: the log-on entry, every control into the
  // store, then the save.
  void TakeOver();
  // As tall as its contents, up to the height of the screen it shows on, where it
  // then scrolls; centred there.
  void FitToScreen();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ButtonBrowseClick();
  void ButtonOkClick();
  void ButtonRemoveDeviceClick();
  void Fill();
  void FillFirstStart();
  void FillListenOn();
  std::string ChosenListenAddress() const;
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
  QComboBox* ComboBoxListenOn = nullptr;
  QListWidget* ListAlwaysAccepted = nullptr;
  QPushButton* ButtonRemoveDevice = nullptr;
  QPushButton* ButtonOk = nullptr;
  QPushButton* ButtonCancel = nullptr;
  QScrollArea* scroll_ = nullptr;   // holds every box
  QWidget* contents_ = nullptr;     // the boxes, at their natural size
  bool fitted_ = false;             // FitToScreen ran at the first show
  QLabel* LabelIntro = nullptr;     // what the program does, on a first start
  QLabel* LabelPortNote = nullptr;  // why the port proposed is not 650
  // What Fill showed, so a control left alone leaves its setting unmarked: a policy
  // number the combo box cannot show, or a device list spaced by hand, stays as it is.
  int filledPolicy_ = -1;
  int filledListen_ = -1;
  bool devicesRemoved_ = false;
  QStringList filledDevices_;  // the always-accepted devices Fill showed
  const bool firstStart_;      // no exchange folder was set when the dialog opened
};

}  // namespace quillfern
