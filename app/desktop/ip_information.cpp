#include "app/desktop/ip_information.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QProcess>
#include <memory>

namespace quillfern {

QStringList ThisComputersAddresses() {
  QStringList ipv4;
  QStringList ipv6;
  for (const QNetworkInterface& interface : QNetworkInterface::allInterfaces()) {
    const auto flags = interface.flags();
    if (!(flags & QNetworkInterface::IsUp) || (flags & QNetworkInterface::IsLoopBack)) continue;
    for (const QNetworkAddressEntry& entry : interface.addressEntries()) {
      const QHostAddress address = entry.ip();
      if (address.isLoopback()) continue;
      (address.protocol() == QAbstractSocket::IPv4Protocol ? ipv4 : ipv6) << address.toString();
    }
  }
  return ipv4 + ipv6;
}

QString ConnectText(const QString& listen, uint16_t port, bool ipv6, const QStringList& addresses) {
  if (port == 0) return QStringLiteral("TCP/IP is switched off.");
  const QString at = QStringLiteral(", port %1").arg(port);
  if (!listen.isEmpty()) {
    const QHostAddress address(listen);
    const bool local = address.isLoopback();
    return QStringLiteral("Connect to ") + listen + at +
           (local ? QStringLiteral(" (this computer only)") : QString());
  }
  QStringList reachable;
  for (const QString& text : addresses) {
    if (ipv6 || QHostAddress(text).protocol() == QAbstractSocket::IPv4Protocol) reachable << text;
  }
  if (reachable.isEmpty()) {
    return QStringLiteral("No network address: connect on this computer to 127.0.0.1") + at;
  }
  return QStringLiteral("Connect to ") + reachable.join(QStringLiteral(" or ")) + at;
}

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
