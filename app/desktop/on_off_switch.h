#pragma once

#include <QAbstractButton>
#include <functional>

namespace quillfern {

// A two-state switch showing "ON" or "OFF". A click, or a request from the
// program, asks the veto first; only when it allows does the state change and
// Changed follow. All on the UI thread.
class TOnOffSwitch : public QAbstractButton {
  Q_OBJECT

 public:
  explicit TOnOffSwitch(QWidget* parent = nullptr);

  bool IsOn() const { return on_; }
  // Asks the veto for the other state; true when the switch now shows on.
  bool RequestState(bool on);
  QSize sizeHint() const override;

  // What the switch paints with, from its palette: the track of the state, the
  // "ON"/"OFF" on it, and the outline that sets the track off from the window.
  struct Colours {
    QColor track;
    QColor text;
    QColor outline;
  };
  Colours PaintColours() const;

  // Asked before every change with the switch as it still is; false refuses.
  std::function<bool(TOnOffSwitch&)> OnBeforeChange;

 signals:
  void Changed(TOnOffSwitch* sender);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool on_ = false;  // UI thread
};

}  // namespace quillfern
