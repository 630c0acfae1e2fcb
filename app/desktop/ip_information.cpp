#include "app/desktop/ip_information.h"

#include <QProcess>
#include <memory>

namespace quillfern {

void RunIpAddress(QObject* owner, std::function<void(const QString& output)> done) {
  auto* process = new QProcess(owner);
  process->setProcessChannelMode(QProcess::SeparateChannels);
  auto shared = std::make_shared<std::function<void(const QString&)>>(std::move(done));
  auto finish = [process, shared](const QString& output) {
    if (!*shared) return;  // finished and errorOccurred may both come
    auto callback = std::move(*shared);
    *shared = nullptr;
    process->deleteLater();
    callback(output);
  };
  QObject::connect(process, &QProcess::finished, process,
                   [process, finish](int, QProcess::ExitStatus) {
                     finish(QString::fromLocal8Bit(process->readAllStandardOutput()));
                   });
  QObject::connect(process, &QProcess::errorOccurred, process,
                   [finish](QProcess::ProcessError error) {
                     if (error == QProcess::FailedToStart) finish({});
                   });
  process->start("ip", {"address"});
}

}  // namespace quillfern
