#include "app/desktop/desktop_parts.h"

#include "app/desktop/form_log.h"
#include "app/desktop/form_main.h"
#include "app/desktop/form_settings.h"

namespace quillfern {

DesktopParts::DesktopParts(SettingsStore& settings)
    : settings_(settings), log_(std::make_unique<TFormLog>()) {}

DesktopParts::~DesktopParts() = default;

void DesktopParts::Bind(TFormMain& form) {
  form.AddLog = [this](uint8_t kind, uint16_t slot, const std::string& text) {
    log_->AddLog(kind, slot, text);
  };
  form.ShowLog = [this] {
    log_->show();
    log_->raise();
    log_->activateWindow();
  };
  form.ExecuteSettings = [this](QWidget* owner) { RunSettingsDialog(owner, settings_); };
}

}  // namespace quillfern
