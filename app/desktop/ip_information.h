#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>

class QObject;

namespace quillfern {

// This computer's addresses a phone could use: every address of an interface
// that is up, but loopback's, IPv4 first.
QStringList ThisComputersAddresses();

// Where a phone reaches the TCP service: "Connect to 192.168.1.20, port 650" (the
// addresses given, or the one it listens on), "... (this computer only)" on loopback,
// and "TCP/IP is switched off." without a port. IPv6 addresses count only where it
// listens on IPv6.
QString ConnectText(const QString& listen, uint16_t port, bool ipv6, const QStringList& addresses);

// Runs "ip address" without waiting for it and hands its whole standard
// output to done on the UI thread once it has ended; an empty text when it
// could not run. The process belongs to owner and ends with it.
void RunIpAddress(QObject* owner, std::function<void(const QString& output)> done);

}  // namespace quillfern
