#pragma once

#include <QString>
#include <functional>

class QObject;

namespace quillfern {

// Runs "ip address" without waiting for it and hands its whole standard
// output to done on the UI thread once it has ended; an empty text when it
// could not run. The process belongs to owner and ends with it.
void RunIpAddress(QObject* owner, std::function<void(const QString& output)> done);

}  // namespace quillfern
