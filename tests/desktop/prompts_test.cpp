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
      box->button(ok ? QMessageBox::Ok : QMessageBox::Cancel)->click();
    });
    EXPECT_EQ(AskConfirmation(nullptr, "Clear log?"), ok);
    EXPECT_EQ(seen, "Confirm | Clear log?");
  }
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
