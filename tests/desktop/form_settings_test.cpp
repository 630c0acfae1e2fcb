#include "app/desktop/form_settings.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include "app/settings_store.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

namespace quillfern {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnvironment;
using testing::TempFolder;

// A home and configuration folder of its own, the settings file loaded from there, and
// message boxes, questions and the folder picker that a test answers and records.
class SettingsDialogTest : public ::testing::Test {
 protected:
  SettingsDialogTest() {
    home_.Set(Home().string());
    configHome_.Set(Config().string());
    store_.LoadSettings();
    services_.message = [this](QWidget*, const QString& text) {
      messages_.push_back(text.toStdString());
    };
    services_.confirm = [this](QWidget*, const QString& question) {
      questions_.push_back(question.toStdString());
      return answer_;
    };
    services_.selectFolder = [this](QWidget*, const QString& title, const QString& current) {
      pickerCalls_.push_back(title.toStdString() + " | " + current.toStdString());
      return picked_;
    };
  }

  fs::path Home() const { return temp_.Base() / "home"; }
  fs::path Config() const { return temp_.Base() / "config"; }
  fs::path SettingsFile() const { return Config() / "Quillfern.ini"; }
  fs::path Autostart() const { return Config() / "autostart" / "Quillfern.desktop"; }
  std::string Exchange() const { return temp_.Exchange().string(); }

  template <typename T>
  T* Control(TFormSettings& dialog, const char* name) {
    T* control = dialog.findChild<T*>(name);
    EXPECT_NE(control, nullptr) << name;
    return control;
  }
  QLineEdit* Edit(TFormSettings& dialog, const char* name) {
    return Control<QLineEdit>(dialog, name);
  }
  QCheckBox* Check(TFormSettings& dialog, const char* name) {
    return Control<QCheckBox>(dialog, name);
  }

  // The store as the next start of the program would load it.
  SettingsStore Reloaded() {
    SettingsStore again(SettingsFile());
    again.LoadSettings();
    return again;
  }

  // Opens the dialog, lets the test change it, closes it (which must succeed) and
  // takes the controls over.
  template <typename Change>
  void Run(Change change) {
    TFormSettings dialog(nullptr, store_, services_);
    change(dialog);
    ASSERT_TRUE(dialog.CloseQuery()) << (messages_.empty() ? "" : messages_.back());
    dialog.TakeOver();
  }

  TempFolder temp_;
  ScopedEnvironment home_{"HOME"};
  ScopedEnvironment configHome_{"XDG_CONFIG_HOME"};
  SettingsStore store_{SettingsFile()};
  SettingsDialogServices services_;
  std::vector<std::string> messages_;
  std::vector<std::string> questions_;
  std::vector<std::string> pickerCalls_;
  bool answer_ = true;
  std::optional<QString> picked_;
};

TEST_F(SettingsDialogTest, ShowsTheSettingsInItsControls) {
  store_.SetSetting(Setting::RootPath, Exchange());
  store_.SetSetting(Setting::TcpPort, 6500);
  store_.SetSetting(Setting::UseIPv6, 1);
  store_.SetSetting(Setting::BalloonNotification, 0);
  store_.SetSetting(Setting::AutoStartFB, 1);
  TFormSettings dialog(nullptr, store_, services_);
  EXPECT_EQ(dialog.windowTitle(), "Settings");
  EXPECT_TRUE(dialog.isModal());
  EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);

