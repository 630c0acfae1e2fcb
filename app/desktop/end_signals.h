#pragma once

#include <QObject>
#include <QSocketNotifier>

#include "platform/unique_fd.h"

namespace quillfern {

// SIGINT and SIGTERM (Ctrl+C, the session's end, systemd) reach the UI thread
// as the Received signal instead of ending the process on the spot, so the
// servers can end their sessions first. The handler only writes a byte to a
// socket pair; the signal mask is left alone, so the programs the window
// starts get the usual one. One instance per process.
class EndSignals : public QObject {
  Q_OBJECT

 public:
  explicit EndSignals(QObject* parent = nullptr);
  ~EndSignals() override;

 signals:
  void Received();

 private:
  UniqueFd reader_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace quillfern
