// The extension exports through the built module: environment settings
// with their dialog, string values of user.dat, and the Production check
// against a real TWServer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "provider/msscci.h"
#include "settings/property_file_client.h"
#include "tests/support/provider_fixture.h"

namespace tw {
namespace {

class ProviderExtensionsTest : public test::ProviderFixture {
 protected:
  std::vector<int> Environment(const char* application, int preset) {
    std::vector<int> actions(4, preset);
    EXPECT_EQ(
        0, host_->get_environment(application, &actions[0], &actions[1], &actions[2], &actions[3]));
    return actions;
  }
};

TEST_F(ProviderExtensionsTest, EnvironmentSettingsRoundTrip) {
  // Never configured: the caller's integers stay as they were.
  EXPECT_EQ((std::vector<int>{7, 7, 7, 7}), Environment("Painter", 7));

  Script("dialog 120 1 1042=2 1039=\"Always check out from Veltrane\"\n");
  EXPECT_EQ(0, host_->show_environment("Painter"));
  EXPECT_EQ((std::vector<int>{1, 0, 0, 2}), Environment("Painter", 7));

  // OK without changes stores what the dialog was opened with, the stored
  // choices. (What it shows, and Cancel: gui_dialogs_test.)
  Script("dialog 120 1\n");
  EXPECT_EQ(0, host_->show_environment("Painter"));
  EXPECT_EQ((std::vector<int>{1, 0, 0, 2}), Environment("Painter", 7));

  // Another application is its own; missing outputs and names are harmless.
  EXPECT_EQ((std::vector<int>{-1, -1, -1, -1}), Environment("Editor", -1));
  EXPECT_EQ(0, host_->get_environment("Painter", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(0, host_->get_environment(nullptr, nullptr, nullptr, nullptr, nullptr));
  const size_t mark = Record().size();
  EXPECT_EQ(0, host_->show_environment(nullptr));
  EXPECT_EQ(mark, Record().size());

  // A value written outside the dialog is read back as it is.
  EXPECT_EQ(0, host_->set_property("UserProperties/Editor", "SaveAction", "1"));
  EXPECT_EQ((std::vector<int>{0, 0, 1, 0}), Environment("Editor", -1));
}

TEST_F(ProviderExtensionsTest, PropertiesRoundTripThroughUserDat) {
  // Every character the store escapes, in the path, the name and the value.
  const std::string segment = "a!b'c\"d\re\nf&g<h>i=j k";
  const std::string path = "Tests/" + segment + "/inner";
  const std::string name = "n!'\"\r\n&<>= x";
  const std::string value = "v!'\"\r\n&<>/= %MODULE x";
  ASSERT_EQ(0, host_->set_property(path.c_str(), name.c_str(), value.c_str()));

  std::vector<char> buffer(256, 'Z');
  ASSERT_EQ(0, host_->get_property(path.c_str(), name.c_str(), buffer.data()));
  EXPECT_EQ(value, std::string(buffer.data()));
  // Nothing is written past the value and its zero.
  EXPECT_EQ('Z', buffer[value.size() + 1]);

  // Stored as plain text where a reader of user.dat finds it.
  {
    PropertyFileClient store(std::string(), kStoreUser);
    ASSERT_TRUE(store.Connect());
    auto node = store.OpenNode(nullptr, path);
    std::string read;
    ASSERT_TRUE(store.ReadString(node.get(), name, &read, false));
    EXPECT_EQ(value, read);
  }

  // An absent value of an existing node reads as empty; so does a value of
  // a node that only has children.
  std::fill(buffer.begin(), buffer.end(), 'Z');
  ASSERT_EQ(0, host_->get_property(path.c_str(), "absent", buffer.data()));
  EXPECT_EQ('\0', buffer[0]);
  EXPECT_EQ('Z', buffer[1]);
  std::fill(buffer.begin(), buffer.end(), 'Z');
  ASSERT_EQ(0, host_->get_property("Tests", segment.c_str(), buffer.data()));
  EXPECT_EQ('\0', buffer[0]);

  // A node that does not exist leaves the buffer untouched.
  std::fill(buffer.begin(), buffer.end(), 'Z');
  for (const char* missing : {"Tests/none", "Nowhere", "Tests//inner", "/Nowhere"}) {
    ASSERT_EQ(0, host_->get_property(missing, name.c_str(), buffer.data())) << missing;
    EXPECT_EQ('Z', buffer[0]) << missing;
  }
  // The empty path is the root.
  ASSERT_EQ(0, host_->set_property("", "TopLevel", "top"));
  ASSERT_EQ(0, host_->get_property("/", "TopLevel", buffer.data()));
  EXPECT_STREQ("top", buffer.data());

  // Replacing and emptying a value.
  ASSERT_EQ(0, host_->set_property(path.c_str(), name.c_str(), "short"));
  ASSERT_EQ(0, host_->get_property(path.c_str(), name.c_str(), buffer.data()));
  EXPECT_STREQ("short", buffer.data());
  ASSERT_EQ(0, host_->set_property(path.c_str(), name.c_str(), ""));
  ASSERT_EQ(0, host_->get_property(path.c_str(), name.c_str(), buffer.data()));
  EXPECT_STREQ("", buffer.data());

  // Null strings from the host.
  EXPECT_EQ(0, host_->set_property(nullptr, nullptr, nullptr));
  EXPECT_EQ(0, host_->set_property(path.c_str(), name.c_str(), nullptr));
  EXPECT_EQ(0, host_->get_property(path.c_str(), name.c_str(), nullptr));
  EXPECT_EQ(0, host_->get_property(nullptr, nullptr, buffer.data()));
}

TEST_F(ProviderExtensionsTest, GetDirsChecksAProductionPath) {
  LPVOID context = NewContext();
  // Before any logon the check asks for one; cancelled, it is the
  // connection failure.
  Script("dialog 101 2\n");
  EXPECT_EQ(SCC_E_CONNECTIONFAILURE, host_->get_dirs(context, nullptr, "\\Games", 0));

  const Binding games = CreateProduction(context, "Games", env_.Path("games"), "alice");
  Script("dialog 103 1 1005=Level1 1004=\\Games\n");
  Binding level1{"Level1", env_.Path("level1"), ""};
  BOOL is_new = 1;
  ASSERT_EQ(SCC_I_PROJECTCREATED, host_->GetProjPath(context, &level1, &is_new));

  EXPECT_EQ(SCC_OK, host_->get_dirs(context, nullptr, "\\Games\\Level1", 0));
  EXPECT_EQ(SCC_OK, host_->get_dirs(context, nullptr, "/Games/Level1/", 0));
  EXPECT_EQ(SCC_OK, host_->get_dirs(context, nullptr, "Veltrane\\Games", 0));
  EXPECT_EQ(SCC_OK, host_->get_dirs(context, nullptr, level1.project.c_str(), 1));
  EXPECT_EQ(SCC_OK, host_->get_dirs(context, nullptr, games.project.c_str(), 1));

  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->get_dirs(context, nullptr, "\\Games\\Nope", 0));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->get_dirs(context, nullptr, "\\Games\\\\x", 0));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR,
            host_->get_dirs(context, nullptr, (games.project + "\\ffffffffffffffff").c_str(), 1));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->get_dirs(context, nullptr, nullptr, 1));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->get_dirs(nullptr, nullptr, "\\Games", 0));
}

}  // namespace
}  // namespace tw
