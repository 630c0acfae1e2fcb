#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QObject>
#include <QPushButton>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/desktop/desktop_notifications.h"
#include "app/desktop/push_questions.h"
#include "app/desktop/received_notices.h"
#include "app/desktop/shown_text.h"
#include "app/settings_store.h"
#include "tests/bluetooth/private_bus.h"
#include "tests/desktop/desktop_fixture.h"
#include "tests/support/temp_folder.h"

// The desktop notifications of received files and push questions, against a
// notification server and a file manager of the test's own on a private
// session bus.
namespace quillfern::testing {

// org.freedesktop.Notifications as a desktop offers it, recording every call.
class FakeNotificationServer : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Shown {
    uint id = 0;
    uint replaces = 0;
    QString summary;
    QString body;
    QStringList actions;
  };

  FakeNotificationServer(QDBusConnection bus, bool actions, bool markup = false)
      : bus_(bus), actions_(actions), markup_(markup) {}

  std::vector<Shown> shown;
  std::vector<uint> closed;

  // What the user does to a notification.
  void Invoke(uint id, const QString& action) {
    QDBusMessage signal = QDBusMessage::createSignal(
        "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "ActionInvoked");
    signal << id << action;
    bus_.send(signal);
  }
  void Dismiss(uint id) {
    QDBusMessage signal = QDBusMessage::createSignal(
        "/org/freedesktop/Notifications", "org.freedesktop.Notifications", "NotificationClosed");
    signal << id << 2u;
    bus_.send(signal);
  }

 public slots:
  QStringList GetCapabilities() {
    QStringList capabilities{"body"};
    if (actions_) capabilities << "actions";
    if (markup_) capabilities << "body-markup";
    return capabilities;
  }
  uint Notify(const QString&, uint replaces, const QString&, const QString& summary,
              const QString& body, const QStringList& actions, const QVariantMap&, int) {
    const uint id = replaces != 0 ? replaces : nextId_++;
    shown.push_back({id, replaces, summary, body, actions});
    return id;
  }
  void CloseNotification(uint id) { closed.push_back(id); }

 private:
  QDBusConnection bus_;
  bool actions_;
  bool markup_;
  uint nextId_ = 1;
};

// org.freedesktop.FileManager1, recording what it was asked to show.
class FakeFileManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

 public:
  std::vector<QStringList> shownItems;

 public slots:
  void ShowItems(const QStringList& uris, const QString&) { shownItems.push_back(uris); }
};

