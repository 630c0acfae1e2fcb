#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace quillfern {

// The desktop's Bluetooth settings tool: the first of the known ones that is
// installed (Blueman, GNOME's, KDE's, Blueberry), as program and arguments.
struct BluetoothTool {
  QString program;
  QStringList arguments;
};
std::optional<BluetoothTool> FindBluetoothTool();

// Starts it on its own; false when it would not start.
bool StartBluetoothTool(const BluetoothTool& tool);

}  // namespace quillfern
