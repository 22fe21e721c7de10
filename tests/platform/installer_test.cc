// The installer against a real registry file, for what TWSccSetup's tests
// (which register, unregister and follow the registration to the module)
// cannot reach: which provider key counts as ours, the Photoshop plug-in's
// place, and the file operations that place the plug-in.
#include "platform/installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

class InstallerTest : public ::testing::Test {
 protected:
  void Write(const std::string& key, const std::string& name, const std::string& data) {
    ASSERT_EQ(kRegistryOk, registry_->SetStrings({{key, name, data}})) << registry_->ErrorText();
  }

  test::TestEnv env_;
  std::unique_ptr<Registry> registry_ = OpenMachineRegistry();
  ProviderInstaller installer_{registry_.get(), test::BinDir()};
};

TEST_F(InstallerTest, RegisteredMeansTheProviderKeyNamesThisProductInAnyCase) {
  Write("SOFTWARE\\SourceCodeControlProvider", "ProviderRegKey", "SOFTWARE\\HALVORN\\veltrane");
  EXPECT_TRUE(installer_.IsRegistered());
  Write("SOFTWARE\\SourceCodeControlProvider", "ProviderRegKey", "Software\\Other\\Provider");
  EXPECT_FALSE(installer_.IsRegistered());
  EXPECT_NE(std::string::npos, installer_.LastError().find("another provider"));
  Write("SOFTWARE\\SourceCodeControlProvider", "ProviderRegKey", std::string(1024, 'x'));
  EXPECT_FALSE(installer_.IsRegistered());
}

// What an uninstallation takes away is this product's: another provider's
// entry, a "Veltrane" entry naming another key and values others keep in
// the product's key stay, and so do the keys that still hold them.
TEST_F(InstallerTest, RemovingTheRegistrationTakesOnlyThisProductsEntries) {
  bool removed = true;
  EXPECT_TRUE(installer_.RemoveRegistration(&removed));
  EXPECT_FALSE(removed) << "nothing was there";
  Write(kInstalledProvidersKey, "Other", "Software\\Other\\Provider");
  ASSERT_TRUE(installer_.Register()) << installer_.LastError();
  ASSERT_TRUE(installer_.Unregister());
  ASSERT_TRUE(installer_.RemoveRegistration(&removed)) << installer_.LastError();
  EXPECT_TRUE(removed);
  std::string data;
  EXPECT_EQ(kRegistryNotFound, registry_->OpenKey(kProductRegistryKey));
  EXPECT_EQ(kRegistryNotFound, registry_->OpenKey(kMakerRegistryKey));
  EXPECT_EQ(kRegistryNotFound,
            registry_->QueryString(kInstalledProvidersKey, kProviderName, 1024, &data));
  ASSERT_EQ(kRegistryOk, registry_->QueryString(kInstalledProvidersKey, "Other", 1024, &data));
  EXPECT_EQ("Software\\Other\\Provider", data);

  // The desktop client's own value keeps the product key; the key of
  // another product of the maker keeps the maker's.
  ASSERT_TRUE(installer_.Register());
  Write(kProductRegistryKey, "ClientFolder", "/opt/veltrane");
  Write("Software\\Halvorn\\Viewer", "Path", "/opt/viewer");
  Write(kInstalledProvidersKey, kProviderName, "Software\\Elsewhere\\Veltrane");
  ASSERT_TRUE(installer_.RemoveRegistration(&removed)) << installer_.LastError();
  EXPECT_TRUE(removed);
  EXPECT_EQ(kRegistryNotFound,
            registry_->QueryString(kProductRegistryKey, kServerPathValue, 1024, &data));
  EXPECT_EQ(kRegistryNotFound,
            registry_->QueryString(kProductRegistryKey, kServerNameValue, 1024, &data));
  EXPECT_EQ(kRegistryOk, registry_->QueryString(kProductRegistryKey, "ClientFolder", 1024, &data));
  EXPECT_EQ(kRegistryOk, registry_->OpenKey("Software\\Halvorn\\Viewer"));
  ASSERT_EQ(kRegistryOk,
            registry_->QueryString(kInstalledProvidersKey, kProviderName, 1024, &data));
  EXPECT_EQ("Software\\Elsewhere\\Veltrane", data) << "an entry naming another key stays";
  EXPECT_EQ(kRegistryOk,
            registry_->QueryString(kProviderRootKey, kProviderRegKeyValue, 1024, &data))
      << "the default is Unregister's to remove";

  ASSERT_EQ(kRegistryOk, registry_->DeleteValue(kProductRegistryKey, "ClientFolder"));
  ASSERT_TRUE(installer_.Register());
  ASSERT_TRUE(installer_.RemoveRegistration(&removed)) << installer_.LastError();
  EXPECT_EQ(kRegistryNotFound, registry_->OpenKey(kProductRegistryKey));
  EXPECT_EQ(kRegistryOk, registry_->OpenKey("Software\\Halvorn\\Viewer"));
}

