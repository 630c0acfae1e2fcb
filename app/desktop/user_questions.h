#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace quillfern {

// The plain messages and the OK/Cancel confirmations the windows ask. Message
// boxes by default; a test puts its own answers in.
struct UserQuestions {
  std::function<void(QWidget* owner, const QString& text)> message;
  std::function<bool(QWidget* owner, const QString& text)> confirm;
};

UserQuestions MessageBoxQuestions();

}  // namespace quillfern
