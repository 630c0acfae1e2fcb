#pragma once

#include <QString>
#include <functional>

class QWidget;

// The message boxes of the desktop windows, as functions a window holds, so a test can
// answer a question without a person at the screen.
namespace quillfern {

// A question with OK and Cancel: true for OK.
using ConfirmFunction = std::function<bool(QWidget* parent, const QString& question)>;
// A plain message with one OK button.
using MessageFunction = std::function<void(QWidget* parent, const QString& text)>;

// The real boxes: a question titled "Confirm" with OK (default) and Cancel, and a plain
// message (no icon) titled "Quillfern" with OK.
bool AskConfirmation(QWidget* parent, const QString& question);
void ShowPlainMessage(QWidget* parent, const QString& text);

}  // namespace quillfern
