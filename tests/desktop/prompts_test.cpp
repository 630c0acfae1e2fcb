#include "app/desktop/prompts.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace quillfern {
namespace {

// The box that is open, once the event loop has shown it.
QMessageBox* OpenBox() {
  return qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
}

TEST(Prompts, ConfirmationAsksWithOkAndCancel) {
  for (const bool ok : {true, false}) {
    QString seen;
    QTimer::singleShot(0, [&] {
      QMessageBox* box = OpenBox();
      ASSERT_NE(box, nullptr);
      seen = box->windowTitle() + " | " + box->text();
      EXPECT_EQ(box->standardButtons(), QMessageBox::Ok | QMessageBox::Cancel);
      EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::Ok));
      box->button(ok ? QMessageBox::Ok : QMessageBox::Cancel)->click();
    });
    EXPECT_EQ(AskConfirmation(nullptr, "Clear log?"), ok);
    EXPECT_EQ(seen, "Confirm | Clear log?");
  }
}

// A question or message may carry a peer's name: shown as given, never as markup.
TEST(Prompts, BoxesShowTheirTextAsPlainText) {
  const QString text = "Disconnect <b>Eve</b> & <a href=\"x\">co</a>";
  Qt::TextFormat confirmFormat = Qt::AutoText;
  QTimer::singleShot(0, [&] {
    QMessageBox* box = OpenBox();
    ASSERT_NE(box, nullptr);
    confirmFormat = box->textFormat();
    box->button(QMessageBox::Cancel)->click();
  });
  EXPECT_FALSE(AskConfirmation(nullptr, text));
  EXPECT_EQ(confirmFormat, Qt::PlainText);

  Qt::TextFormat messageFormat = Qt::AutoText;
  QTimer::singleShot(0, [&] {
    QMessageBox* box = OpenBox();
    ASSERT_NE(box, nullptr);
    messageFormat = box->textFormat();
    box->button(QMessageBox::Ok)->click();
  });
  ShowPlainMessage(nullptr, text);
  EXPECT_EQ(messageFormat, Qt::PlainText);
}

TEST(Prompts, PlainMessageHasNoIconAndOneButton) {
  QString seen;
  QTimer::singleShot(0, [&] {
    QMessageBox* box = OpenBox();
    ASSERT_NE(box, nullptr);
    seen = box->windowTitle() + " | " + box->text();
    EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
    box->button(QMessageBox::Ok)->click();
  });
  ShowPlainMessage(nullptr, "Invalid root path");
  EXPECT_EQ(seen, "Quillfern | Invalid root path");
}

}  // namespace
}  // namespace quillfern