namespace {

namespace fs = std::filesystem;

// A private session bus with the desktop's services on one connection and
// the program's client on another.
class NotificationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(bus_.Address().empty());
    desktop_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(bus_.Address()), "desktop"));
    program_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(bus_.Address()), "program"));
    ASSERT_TRUE(desktop_->isConnected());
    ASSERT_TRUE(program_->isConnected());
    settings_ = std::make_unique<SettingsStore>(folder_.Base() / "Quillfern.ini");
    settings_->LoadSettings();
  }
  void TearDown() override {
    questions_.reset();
    received_.reset();
    notifications_.reset();
    server_.reset();
    fileManager_.reset();
    desktop_.reset();
    program_.reset();
    QDBusConnection::disconnectFromBus("desktop");
    QDBusConnection::disconnectFromBus("program");
  }

  void StartDesktop(bool actions, bool fileManager, bool markup = false) {
    server_ = std::make_unique<FakeNotificationServer>(*desktop_, actions, markup);
    ASSERT_TRUE(desktop_->registerObject("/org/freedesktop/Notifications", server_.get(),
                                         QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(desktop_->registerService("org.freedesktop.Notifications"));
    if (fileManager) {
      fileManager_ = std::make_unique<FakeFileManager>();
      ASSERT_TRUE(desktop_->registerObject("/org/freedesktop/FileManager1", fileManager_.get(),
                                           QDBusConnection::ExportAllSlots));
      ASSERT_TRUE(desktop_->registerService("org.freedesktop.FileManager1"));
    }
    notifications_ = std::make_unique<TDesktopNotifications>(*program_);
    received_ = std::make_unique<TReceivedNotices>(*notifications_, *settings_, *program_);
    received_->OpenUrl = [this](const QUrl& url) {
      opened_.push_back(url);
      return true;
    };
    questions_ = std::make_unique<TPushQuestions>(*notifications_, *settings_);
    questions_->Bind(
        [this](uint64_t question, PushAnswer answer) { answers_.emplace_back(question, answer); },
        &trayMenu_);
  }

  // Every call the program made so far has reached the desktop: a round
  // trip on the same connection comes back after them.
  // Two round trips: a note waits for the server's capabilities before it
  // is sent, which the first one lets through.
  void Settle() {
    for (int round = 0; round < 2; ++round) {
      bool known = false;
      TDesktopNotifications probe(*program_);
      probe.WhenActionsKnown([&known](bool) { known = true; });
      ASSERT_TRUE(PumpUntil([&] { return known; }));
    }
  }

  // A pushed file as it arrived: on disk (a small picture unless it is
  // there already), and the event that tells it.
  static ServerEvent Received(const fs::path& path, const std::string& peer) {
    if (!fs::exists(path)) TempFolder::WriteFile(path, "\xFF\xD8\xFF\xE0 a picture");
    ServerEvent event;
    event.kind = ServerEventKind::Received;
    event.peer = peer;
    event.object = path.filename().string();
    event.path = path.string();
    event.address = "00:1A:7D:DA:71:13";
    return event;
  }
  static ServerEvent Question(uint64_t id, ServerEventKind kind = ServerEventKind::PushQuestion) {
    ServerEvent event;
    event.kind = kind;
    event.question = id;
    event.peer = "Stranger (00:AA:BB:CC:DD:EE)";
    event.address = "00:AA:BB:CC:DD:EE";
    event.object = "photo.jpg";
    event.total = 2'500'000;
    return event;
  }
  // Asks the question and waits until a notification or dialog shows it.
  void Ask(uint64_t id) {
    bool shown = false;
    const auto connection = QObject::connect(questions_.get(), &TPushQuestions::Shown,
                                             [&](uint64_t question) { shown = question == id; });
    questions_->Event(Question(id));
    ASSERT_TRUE(PumpUntil([&] { return shown; }));
    QObject::disconnect(connection);
  }

  TempFolder folder_;
  PrivateBus bus_;
  std::unique_ptr<QDBusConnection> desktop_;
  std::unique_ptr<QDBusConnection> program_;
  std::unique_ptr<SettingsStore> settings_;
  std::unique_ptr<FakeNotificationServer> server_;
  std::unique_ptr<FakeFileManager> fileManager_;
  std::unique_ptr<TDesktopNotifications> notifications_;
  std::unique_ptr<TReceivedNotices> received_;
  std::unique_ptr<TPushQuestions> questions_;
  QMenu trayMenu_;
  std::vector<QUrl> opened_;
  std::vector<std::pair<uint64_t, PushAnswer>> answers_;
};

TEST_F(NotificationsTest, AReceivedFileIsNotifiedByThePeersNameAndShownInItsFolder) {
  const fs::path file = folder_.Exchange() / "photo 1.jpg";
  for (const bool fileManager : {true, false}) {
    StartDesktop(true, fileManager);
    received_->Received(Received(file, "Phone (00:1A:7D:DA:71:13)"));
    ASSERT_TRUE(PumpUntil([&] { return server_->shown.size() == 1; }));
    const auto shown = server_->shown.front();
    EXPECT_EQ(shown.summary, "File received from Phone (00:1A:7D:DA:71:13)");
    EXPECT_EQ(shown.body, "photo 1.jpg");
    ASSERT_EQ(shown.actions.size(), 4);
    EXPECT_EQ(shown.actions[1], "Open");
    EXPECT_EQ(shown.actions[3], "Show in folder");
    Settle();  // the notification's id has come back

    server_->Invoke(shown.id, shown.actions[2]);
    const QUrl uri = QUrl::fromLocalFile(QString::fromStdString(file.string()));
    if (fileManager) {
      ASSERT_TRUE(PumpUntil([&] { return !fileManager_->shownItems.empty(); }));
      EXPECT_EQ(fileManager_->shownItems.front(), QStringList{uri.toString()});
      EXPECT_TRUE(opened_.empty());
    } else {
      // Nobody owns FileManager1: the folder is opened instead.
      ASSERT_TRUE(PumpUntil([&] { return !opened_.empty(); }));
      EXPECT_EQ(opened_.front(),
                QUrl::fromLocalFile(QString::fromStdString(folder_.Exchange().string())));
    }
    opened_.clear();
    server_->Invoke(shown.id, shown.actions[0]);
    ASSERT_TRUE(PumpUntil([&] { return !opened_.empty(); }));
    EXPECT_EQ(opened_.front(), uri);
    opened_.clear();

    TearDown();
    SetUp();
  }
}

TEST_F(NotificationsTest, PushesOfOnePeerInQuickSuccessionShareOneNotification) {
  StartDesktop(true, true);
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) {
    received_->Received(Received(folder_.Exchange() / name, "Phone (00:1A:7D:DA:71:13)"));
    Settle();  // as pushes come: one after the other
  }
  ASSERT_EQ(server_->shown.size(), 3u);
  const uint first = server_->shown.front().id;
  EXPECT_EQ(server_->shown[1].replaces, first);
  EXPECT_EQ(server_->shown[2].replaces, first);
  EXPECT_EQ(server_->shown[2].summary, "3 files from Phone (00:1A:7D:DA:71:13)");
  EXPECT_EQ(server_->shown[2].body, "a.jpg\nb.jpg\nc.jpg");

  // Another peer has a notification of its own.
  ServerEvent laptop = Received(folder_.Exchange() / "d.jpg", "Laptop (00:11:22:33:44:55)");
  laptop.address = "00:11:22:33:44:55";
  received_->Received(laptop);
  Settle();
  ASSERT_EQ(server_->shown.size(), 4u);
  EXPECT_EQ(server_->shown[3].replaces, 0u);
  EXPECT_EQ(server_->shown[3].summary, "File received from Laptop (00:11:22:33:44:55)");
}