  EXPECT_EQ(Edit(dialog, "EditRootPath")->text().toStdString(), Exchange());
  EXPECT_EQ(Edit(dialog, "EditTcpPort")->text(), "6500");
  EXPECT_TRUE(Check(dialog, "CheckBoxIPv6")->isChecked());
  EXPECT_FALSE(Check(dialog, "CheckBoxBalloonNotification")->isChecked());
  EXPECT_TRUE(Check(dialog, "CheckBoxAutostartFB")->isChecked());
  EXPECT_FALSE(Check(dialog, "CheckBoxAutoStartOP")->isChecked());
  EXPECT_EQ(Check(dialog, "CheckBoxRunOnWindowsStart")->text(), "Run On Log-on");
  EXPECT_EQ(Edit(dialog, "EditObjectPushSvcName")->text(), "OBEX Object Push");
  EXPECT_EQ(Edit(dialog, "EditObjectPushSvcName")->toolTip(), "Default: OBEX Object Push");
  EXPECT_EQ(Edit(dialog, "EditFolderBrowsingSvcName")->text(), "OBEX Folder Browsing");
  EXPECT_EQ(Control<QPushButton>(dialog, "ButtonOk")->text(), "OK");
  EXPECT_EQ(Control<QPushButton>(dialog, "ButtonCancel")->text(), "Cancel");
  EXPECT_EQ(Control<QPushButton>(dialog, "ButtonBrowse")->text(), "Browse...");
}

TEST_F(SettingsDialogTest, FirstStartOffersTheDocumentsFolderAndSavesOnlyIt) {
  const std::string before = TempFolder::ReadFile(SettingsFile());
  const fs::path documents = Home() / "Documents";
  ASSERT_FALSE(fs::exists(documents));
  Run([&](TFormSettings& dialog) {
    EXPECT_EQ(Edit(dialog, "EditRootPath")->text().toStdString(), documents.string());
  });
  EXPECT_TRUE(fs::is_directory(documents));
  // The folder, and Object Push, which a first start offers to start.
  std::string expected = before;
  const auto replace = [&expected](const std::string& line, const std::string& by) {
    expected.replace(expected.find(line), line.size(), by);
  };
  replace("RootPath=\n", "RootPath=" + documents.string() + "\n");
  replace("AutoStartOP=0\n", "AutoStartOP=1\n");
  EXPECT_EQ(TempFolder::ReadFile(SettingsFile()), expected);
  EXPECT_FALSE(fs::exists(Autostart()));
  EXPECT_TRUE(messages_.empty());
}

// A first start says what the program is for, offers Object Push (which asks
// about devices the user has not chosen) and a TCP port the program may use.
TEST_F(SettingsDialogTest, FirstStartExplainsItselfAndProposesWhatWorks) {
  struct Case {
    bool mayBindPrivileged;
    const char* port;
    bool note;
  };
  for (const Case& c : {Case{true, "650", false}, Case{false, "6500", true}}) {
    services_.mayBindPort = [&c](uint16_t port) { return port >= 1024 || c.mayBindPrivileged; };
    TFormSettings dialog(nullptr, store_, services_);
    dialog.show();
    QLabel* intro = Control<QLabel>(dialog, "LabelIntro");
    EXPECT_TRUE(intro->isVisible());
    EXPECT_TRUE(intro->text().startsWith("Quillfern receives the files that phones"));
    EXPECT_TRUE(Check(dialog, "CheckBoxAutoStartOP")->isChecked());
    EXPECT_FALSE(Check(dialog, "CheckBoxautostartTCP")->isChecked());
    EXPECT_EQ(Edit(dialog, "EditTcpPort")->text(), c.port);
    QLabel* note = Control<QLabel>(dialog, "LabelPortNote");
    EXPECT_EQ(note->isVisible(), c.note) << c.port;
    if (c.note) {
      EXPECT_EQ(note->text(),
                "Port 650, OBEX's own, needs root or the CAP_NET_BIND_SERVICE capability, which "
                "Quillfern does not have here: port 6500 is proposed.");
    }
    EXPECT_EQ(Control<QComboBox>(dialog, "ComboBoxPushPolicy")->currentText(),
              "Trusted devices; ask about others");
  }
  // Later starts show the settings as they are, without the introduction.
  store_.SetSetting(Setting::RootPath, Exchange());
  services_.mayBindPort = [](uint16_t) { return false; };
  TFormSettings later(nullptr, store_, services_);
  later.show();
  EXPECT_FALSE(Control<QLabel>(later, "LabelIntro")->isVisible());
  EXPECT_FALSE(Check(later, "CheckBoxAutoStartOP")->isChecked());
  EXPECT_EQ(Edit(later, "EditTcpPort")->text(), "650");
  EXPECT_FALSE(Control<QLabel>(later, "LabelPortNote")->isVisible());
}