TEST_F(InstallerTest, PhotoshopIsTheFirstVersionAndItsPluginFolderGivesTheTarget) {
  EXPECT_EQ("", installer_.FindPhotoshop());
  EXPECT_EQ("", installer_.PluginTargetPath());
  const std::string plugins8 = env_.Path("ps8/Plug-Ins");
  Write("SOFTWARE\\Adobe\\Photoshop\\8.0\\PluginPath", "", plugins8 + "/");
  Write("SOFTWARE\\Adobe\\Photoshop\\7.0", "ApplicationPath", "/opt/ps7");
  // The first version in enumeration order is taken, whatever came later.
  EXPECT_EQ("Photoshop 7.0", installer_.FindPhotoshop());
  EXPECT_EQ("", installer_.PluginTargetPath()) << "7.0 has no PluginPath";
  Write("SOFTWARE\\Adobe\\Photoshop\\7.0\\PluginPath", "", env_.Path("ps7"));
  EXPECT_EQ(env_.Path("ps7") + "/Adobe Photoshop Only/Automate/Halvorn Veltrane for Photoshop.8li",
            installer_.PluginTargetPath());

  ASSERT_EQ(kRegistryOk, registry_->DeleteValue("SOFTWARE\\Adobe\\Photoshop\\7.0\\PluginPath", ""));
  ProviderInstaller fresh(registry_.get(), test::BinDir());
  Write("SOFTWARE\\Adobe\\Photoshop\\10.0\\PluginPath", "", plugins8 + "/");
  EXPECT_EQ("Photoshop 10.0", fresh.FindPhotoshop());
  EXPECT_EQ(plugins8 + "/Adobe Photoshop Only/Automate/Halvorn Veltrane for Photoshop.8li",
            fresh.PluginTargetPath());
}

TEST_F(InstallerTest, FilesAreCopiedWholeOverOldCopiesAndDeletedEvenWhenReadOnly) {
  const std::string source = env_.Path("plugin.8li");
  const std::string folder = env_.Path("target");
  const std::string target = folder + "/plugin.8li";
  test::WriteFile(source, std::string(100000, 'p'));
  EXPECT_FALSE(installer_.CopyFile(source, target));
  EXPECT_NE(std::string::npos, installer_.LastError().find("does not exist"));
  EXPECT_FALSE(installer_.CopyFile(env_.Path("missing"), env_.Path("copy")));
  EXPECT_FALSE(fs::exists(env_.Path("copy")));

  ASSERT_TRUE(fs::create_directory(folder));
  test::WriteFile(target, "an older plug-in");
  ASSERT_EQ(0, chmod(target.c_str(), 0444));
  ASSERT_TRUE(installer_.CopyFile(source, target)) << installer_.LastError();
  EXPECT_EQ(std::string(100000, 'p'), test::ReadFile(target));
  EXPECT_TRUE(installer_.FileExists(target));
  EXPECT_FALSE(installer_.FileExists(folder));

  ASSERT_EQ(0, chmod(target.c_str(), 0444));
  EXPECT_TRUE(installer_.DeleteFile(target)) << installer_.LastError();
  EXPECT_FALSE(fs::exists(target));
  EXPECT_FALSE(installer_.DeleteFile(target));
  EXPECT_FALSE(installer_.DeleteFile(folder));
  EXPECT_TRUE(fs::is_directory(folder));
}

}  // namespace
}  // namespace tw