// Pushes that arrive before the server told the first notification's id
// still share that one notification.
TEST_F(NotificationsTest, PushesFasterThanTheServerAnswersShareOneNotification) {
  StartDesktop(true, true);
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) {
    received_->Received(Received(folder_.Exchange() / name, "Phone (00:1A:7D:DA:71:13)"));
  }
  ASSERT_TRUE(PumpUntil([&] {
    return !server_->shown.empty() &&
           server_->shown.back().summary == "3 files from Phone (00:1A:7D:DA:71:13)";
  }));
  Settle();
  const uint first = server_->shown.front().id;
  for (const auto& shown : server_->shown) EXPECT_EQ(shown.id, first);
  server_->Invoke(first, server_->shown.back().actions[0]);
  ASSERT_TRUE(PumpUntil([&] { return !opened_.empty(); }));
  EXPECT_EQ(opened_.back(),
            QUrl::fromLocalFile(QString::fromStdString((folder_.Exchange() / "c.jpg").string())));
}

// A device that pushes on and on grows no list: the count goes on, the
// notification names the last few, Show in folder shows the last files kept.
TEST_F(NotificationsTest, ALongBurstOfPushesKeepsOnlyItsLastFiles) {
  StartDesktop(true, true);
  constexpr int Pushes = TReceivedNotices::BatchFilesKept + 20;
  for (int i = 0; i < Pushes; ++i) {
    received_->Received(Received(folder_.Exchange() / ("f" + std::to_string(i) + ".jpg"),
                                 "Phone (00:1A:7D:DA:71:13)"));
  }
  // The pushes came before the server answered the first Notify: the batch
  // is shown again, whole, once it has.
  const QString summary = QString("%1 files from Phone (00:1A:7D:DA:71:13)").arg(Pushes);
  ASSERT_TRUE(PumpUntil(
      [&] { return !server_->shown.empty() && server_->shown.back().summary == summary; }));
  const auto last = server_->shown.back();
  EXPECT_EQ(last.body, "\u2026\nf115.jpg\nf116.jpg\nf117.jpg\nf118.jpg\nf119.jpg");
  server_->Invoke(last.id, last.actions[2]);
  ASSERT_TRUE(PumpUntil([&] { return !fileManager_->shownItems.empty(); }));
  const QStringList& items = fileManager_->shownItems.back();
  ASSERT_EQ(items.size(), TReceivedNotices::BatchFilesKept);
  EXPECT_TRUE(items.front().endsWith("/f20.jpg"));
  EXPECT_TRUE(items.back().endsWith("/f119.jpg"));
}

