#pragma once

#include <QPoint>
#include <QWidget>

namespace quillfern {

// Pressing the mouse on it moves its window, as a caption does: through the
// window system's own move where it offers one (X11 window managers, Wayland),
// else by following the mouse. Its children that are not buttons pass the
// mouse through to it.
class TCaptionBar : public QWidget {
  Q_OBJECT

 public:
  explicit TCaptionBar(QWidget* parent = nullptr);

  // Shared with the window's own frame, which acts as a caption too.
  static bool StartMove(QWidget* window, QMouseEvent* event, QPoint& dragOffset);
  static void FollowMove(QWidget* window, QMouseEvent* event, const QPoint& dragOffset);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QPoint dragOffset_;  // UI thread: where the mouse holds the window; null when not dragging
};

}  // namespace quillfern
