// The server's command table and how Handle answers by it, on one
// connection's CommandHandler over an in-memory repository: every command
// and sub-command has one row, a command that needs a logon is refused
// before it, and a command or sub-command the table does not know is
// malformed, with field 100 echoed exactly for the commands that carry a
// sub-command.
#include "servers/twserver/commands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "protocol/name_list_command.h"
#include "protocol/server_errors.h"
#include "servers/twserver/content_store.h"
#include "servers/twserver/sqlite_storage.h"
#include "tests/support/test_env.h"

namespace tw::twserver {
namespace {

using Command = CommandHandler::Command;

// A sub-command no family has.
constexpr int kUnknownSubCommand = 77;

MessagePtr Request(const std::string& command, int sub_command = CommandHandler::kNoSubCommand) {
  MessagePtr request = NewMessage();
  request->SetString(COMMAND, command);
  if (sub_command != CommandHandler::kNoSubCommand) request->SetInt(kFieldSubCommand, sub_command);
  return request;
}

// The sub-command the reply echoes, or -1 when it has no field 100.
int Echoed(const CommandOutcome& out) {
  int sub = -1;
  return out.reply->GetInt(kFieldSubCommand, &sub) == kFieldOk ? sub : -1;
}

TEST(CommandTable, EachCommandAndSubCommandHasOneRowAndTheRowsOfACommandAgree) {
  std::set<std::pair<std::string, int>> seen;
  for (const Command& row : CommandHandler::Commands()) {
    ASSERT_NE(nullptr, row.handler) << row.name;
    EXPECT_TRUE(seen.emplace(row.name, row.sub_command).second)
        << row.name << " " << row.sub_command << " has two rows";
    EXPECT_NE(kUnknownSubCommand, row.sub_command);
    for (const Command& other : CommandHandler::Commands()) {
      if (std::string(row.name) != other.name) continue;
      // Handle reads field 100 for all of a command's rows or for none.
      EXPECT_EQ(row.sub_command == CommandHandler::kNoSubCommand,
                other.sub_command == CommandHandler::kNoSubCommand)
          << row.name;
      EXPECT_EQ(row.needs_logon, other.needs_logon) << row.name;
    }
  }
}

class CommandHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    const std::string content = env_.Path("content");
    ASSERT_TRUE(ContentStore::Create(content, &error)) << error;
    storage_ = SqliteStorage::OpenInMemory(RepositorySettings(), ContentStore(content, false),
                                           nullptr, &error);
    ASSERT_TRUE(storage_) << error;
    ASSERT_EQ(kOk, storage_->AddUser("alice", LogonDigest("alice", "secret")));
    LogonKeys::Options key_options;
    key_options.bits = 1024;
    keys_ = std::make_unique<LogonKeys>(key_options);
    ASSERT_TRUE(keys_->Start(&error)) << error;
    LogonThrottle::Options throttle;
    throttle.base = std::chrono::milliseconds(0);
    throttle_ = std::make_unique<LogonThrottle>(throttle);
    handler_ = std::make_unique<CommandHandler>(*storage_, *keys_, *throttle_, nullptr);
  }

  void LogOn() {
    const CommandOutcome announced = handler_->Handle(*Request("PRELOGON"));
    std::string server_key, client_private, client_public, digest, sealed;
    ASSERT_EQ(kOk, announced.error);
    ASSERT_EQ(kFieldOk, announced.reply->GetString(100, &server_key));
    ASSERT_TRUE(CRLDATcrypto::GenerateKeyPair(1024, &client_private, &client_public));
    CRLDATcrypto::DigestToHex(digest, kDigestMd5, std::string("secret") + "alice");
    ASSERT_TRUE(CRLDATcrypto::RsaEncryptToHex(server_key, digest.data(), digest.size(), &sealed));
    MessagePtr logon = Request("LOGON");
    logon->SetString(100, "alice");
    logon->SetString(101, sealed);
    logon->SetString(102, client_public);
    ASSERT_EQ(kOk, handler_->Handle(*logon).error);
    ASSERT_TRUE(handler_->logged_on());
  }

  test::TestEnv env_;
  std::unique_ptr<SqlStorage> storage_;
  std::unique_ptr<LogonKeys> keys_;
  std::unique_ptr<LogonThrottle> throttle_;
  std::unique_ptr<CommandHandler> handler_;
};

TEST_F(CommandHandlerTest, CommandsBeforeTheLogonAreRefusedWithTheirSubCommandEchoed) {
  for (const Command& row : CommandHandler::Commands()) {
    if (!row.needs_logon) continue;
    const bool has_sub = row.sub_command != CommandHandler::kNoSubCommand;
    // Field 100 on a command without sub-commands is not echoed.
    const CommandOutcome out = handler_->Handle(*Request(row.name, has_sub ? row.sub_command : 5));
    EXPECT_EQ(kServerNotLoggedOn, out.error) << row.name << " " << row.sub_command;
    EXPECT_EQ(std::string(row.name) + "R", out.reply->GetCommand());
    EXPECT_EQ(has_sub ? row.sub_command : -1, Echoed(out)) << row.name;
  }
  // An unknown command, or a sub-command no family has, is refused alike.
  EXPECT_EQ(kServerNotLoggedOn, handler_->Handle(*Request("FROBNICATE")).error);
  const CommandOutcome out = handler_->Handle(*Request("PRODUCTIONCMD", kUnknownSubCommand));
  EXPECT_EQ(kServerNotLoggedOn, out.error);
  EXPECT_EQ(kUnknownSubCommand, Echoed(out));
  EXPECT_FALSE(handler_->logged_on());
}

