#pragma once

#include <QString>
#include <cstdint>
#include <memory>

class QPlainTextEdit;
class QWidget;

namespace quillfern {

class SettingsStore;
class TFormMain;

// The windows the main window opens besides its own: the log window and the
// settings dialog. Made once at start, right after the main window, and kept
// until the program ends. UI thread only.
class DesktopParts {
 public:
  explicit DesktopParts(SettingsStore& settings);
  ~DesktopParts();
  DesktopParts(const DesktopParts&) = delete;
  DesktopParts& operator=(const DesktopParts&) = delete;

  // Binds the main window's log, log window and settings dialog to these.
  void Bind(TFormMain& form);

  void AddLog(uint8_t kind, uint16_t slot, const QString& text);
  void ShowLog();
  void ExecuteSettings(QWidget* owner);

 private:
  SettingsStore& settings_;
  std::unique_ptr<QPlainTextEdit> log_;
};

}  // namespace quillfern
