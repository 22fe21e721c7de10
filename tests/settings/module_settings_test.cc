// The DoPump setting read from the per-process property store.
#include "settings/module_settings.h"

#include <gtest/gtest.h>

#include "settings/property_file_client.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

TEST(ModuleSettingsTest, DoPumpComesFromTheProcessStore) {
  test::TestEnv env;
  test::PropertyServer server;
  PropertyStoreSettings settings;
  // No server yet: absent, at once.
  EXPECT_FALSE(settings.ReadModuleSetting(kDoPumpSetting).has_value());
  ASSERT_TRUE(server.Start());
  EXPECT_FALSE(settings.ReadModuleSetting(kDoPumpSetting).has_value());

  PropertyFileClient scratch("", kStoreScratch);
  ASSERT_TRUE(scratch.WriteString(nullptr, kDoPumpSetting, "17", false));
  InstallPropertyStoreSettings();
  EXPECT_EQ(GetSettingsSource()->ReadModuleSetting(kDoPumpSetting), 17);
  ASSERT_TRUE(scratch.WriteString(nullptr, kDoPumpSetting, "0", false));
  EXPECT_EQ(settings.ReadModuleSetting(kDoPumpSetting), 0);
  ASSERT_TRUE(scratch.WriteString(nullptr, kDoPumpSetting, "seven", false));
  EXPECT_FALSE(settings.ReadModuleSetting(kDoPumpSetting).has_value());
  SetSettingsSource(nullptr);
}

}  // namespace
}  // namespace tw
