#include "app/desktop/desktop_parts.h"

#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QPlainTextEdit>
#include <QStandardPaths>

#include "app/desktop/form_main.h"
#include "app/settings_store.h"

namespace quillfern {
namespace {

QString KindName(uint8_t kind) {
  switch (kind) {
    case 1:
      return "TCP";
    case 2:
      return "BT_OP";
    case 3:
      return "BT_FB";
    default:
      return "";
  }
}

}  // namespace

DesktopParts::DesktopParts(SettingsStore& settings)
    : settings_(settings), log_(std::make_unique<QPlainTextEdit>()) {
  log_->setWindowTitle("Log");
  log_->setReadOnly(true);
  log_->resize(640, 456);
}

DesktopParts::~DesktopParts() = default;

void DesktopParts::Bind(TFormMain& form) {
  form.AddLog = [this](uint8_t kind, uint16_t slot, const QString& text) {
    AddLog(kind, slot, text);
  };
  form.ShowLog = [this] { ShowLog(); };
  form.ExecuteSettings = [this](QWidget* owner) { ExecuteSettings(owner); };
}

void DesktopParts::AddLog(uint8_t kind, uint16_t slot, const QString& text) {
  log_->appendPlainText(QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm:ss") + "  " +
                        KindName(kind) + "  " + QString::number(slot) + "  " + text);
}

void DesktopParts::ShowLog() {
  log_->show();
  log_->raise();
  log_->activateWindow();
}

void DesktopParts::ExecuteSettings(QWidget* owner) {
  // Until the full settings dialog is in, the exchange folder is what a
  // first start needs: chosen here, starting from the documents folder.
  QString folder = QString::fromStdString(settings_.Text(Setting::RootPath));
  if (folder.isEmpty()) {
    folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QDir().mkpath(folder);
  }
  const QString chosen = QFileDialog::getExistingDirectory(owner, "Select directory", folder);
  if (!chosen.isEmpty()) folder = chosen;
  settings_.SetSetting(Setting::RootPath, folder.toStdString());
  settings_.SaveSettings();
}

}  // namespace quillfern
