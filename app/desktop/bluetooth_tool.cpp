#include "app/desktop/bluetooth_tool.h"

#include <QProcess>
#include <QStandardPaths>

namespace quillfern {

std::optional<BluetoothTool> FindBluetoothTool() {
  const BluetoothTool known[] = {
      {"blueman-manager", {}},
      {"gnome-control-center", {"bluetooth"}},
      {"systemsettings", {"kcm_bluetooth"}},
      {"kcmshell5", {"bluedevil"}},
      {"blueberry", {}},
  };
  for (const BluetoothTool& tool : known) {
    const QString path = QStandardPaths::findExecutable(tool.program);
    if (!path.isEmpty()) return BluetoothTool{path, tool.arguments};
  }
  return std::nullopt;
}

bool StartBluetoothTool(const BluetoothTool& tool) {
  return QProcess::startDetached(tool.program, tool.arguments);
}

}  // namespace quillfern
