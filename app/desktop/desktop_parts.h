#pragma once

#include <memory>

class QWidget;

namespace quillfern {

class SettingsStore;
class TFormLog;
class TFormMain;

// The windows the main window opens besides its own: the log window, made
// once at start right after the main window and kept until the program ends,
// and the settings dialog. UI thread only.
class DesktopParts {
 public:
  explicit DesktopParts(SettingsStore& settings);
  ~DesktopParts();
  DesktopParts(const DesktopParts&) = delete;
  DesktopParts& operator=(const DesktopParts&) = delete;

  // Binds the main window's log lines, log window and settings dialog to these.
  void Bind(TFormMain& form);
  TFormLog& Log() const { return *log_; }

 private:
  SettingsStore& settings_;
  std::unique_ptr<TFormLog> log_;
};

}  // namespace quillfern
