#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/desktop/form_main.h"
#include "app/settings_store.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

namespace quillfern::testing {

// Runs Qt's and the core's events until done() holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 5000);

// The per-user folders of a test: runtime, configuration and home in a
// temporary folder, with an exchange folder beside them.
class DesktopPlaces {
 public:
  DesktopPlaces();
  TempFolder folder;
  std::filesystem::path Runtime() const { return folder.Base() / "run"; }
  std::filesystem::path Config() const { return folder.Base() / "config"; }
  std::filesystem::path SettingsFile() const { return Config() / "Quillfern.ini"; }

 private:
  ScopedEnvironment runtime_{"XDG_RUNTIME_DIR"};
  ScopedEnvironment config_{"XDG_CONFIG_HOME"};
  ScopedEnvironment home_{"HOME"};
};

// A main window over its own settings, whose questions, log lines and
// settings dialog are recorded; every question is answered with answer.
class MainWindowFixture : public ::testing::Test {
 protected:
  MainWindowFixture();
  ~MainWindowFixture() override;

  TFormMain& Form();  // made at first use, so a test can set the settings first
  // Switches a service on through its switch, as a click does.
  bool SwitchOn(int service);
  uint16_t TcpPort() const;

  struct LogLine {
    uint8_t kind;
    uint16_t slot;
    QString text;
  };

  DesktopPlaces places;
  SettingsStore settings{places.SettingsFile()};
  std::unique_ptr<TFormMain> form;
  std::vector<QString> messages;   // plain messages, in order
  std::vector<QString> questions;  // confirmations, in order
  std::vector<std::string> order;  // messages, questions and the settings dialog, in order
  bool answer = true;
  std::vector<LogLine> log;
  int settingsDialogs = 0;
};

// An OBEX client on a thread of its own, on 127.0.0.1: it connects, then
// holds the connection until released or closed by the server.
class HeldClient {
 public:
  explicit HeldClient(uint16_t port);
  ~HeldClient();
  HeldClient(const HeldClient&) = delete;
  HeldClient& operator=(const HeldClient&) = delete;

  enum State : int { Connecting, Connected, Refused, ClosedByServer, Released };
  State Current() const { return state_.load(); }
  void Release() { release_ = true; }

 private:
  void Run(uint16_t port);
  std::atomic<State> state_{Connecting};
  std::atomic<bool> release_{false};
  std::thread thread_;
};

}  // namespace quillfern::testing
