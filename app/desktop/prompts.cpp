#include "app/desktop/prompts.h"

#include <QMessageBox>

namespace quillfern {

bool AskConfirmation(QWidget* parent, const QString& question) {
  return QMessageBox::question(parent, QStringLiteral("Confirm"), question,
                               QMessageBox::Ok | QMessageBox::Cancel,
                               QMessageBox::Ok) == QMessageBox::Ok;
}

void ShowPlainMessage(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quillfern"), text, QMessageBox::Ok, parent);
  box.exec();
}

}  // namespace quillfern
