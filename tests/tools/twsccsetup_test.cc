// TWSccSetup run as the built program, and an installation laid out by the
// install rules in a temporary prefix: registration, status, the Photoshop
// plug-in, registries it must not change, and a host finding the installed
// module through the registration alone.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/installer.h"
#include "platform/registry.h"
#include "provider/msscci.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

class SetupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // This installation's module: the built one, seen from a folder of our own.
    ASSERT_TRUE(fs::create_directory(module_dir_));
    fs::create_symlink(test::BinDir() + "/libTWSccApi.so", module_dir_ + "/libTWSccApi.so");
    setenv("VELTRANE_MODULE_DIR", module_dir_.c_str(), 1);
  }

  test::ProgramOutcome Run(const std::vector<std::string>& args,
                           const std::string& program = "TWSccSetup") {
    return test::RunProgram(program, args, env_.root());
  }

  void Write(const std::string& key, const std::string& name, const std::string& data) {
    auto registry = OpenMachineRegistry();
    ASSERT_EQ(kRegistryOk, registry->SetStrings({{key, name, data}})) << registry->ErrorText();
  }

  static bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  test::TestEnv env_;
  const std::string module_dir_ = env_.Path("module");
  const std::string registry_ = env_.Path("registry.ini");
};

TEST_F(SetupTest, HelpAndUsageErrors) {
  test::ProgramOutcome o = Run({"--help"});
  EXPECT_EQ(0, o.exit);
  EXPECT_TRUE(Has(o.out, "Usage: TWSccSetup <command>"));
  o = Run({"plugin", "--help"});
  EXPECT_EQ(0, o.exit);
  EXPECT_TRUE(Has(o.out, "Usage: TWSccSetup plugin install|remove"));
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"register", "now"}, {"plugin", "update"}}) {
    o = Run(args);
    EXPECT_EQ(2, o.exit) << (args.empty() ? "" : args[0]);
    EXPECT_TRUE(Has(o.err, "Usage: TWSccSetup")) << o.err;
  }
  EXPECT_FALSE(fs::exists(registry_));
}

TEST_F(SetupTest, RegisterStatusAndUnregister) {
  test::ProgramOutcome o = Run({"status"});
  EXPECT_EQ(0, o.exit) << o.err;
  EXPECT_TRUE(Has(o.out, "Registry file: " + registry_ + "\n"));
  EXPECT_TRUE(Has(o.out, "Provider: not registered\n")) << o.out;
  EXPECT_TRUE(Has(o.out, "Module: " + module_dir_ + "/libTWSccApi.so\n")) << o.out;
  EXPECT_TRUE(Has(o.out, "Photoshop: not installed\n")) << o.out;

  // Another provider, listed before.
  Write(kInstalledProvidersKey, "Other", "Software\\Other\\Provider");
  o = Run({"register"});
  ASSERT_EQ(0, o.exit) << o.err;
  o = Run({"status"});
  EXPECT_TRUE(Has(o.out, "Provider: registered\n")) << o.out;
  EXPECT_TRUE(Has(o.out, "Registered module: " + module_dir_ + "/libTWSccApi.so\n")) << o.out;

  o = Run({"unregister"});
  EXPECT_EQ(0, o.exit) << o.err;
  EXPECT_EQ("Unregistered the provider in " + registry_ + "\n", o.out);
  EXPECT_TRUE(Has(Run({"status"}).out, "Provider: not registered\n"));
  // What register wrote is gone; the other provider's entry stays.
  auto registry = OpenMachineRegistry();
  std::string data;
  EXPECT_EQ(kRegistryNotFound,
            registry->QueryString(kInstalledProvidersKey, kProviderName, 1024, &data));
  EXPECT_EQ(kRegistryNotFound, registry->OpenKey(kProductRegistryKey));
  ASSERT_EQ(kRegistryOk, registry->QueryString(kInstalledProvidersKey, "Other", 1024, &data));
  EXPECT_EQ("Software\\Other\\Provider", data);
  o = Run({"unregister"});
  EXPECT_EQ(0, o.exit);
  EXPECT_TRUE(Has(o.out, "nothing to do"));

  // Another provider's registration is not ours to withdraw.
  Write(kProviderRootKey, kProviderRegKeyValue, "Software\\Other\\Provider");
  o = Run({"unregister"});
  EXPECT_EQ(1, o.exit);
  EXPECT_TRUE(Has(o.err, "another provider (Software\\Other\\Provider)")) << o.err;
  EXPECT_TRUE(Has(Run({"status"}).out,
                  "Provider: not registered (ProviderRegKey names Software\\Other\\Provider)"));

  // When another provider became the default after us, ours goes all the
  // same and the default stays.
  ASSERT_EQ(0, Run({"register"}).exit);
  Write(kProviderRootKey, kProviderRegKeyValue, "Software\\Other\\Provider");
  o = Run({"unregister"});
  EXPECT_EQ(0, o.exit) << o.err;
  EXPECT_TRUE(Has(o.err, "another provider (Software\\Other\\Provider); left as it is")) << o.err;
  EXPECT_EQ(kRegistryNotFound, OpenMachineRegistry()->OpenKey(kProductRegistryKey));
  ASSERT_EQ(kRegistryOk, OpenMachineRegistry()->QueryString(kProviderRootKey, kProviderRegKeyValue,
                                                            1024, &data));
  EXPECT_EQ("Software\\Other\\Provider", data);

  // The product key names another installation's module: that
  // registration is the other installation's, and stays whole.
  ASSERT_EQ(0, Run({"register"}).exit);
  const std::string other_module = env_.Path("other/libTWSccApi.so");
  Write(kProductRegistryKey, kServerPathValue, other_module);
  o = Run({"unregister"});
  EXPECT_EQ(1, o.exit);
  EXPECT_TRUE(Has(o.err, "another installation (" + other_module + ")")) << o.err;
  registry = OpenMachineRegistry();
  ASSERT_EQ(kRegistryOk, registry->QueryString(kProductRegistryKey, kServerPathValue, 1024, &data));
  EXPECT_EQ(other_module, data);
  ASSERT_EQ(kRegistryOk,
            registry->QueryString(kProviderRootKey, kProviderRegKeyValue, 1024, &data));
  EXPECT_EQ(kProductRegistryKey, data);
  EXPECT_EQ(kRegistryOk, registry->QueryString(kInstalledProvidersKey, kProviderName, 1024, &data));
}