TEST_F(NotificationsTest, PushesOverTcpBatchByTheHostWhateverTheirPorts) {
  StartDesktop(true, true);
  for (const char* peer : {"127.0.0.1:50001", "127.0.0.1:50002", "127.0.0.1:50003"}) {
    ServerEvent event = Received(folder_.Exchange() / "a.jpg", peer);
    event.address.clear();
    received_->Received(event);
    Settle();
  }
  ASSERT_EQ(server_->shown.size(), 3u);
  EXPECT_EQ(server_->shown[2].replaces, server_->shown[0].id);
  EXPECT_EQ(server_->shown[2].summary, "3 files from 127.0.0.1");
}

TEST_F(NotificationsTest, ReceivedNotificationOffShowsNone) {
  ASSERT_TRUE(settings_->SetSetting(Setting::ReceivedNotification, 0));
  StartDesktop(true, true);
  received_->Received(Received(folder_.Exchange() / "a.jpg", "Phone (00:1A:7D:DA:71:13)"));
  Settle();
  EXPECT_TRUE(server_->shown.empty());
}

TEST_F(NotificationsTest, AQuestionIsANotificationWhoseButtonsAnswerIt) {
  const std::pair<const char*, PushAnswer> cases[] = {
      {"accept", PushAnswer::Accept},
      {"reject", PushAnswer::Reject},
      {"accept-session", PushAnswer::AcceptUntilDisconnect},
  };
  StartDesktop(true, true);
  uint64_t id = 1;
  for (const auto& [key, answer] : cases) {
    Ask(id);
    const auto shown = server_->shown.back();
    EXPECT_EQ(shown.summary, "Accept a file?");
    EXPECT_EQ(shown.body, "Stranger (00:AA:BB:CC:DD:EE) wants to send photo.jpg, 2.5 MB");
    EXPECT_EQ(shown.actions.size(), 8);
    EXPECT_TRUE(shown.actions.contains("Always accept from this device"));
    server_->Invoke(shown.id, key);
    ASSERT_TRUE(PumpUntil([&] { return answers_.size() == id; }));
    EXPECT_EQ(answers_.back(), std::make_pair(id, answer)) << key;
    // The answered question's notification goes.
    ASSERT_TRUE(PumpUntil([&] { return server_->closed.size() == id; }));
    EXPECT_EQ(server_->closed.back(), shown.id);
    ++id;
  }
  EXPECT_TRUE(trayMenu_.actions().isEmpty());
}

// A device names itself: where the server reads markup, its name is shown as
// given and cannot style or link anything.
TEST_F(NotificationsTest, ThePeersTextIsEscapedWhereTheServerReadsMarkup) {
  StartDesktop(true, true, true);
  ServerEvent question = Question(1);
  question.peer = "<a href=\"http://x\">Eve</a> & co (00:AA:BB:CC:DD:EE)";
  bool shown = false;
  QObject::connect(questions_.get(), &TPushQuestions::Shown, [&](uint64_t) { shown = true; });
  questions_->Event(question);
  ASSERT_TRUE(PumpUntil([&] { return shown; }));
  EXPECT_EQ(server_->shown.back().body,
            "&lt;a href=&quot;http://x&quot;&gt;Eve&lt;/a&gt; &amp; co (00:AA:BB:CC:DD:EE) wants "
            "to send photo.jpg, 2.5 MB");
}

