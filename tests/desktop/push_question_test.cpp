#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDialog>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "app/desktop/desktop_notifications.h"
#include "app/desktop/push_questions.h"
#include "bluetooth/loopback_stack.h"
#include "bluetooth/transport_bluetooth.h"
#include "obex/packet.h"
#include "tests/bluetooth/private_bus.h"
#include "tests/desktop/desktop_fixture.h"
#include "tests/support/obex_client.h"
#include "tests/support/temp_folder.h"

// A push from a phone the user never chose, over the loopback radio, into
// the main window's Object Push service with PushPolicy "ask", and the same
// phone browsing its Folder Browsing service: the question shows, and its
// answer decides the push or the connection. The session bus here has no
// notification server, so the question is the dialog.
namespace quillfern::testing {
namespace {

namespace fs = std::filesystem;

constexpr BluetoothAddress StrangerAddress = 0x00AABBCCDDEE;

// The visible dialog of the given object name, once it shows.
QDialog* WaitForDialog(const QString& objectName) {
  QDialog* dialog = nullptr;
  PumpUntil([&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      if (widget->objectName() == objectName && widget->isVisible()) {
        dialog = static_cast<QDialog*>(widget);
      }
    }
    return dialog != nullptr;
  });
  return dialog;
}

class PushQuestionWindow : public MainWindowFixture {
 protected:
  void SetUp() override {
    ASSERT_FALSE(bus_.Address().empty());
    program_ = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromStdString(bus_.Address()), "push-question"));
    fs::create_directories(Air());
    fs::create_directories(folder_.Exchange());
    radio_.Set(("loopback:" + Air().string()).c_str());
    settings.SetSetting(Setting::PushPolicy, 1);
    ASSERT_EQ(settings.Integer(Setting::PushPolicy), 1);
    ASSERT_TRUE(settings.SetSetting(Setting::RootPath, folder_.Exchange().string()));
    notifications_ = std::make_unique<TDesktopNotifications>(*program_);
    questions_ = std::make_unique<TPushQuestions>(*notifications_, settings);
    questions_->Bind(
        [this](uint64_t question, PushAnswer given) { Form().AnswerPush(question, given); },
        Form().TrayContextMenu());
    Form().PushQuestion = [this](const ServerEvent& event) { questions_->Event(event); };
    ASSERT_TRUE(SwitchOn(ServiceObjectPush));
  }
  void TearDown() override {
    form.reset();
    questions_.reset();
    notifications_.reset();
    program_.reset();
    QDBusConnection::disconnectFromBus("push-question");
  }

  fs::path Air() const { return folder_.Base() / "air"; }

  TempFolder folder_;
  ScopedEnvironment radio_{"QUILLFERN_BLUETOOTH"};
  PrivateBus bus_;
  std::unique_ptr<QDBusConnection> program_;
  std::unique_ptr<TDesktopNotifications> notifications_;
  std::unique_ptr<TPushQuestions> questions_;
};

TEST_F(PushQuestionWindow, TheAnswerInTheDialogDecidesThePush) {
  const std::pair<const char*, uint8_t> cases[] = {{"accept", RspSuccess},
                                                   {"reject", RspForbidden}};
  std::error_code error;
  auto phone = LoopbackBluetoothStack::Create(Air(), StrangerAddress, "Stranger", error);
  ASSERT_TRUE(phone) << error.message();
  for (const auto& [key, expected] : cases) {
    const std::string name = std::string(key) + ".jpg";
    std::atomic<int> code{-1};
    std::thread push([&] {
      ObexClient client([&phone](EventLoop& loop, TOBEXConnection& record) {
        auto transport = std::make_unique<TOBEXTransportBTMS>(loop, record, *phone);
        transport->PeerAddress = LoopbackRadioAddress;
        return transport;
      });
      client.Connection().Mode = ModeInbox;
      if (client.Open() != 0 || client.Connect().Code() != RspSuccess) return;
      const std::u16string object(name.begin(), name.end());
      code = client.Put(object, Bytes(2048, 'p')).Code();
      client.Disconnect();
    });
    QDialog* dialog = WaitForDialog("PushQuestionDialog");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->findChild<QLabel*>("PushQuestionText")->text(),
              QString("Stranger (00:AA:BB:CC:DD:EE) wants to send %1, 2 kB")
                  .arg(QString::fromStdString(name)));
    if (const char* shots = std::getenv("QUILLFERN_SHOT_DIR"); shots && *shots) {
      dialog->grab().save(QString::fromStdString(std::string(shots) + "/push-question.png"));
    }
    dialog->findChild<QPushButton*>(key)->click();
    // The main thread goes on serving the core while the push finishes.
    ASSERT_TRUE(PumpUntil([&] { return code.load() != -1; }));
    push.join();
    EXPECT_EQ(code.load(), expected) << key;
    EXPECT_EQ(fs::exists(folder_.Exchange() / name), expected == RspSuccess) << key;
  }
}