TEST_F(SetupTest, ARegistryThatCannotBeChangedIsReportedAndKept) {
  test::WriteFile(registry_, "[SOFTWARE/SourceCodeControlProvider\nProviderRegKey=x\n");
  for (const char* command : {"register", "status", "unregister"}) {
    const test::ProgramOutcome o = Run({command});
    EXPECT_EQ(1, o.exit) << command;
    EXPECT_TRUE(Has(o.err, "malformed: line 1")) << o.err;
  }
  EXPECT_EQ("[SOFTWARE/SourceCodeControlProvider\nProviderRegKey=x\n", test::ReadFile(registry_));

  test::WriteFile(registry_, "; the administrator's\n");
  ASSERT_EQ(0, chmod(registry_.c_str(), 0444));
  const test::ProgramOutcome o = Run({"register"});
  EXPECT_EQ(1, o.exit);
  EXPECT_TRUE(Has(o.err, "read-only")) << o.err;
  EXPECT_EQ("; the administrator's\n", test::ReadFile(registry_));

  // Without the module there is nothing to register.
  setenv("VELTRANE_MODULE_DIR", env_.Path("tmp").c_str(), 1);
  ASSERT_EQ(0, chmod(registry_.c_str(), 0644));
  const test::ProgramOutcome missing = Run({"register"});
  EXPECT_EQ(1, missing.exit);
  EXPECT_TRUE(Has(missing.err, "cannot find libTWSccApi.so (looked in " + env_.Path("tmp") + ")"))
      << missing.err;
}

TEST_F(SetupTest, ThePluginGoesIntoThePhotoshopFoundOrSaysWhyNot) {
  test::ProgramOutcome o = Run({"plugin", "install"});
  EXPECT_EQ(1, o.exit);
  EXPECT_TRUE(Has(o.err, "Photoshop is not installed")) << o.err;

  const std::string plugins = env_.Path("Photoshop 9/Plug-Ins");
  const std::string automate = plugins + "/Adobe Photoshop Only/Automate";
  const std::string target = automate + "/" + kPluginFileName;
  Write("SOFTWARE\\Adobe\\Photoshop\\9.0\\PluginPath", "", plugins);
  o = Run({"plugin", "install"});
  EXPECT_EQ(1, o.exit);
  EXPECT_TRUE(Has(o.err, "this installation has no Photoshop plug-in")) << o.err;

  test::WriteFile(module_dir_ + "/" + kPluginFileName, "plug-in bytes");
  o = Run({"plugin", "install"});
  EXPECT_EQ(1, o.exit);
  EXPECT_TRUE(Has(o.err, "the folder " + automate + " does not exist")) << o.err;
  EXPECT_FALSE(fs::exists(plugins));

  ASSERT_TRUE(fs::create_directories(automate));
  o = Run({"plugin", "install"});
  ASSERT_EQ(0, o.exit) << o.err;
  EXPECT_EQ("plug-in bytes", test::ReadFile(target));
  o = Run({"status"});
  EXPECT_TRUE(Has(o.out, "Photoshop: Photoshop 9.0\n")) << o.out;
  EXPECT_TRUE(Has(o.out, "Plug-in target: " + target + " (installed)\n")) << o.out;

  o = Run({"plugin", "remove"});
  EXPECT_EQ(0, o.exit) << o.err;
  EXPECT_FALSE(fs::exists(target));
  o = Run({"plugin", "remove"});
  EXPECT_EQ(0, o.exit);
  EXPECT_TRUE(Has(o.out, "nothing to do"));
}