// The desktop's notification server may start after the program: its
// capabilities are asked once it is there, so a peer's text is escaped for
// it all the same.
TEST_F(NotificationsTest, AServerThatStartsLaterIsAskedWhatItReadsAsMarkup) {
  notifications_ = std::make_unique<TDesktopNotifications>(*program_);
  std::optional<bool> actions;
  notifications_->WhenActionsKnown([&actions](bool known) { actions = known; });
  ASSERT_TRUE(PumpUntil([&] { return actions.has_value(); }));
  EXPECT_FALSE(*actions);

  server_ = std::make_unique<FakeNotificationServer>(*desktop_, true, true);
  ASSERT_TRUE(desktop_->registerObject("/org/freedesktop/Notifications", server_.get(),
                                       QDBusConnection::ExportAllSlots));
  ASSERT_TRUE(desktop_->registerService("org.freedesktop.Notifications"));
  TDesktopNotifications::Note note;
  note.summary = "File received from Eve";
  note.body = "<b>photo</b>.jpg";
  std::optional<uint32_t> id;
  notifications_->Notify(note, [&id](uint32_t shown) { id = shown; });
  ASSERT_TRUE(PumpUntil([&] { return id.has_value(); }));
  EXPECT_NE(*id, 0u);
  ASSERT_EQ(server_->shown.size(), 1u);
  EXPECT_EQ(server_->shown.back().body, "&lt;b&gt;photo&lt;/b&gt;.jpg");
  actions.reset();
  notifications_->WhenActionsKnown([&actions](bool known) { actions = known; });
  ASSERT_TRUE(PumpUntil([&] { return actions.has_value(); }));
  EXPECT_TRUE(*actions);
}

TEST_F(NotificationsTest, AQuestionWhoseNotificationWasClosedWaitsInTheTrayMenu) {
  StartDesktop(true, true);
  Ask(7);
  server_->Dismiss(questions_->NotificationOf(7));
  ASSERT_TRUE(PumpUntil([&] { return questions_->MenuOf(7) != nullptr; }));
  QMenu* menu = questions_->MenuOf(7);
  EXPECT_EQ(menu->title(), "Stranger (00:AA:BB:CC:DD:EE) wants to send photo.jpg, 2.5 MB");
  ASSERT_EQ(trayMenu_.actions().size(), 1);
  EXPECT_EQ(trayMenu_.actions().front()->menu(), menu);
  ASSERT_EQ(menu->actions().size(), 4);
  menu->actions().at(0)->trigger();
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_EQ(answers_.back(), std::make_pair(uint64_t{7}, PushAnswer::Accept));
  ASSERT_TRUE(PumpUntil([&] { return trayMenu_.actions().isEmpty(); }));

  // A question that ends unanswered (its time ran out) leaves the menu too.
  Ask(8);
  server_->Dismiss(questions_->NotificationOf(8));
  ASSERT_TRUE(PumpUntil([&] { return questions_->MenuOf(8) != nullptr; }));
  questions_->Event(Question(8, ServerEventKind::PushQuestionEnded));
  ASSERT_TRUE(PumpUntil([&] { return trayMenu_.actions().isEmpty(); }));
  EXPECT_EQ(answers_.size(), 1u);

  // A peer's '&' is shown as it is, not taken as the menu's mnemonic.
  ServerEvent ampersand = Question(9);
  ampersand.peer = "Tom & Jerry (00:AA:BB:CC:DD:EE)";
  bool shown = false;
  const auto connection = QObject::connect(questions_.get(), &TPushQuestions::Shown,
                                           [&](uint64_t question) { shown = question == 9; });
  questions_->Event(ampersand);
  ASSERT_TRUE(PumpUntil([&] { return shown; }));
  QObject::disconnect(connection);
  server_->Dismiss(questions_->NotificationOf(9));
  ASSERT_TRUE(PumpUntil([&] { return questions_->MenuOf(9) != nullptr; }));
  EXPECT_EQ(questions_->MenuOf(9)->menuAction()->iconText(),
            "Tom & Jerry (00:AA:BB:CC:DD:EE) wants to send photo.jpg, 2.5 MB");
}

