#include "app/desktop/prompts.h"

#include <QMessageBox>

namespace quillfern {

bool AskConfirmation(QWidget* parent, const QString& question) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), question,
                  QMessageBox::Ok | QMessageBox::Cancel, parent);
  box.setDefaultButton(QMessageBox::Ok);
  // A question may name a peer, which names itself: never markup.
  box.setTextFormat(Qt::PlainText);
  return box.exec() == QMessageBox::Ok;
}

void ShowPlainMessage(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Quillfern"), text, QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace quillfern