TEST_F(SettingsDialogTest, DocumentsFolderNamedInUserDirsIsTaken) {
  fs::create_directories(Config());
  TempFolder::WriteFile(Config() / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
  TFormSettings dialog(nullptr, store_, services_);
  EXPECT_EQ(Edit(dialog, "EditRootPath")->text().toStdString(), (Home() / "Dokumente").string());
}

struct ValidationCase {
  const char* name;
  std::string root;  // "<exchange>" for the test's existing folder
  const char* port;
  bool answer;  // to the dynamic port question
  bool closes;
  std::vector<std::string> messages;
  std::vector<std::string> questions;
  const char* focused;  // the box with the focus when the dialog stays open
};

// Named by its case in test listings.
void PrintTo(const ValidationCase& c, std::ostream* out) {
  *out << c.name;
}

class SettingsValidationTest : public SettingsDialogTest,
                               public ::testing::WithParamInterface<ValidationCase> {};

TEST_P(SettingsValidationTest, ClosesOnlyWithAnExistingFolderAndAValidPort) {
  const ValidationCase& c = GetParam();
  answer_ = c.answer;
  TFormSettings dialog(nullptr, store_, services_);
  Edit(dialog, "EditRootPath")
      ->setText(QString::fromStdString(c.root == "<exchange>"  ? Exchange()
                                       : c.root == "<missing>" ? Exchange() + "/no"
                                                               : c.root));
  Edit(dialog, "EditTcpPort")->setText(QString::fromLatin1(c.port));
  dialog.show();
  Control<QPushButton>(dialog, "ButtonOk")->click();
  EXPECT_EQ(dialog.isVisible(), !c.closes);
  EXPECT_EQ(dialog.result(), c.closes ? QDialog::Accepted : QDialog::Rejected);
  EXPECT_EQ(messages_, c.messages);
  EXPECT_EQ(questions_, c.questions);
  if (!c.closes) {
    ASSERT_NE(dialog.focusWidget(), nullptr);
    EXPECT_EQ(dialog.focusWidget()->objectName().toStdString(), c.focused);
  }
}

const std::vector<std::string> NoText;
const std::vector<std::string> BadRoot = {"Invalid root path"};
const std::vector<std::string> BadPort = {"Invalid Port Number"};
const std::vector<std::string> Dynamic = {"Use dynamic port number for TCP server?"};

INSTANTIATE_TEST_SUITE_P(
    Validation, SettingsValidationTest,
    ::testing::Values(
        ValidationCase{"ValidFolderAndPort", "<exchange>", "650", true, true, NoText, NoText, ""},
        ValidationCase{"MissingFolder", "<missing>", "650", true, false, BadRoot, NoText,
                       "EditRootPath"},
        ValidationCase{"FolderIsTestedBeforeThePort", "<missing>", "abc", true, false, BadRoot,
                       NoText, "EditRootPath"},
        ValidationCase{"EmptyFolder", "", "650", true, false, BadRoot, NoText, "EditRootPath"},
        ValidationCase{"RelativeFolder", "exchange", "650", true, false, BadRoot, NoText,
                       "EditRootPath"},
        ValidationCase{"PortAbove65535", "<exchange>", "70000", true, false, BadPort, NoText,
                       "EditTcpPort"},
        ValidationCase{"NegativePort", "<exchange>", "-1", true, false, BadPort, NoText,
                       "EditTcpPort"},
        ValidationCase{"PortNotANumber", "<exchange>", "abc", true, false, BadPort, NoText,
                       "EditTcpPort"},
        ValidationCase{"EmptyPort", "<exchange>", "", true, false, BadPort, NoText, "EditTcpPort"},
        ValidationCase{"DynamicPortOk", "<exchange>", "0", true, true, NoText, Dynamic, ""},
        ValidationCase{"DynamicPortCancel", "<exchange>", "0", false, false, NoText, Dynamic,
                       "EditTcpPort"},
        ValidationCase{"HighestPort", "<exchange>", "65535", true, true, NoText, NoText, ""}),
    [](const ::testing::TestParamInfo<ValidationCase>& param) { return param.param.name; });

TEST_F(SettingsDialogTest, DynamicPortConfirmedIsSaved) {
  Run([&](TFormSettings& dialog) {
    Edit(dialog, "EditRootPath")->setText(QString::fromStdString(Exchange()));
    Edit(dialog, "EditTcpPort")->setText("0");
  });
  EXPECT_EQ(questions_, Dynamic);
  EXPECT_EQ(Reloaded().Integer(Setting::TcpPort), 0);
}

TEST_F(SettingsDialogTest, EveryControlIsTakenOverAndSaved) {
  const std::string folder = (temp_.Base() / u8"Übertragung ñ 文件").string();
  fs::create_directories(fs::path(folder));
  Run([&](TFormSettings& dialog) {
    Edit(dialog, "EditRootPath")->setText(QString::fromStdString(folder));
    Edit(dialog, "EditTcpPort")->setText("6510");
    Check(dialog, "CheckBoxAccessHiddenFiles")->setChecked(true);
    Check(dialog, "CheckBoxBalloonNotification")->setChecked(false);
    Check(dialog, "CheckBoxautostartTCP")->setChecked(true);
    Check(dialog, "CheckBoxIPv6")->setChecked(true);
    Check(dialog, "CheckBoxAutoStartOP")->setChecked(true);
    Check(dialog, "CheckBoxAutostartFB")->setChecked(true);
    Edit(dialog, "EditObjectPushSvcName")->setText(QString::fromUtf8(u8"Schränkchen"));
    Edit(dialog, "EditFolderBrowsingSvcName")->setText("");
  });
  const SettingsStore saved = Reloaded();
  EXPECT_EQ(saved.Text(Setting::RootPath), folder);
  EXPECT_EQ(saved.Integer(Setting::TcpPort), 6510);
  EXPECT_EQ(saved.Integer(Setting::AllowAccessHiddenFiles), 1);
  EXPECT_EQ(saved.Integer(Setting::BalloonNotification), 0);
  EXPECT_EQ(saved.Integer(Setting::AutoStartTCP), 1);
  EXPECT_EQ(saved.Integer(Setting::UseIPv6), 1);
  EXPECT_EQ(saved.Integer(Setting::AutoStartOP), 1);
  EXPECT_EQ(saved.Integer(Setting::AutoStartFB), 1);
  EXPECT_EQ(saved.Text(Setting::OPServiceName), reinterpret_cast<const char*>(u8"Schränkchen"));
  // An empty service name is accepted and saved as it is.
  EXPECT_EQ(saved.Text(Setting::FBServiceName), "");
  EXPECT_EQ(saved.Integer(Setting::AutoStart), 0);
  EXPECT_FALSE(fs::exists(Autostart()));
}

TEST_F(SettingsDialogTest, PushSettingsAreShownChangedAndSaved) {
  store_.SetSetting(Setting::RootPath, Exchange());
  store_.SetSetting(Setting::ReceivedNotification, 0);
  store_.SetSetting(Setting::PushPolicy, 1);
  store_.SetSetting(Setting::AlwaysAcceptDevices,
                    "00:1A:7D:DA:71:13 00:1A:7D:DA:71:14 00:1A:7D:DA:71:15");
  store_.SaveSettings();
  Run([&](TFormSettings& dialog) {
    QCheckBox* notify = Check(dialog, "CheckBoxReceivedNotification");
    QCheckBox* replaces = Check(dialog, "CheckBoxObjectPushReplaces");
    auto* policy = Control<QComboBox>(dialog, "ComboBoxPushPolicy");
    auto* devices = Control<QListWidget>(dialog, "ListAlwaysAccepted");
    auto* remove = Control<QPushButton>(dialog, "ButtonRemoveDevice");
    EXPECT_EQ(notify->text(), "Notify when a file is received");
    EXPECT_FALSE(notify->isChecked());
    EXPECT_FALSE(replaces->isChecked());
    EXPECT_NE(replaces->toolTip().indexOf("\"name (1).ext\""), -1);
    EXPECT_EQ(policy->count(), 3);
    EXPECT_EQ(policy->currentIndex(), 1);
    ASSERT_EQ(devices->count(), 3);
    EXPECT_EQ(devices->item(1)->text(), "00:1A:7D:DA:71:14");
    EXPECT_FALSE(remove->isEnabled());

    notify->setChecked(true);
    replaces->setChecked(true);
    policy->setCurrentIndex(2);
    devices->item(0)->setSelected(true);
    devices->item(2)->setSelected(true);
    EXPECT_TRUE(remove->isEnabled());
    remove->click();
    ASSERT_EQ(devices->count(), 1);
    EXPECT_FALSE(remove->isEnabled());
  });
  const SettingsStore saved = Reloaded();
  EXPECT_EQ(saved.Integer(Setting::ReceivedNotification), 1);
  EXPECT_EQ(saved.Integer(Setting::ObjectPushReplaces), 1);
  EXPECT_EQ(saved.Integer(Setting::PushPolicy), 2);
  EXPECT_EQ(saved.Text(Setting::AlwaysAcceptDevices), "00:1A:7D:DA:71:14");

  // And back to the defaults, the last device removed.
  Run([&](TFormSettings& dialog) {
    Check(dialog, "CheckBoxReceivedNotification")->setChecked(false);
    Check(dialog, "CheckBoxObjectPushReplaces")->setChecked(false);
    Control<QComboBox>(dialog, "ComboBoxPushPolicy")->setCurrentIndex(0);
    auto* devices = Control<QListWidget>(dialog, "ListAlwaysAccepted");
    devices->item(0)->setSelected(true);
    Control<QPushButton>(dialog, "ButtonRemoveDevice")->click();
  });
  const SettingsStore again = Reloaded();
  EXPECT_EQ(again.Integer(Setting::ReceivedNotification), 0);
  EXPECT_EQ(again.Integer(Setting::ObjectPushReplaces), 0);
  EXPECT_EQ(again.Integer(Setting::PushPolicy), 0);
  EXPECT_EQ(again.Text(Setting::AlwaysAcceptDevices), "");
  EXPECT_NE(TempFolder::ReadFile(SettingsFile()).find("\nAlwaysAcceptDevices=\n"),
            std::string::npos);
}

// An "Always accept" answer to a push question may add a device while the
// dialog is open: removing another one in the dialog keeps it.
TEST_F(SettingsDialogTest, RemovingADeviceKeepsOneAddedMeanwhile) {
  store_.SetSetting(Setting::RootPath, Exchange());
  store_.SetSetting(Setting::AlwaysAcceptDevices, "00:1A:7D:DA:71:13 00:1A:7D:DA:71:14");
  store_.SaveSettings();
  Run([&](TFormSettings& dialog) {
    auto* devices = Control<QListWidget>(dialog, "ListAlwaysAccepted");
    ASSERT_EQ(devices->count(), 2);
    store_.SetSetting(Setting::AlwaysAcceptDevices,
                      "00:1A:7D:DA:71:13 00:1A:7D:DA:71:14 00:1A:7D:DA:71:15");
    store_.SaveSettings();
    devices->item(0)->setSelected(true);
    Control<QPushButton>(dialog, "ButtonRemoveDevice")->click();
  });
  EXPECT_EQ(Reloaded().Text(Setting::AlwaysAcceptDevices), "00:1A:7D:DA:71:14 00:1A:7D:DA:71:15");
}

TEST_F(SettingsDialogTest, PushSettingsLeftAloneKeepTheirLinesAsWritten) {
  store_.SetSetting(Setting::RootPath, Exchange());
  store_.SaveSettings();
  std::string file = TempFolder::ReadFile(SettingsFile());
  const auto replaceLine = [&file](const std::string& from, const std::string& to) {
    file.replace(file.find(from), from.size(), to);
  };
  replaceLine("PushPolicy=1\n", "PushPolicy=7\n");
  replaceLine("AlwaysAcceptDevices=\n", "AlwaysAcceptDevices=00:1A:7D:DA:71:13   nonsense\n");
  TempFolder::WriteFile(SettingsFile(), file);
  store_.LoadSettings();
  Run([&](TFormSettings& dialog) {
    // What the service makes of a number that is no policy: paired devices only.
    EXPECT_EQ(Control<QComboBox>(dialog, "ComboBoxPushPolicy")->currentIndex(), 2);
    auto* devices = Control<QListWidget>(dialog, "ListAlwaysAccepted");
    ASSERT_EQ(devices->count(), 2);
    EXPECT_EQ(devices->item(1)->text(), "nonsense");
  });
  EXPECT_EQ(TempFolder::ReadFile(SettingsFile()), file);
}

TEST_F(SettingsDialogTest, RunSettingsDialogIsModalAndEndsWithOk) {
  store_.SetSetting(Setting::RootPath, Exchange());
  store_.SaveSettings();
  bool shownModal = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<TFormSettings*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    shownModal = dialog->isVisible();
    Edit(*dialog, "EditTcpPort")->setText("70000");
    Control<QPushButton>(*dialog, "ButtonOk")->click();  // refused: stays open
    EXPECT_TRUE(dialog->isVisible());
    Edit(*dialog, "EditTcpPort")->setText("6600");
    Control<QPushButton>(*dialog, "ButtonOk")->click();
  });
  EXPECT_TRUE(RunSettingsDialog(nullptr, store_, services_));
  EXPECT_TRUE(shownModal);
  EXPECT_EQ(messages_, BadPort);
  EXPECT_EQ(Reloaded().Integer(Setting::TcpPort), 6600);
}