TEST_F(CommandHandlerTest, UnknownCommandsAndSubCommandsAfterTheLogonAreMalformed) {
  LogOn();
  std::set<std::string> families;
  for (const Command& row : CommandHandler::Commands()) {
    if (row.sub_command != CommandHandler::kNoSubCommand) families.insert(row.name);
  }
  ASSERT_FALSE(families.empty());
  for (const std::string& family : families) {
    CommandOutcome out = handler_->Handle(*Request(family, kUnknownSubCommand));
    EXPECT_EQ(kMalformed, out.error) << family;
    EXPECT_EQ(kUnknownSubCommand, Echoed(out)) << family;
    EXPECT_EQ(kUnknownSubCommand, out.sub_command) << family;
    out = handler_->Handle(*Request(family));  // no sub-command at all
    EXPECT_EQ(kMalformed, out.error) << family;
    EXPECT_EQ(-1, Echoed(out)) << family;
  }
  const CommandOutcome out = handler_->Handle(*Request("FROBNICATE", 4));
  EXPECT_EQ(kMalformed, out.error);
  EXPECT_EQ("FROBNICATER", out.reply->GetCommand());
  EXPECT_EQ(-1, Echoed(out));
  EXPECT_EQ(-1, out.sub_command);
}

// A logon is not a licence for the connection's life: the user's entry is
// read again, so that removing a user, or changing a leaked password, cuts
// the connections already open too.
TEST_F(CommandHandlerTest, AConnectionIsLoggedOffWhenItsUserIsRemovedOrThePasswordChanges) {
  HandlerLimits limits;
  limits.user_recheck = std::chrono::milliseconds(0);
  for (const bool remove : {true, false}) {
    SCOPED_TRACE(remove ? "removed" : "new password");
    handler_ = std::make_unique<CommandHandler>(*storage_, *keys_, *throttle_, nullptr, limits);
    LogOn();
    EXPECT_NE(kServerNotLoggedOn, handler_->Handle(*Request(name_list::kCommand)).error);
    ASSERT_EQ(kOk, remove ? storage_->RemoveUser("alice")
                          : storage_->SetUserDigest("alice", LogonDigest("alice", "changed")));
    const CommandOutcome out = handler_->Handle(*Request(name_list::kCommand));
    EXPECT_EQ(kServerNotLoggedOn, out.error);
    EXPECT_NE(std::string::npos, out.note.find("removed or his password changed")) << out.note;
    EXPECT_FALSE(handler_->logged_on());
    // Logged off for good: the old digest is not tried again.
    EXPECT_EQ(kServerNotLoggedOn, handler_->Handle(*Request(name_list::kCommand)).error);
    if (remove) {
      ASSERT_EQ(kOk, storage_->AddUser("alice", LogonDigest("alice", "secret")));
    }
  }
}

// A second LOGON whose digest matched but which failed after that (here: a
// client key that cannot be used) leaves the first logon as it stood, with
// the digest it is checked by.
TEST_F(CommandHandlerTest, AFailedSecondLogonLeavesTheFirstOneStanding) {
  HandlerLimits limits;
  limits.user_recheck = std::chrono::milliseconds(0);
  handler_ = std::make_unique<CommandHandler>(*storage_, *keys_, *throttle_, nullptr, limits);
  LogOn();
  ASSERT_EQ(kOk, storage_->AddUser("bob", LogonDigest("bob", "pw")));
  const CommandOutcome announced = handler_->Handle(*Request("PRELOGON"));
  std::string server_key, digest, sealed;
  ASSERT_EQ(kFieldOk, announced.reply->GetString(100, &server_key));
  CRLDATcrypto::DigestToHex(digest, kDigestMd5, std::string("pw") + "bob");
  ASSERT_TRUE(CRLDATcrypto::RsaEncryptToHex(server_key, digest.data(), digest.size(), &sealed));
  MessagePtr logon = Request("LOGON");
  logon->SetString(100, "bob");
  logon->SetString(101, sealed);
  logon->SetString(102, "not a key");
  EXPECT_EQ(kMalformed, handler_->Handle(*logon).error);
  EXPECT_EQ("alice", handler_->user());
  EXPECT_NE(kServerNotLoggedOn, handler_->Handle(*Request(name_list::kCommand)).error);
  EXPECT_TRUE(handler_->logged_on());
}

// Within the recheck time the logon is trusted: no read of the user's
// entry per command.
TEST_F(CommandHandlerTest, TheUsersEntryIsReadAgainOnlyAfterTheRecheckTime) {
  HandlerLimits limits;
  limits.user_recheck = std::chrono::hours(1);
  handler_ = std::make_unique<CommandHandler>(*storage_, *keys_, *throttle_, nullptr, limits);
  LogOn();
  ASSERT_EQ(kOk, storage_->RemoveUser("alice"));
  EXPECT_NE(kServerNotLoggedOn, handler_->Handle(*Request(name_list::kCommand)).error);
  EXPECT_TRUE(handler_->logged_on());
}

}  // namespace
}  // namespace tw::twserver
