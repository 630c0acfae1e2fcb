#pragma once

#include <memory>

class QWidget;

namespace quillfern {

class SettingsStore;
class TFormLog;
class TDesktopNotifications;
class TFormMain;
class TPushQuestions;
class TReceivedNotices;

// The windows the main window opens besides its own: the log window, made
// once at start right after the main window and kept until the program ends,
// the settings dialog, and the desktop notifications of received files and
// push questions. UI thread only.
class DesktopParts {
 public:
  explicit DesktopParts(SettingsStore& settings);
  ~DesktopParts();
  DesktopParts(const DesktopParts&) = delete;
  DesktopParts& operator=(const DesktopParts&) = delete;

  // Binds the main window's log lines, log window and settings dialog to these.
  void Bind(TFormMain& form);
  TFormLog& Log() const { return *log_; }
  TReceivedNotices& Received() const { return *received_; }
  TPushQuestions& Questions() const { return *questions_; }

 private:
  SettingsStore& settings_;
  std::unique_ptr<TFormLog> log_;
  std::unique_ptr<TDesktopNotifications> notifications_;
  std::unique_ptr<TReceivedNotices> received_;
  std::unique_ptr<TPushQuestions> questions_;
};

}  // namespace quillfern