TEST_F(SettingsDialogTest, BrowseStartsAtTheBoxesFolderAndCancelChangesNothing) {
  TFormSettings dialog(nullptr, store_, services_);
  QLineEdit* root = Edit(dialog, "EditRootPath");
  root->setText(QString::fromStdString(Exchange()));
  picked_.reset();
  Control<QPushButton>(dialog, "ButtonBrowse")->click();
  EXPECT_EQ(root->text().toStdString(), Exchange());

  const std::string chosen = (temp_.Base() / u8"Bilder ä").string();
  picked_ = QString::fromStdString(chosen);
  Control<QPushButton>(dialog, "ButtonBrowse")->click();
  EXPECT_EQ(root->text().toStdString(), chosen);
  EXPECT_EQ(pickerCalls_, (std::vector<std::string>{"Select directory | " + Exchange(),
                                                    "Select directory | " + Exchange()}));
}

TEST_F(SettingsDialogTest, BrowseOpensTheFolderPickerAtTheBoxesFolder) {
  const fs::path inside = temp_.Exchange() / u8"Fotos é";
  fs::create_directories(inside);
  services_.selectFolder = nullptr;  // Qt's own picker
  TFormSettings dialog(nullptr, store_, services_);
  QLineEdit* root = Edit(dialog, "EditRootPath");
  root->setText(QString::fromStdString(Exchange()));
  for (const bool accept : {false, true}) {
    QString title;
    QString shownFolder;
    QTimer::singleShot(0, [&] {
      auto* picker = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      ASSERT_NE(picker, nullptr);
      title = picker->windowTitle();
      shownFolder = picker->directory().absolutePath();
      if (accept) {
        picker->setDirectory(QString::fromStdString(inside.string()));
        static_cast<QDialog*>(picker)->accept();  // the picker's own accept, as OK does
      } else {
        picker->reject();
      }
    });
    Control<QPushButton>(dialog, "ButtonBrowse")->click();
    EXPECT_EQ(title, "Select directory");
    EXPECT_EQ(shownFolder.toStdString(), Exchange());
    EXPECT_EQ(root->text().toStdString(), accept ? inside.string() : Exchange());
  }
}

