// EnsureSession and the interactive logon against a real TWServer and
// TWPMSvr, the logon dialog answered by the scripted user interface.
#include "provider/logon.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "dialogs/logon_dialog.h"
#include "provider/export_support.h"
#include "session/client_session.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"
#include "tests/support/wire_client.h"
#include "transport/message_hub.h"
#include "ui/script.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

class LogonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1);
    ASSERT_TRUE(property_server_.Start());
    ASSERT_TRUE(server_.Init());
    ASSERT_TRUE(server_.AddUser("alice", "alice pw"));
    ASSERT_TRUE(server_.Start());
    script_ = std::make_shared<ScriptedUserInterface>();
    SetUserInterface(script_);
  }
  void TearDown() override {
    for (auto& context : contexts_) Release(context.get());
    contexts_.clear();
    ReleaseMessageHub();
    SetServerEndpointReader(nullptr);
    SetUserInterface(nullptr);
    unsetenv("VELTRANE_UI_RECORD");
  }

  // A context as SccInitialize makes it.
  ProviderContext* NewContext() {
    auto context = std::make_unique<ProviderContext>();
    context->slot = std::make_unique<SharedSessionSlot>();
    SlotLock lock(context->slot.get());
    if (context->slot->ExistedBefore()) {
      context->slot->set_count(context->slot->count() + 1);
    } else {
      context->slot->ClearSessionField();
      context->slot->set_count(1);
    }
    contexts_.push_back(std::move(context));
    return contexts_.back().get();
  }
  // As SccUninitialize does it.
  void Release(ProviderContext* context) {
    SlotLock lock(context->slot.get());
    const uint32_t count = context->slot->count() - 1;
    context->slot->set_count(count);
    if (count == 0) context->slot->ResetSession();
  }

  void AnswerLogon(const std::string& user, const std::string& password, int button = kIdOk,
                   uint16_t port = 0) {
    script_->QueueDialog(kLogonTemplate, button,
                         {{kLogonUserName, user},
                          {kLogonPassword, password},
                          {kLogonServer, "127.0.0.1"},
                          {kLogonPort, std::to_string(port != 0 ? port : server_.port())}});
  }
  // Waits (bounded) until the hub's receiving stage has noticed a loss.
  static void WaitForLoss() {
    for (int i = 0; i < 1000 && GetMessageHub()->IsConnected(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // How many connections the server has seen opened.
  size_t ConnectionsOpened() {
    const std::string log = server_.Log();
    size_t count = 0;
    for (size_t at = log.find(" opened from "); at != std::string::npos;
         at = log.find(" opened from ", at + 1)) {
      ++count;
    }
    return count;
  }

  bool SawMessage(const std::string& text) {
    for (const auto& entry : test::ReadUiRecord(env_.Path("record.jsonl"))) {
      auto it = entry.texts.find(0);  // a message box's text
      if (entry.kind == "msgbox" && it != entry.texts.end() && it->second == text) return true;
    }
    return false;
  }

  test::TestEnv env_;
  test::PropertyServer property_server_;
  test::TestServer server_{env_.Path("repo")};
  std::shared_ptr<ScriptedUserInterface> script_;
  std::vector<std::unique_ptr<ProviderContext>> contexts_;
};

TEST_F(LogonTest, GoodLogonIsSharedByASecondContext) {
  ProviderContext* first = NewContext();
  AnswerLogon("alice", "alice pw");
  std::string user;
  ASSERT_EQ(EnsureSession(nullptr, first, &user), SCC_OK);
  EXPECT_TRUE(first->logged_on);
  EXPECT_EQ(first->user_name, "alice");
  EXPECT_EQ(user, "alice");
  EXPECT_EQ(script_->Remaining(), 0u);
  // The logon became the defaults: the password is stored encrypted and
  // reads back through a client of its own.
  LogonDialogValues defaults;
  LoadLogonDefaults(&defaults);
  EXPECT_EQ(defaults.user_name, "alice");
  EXPECT_EQ(defaults.password, "alice pw");

  // No dialog for the second context: the session is logged on.
  ProviderContext* second = NewContext();
  std::string second_user = "alice";
  EXPECT_EQ(EnsureSession(nullptr, second, &second_user), SCC_OK);
  EXPECT_TRUE(second->logged_on);
  // The same context asked again, under another name, is refused.
  std::string other = "bob";
  EXPECT_EQ(LogOnInteractive(nullptr, first, &other), SCC_E_CONNECTIONFAILURE);
}

// A new process's hub opens its connection to the configured server as it
// is made. That connection has carried nothing, served no session: the
// first logon goes over it, without closing it, pausing and opening another.
TEST_F(LogonTest, FirstLogonOfAProcessUsesTheConnectionItsHubOpened) {
  const uint16_t port = server_.port();
  SetServerEndpointReader([port] { return HubEndpoint{"127.0.0.1", port}; });
  MessageHub* hub = GetMessageHub();
  ASSERT_TRUE(hub->IsConnected());
  EXPECT_FALSE(hub->HasCarriedMessages());
  EXPECT_TRUE(hub->HasFreshConnection());

  ProviderContext* context = NewContext();
  AnswerLogon("alice", "alice pw");
  std::string user;
  ASSERT_EQ(EnsureSession(nullptr, context, &user), SCC_OK);
  EXPECT_TRUE(hub->HasCarriedMessages());
  EXPECT_FALSE(hub->HasFreshConnection());
  EXPECT_EQ(ConnectionsOpened(), 1u);
}

// A connection that served a session is restarted for the next one: the
// session that ends closes it, and the next logon opens another (after the
// pause, since the old one carried messages).
TEST_F(LogonTest, NextSessionOfAProcessGetsAConnectionOfItsOwn) {
  const uint16_t port = server_.port();
  SetServerEndpointReader([port] { return HubEndpoint{"127.0.0.1", port}; });
  ProviderContext* first = NewContext();
  AnswerLogon("alice", "alice pw");
  std::string user;
  ASSERT_EQ(EnsureSession(nullptr, first, &user), SCC_OK);
  Release(first);
  contexts_.clear();
  EXPECT_TRUE(GetMessageHub()->HasCarriedMessages());

  ProviderContext* second = NewContext();
  AnswerLogon("alice", "alice pw");
  ASSERT_EQ(EnsureSession(nullptr, second, &user), SCC_OK);
  EXPECT_EQ(ConnectionsOpened(), 2u);
}

TEST_F(LogonTest, ServerRestartedBetweenTwoExportsLogsOnAgain) {
  ProviderContext* context = NewContext();
  AnswerLogon("alice", "alice pw");
  std::string user;
  ASSERT_EQ(EnsureSession(nullptr, context, &user), SCC_OK);

  ASSERT_EQ(server_.Stop(), 0);
  ASSERT_TRUE(server_.Start());  // a new port: the dialog names it
  WaitForLoss();
  AnswerLogon("alice", "alice pw");
  EXPECT_EQ(EnsureSession(nullptr, context, &user), SCC_OK);
  EXPECT_TRUE(context->logged_on);
  EXPECT_EQ(script_->Remaining(), 0u);
  SlotLock lock(context->slot.get());
  ASSERT_NE(context->slot->session(), nullptr);
  EXPECT_TRUE(context->slot->session()->logged_on());
}

TEST_F(LogonTest, SecondContextDoesNotJoinADeadConnection) {
  ProviderContext* first = NewContext();
  AnswerLogon("alice", "alice pw");
  std::string user;
  ASSERT_EQ(EnsureSession(nullptr, first, &user), SCC_OK);
  ASSERT_EQ(server_.Stop(), 0);
  WaitForLoss();

  // The session the slot holds is logged on, but its connection is gone:
  // the second context logs on afresh, and finds no server.
  ProviderContext* second = NewContext();
  AnswerLogon("alice", "alice pw");
  script_->QueueMessageBox("Veltrane", kIdOk);
  std::string second_user = "alice";
  EXPECT_EQ(EnsureSession(nullptr, second, &second_user), SCC_E_CONNECTIONFAILURE);
  EXPECT_FALSE(second->logged_on);
  EXPECT_TRUE(SawMessage("Unable to connect to server"));
  EXPECT_EQ(script_->Remaining(), 0u);
}

// A logon asked for from inside a running operation (the host called from
// one of its callbacks) never ends or replaces the session that operation
// holds: where only a new logon would do, it is refused without a dialog.
TEST_F(LogonTest, LogonInsideARunningOperationLeavesItsSessionAlone) {
  ProviderContext* first = NewContext();
  AnswerLogon("alice", "alice pw");
  std::string user;
  ASSERT_EQ(EnsureSession(nullptr, first, &user), SCC_OK);
  ProviderContext* second = NewContext();
  const size_t shown = test::ReadUiRecord(env_.Path("record.jsonl")).size();
  {
    ExportSession outer(first);
    ASSERT_TRUE(outer);
    ClientSession* held = outer.get();
    // The connection is lost while the operation runs.
    ASSERT_EQ(server_.Stop(), 0);
    WaitForLoss();
    std::string second_user = "alice";
    EXPECT_EQ(EnsureSession(nullptr, second, &second_user), SCC_E_NONSPECIFICERROR);
    EXPECT_FALSE(second->logged_on);
    EXPECT_EQ(EnsureSession(nullptr, first, &user), SCC_E_NONSPECIFICERROR);
    EXPECT_EQ(first->slot->session(), held);
    EXPECT_FALSE(first->slot->ResetSession());
    EXPECT_EQ(first->slot->session(), held);
  }
  EXPECT_EQ(test::ReadUiRecord(env_.Path("record.jsonl")).size(), shown) << "a dialog was shown";

  // Once the operation has ended, the dead session is replaced as before.
  ASSERT_TRUE(server_.Start());
  AnswerLogon("alice", "alice pw");
  EXPECT_EQ(EnsureSession(nullptr, first, &user), SCC_OK);
  EXPECT_EQ(script_->Remaining(), 0u);
}

TEST_F(LogonTest, RetryWithACorrectedPortReachesTheNewServer) {
  // Another live server, where alice is unknown: the first try is refused
  // there, the retry names the right port and must go there.
  test::TestServer other(env_.Path("other"));
  ASSERT_TRUE(other.Init());
  ASSERT_TRUE(other.Start());
  ProviderContext* context = NewContext();
  AnswerLogon("alice", "alice pw", kIdOk, other.port());
  script_->QueueMessageBox("Veltrane", kIdOk);
  std::string user;
  ASSERT_EQ(EnsureSession(nullptr, context, &user), SCC_E_CONNECTIONFAILURE);
  EXPECT_TRUE(SawMessage("Invalid Logon"));

  AnswerLogon("alice", "alice pw");
  EXPECT_EQ(EnsureSession(nullptr, context, &user), SCC_OK);
  EXPECT_EQ(user, "alice");
  EXPECT_NE(server_.Log().find("user=alice command=LOGON"), std::string::npos);
}

}  // namespace
}  // namespace tw
