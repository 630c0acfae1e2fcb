#include <QApplication>
#include <QMouseEvent>
#include <QPointer>

#include "tests/desktop/desktop_fixture.h"

namespace quillfern::testing {
namespace {

using Caption = MainWindowFixture;

// Presses the left button on the widget and drags by the offset; on a
// platform without a window manager's move the window follows the mouse.
void Drag(QWidget* widget, QPoint at, QPoint by) {
  const QPoint global = widget->mapToGlobal(at);
  QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(widget, &press);
  QMouseEvent move(QEvent::MouseMove, at + by, global + by, Qt::NoButton, Qt::LeftButton,
                   Qt::NoModifier);
  QApplication::sendEvent(widget, &move);
  QMouseEvent release(QEvent::MouseButtonRelease, at + by, global + by, Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(widget, &release);
}

TEST_F(Caption, DraggingTheTitleBarMovesTheWindowAndTheBodyDoesNot) {
  Form().show();
  ASSERT_TRUE(PumpUntil([&] { return Form().isVisible(); }));
  QWidget* bar = Form().findChild<QWidget*>("PanelTitleBar");
  QWidget* body = Form().findChild<QWidget*>("PanelBody");
  ASSERT_NE(bar, nullptr);
  ASSERT_NE(body, nullptr);

  const QPoint before = Form().pos();
  Drag(bar, {100, 10}, {50, 30});
  EXPECT_EQ(Form().pos(), before + QPoint(50, 30));

  Drag(body, {200, 5}, {40, 40});
  EXPECT_EQ(Form().pos(), before + QPoint(50, 30));
}

}  // namespace
}  // namespace quillfern::testing