TEST_F(SettingsDialogTest, RunAtLogOnWritesAndRemovesTheAutostartEntry) {
  services_.programFile = [] { return QStringLiteral("/opt/quill fern/quillfern"); };
  store_.SetSetting(Setting::RootPath, Exchange());
  Run([&](TFormSettings& dialog) { Check(dialog, "CheckBoxRunOnWindowsStart")->setChecked(true); });
  EXPECT_EQ(TempFolder::ReadFile(Autostart()),
            "[Desktop Entry]\nType=Application\nName=Quillfern\n"
            "Exec=\"/opt/quill fern/quillfern\" /minimize\n");
  EXPECT_EQ(Reloaded().Integer(Setting::AutoStart), 1);

  // Left as it is: the entry is not touched, even one edited by hand.
  TempFolder::WriteFile(Autostart(), "edited by hand\n");
  Run([&](TFormSettings& dialog) {
    EXPECT_TRUE(Check(dialog, "CheckBoxRunOnWindowsStart")->isChecked());
  });
  EXPECT_EQ(TempFolder::ReadFile(Autostart()), "edited by hand\n");

  Run([&](TFormSettings& dialog) {
    Check(dialog, "CheckBoxRunOnWindowsStart")->setChecked(false);
  });
  EXPECT_FALSE(fs::exists(Autostart()));
  EXPECT_EQ(Reloaded().Integer(Setting::AutoStart), 0);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(SettingsDialogTest, RunAtLogOnUsesTheRunningProgram) {
  store_.SetSetting(Setting::RootPath, Exchange());
  Run([&](TFormSettings& dialog) { Check(dialog, "CheckBoxRunOnWindowsStart")->setChecked(true); });
  const std::string entry = TempFolder::ReadFile(Autostart());
  EXPECT_NE(entry.find("desktop_tests"), std::string::npos) << entry;
  EXPECT_NE(entry.find(" /minimize\n"), std::string::npos) << entry;
}

TEST_F(SettingsDialogTest, AFailedAutostartEntrySaysWhyAndSavesTheOptionOff) {
  store_.SetSetting(Setting::RootPath, Exchange());
  fs::create_directories(Config());
  TempFolder::WriteFile(Config() / "autostart", "a file where the folder belongs");
  Run([&](TFormSettings& dialog) { Check(dialog, "CheckBoxRunOnWindowsStart")->setChecked(true); });
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0], "");
  EXPECT_EQ(store_.Integer(Setting::AutoStart), 0);
  EXPECT_EQ(Reloaded().Integer(Setting::AutoStart), 0);
}

