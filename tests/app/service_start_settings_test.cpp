#include "app/service_start_settings.h"

#include <gtest/gtest.h>

#include "app/settings_store.h"
#include "server/server.h"

namespace quillfern {
namespace {

// Switching L2CAP takes effect when a Bluetooth service starts again; until then the
// service says it runs with the old choice. TCP has nothing to do with it.
TEST(ServiceStartSettings, TheL2capChoiceWaitsForABluetoothServicesRestart) {
  SettingsStore settings{std::filesystem::path()};
  const ServiceStartSettings push = StartSettingsOf(settings, KindBluetoothObjectPush);
  const ServiceStartSettings browse = StartSettingsOf(settings, KindBluetoothFolderBrowsing);
  const ServiceStartSettings tcp = StartSettingsOf(settings, KindTCP);
  EXPECT_TRUE(push.l2cap);
  settings.SetSetting(Setting::BluetoothL2cap, 0);
  const std::vector<std::string> changed{"L2CAP choice"};
  EXPECT_EQ(ChangedStartSettings(push, StartSettingsOf(settings, KindBluetoothObjectPush)),
            changed);
  EXPECT_EQ(ChangedStartSettings(browse, StartSettingsOf(settings, KindBluetoothFolderBrowsing)),
            changed);
  EXPECT_TRUE(ChangedStartSettings(tcp, StartSettingsOf(settings, KindTCP)).empty());
}

}  // namespace
}  // namespace quillfern
