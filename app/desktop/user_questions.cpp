#include "app/desktop/user_questions.h"

#include <QMessageBox>

namespace quillfern {

UserQuestions MessageBoxQuestions() {
  return {
      .message = [](QWidget* owner,
                    const QString& text) { QMessageBox::information(owner, "Quillfern", text); },
      .confirm =
          [](QWidget* owner, const QString& text) {
            return QMessageBox::question(owner, "Quillfern", text,
                                         QMessageBox::Ok | QMessageBox::Cancel,
                                         QMessageBox::Cancel) == QMessageBox::Ok;
          },
  };
}

}  // namespace quillfern