TEST_F(SettingsDialogTest, TypingLimitsBindOnlyTheKeyboard) {
  const std::string deep = Exchange() + "/" + std::string(300, 'd');
  store_.SetSetting(Setting::RootPath, Exchange());
  TFormSettings dialog(nullptr, store_, services_);
  QLineEdit* port = Edit(dialog, "EditTcpPort");
  port->clear();
  QTest::keyClicks(port, "1234567");
  EXPECT_EQ(port->text(), "12345");

  QLineEdit* name = Edit(dialog, "EditObjectPushSvcName");
  name->clear();
  QTest::keyClicks(name, QString(90, 'n'));
  EXPECT_EQ(name->text().size(), 84);

  // A folder the program put there may be longer than the keyboard could type, and
  // can still be shortened.
  QLineEdit* root = Edit(dialog, "EditRootPath");
  root->setText(QString::fromStdString(deep));
  EXPECT_EQ(root->text().toStdString(), deep);
  root->end(false);
  QTest::keyClick(root, Qt::Key_Backspace);
  EXPECT_EQ(root->text().size(), static_cast<qsizetype>(deep.size() - 1));
  QTest::keyClicks(root, "xy");
  EXPECT_EQ(root->text().size(), static_cast<qsizetype>(deep.size() - 1));
}

