#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

namespace quillfern {

// One running copy per user: the first start holds a lock file in the user's
// runtime folder and listens on a local socket beside it; a later start asks
// it, through that socket, to show its window, and ends. UI thread only.
class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // folder: where the lock and the socket live ($XDG_RUNTIME_DIR).
  explicit SingleInstance(const QString& folder, QObject* parent = nullptr);
  ~SingleInstance() override;

  // True when this process goes on as the program: it holds the lock, or the
  // copy that holds it did not answer. False when the running copy has shown
  // its window, and this one is to end.
  bool Claim();

  QString LockPath() const { return folder_ + "/Quillfern.lock"; }
  QString SocketPath() const { return folder_ + "/Quillfern.socket"; }

 signals:
  // A later start asked for the window.
  void ShowRequested();

 private:
  bool AskRunningCopy();
  void Serve();

  const QString folder_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer server_;
};

}  // namespace quillfern
