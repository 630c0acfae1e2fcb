#include "tests/desktop/desktop_fixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>

#include "app/desktop/on_off_switch.h"
#include "tcp/server_tcp.h"
#include "tests/support/obex_client.h"

namespace quillfern::testing {

bool PumpUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

DesktopPlaces::DesktopPlaces() {
  std::filesystem::create_directories(Runtime());
  std::filesystem::permissions(Runtime(), std::filesystem::perms::owner_all);
  std::filesystem::create_directories(Config());
  runtime_.Set(Runtime().string());
  config_.Set(Config().string());
  home_.Set(folder.Base().string());
}

MainWindowFixture::MainWindowFixture() {
  settings.SetSetting(Setting::RootPath, places.folder.Exchange().string());
  settings.SetSetting(Setting::TcpPort, 0);  // the system chooses a free port
}

MainWindowFixture::~MainWindowFixture() {
  form.reset();
}

TFormMain& MainWindowFixture::Form() {
  if (!form) {
    form = std::make_unique<TFormMain>(settings);
    form->Message = [this](QWidget*, const QString& text) {
      messages.push_back(text);
      order.push_back("message: " + text.toStdString());
    };
    form->Confirm = [this](QWidget*, const QString& text) {
      questions.push_back(text);
      order.push_back("question: " + text.toStdString());
      return answer;
    };
    form->AddLog = [this](uint8_t kind, uint16_t slot, const std::string& text) {
      log.push_back({kind, slot, QString::fromStdString(text)});
    };
    form->ExecuteSettings = [this](QWidget*) {
      ++settingsDialogs;
      order.push_back(form->isVisible() ? "settings while shown" : "settings");
    };
  }
  return *form;
}

bool MainWindowFixture::SwitchOn(int service) {
  return Form().Switch(service)->RequestState(true);
}

uint16_t MainWindowFixture::TcpPort() const {
  return form->TcpServer()->Port;
}

HeldClient::HeldClient(uint16_t port) : thread_([this, port] { Run(port); }) {}

HeldClient::~HeldClient() {
  Release();
  thread_.join();
}

void HeldClient::Run(uint16_t port) {
  ObexClient client(5000);
  if (client.Open("127.0.0.1", port) != 0 || client.Connect().Code() != 0xA0) {
    state_ = Refused;
    return;
  }
  state_ = Connected;
  while (!release_) {
    if (client.WaitForClose(10)) {
      state_ = ClosedByServer;
      return;
    }
  }
  client.Close();
  state_ = Released;
}

}  // namespace quillfern::testing
