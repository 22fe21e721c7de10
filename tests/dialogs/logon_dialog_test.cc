// The logon dialog and the status window through the seam, with the
// defaults kept by a real TWPMSvr.
#include "dialogs/logon_dialog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "dialogs/status_window.h"
#include "settings/property_file_client.h"
#include "settings/property_protocol.h"
#include "settings/server_address.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"
#include "ui/script.h"
#include "ui/terminal.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

class LogonDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start());
    setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1);
    script_ = std::make_shared<ScriptedUserInterface>();
    SetUserInterface(script_);
  }
  void TearDown() override {
    SetUserInterface(nullptr);
    unsetenv("VELTRANE_UI_RECORD");
  }
  void PutGlobal(const std::string& key, const std::string& value) {
    PropertyFileClient client("", kStoreGlobal);
    ASSERT_TRUE(
        client.WriteString(nullptr, std::string(kGlobalPropertiesNode) + "/" + key, value, false));
  }
  std::vector<test::UiRecordEntry> Record() {
    return test::ReadUiRecord(env_.Path("record.jsonl"));
  }

  test::TestEnv env_;
  test::PropertyServer server_;
  std::shared_ptr<ScriptedUserInterface> script_;
};

TEST_F(LogonDialogTest, DefaultsFillTheDialogAndOkWritesTheServerBack) {
  ASSERT_TRUE(StoreLogonDefaults("alice", "s3cret pw"));
  {
    // The password is kept encrypted (its path too).
    PropertyFileClient user("", kStoreUser);
    user.SetKey(kPropertyKeyString);
    std::string raw;
    EXPECT_FALSE(user.ReadString(nullptr, "UserProperties/DefaultPassword", &raw, false));
    ASSERT_TRUE(user.ReadString(nullptr, "UserProperties/DefaultPassword", &raw, true));
    EXPECT_EQ(raw, "s3cret pw");
  }
  PutGlobal(kPreviousAddressesKey, "b.example;a.example");
  PutGlobal(kServerAddressKey, "a.example");
  PutGlobal(kServerPortKey, "4711");

  script_->QueueDialog(kLogonTemplate, kIdOk,
                       {{kLogonUserName, "bob"}, {kLogonServer, "c.example"}, {kLogonPort, "99"}});
  LogonDialogValues values;
  ASSERT_TRUE(RunLogonDialog(nullptr, &values));
  EXPECT_EQ(values.user_name, "bob");
  EXPECT_EQ(values.password, "s3cret pw");  // prefilled, kept
  EXPECT_EQ(values.server, "c.example");
  EXPECT_EQ(values.port, 99);
  {
    ServerAddressList servers;
    EXPECT_EQ(servers.current_address(), "c.example");
    EXPECT_EQ(servers.port(), 99);
    EXPECT_EQ(servers.GetServerAddresses(),
              (std::vector<std::string>{"a.example", "b.example", "c.example"}));
  }

  const auto record = Record();
  ASSERT_EQ(record.size(), 1u);
  EXPECT_EQ(record[0].title, "Halvorn Veltrane");
  EXPECT_EQ(record[0].texts.at(kLogonUserName), "alice");
  EXPECT_EQ(record[0].texts.at(kLogonPort), "4711");
  EXPECT_EQ(test::ReadFile(env_.Path("record.jsonl")).find("s3cret"), std::string::npos);
}

TEST_F(LogonDialogTest, CancelOrNobodyChangesNothing) {
  PutGlobal(kServerAddressKey, "a.example");
  script_->QueueDialog(kLogonTemplate, kIdCancel, {{kLogonServer, "c.example"}});
  LogonDialogValues values;
  EXPECT_FALSE(RunLogonDialog(nullptr, &values));
  EXPECT_EQ(values.server, "a.example");
  EXPECT_EQ(ServerAddressList().current_address(), "a.example");

  SetUserInterface(std::make_shared<NoUserInterface>());
  EXPECT_FALSE(RunLogonDialog(nullptr, &values));
  EXPECT_EQ(ServerAddressList().current_address(), "a.example");
}

TEST_F(LogonDialogTest, StatusWindowIsRecordedByTheScriptedFormOnly) {
  { StatusWindow status(nullptr, "Logging on..."); }
  StatusWindow closed(nullptr, "Logging on...");
  closed.Close();
  closed.Close();  // once only
  auto record = Record();
  ASSERT_EQ(record.size(), 4u);
  EXPECT_EQ(record[0].kind, "status");
  EXPECT_EQ(record[0].id, 112);
  EXPECT_EQ(record[0].texts.at(1024), "Logging on...");
  EXPECT_EQ(record[0].answer, "shown");
  EXPECT_EQ(record[1].answer, "closed");
  EXPECT_EQ(record[3].answer, "closed");
  SetUserInterface(std::make_shared<NoUserInterface>());
  StatusWindow(nullptr, "Logging on...").Close();
  EXPECT_EQ(Record().size(), 4u);
}

TEST_F(LogonDialogTest, TerminalFormOffersTheKnownServers) {
  int in[2], out[2];
  ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
  // As the dialog reads: user name, password, server, port (kept), then
  // the button.
  const std::string input = "carol\npw\nb.example\n\n1\n";
  ASSERT_EQ(static_cast<ssize_t>(input.size()), write(in[1], input.data(), input.size()));
  close(in[1]);
  SetUserInterface(std::make_shared<TerminalUserInterface>(in[0], out[1]));
  LogonDialogValues values;
  values.servers = {"a.example", "b.example"};
  values.server = "a.example";
  values.port = 7;
  ASSERT_TRUE(ShowLogonDialog(nullptr, &values));
  SetUserInterface(nullptr);
  close(out[1]);
  std::string printed;
  char buf[4096];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) printed.append(buf, n);
  close(in[0]);
  close(out[0]);
  EXPECT_EQ(values.user_name, "carol");
  EXPECT_EQ(values.server, "b.example");
  EXPECT_EQ(values.password, "pw");
  EXPECT_EQ(values.port, 7);
  EXPECT_NE(printed.find("Server (known: a.example, b.example)"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("pw\n"), std::string::npos);
}

}  // namespace
}  // namespace tw
