#include "app/desktop/desktop_parts.h"

#include "app/desktop/desktop_notifications.h"
#include "app/desktop/form_log.h"
#include "app/desktop/form_main.h"
#include "app/desktop/form_settings.h"
#include "app/desktop/push_questions.h"
#include "app/desktop/received_notices.h"

namespace quillfern {

DesktopParts::DesktopParts(SettingsStore& settings)
    : settings_(settings),
      log_(std::make_unique<TFormLog>()),
      notifications_(std::make_unique<TDesktopNotifications>()),
      received_(std::make_unique<TReceivedNotices>(*notifications_, settings)),
      questions_(std::make_unique<TPushQuestions>(*notifications_, settings)) {}

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
  form.ObjectReceived = [this](const ServerEvent& event) { received_->Received(event); };
  form.PushQuestion = [this](const ServerEvent& event) { questions_->Event(event); };
  questions_->Bind(
      [&form](uint64_t question, PushAnswer answer) { form.AnswerPush(question, answer); },
      form.TrayContextMenu());
}

}  // namespace quillfern