TEST_F(NotificationsTest, WithoutActionButtonsTheQuestionIsADialogThatHoldsNothingUp) {
  StartDesktop(false, true);
  Ask(3);
  QDialog* dialog = questions_->DialogOf(3);
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_FALSE(dialog->isModal());
  EXPECT_TRUE(server_->shown.empty());
  QPushButton* reject = dialog->findChild<QPushButton*>("reject");
  ASSERT_NE(reject, nullptr);
  reject->click();
  ASSERT_EQ(answers_.size(), 1u);
  EXPECT_EQ(answers_.back(), std::make_pair(uint64_t{3}, PushAnswer::Reject));
  EXPECT_EQ(questions_->DialogOf(3), nullptr);

  // The question's end closes a dialog still open.
  Ask(4);
  QPointer<QDialog> open = questions_->DialogOf(4);
  questions_->Event(Question(4, ServerEventKind::PushQuestionEnded));
  ASSERT_TRUE(PumpUntil([&] { return open.isNull() || !open->isVisible(); }));
  EXPECT_EQ(answers_.size(), 1u);
}

TEST_F(NotificationsTest, AlwaysAcceptStoresTheDeviceInTheSettingsFile) {
  ASSERT_TRUE(settings_->SetSetting(Setting::AlwaysAcceptDevices, "00:1A:7D:DA:71:13"));
  StartDesktop(true, true);
  Ask(5);
  server_->Invoke(server_->shown.back().id, "always-accept");
  ASSERT_TRUE(PumpUntil([&] { return !answers_.empty(); }));
  EXPECT_EQ(answers_.back(), std::make_pair(uint64_t{5}, PushAnswer::AlwaysAccept));
  const std::string file = TempFolder::ReadFile(folder_.Base() / "Quillfern.ini");
  EXPECT_NE(file.find("AlwaysAcceptDevices=00:1A:7D:DA:71:13 00:AA:BB:CC:DD:EE"), std::string::npos)
      << file;
}

// The words of the setting as the user wrote them stay, also one that is no
// device address.
TEST_F(NotificationsTest, AlwaysAcceptKeepsTheWordsAsWritten) {
  ASSERT_TRUE(settings_->SetSetting(Setting::AlwaysAcceptDevices, "00:1A:7D:DA:71:1  nonsense"));
  StartDesktop(true, true);
  Ask(6);
  server_->Invoke(server_->shown.back().id, "always-accept");
  ASSERT_TRUE(PumpUntil([&] { return !answers_.empty(); }));
  const std::string file = TempFolder::ReadFile(folder_.Base() / "Quillfern.ini");
  EXPECT_NE(file.find("\nAlwaysAcceptDevices=00:1A:7D:DA:71:1  nonsense 00:AA:BB:CC:DD:EE\n"),
            std::string::npos)
      << file;
}

const char Launcher[] =
    "[Desktop Entry]\nType=Application\nName=holiday\nExec=sh -c 'touch /tmp/owned'\n";

