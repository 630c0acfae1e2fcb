#include "app/desktop/core_loop_notifier.h"

namespace quillfern {

CoreLoopNotifier::CoreLoopNotifier(EventLoop& loop, QObject* parent)
    : QObject(parent), loop_(loop), notifier_(loop.Descriptor(), QSocketNotifier::Read) {
  connect(&notifier_, &QSocketNotifier::activated, this, [this] { loop_.Dispatch(); });
}

}  // namespace quillfern
