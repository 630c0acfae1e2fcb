#include "app/desktop/single_instance.h"

#include <QDir>
#include <QLocalSocket>

#include "platform/debug.h"

namespace quillfern {
namespace {

constexpr QByteArrayView ShowRequest = "show\n";
constexpr QByteArrayView ShownAnswer = "shown\n";
// How long a later start waits for the running copy to answer; then it runs
// on its own rather than not at all.
constexpr int AnswerTimeoutMs = 3000;

}  // namespace

SingleInstance::SingleInstance(const QString& folder, QObject* parent)
    : QObject(parent), folder_(folder) {}

SingleInstance::~SingleInstance() {
  server_.close();
  if (lock_) lock_->unlock();
}

bool SingleInstance::Claim() {
  QDir().mkpath(folder_);
  lock_ = std::make_unique<QLockFile>(LockPath());
  // A lock is stale only when its owner is gone, however old it is.
  lock_->setStaleLockTime(0);
  if (!lock_->tryLock(100)) {
    lock_.reset();
    if (AskRunningCopy()) return false;
    DebugOutput("Quillfern: the running copy did not answer; starting anyway\n");
    return true;
  }
  // A socket a crashed copy left behind would block the listen.
  QLocalServer::removeServer(SocketPath());
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_.listen(SocketPath())) {
    DebugOutput(
        "Quillfern: cannot listen for later starts: " + server_.errorString().toStdString() + "\n");
  }
  connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::Serve);
  return true;
}

bool SingleInstance::AskRunningCopy() {
  QLocalSocket socket;
  socket.connectToServer(SocketPath());
  if (!socket.waitForConnected(AnswerTimeoutMs)) return false;
  socket.write(ShowRequest.data(), ShowRequest.size());
  if (!socket.waitForBytesWritten(AnswerTimeoutMs)) return false;
  QByteArray answer;
  while (answer.size() < ShownAnswer.size() && socket.waitForReadyRead(AnswerTimeoutMs)) {
    answer += socket.readAll();
  }
  return answer.startsWith(ShownAnswer.toByteArray());
}

void SingleInstance::Serve() {
  while (QLocalSocket* peer = server_.nextPendingConnection()) {
    connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
    connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
      // Requests are one short line; anything else is dropped with the peer.
      if (!peer->canReadLine()) {
        if (peer->bytesAvailable() > 64) peer->abort();
        return;
      }
      const QByteArray line = peer->readLine(64);
      if (line == ShowRequest.toByteArray()) {
        DebugOutput("Quillfern: a later start asked for the window\n");
        emit ShowRequested();
        peer->write(ShownAnswer.data(), ShownAnswer.size());
        peer->flush();
      }
      peer->disconnectFromServer();
    });
  }
}

}  // namespace quillfern