// Cancel, Escape and the window's close button leave the settings and the file as
// they were, also on a first start, whose folder OK alone would take.
TEST_F(SettingsDialogTest, CancelEscapeAndCloseDiscardEveryChange) {
  const std::string before = TempFolder::ReadFile(SettingsFile());
  const std::pair<const char*, std::function<void(TFormSettings&)>> ways[] = {
      {"Cancel", [this](TFormSettings& d) { Control<QPushButton>(d, "ButtonCancel")->click(); }},
      {"Escape", [](TFormSettings& d) { QTest::keyClick(&d, Qt::Key_Escape); }},
      {"close", [](TFormSettings& d) { d.close(); }},
  };
  for (const auto& [way, leave] : ways) {
    bool left = false;
    QTimer::singleShot(0, [&, leave = leave] {
      auto* dialog = qobject_cast<TFormSettings*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      Edit(*dialog, "EditTcpPort")->setText("7000");
      Check(*dialog, "CheckBoxIPv6")->setChecked(true);
      Control<QComboBox>(*dialog, "ComboBoxPushPolicy")->setCurrentIndex(0);
      leave(*dialog);
      left = true;
    });
    EXPECT_FALSE(RunSettingsDialog(nullptr, store_, services_)) << way;
    EXPECT_TRUE(left) << way;
    EXPECT_TRUE(store_.Text(Setting::RootPath).empty()) << way;
    EXPECT_EQ(store_.Integer(Setting::TcpPort), 650) << way;
    EXPECT_FALSE(store_.IsOn(Setting::UseIPv6)) << way;
    EXPECT_EQ(store_.Integer(Setting::PushPolicy), 1) << way;
    EXPECT_EQ(TempFolder::ReadFile(SettingsFile()), before) << way;
  }
}