// "Open" hands the opener nothing that runs: not a launcher, whatever its
// name shows, not a script, not a file marked executable. It shows the file
// in its folder instead, and the notification said why.
TEST_F(NotificationsTest, OpenShowsWhatWouldRunInItsFolderAndTheNotificationSaysWhy) {
  struct Case {
    const char* name;
    const char* content;
    fs::perms executable;
    const char* body;
  };
  const Case cases[] = {
      {"holiday_\u202Egpj.desktop", Launcher, fs::perms::none,
       "holiday_\\u202Egpj.desktop\nOpen shows it in its folder: it is a launcher"},
      {"run.sh", "#!/bin/sh\necho hello\n", fs::perms::none,
       "run.sh\nOpen shows it in its folder: it is a program or script"},
      {"photo.jpg", "\xFF\xD8\xFF\xE0 a picture", fs::perms::others_exec,
       "photo.jpg\nOpen shows it in its folder: it is marked as a program"},
  };
  StartDesktop(true, true);
  int device = 0;
  for (const Case& tested : cases) {
    SCOPED_TRACE(tested.name);
    const fs::path file = folder_.Exchange() / tested.name;
    TempFolder::WriteFile(file, tested.content);
    fs::permissions(file, tested.executable, fs::perm_options::add);
    // A device each, so each file has a notification of its own.
    ServerEvent event = Received(file, "Phone");
    event.address = "00:1A:7D:DA:71:1" + std::to_string(device++);
    const size_t before = server_->shown.size();
    received_->Received(event);
    ASSERT_TRUE(PumpUntil([&] { return server_->shown.size() == before + 1; }));
    const auto shown = server_->shown.back();
    EXPECT_EQ(shown.body, QString::fromUtf8(tested.body));
    Settle();
    const size_t shownItems = fileManager_->shownItems.size();
    server_->Invoke(shown.id, shown.actions[0]);
    ASSERT_TRUE(PumpUntil([&] { return fileManager_->shownItems.size() == shownItems + 1; }));
    EXPECT_EQ(fileManager_->shownItems.back(),
              QStringList{QUrl::fromLocalFile(QString::fromStdString(file.string())).toString()});
  }
  EXPECT_TRUE(opened_.empty());
}

// What counts is the file when Open is clicked: one that became a launcher
// after it was shown is not opened either.
TEST_F(NotificationsTest, OpenLooksAtTheFileAgainWhenClicked) {
  StartDesktop(true, true);
  const fs::path file = folder_.Exchange() / "notes.txt";
  TempFolder::WriteFile(file, "Holiday notes\n");
  received_->Received(Received(file, "Phone (00:1A:7D:DA:71:13)"));
  ASSERT_TRUE(PumpUntil([&] { return server_->shown.size() == 1; }));
  const auto shown = server_->shown.back();
  EXPECT_EQ(shown.body, "notes.txt");
  Settle();
  TempFolder::WriteFile(file, Launcher);
  server_->Invoke(shown.id, shown.actions[0]);
  ASSERT_TRUE(PumpUntil([&] { return !fileManager_->shownItems.empty(); }));
  EXPECT_TRUE(opened_.empty());
}

// A batch grows while its notification is shown: Open and Show in folder
// act on what the notification the user clicked named, not on files that
// came after it.
TEST_F(NotificationsTest, OpenOpensTheFileTheClickedNotificationNamed) {
  StartDesktop(true, true);
  const fs::path first = folder_.Exchange() / "a.jpg";
  const fs::path second = folder_.Exchange() / "b.jpg";
  received_->Received(Received(first, "Phone (00:1A:7D:DA:71:13)"));
  Settle();
  received_->Received(Received(second, "Phone (00:1A:7D:DA:71:13)"));
  Settle();
  ASSERT_EQ(server_->shown.size(), 2u);
  const auto older = server_->shown[0];
  const auto newer = server_->shown[1];
  ASSERT_EQ(newer.replaces, older.id);
  const auto uri = [](const fs::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
  };

  // The click reaches the program after the batch grew.
  server_->Invoke(older.id, older.actions[0]);
  ASSERT_TRUE(PumpUntil([&] { return opened_.size() == 1; }));
  EXPECT_EQ(opened_.back(), uri(first));
  server_->Invoke(older.id, older.actions[2]);
  ASSERT_TRUE(PumpUntil([&] { return fileManager_->shownItems.size() == 1; }));
  EXPECT_EQ(fileManager_->shownItems.back(), QStringList{uri(first).toString()});

  server_->Invoke(newer.id, newer.actions[0]);
  ASSERT_TRUE(PumpUntil([&] { return opened_.size() == 2; }));
  EXPECT_EQ(opened_.back(), uri(second));
}

