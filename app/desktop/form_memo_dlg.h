#pragma once

#include <QDialog>

class QPlainTextEdit;

namespace quillfern {

// A text window for a command's output: read-only, silver on black in a
// fixed-width font, scrolled rather than wrapped, above the other windows.
class TFormMemoDlg : public QDialog {
  Q_OBJECT

 public:
  TFormMemoDlg(const QString& title, const QString& text, QWidget* parent = nullptr);

  QPlainTextEdit* Memo1 = nullptr;
};

// Opens the text window, modal to the application but without waiting for
// it; it deletes itself when closed.
TFormMemoDlg* ShowMemo(QWidget* parent, const QString& title, const QString& text);

}  // namespace quillfern