// Folder Browsing asks about the device instead of refusing it: "Allow once"
// lets that connection in, "Refuse" answers the CONNECT with Service
// Unavailable, and "Always" makes the device a chosen one, kept in the
// settings and counted at once by Object Push too (its deletes go through).
TEST_F(PushQuestionWindow, TheAnswerToTheBrowseQuestionDecidesTheConnection) {
  ASSERT_TRUE(SwitchOn(ServiceFolderBrowsing));
  TempFolder::WriteFile(folder_.Exchange() / "old.txt", "old");
  std::error_code error;
  auto phone = LoopbackBluetoothStack::Create(Air(), StrangerAddress, "Stranger", error);
  ASSERT_TRUE(phone) << error.message();
  const auto client = [&phone](uint8_t mode) {
    auto made = std::make_unique<ObexClient>([&phone](EventLoop& loop, TOBEXConnection& record) {
      auto transport = std::make_unique<TOBEXTransportBTMS>(loop, record, *phone);
      transport->PeerAddress = LoopbackRadioAddress;
      return transport;
    });
    made->Connection().Mode = mode;
    return made;
  };
  const Bytes target(FolderBrowsingTarget.begin(), FolderBrowsingTarget.end());
  const std::pair<const char*, uint8_t> cases[] = {
      {"allow-once", RspSuccess}, {"refuse", RspServiceUnavailable}, {"allow-always", RspSuccess}};
  for (const auto& [key, expected] : cases) {
    std::atomic<int> code{-1};
    // Joined however the test ends, so that a failure is reported, not a crash.
    std::jthread browse([&] {
      auto browser = client(ModeFolderBrowsing);
      if (browser->Open() != 0) return;
      code = browser->Connect(65535, target).Code();
      if (code == RspSuccess) browser->Disconnect();
    });
    QDialog* dialog = WaitForDialog("BrowseQuestionDialog");
    ASSERT_NE(dialog, nullptr) << key;
    EXPECT_EQ(dialog->windowTitle(), "Allow browsing?");
    EXPECT_EQ(dialog->findChild<QLabel*>("PushQuestionText")->text(),
              "Let Stranger (00:AA:BB:CC:DD:EE) browse and change the files in the exchange "
              "folder?");
    EXPECT_EQ(dialog->findChildren<QPushButton*>().size(), 3);
    dialog->findChild<QPushButton*>(key)->click();
    ASSERT_TRUE(PumpUntil([&] { return code.load() != -1; })) << key;
    browse.join();
    EXPECT_EQ(code.load(), expected) << key;
  }
  EXPECT_EQ(settings.Text(Setting::AlwaysAcceptDevices), "00:AA:BB:CC:DD:EE");

  // Chosen now: no question, on either service.
  std::atomic<int> browsed{-1};
  std::atomic<int> deleted{-1};
  std::jthread again([&] {
    auto browser = client(ModeFolderBrowsing);
    if (browser->Open() == 0) browsed = browser->Connect(65535, target).Code();
    auto pusher = client(ModeInbox);
    if (pusher->Open() == 0 && pusher->Connect().Code() == RspSuccess) {
      deleted = pusher->Delete(u"old.txt").Code();
    }
  });
  ASSERT_TRUE(PumpUntil([&] { return deleted.load() != -1; }));
  again.join();
  EXPECT_EQ(browsed.load(), RspSuccess);
  EXPECT_EQ(deleted.load(), RspSuccess);
  EXPECT_FALSE(fs::exists(folder_.Exchange() / "old.txt"));
}

}  // namespace
}  // namespace quillfern::testing