// A device's name and an object's name show as they are, on one line, and
// the device is named by the address the stack reported, whatever its name
// says.
TEST_F(NotificationsTest, AReceivedFileShowsItsNameOnOneLineAndTheDevicesRealAddress) {
  StartDesktop(true, true);
  const std::string twelveBreaks = "a" + std::string(12, '\n') + ".desktop";
  const fs::path file = folder_.Exchange() / twelveBreaks;
  ServerEvent event = Received(file, "Alice's phone (11:22:33:44:55:66) (AA:BB:CC:DD:EE:FF)");
  event.address = "AA:BB:CC:DD:EE:FF";
  received_->Received(event);
  ASSERT_TRUE(PumpUntil([&] { return server_->shown.size() == 1; }));
  EXPECT_EQ(server_->shown.back().summary,
            "File received from Alice's phone (11:22:33:44:55:66) (AA:BB:CC:DD:EE:FF)");
  QString escaped = "a";
  for (int i = 0; i < 12; ++i) escaped += "\\u000A";
  EXPECT_EQ(server_->shown.back().body,
            escaped + ".desktop\nOpen shows it in its folder: it is a launcher");

  // A name that would push the address out of a summary cut to one line is
  // cut itself; one that would write on lines of its own is shown on one.
  const std::pair<std::string, QString> devices[] = {
      {std::string(200, 'x'), QString(DeviceNameShownChars - 1, 'x') + QChar(0x2026)},
      {"Eve\n\u202Ephone", "Eve\\u000A\\u202Ephone"},
  };
  int device = 0;
  for (const auto& [name, shownName] : devices) {
    const std::string address = "00:00:00:00:00:0" + std::to_string(device++);
    ServerEvent named = Received(folder_.Exchange() / "c.jpg", name + " (" + address + ")");
    named.address = address;
    received_->Received(named);
    ASSERT_TRUE(PumpUntil([&] { return server_->shown.size() == 1 + size_t(device); }));
    EXPECT_EQ(server_->shown.back().summary,
              "File received from " + shownName + " (" + QString::fromStdString(address) + ")");
  }
}

// The push question names the object as it is and the device by its real
// address, in the notification, the dialog and the tray's menu alike.
TEST_F(NotificationsTest, AQuestionShowsTheObjectsNameAsItIsAndTheDevicesRealAddress) {
  const QString text =
      "Alice's phone (11:22:33:44:55:66) (AA:BB:CC:DD:EE:FF) wants to send "
      "holiday_\\u202Egpj\\u000A.desktop, 2.5 MB";
  for (const bool actions : {true, false}) {
    StartDesktop(actions, true);
    ServerEvent question = Question(1);
    question.peer = "Alice's phone (11:22:33:44:55:66) (AA:BB:CC:DD:EE:FF)";
    question.address = "AA:BB:CC:DD:EE:FF";
    question.object = "holiday_\u202Egpj\n.desktop";
    bool shown = false;
    QObject::connect(questions_.get(), &TPushQuestions::Shown, [&](uint64_t) { shown = true; });
    questions_->Event(question);
    ASSERT_TRUE(PumpUntil([&] { return shown; }));
    if (actions) {
      EXPECT_EQ(server_->shown.back().body, text);
      server_->Dismiss(questions_->NotificationOf(1));
      ASSERT_TRUE(PumpUntil([&] { return questions_->MenuOf(1) != nullptr; }));
      EXPECT_EQ(questions_->MenuOf(1)->menuAction()->iconText(), text);
    } else {
      QLabel* label = questions_->DialogOf(1)->findChild<QLabel*>("PushQuestionText");
      ASSERT_NE(label, nullptr);
      EXPECT_EQ(label->text(), text);
    }
    TearDown();
    SetUp();
  }
}

}  // namespace
}  // namespace quillfern::testing

#include "notifications_test.moc"