// At 1.35 times on a screen 800 pixels high (the desktop_scaled test runs this so)
// and at the offscreen platform's own size, the dialog fits the screen with OK and
// Cancel in sight, and its boxes scroll where they must.
TEST_F(SettingsDialogTest, FitsItsScreenWithOkAndCancelInSight) {
  TFormSettings dialog(nullptr, store_, services_);
  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  const QRect screen = dialog.screen()->availableGeometry();
  EXPECT_TRUE(screen.contains(dialog.frameGeometry()))
      << "dialog " << dialog.frameGeometry().y() << "+" << dialog.frameGeometry().height()
      << " (inner " << dialog.geometry().y() << "+" << dialog.height() << ") on a screen of "
      << screen.height();
  for (const char* name : {"ButtonOk", "ButtonCancel"}) {
    QPushButton* button = Control<QPushButton>(dialog, name);
    const QRect shown(button->mapToGlobal(QPoint(0, 0)), button->size());
    EXPECT_TRUE(screen.contains(shown)) << name;
  }
  // The last box can be scrolled into view.
  auto* scroll = dialog.findChild<QScrollArea*>("ScrollSettings");
  ASSERT_NE(scroll, nullptr);
  QWidget* last = Edit(dialog, "EditFolderBrowsingSvcName");
  scroll->ensureWidgetVisible(last);
  const QRect lastShown(last->mapTo(scroll->viewport(), QPoint(0, 0)), last->size());
  EXPECT_TRUE(scroll->viewport()->rect().contains(lastShown));
  if (const char* scale = std::getenv("QT_SCALE_FACTOR")) {
    std::cout << "[ scale " << scale << " ] screen " << screen.width() << "x" << screen.height()
              << ", dialog " << dialog.frameGeometry().width() << "x"
              << dialog.frameGeometry().height() << "\n";
  }
}

TEST_F(SettingsDialogTest, GrabShowsTheDialog) {
  store_.SetSetting(Setting::RootPath, Exchange());
  TFormSettings dialog(nullptr, store_, services_);
  dialog.show();
  const QPixmap shot = dialog.grab();
  EXPECT_FALSE(shot.isNull());
  if (const char* folder = std::getenv("QUILLFERN_SCREENSHOTS")) {
    shot.save(QString::fromLocal8Bit(folder) + "/settings.png");
  }
}

}  // namespace
}  // namespace quillfern
