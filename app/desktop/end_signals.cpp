#include "app/desktop/end_signals.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace quillfern {
namespace {

int signalWriter = -1;  // written before the handlers are set, read by them

void OnEndSignal(int) {
  const int savedErrno = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written =
      send(signalWriter, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  errno = savedErrno;
}

}  // namespace

EndSignals::EndSignals(QObject* parent) : QObject(parent) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) return;
  reader_ = UniqueFd(pair[0]);
  signalWriter = pair[1];
  notifier_ = std::make_unique<QSocketNotifier>(reader_.Get(), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    char bytes[16];
    while (read(reader_.Get(), bytes, sizeof bytes) > 0) {
    }
    emit Received();
  });
  struct sigaction action {};
  action.sa_handler = OnEndSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

EndSignals::~EndSignals() {
  if (!reader_) return;
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  close(signalWriter);
  signalWriter = -1;
}

}  // namespace quillfern
