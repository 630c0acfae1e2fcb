#pragma once

#include <QObject>
#include <QSocketNotifier>

#include "platform/event_loop.h"

namespace quillfern {

// Runs the core's event loop inside Qt's: whenever the loop's descriptor is
// readable (a socket notification, a timer, a server event waiting), its
// pending work is dispatched on this, the UI, thread.
class CoreLoopNotifier : public QObject {
  Q_OBJECT

 public:
  explicit CoreLoopNotifier(EventLoop& loop, QObject* parent = nullptr);

 private:
  EventLoop& loop_;
  QSocketNotifier notifier_;
};

}  // namespace quillfern