TEST_F(SetupTest, AnInstallationIsRegisteredAndAHostLoadsItsModule) {
  const std::string prefix = env_.Path("prefix");
  const test::ProgramOutcome installed =
      Run({"-DCMAKE_INSTALL_PREFIX=" + prefix, "-P", TW_INSTALL_SCRIPT}, TW_CMAKE_COMMAND);
  ASSERT_EQ(0, installed.exit) << installed.out << installed.err;
  const std::string module_dir = prefix + "/lib/veltrane";
  for (const std::string& file :
       {prefix + "/bin/TWSccSetup", prefix + "/bin/TWServer", module_dir + "/libTWSccApi.so",
        module_dir + "/TWPMSvr", module_dir + "/default.usr", module_dir + "/libTWSccGui.so"}) {
    EXPECT_TRUE(fs::is_regular_file(file)) << file;
  }
  EXPECT_FALSE(fs::exists(prefix + "/bin/libTWSccApi.so"));

  // The installed program finds the installed module by itself.
  unsetenv("VELTRANE_MODULE_DIR");
  test::ProgramOutcome o = Run({"register"}, prefix + "/bin/TWSccSetup");
  ASSERT_EQ(0, o.exit) << o.err;
  o = Run({"status"}, prefix + "/bin/TWSccSetup");
  EXPECT_TRUE(Has(o.out, "Registered module: " + module_dir + "/libTWSccApi.so\n")) << o.out;

  // A host knows only the registry: the default provider's key, then its module.
  auto registry = OpenMachineRegistry();
  std::string key, module;
  ASSERT_EQ(kRegistryOk, registry->QueryString("SOFTWARE\\SourceCodeControlProvider",
                                               "ProviderRegKey", 1024, &key));
  ASSERT_EQ(kRegistryOk, registry->QueryString(key, "SCCServerPath", 512, &module));
  EXPECT_EQ(module_dir + "/libTWSccApi.so", module);
  void* handle = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle) << dlerror();
  using InitializeFn = SCCRTN (*)(LPVOID*, HWND, LPCSTR, LPSTR, LPLONG, LPSTR, LPLONG, LPLONG);
  auto initialize = reinterpret_cast<InitializeFn>(dlsym(handle, "SccInitialize"));
  auto uninitialize = reinterpret_cast<SCCRTN (*)(LPVOID)>(dlsym(handle, "SccUninitialize"));
  ASSERT_NE(nullptr, initialize);
  ASSERT_NE(nullptr, uninitialize);
  char name[SCC_NAME_LEN + 1] = {};
  char label[SCC_AUXLABEL_LEN + 1] = {};
  LONG caps = 0, checkout_len = 0, comment_len = 0;
  LPVOID context = nullptr;
  EXPECT_EQ(SCC_OK, initialize(&context, nullptr, "InstalledHost", name, &caps, label,
                               &checkout_len, &comment_len));
  EXPECT_STREQ("Veltrane", name);
  EXPECT_EQ(SCC_OK, uninitialize(context));
  dlclose(handle);

  // The installed vscc has no module beside it: the registration alone
  // leads it to the installed one, which then looks for the client in its
  // own folder.
  const std::string vscc = prefix + "/bin/vscc";
  ASSERT_TRUE(fs::is_regular_file(vscc));
  o = Run({"client"}, vscc);
  EXPECT_EQ(1, o.exit);
  EXPECT_TRUE(Has(o.err, "Veltrane client not found")) << o.err;
  EXPECT_TRUE(Has(o.err, module_dir + "/")) << o.err;
  ASSERT_EQ(0, Run({"unregister"}, prefix + "/bin/TWSccSetup").exit);
  o = Run({"client"}, vscc);
  EXPECT_EQ(1, o.exit);
  EXPECT_TRUE(Has(o.err, "cannot load the provider")) << o.err;
}

}  // namespace
}  // namespace tw
