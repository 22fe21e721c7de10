// ClientSession against a real TWServer and a real TWPMSvr: logon, lock
// policies, the add → lock → edit → check-in → fetch cycle with the state
// cache, deferred locks, and what another user's check-in does to the
// local status. Runs in a zone other than UTC so that a stamp converted
// twice shows.
#include "session/client_session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>

#include "platform/file_attributes.h"
#include "protocol/document_command.h"
#include "protocol/lock_command.h"
#include "protocol/name_table.h"
#include "protocol/production_command.h"
#include "protocol/server_errors.h"
#include "session/document_requests.h"
#include "session/lock_requests.h"
#include "session/production_requests.h"
#include "session/state_cache.h"
#include "settings/stamp.h"
#include "tests/support/fake_server.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"
#include "tests/support/wire_client.h"
#include "transport/message_hub.h"
#include "ui/script.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

LocalFile Local(const std::string& path) {
  const size_t slash = path.rfind('/');
  return {path, path.substr(0, slash), path.substr(slash + 1)};
}

bool ReadOnly(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

int64_t ModifiedSeconds(const std::string& path) {
  int64_t seconds = -1;
  LocalFileModifiedSeconds(path, &seconds);
  return seconds;
}

// Seconds since 1970 of a UTC stamp text "Y:M:D:h:m:s:ms".
int64_t StampSeconds(const std::string& stamp) {
  struct tm t = {};
  int ms = 0;
  std::sscanf(stamp.c_str(), "%d:%d:%d:%d:%d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
              &t.tm_min, &t.tm_sec, &ms);
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  return static_cast<int64_t>(timegm(&t));
}

class ClientSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "America/New_York", 1);
    tzset();
    ASSERT_TRUE(property_server_.Start());
    ASSERT_TRUE(server_.Init());
    ASSERT_TRUE(server_.AddUser("alice", "alice pw"));
    ASSERT_TRUE(server_.AddUser("bob", "bob pw"));
    ASSERT_TRUE(server_.Start());
    SetServerEndpoint("127.0.0.1", server_.port());
    script_ = std::make_shared<ScriptedUserInterface>();
    SetUserInterface(script_);
    work_ = env_.Path("work");
    std::filesystem::create_directories(work_);
  }
  void TearDown() override {
    session_.reset();
    ReleaseMessageHub();
    SetUserInterface(nullptr);
  }

  ClientSession* LogOn(const std::string& user, const std::string& password) {
    session_ = std::make_unique<ClientSession>();
    // A session that ended closed the connection, as the logon reopens it.
    if (!GetMessageHub()->IsConnected()) GetMessageHub()->Connect();
    EXPECT_TRUE(GetMessageHub()->IsConnected());
    EXPECT_EQ(session_->Logon(user, password), kSessionOk);
    return session_.get();
  }

  // A Production below the root for the test's files.
  std::string MakeProduction(const std::string& name) {
    std::string id;
    EXPECT_EQ(CreateProduction(session_.get(), session_->current_project(), name, &id), kSessionOk);
    return id;
  }

  std::vector<std::string> AddFiles(const std::string& production,
                                    const std::vector<std::string>& names) {
    std::vector<LocalFile> files;
    for (const std::string& name : names) {
      test::WriteFile(work_ + "/" + name, "first version of " + name + "\n");
      files.push_back(Local(work_ + "/" + name));
    }
    std::vector<std::string> ids;
    EXPECT_EQ(AddDocuments(session_.get(), std::vector<std::string>(names.size(), production),
                           files, "added", &ids),
              kSessionOk);
    return ids;
  }

  DocumentInfo Info(const std::string& production, const std::string& path) {
    std::vector<DocumentInfo> infos;
    EXPECT_EQ(FetchDocumentInfo(session_.get(), production, {path}, work_, work_, &infos),
              kSessionOk);
    return infos.empty() ? DocumentInfo() : infos[0];
  }

  // Another user, on a wire client of its own, locks and checks in.
  void CheckInAs(const std::string& user, const std::string& password, const std::string& id,
                 const std::string& contents) {
    test::WireClient other;
    ASSERT_TRUE(other.Connect(server_.port()));
    ASSERT_EQ(other.Logon(user, password), 0);
    MessagePtr lock = test::WireClient::Request("ACQUIRELOCK");
    lock->SetString(ParameterId(1), id);
    lock->SetInt(ParameterId(4), 72);
    lock->SetBoolList(ParameterId(5), {false});
    MessagePtr locked = other.Call(*lock);
    ASSERT_TRUE(locked);
    ASSERT_EQ(locked->GetErrorCode(), 0);
    const std::string path = env_.Path("other.txt");
    test::WriteFile(path, contents);
    MessagePtr checkin = test::WireClient::Request("DOCUMENTCMD", 2);
    checkin->SetString(ParameterId(2), id);
    checkin->SetRawField(ParameterId(3), FIELD_FILELIST, path.data(), path.size());
    checkin->SetInt(ParameterId(4), 0);
    checkin->SetString(ParameterId(5), path);
    checkin->SetString(ParameterId(6), "theirs");
    checkin->SetIntList(ParameterId(7), {0});
    MessagePtr done = other.Call(*checkin);
    ASSERT_TRUE(done);
    ASSERT_EQ(done->GetErrorCode(), 0);
    MessagePtr release = test::WireClient::Request("RELEASELOCK");
    release->SetString(ParameterId(1), id);
    release->SetInt(300, 1);
    other.Call(*release);
  }

  test::TestEnv env_;
  test::PropertyServer property_server_;
  test::TestServer server_{env_.Path("repo")};
  std::shared_ptr<ScriptedUserInterface> script_;
  std::unique_ptr<ClientSession> session_;
  std::string work_;
};

TEST_F(ClientSessionTest, LockPolicyOfTheServerOverridesTheCallersWish) {
  std::string out;
  ASSERT_EQ(server_.Run({"set", "--data", server_.dir(), "lock-policy", "1"}, "", &out), 0);
  LogOn("alice", "alice pw");
  EXPECT_TRUE(session_->ServerDemandsExclusiveLock());
  EXPECT_FALSE(session_->ServerDemandsSharedLock());
  EXPECT_EQ(ChooseLockType(session_.get(), true), kLockExclusive);
  session_.reset();

  ASSERT_EQ(server_.Run({"set", "--data", server_.dir(), "lock-policy", "2"}, "", &out), 0);
  LogOn("alice", "alice pw");
  EXPECT_TRUE(session_->ServerDemandsSharedLock());
  EXPECT_EQ(ChooseLockType(session_.get(), false), kLockShared);
}

TEST_F(ClientSessionTest, AddLockEditCheckInFetchCycle) {
  LogOn("alice", "alice pw");
  const std::string games = MakeProduction("Games");

  const std::string path = work_ + "/main.c";
  const std::vector<std::string> ids = AddFiles(games, {"main.c", "empty.h"});
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_TRUE(ReadOnly(path));
  DocumentInfo info = Info(games, path);
  EXPECT_TRUE(info.controlled);
  EXPECT_EQ(info.document_id, ids[0]);
  EXPECT_EQ(DecideLocalStatus(info, path), kStatusCurrent);

  // Check-in without a lock is refused.
  test::WriteFile(work_ + "/scratch.c", "x");
  EXPECT_EQ(CheckInDocuments(session_.get(), {ids[0]}, {Local(work_ + "/scratch.c")}, "", false),
            kSessionReleaseRefused);

  ASSERT_EQ(AcquireLocks(session_.get(), {ids[0]}, {path}, {false}, false), kSessionOk);
  EXPECT_FALSE(ReadOnly(path));
  info = Info(games, path);
  EXPECT_TRUE(info.checked_out_by_me);
  EXPECT_TRUE(info.exclusive);

  ::chmod(path.c_str(), 0644);
  test::WriteFile(path, "second version, edited\n");
  const struct timespec later[2] = {{std::time(nullptr) + 5, 0}, {std::time(nullptr) + 5, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), later, 0);
  EXPECT_EQ(DecideLocalStatus(info, path), kStatusModified);

  const std::string comment = "line one\nline two! done";
  ASSERT_EQ(CheckInDocuments(session_.get(), {ids[0]}, {Local(path)}, comment, false), kSessionOk);
  std::string table_text;
  ASSERT_EQ(GetNameList(session_.get(), "", ids[0], 4, false, &table_text), kSessionOk);
  NameTable versions;
  ASSERT_TRUE(NameTable::Parse(table_text, &versions, nullptr));
  ASSERT_EQ(versions.row_count(), 2u);
  EXPECT_EQ(versions.Get(0, "P46"), comment);  // newest first, arrived intact
  ASSERT_EQ(ReleaseLocks(session_.get(), {ids[0]}, {path}), kSessionOk);

  // Fetch into a second folder: same bytes, the server stamp's instant.
  const std::string copy_dir = env_.Path("copy");
  std::filesystem::create_directories(copy_dir);
  const std::string copy = copy_dir + "/main.c";
  ASSERT_EQ(FetchDocuments(session_.get(), {ids[0]}, {Local(copy)}), kSessionOk);
  EXPECT_EQ(test::ReadFile(copy), "second version, edited\n");
  info = Info(games, path);
  EXPECT_EQ(ModifiedSeconds(copy), StampSeconds(info.server_stamp));
  EXPECT_EQ(DecideLocalStatus(info, copy), kStatusCurrent);
  EXPECT_TRUE(ReadOnly(copy));

  // An empty list sends nothing.
  EXPECT_EQ(FetchDocuments(session_.get(), {}, {}), kSessionOk);

  // Another user's check-in makes the copy old (the other decisions from
  // the recorded state: StateCacheTest).
  CheckInAs("bob", "bob pw", ids[0], "bob's version\n");
  info = Info(games, path);  // the same Document
  EXPECT_EQ(DecideLocalStatus(info, copy), kStatusOld);
}

TEST_F(ClientSessionTest, ConflictOnTheThirdOfFiveAsksAndResendsWithThatFlagOnly) {
  LogOn("alice", "alice pw");
  const std::string games = MakeProduction("Games");
  const std::vector<std::string> ids = AddFiles(games, {"1.c", "2.c", "3.c", "4.c", "5.c"});
  ASSERT_EQ(ids.size(), 5u);
  test::WireClient bob;
  ASSERT_TRUE(bob.Connect(server_.port()));
  ASSERT_EQ(bob.Logon("bob", "bob pw"), 0);
  MessagePtr lock = test::WireClient::Request("ACQUIRELOCK");
  lock->SetString(ParameterId(1), ids[2]);
  lock->SetInt(ParameterId(4), 72);
  lock->SetBoolList(ParameterId(5), {false});
  ASSERT_EQ(bob.Call(*lock)->GetErrorCode(), 0);

  std::vector<std::string> paths;
  for (const char* name : {"1.c", "2.c", "3.c", "4.c", "5.c"}) paths.push_back(work_ + "/" + name);
  // Declining ends the transaction without a resend.
  script_->QueueMessageBox("Could not acquire lock.", kIdNo);
  EXPECT_EQ(AcquireLocks(session_.get(), ids, paths, std::vector<bool>(5, false), false),
            kSessionDeclinedDeferred);

  script_->QueueMessageBox("Could not acquire lock.", kIdYes);
  EXPECT_EQ(AcquireLocks(session_.get(), ids, paths, std::vector<bool>(5, false), false),
            kSessionDeferredRequested);
  EXPECT_EQ(script_->Remaining(), 0u);

  // Only the third was resent as deferred: alice waits there, and the
  // whole resend failed on nothing else, so the others are locked.
  std::string text;
  ASSERT_EQ(GetNameList(session_.get(), "", ids[2], 3, false, &text), kSessionOk);
  NameTable locks;
  ASSERT_TRUE(NameTable::Parse(text, &locks, nullptr));
  ASSERT_EQ(locks.row_count(), 2u);
  EXPECT_EQ(locks.Get(1, "User"), "alice");
  EXPECT_EQ(locks.Get(1, "Deferred"), "1");
  for (size_t i : {0, 1, 3, 4}) {
    ASSERT_EQ(GetNameList(session_.get(), "", ids[i], 3, false, &text), kSessionOk);
    ASSERT_TRUE(NameTable::Parse(text, &locks, nullptr));
    ASSERT_EQ(locks.row_count(), 1u) << i;
    EXPECT_EQ(locks.Get(0, "User"), "alice");
  }
}

// The remaining context forgets the logon mark; the connection this session
// logged on over still closes when the session ends.
TEST_F(ClientSessionTest, EndOfTheSessionClosesTheConnectionAfterTheLogonMarkWasForgotten) {
  LogOn("alice", "alice pw");
  session_->ForgetLogonState();
  EXPECT_FALSE(session_->logged_on());
  EXPECT_TRUE(GetMessageHub()->IsConnected());
  session_.reset();
  EXPECT_FALSE(GetMessageHub()->IsConnected());
}

// A logon after the root was renamed must not keep the identifier found
// before; once the name fits again the root is found again.
TEST_F(ClientSessionTest, RootIdentifierIsFoundAfreshAtEachLogon) {
  session_ = std::make_unique<ClientSession>(SessionOptions(), "Veltrane");
  ASSERT_EQ(session_->Logon("alice", "alice pw"), kSessionOk);
  const std::string root = session_->root_id();
  ASSERT_FALSE(root.empty());
  std::string id;
  ASSERT_EQ(LookupProduction(session_.get(), "", false, &id), kSessionOk);
  EXPECT_EQ(id, root);

  auto log_on_again = [&](const std::string& root_name) {
    std::string out;
    EXPECT_EQ(server_.Run({"set", "--data", server_.dir(), "root-name", root_name}, "", &out), 0);
    session_->ForgetLogonState();
    GetMessageHub()->Disconnect();
    GetMessageHub()->Connect();
    return session_->Logon("alice", "alice pw");
  };
  ASSERT_EQ(log_on_again("Elsewhere"), kSessionOk);
  EXPECT_TRUE(session_->logged_on());
  EXPECT_EQ(session_->root_id(), "");
  ASSERT_EQ(log_on_again("Veltrane"), kSessionOk);
  EXPECT_EQ(session_->root_id(), root);
  EXPECT_EQ(session_->current_project(), root);
}

// A fetch whose file cannot be placed fails, places the others, creates
// missing folders and leaves no scratch file behind; a refused fetch is a
// session result, never the server's code.
TEST_F(ClientSessionTest, FetchPlacesWhatItCanAndFailsForTheRest) {
  LogOn("alice", "alice pw");
  const std::string games = MakeProduction("Games");
  const std::vector<std::string> ids = AddFiles(games, {"a.c", "b.c"});
  ASSERT_EQ(ids.size(), 2u);

  const std::string deep = env_.Path("copy/new/deeper/a.c");
  test::WriteFile(env_.Path("blocker"), "a file where a folder would have to be");
  const std::string blocked = env_.Path("blocker/b.c");
  EXPECT_EQ(FetchDocuments(session_.get(), ids, {Local(deep), Local(blocked)}), kSessionUnexpected);
  EXPECT_TRUE(std::filesystem::is_empty(env_.Path("tmp")));
  EXPECT_EQ(test::ReadFile(deep), "first version of a.c\n");
  EXPECT_EQ(DecideLocalStatus(Info(games, work_ + "/a.c"), deep), kStatusCurrent);

  EXPECT_EQ(FetchDocuments(session_.get(), {"0000000000000000"}, {Local(deep)}),
            kSessionUnexpected);
  EXPECT_TRUE(std::filesystem::is_empty(env_.Path("tmp")));
}

// A fetched file whose place lies below a link that leads out of its working
// folder is not placed, and nothing is created on the other side; missing
// folders inside the working folder are made.
TEST_F(ClientSessionTest, FetchNeverLeavesTheWorkingFolder) {
  LogOn("alice", "alice pw");
  const std::string games = MakeProduction("Games");
  const std::vector<std::string> ids = AddFiles(games, {"a.c"});
  ASSERT_EQ(ids.size(), 1u);
  const std::string copy = env_.Path("copy");
  const std::string outside = env_.Path("outside");
  std::filesystem::create_directories(copy);
  std::filesystem::create_directories(outside);
  ASSERT_EQ(0, ::symlink("../outside", (copy + "/link").c_str()));

  auto inside = [&](const std::string& path) {
    LocalFile file = Local(path);
    file.working_folder = copy;
    return file;
  };
  for (const std::string& path : {copy + "/link/a.c", copy + "/link/new/a.c", outside + "/a.c"}) {
    EXPECT_EQ(FetchDocuments(session_.get(), ids, {inside(path)}), kSessionUnexpected) << path;
  }
  EXPECT_TRUE(std::filesystem::is_empty(outside));
  EXPECT_TRUE(std::filesystem::is_empty(env_.Path("tmp")));

  ASSERT_EQ(FetchDocuments(session_.get(), ids, {inside(copy + "/src/lib/deep/a.c")}), kSessionOk);
  EXPECT_EQ(test::ReadFile(copy + "/src/lib/deep/a.c"), "first version of a.c\n");
  EXPECT_EQ(DecideLocalStatus(Info(games, work_ + "/a.c"), copy + "/src/lib/deep/a.c"),
            kStatusCurrent);
}

// A server that names a file of the user's as a received file never gets it
// moved or removed: only the reader's scratch files are ever taken.
TEST_F(ClientSessionTest, FetchReplyNamingAForeignPathIsRefused) {
  const std::string victim = env_.Path("home/precious.txt");
  test::WriteFile(victim, "mine");
  // Shaped like one of the reader's scratch names, in the scratch folder:
  // still not one the reader created.
  const std::string lookalike = env_.Path("tmp/CRLab12cd");
  test::WriteFile(lookalike, "planted");
  int fetches = 0;  // the peer's thread only
  test::LoopbackPeer peer([&](test::LoopbackPeer::Connection& c, MessagePtr m) {
    MessagePtr reply = test::MakeReply(*m);
    const std::string command = m->GetCommand();
    if (!test::AnswerLogon(command, *m, reply.get())) {
      reply->SetString(fetch::kReplyDocumentIds, "0000000000000002");
      reply->SetString(fetch::kReplyStamps, "2024:01:01:00:00:00:000");
      // A plain string, no file list.
      reply->SetString(fetch::kReplyFiles, fetches++ == 0 ? victim : lookalike);
    }
    c.Send(*reply);
  });
  SetServerEndpoint("127.0.0.1", peer.port());
  LogOn("alice", "anything");
  const std::string target = work_ + "/fetched.txt";
  EXPECT_EQ(FetchDocuments(session_.get(), {"0000000000000002"}, {Local(target)}),
            kSessionUnexpected);
  EXPECT_EQ(FetchDocumentToFile(session_.get(), "0000000000000002", 0, target), kSessionUnexpected);
  session_.reset();
  EXPECT_EQ(test::ReadFile(victim), "mine");
  EXPECT_EQ(test::ReadFile(lookalike), "planted");
  EXPECT_FALSE(std::filesystem::exists(target));
}

// Each request sees only its own reply: the files of a refused reply are gone
// when its request returns, the next reply cannot place them, and a lock
// conflict is told with the request it refused, not the one after it.
TEST_F(ClientSessionTest, EachRequestSeesOnlyItsOwnReply) {
  const std::string served = env_.Path("served.txt");
  test::WriteFile(served, "contents of a refused reply");
  const std::string id = "0000000000000002";
  int fetches = 0;  // the peer's thread only
  int locks = 0;
  test::LoopbackPeer peer([&](test::LoopbackPeer::Connection& c, MessagePtr m) {
    MessagePtr reply = test::MakeReply(*m);
    const std::string command = m->GetCommand();
    if (test::AnswerLogon(command, *m, reply.get())) {
      // logged on, the root found
    } else if (command == kDocumentCommand) {
      reply->SetString(fetch::kReplyDocumentIds, id);
      reply->SetString(fetch::kReplyStamps, "2024:01:01:00:00:00:000");
      if (fetches++ == 0) {
        // Refused, yet carrying a whole file.
        reply->SetInt(ERRORCODE, kServerUnknownId);
        reply->SetRawField(fetch::kReplyFiles, FIELD_FILELIST, served.data(), served.size());
      }
    } else if (command == acquire_lock::kCommand && locks++ == 0) {
      reply->SetInt(ERRORCODE, kServerExclusiveConflict);
      reply->SetInt(acquire_lock::kReplyFailedIndex, 0);
      reply->SetString(acquire_lock::kReplyFailedName, "a.c");
    }
    c.Send(*reply);
  });
  SetServerEndpoint("127.0.0.1", peer.port());
  LogOn("alice", "anything");
  const std::string target = work_ + "/a.c";

  EXPECT_EQ(FetchDocuments(session_.get(), {id}, {Local(target)}), kSessionUnexpected);
  EXPECT_TRUE(std::filesystem::is_empty(env_.Path("tmp")))
      << "a refused reply's file outlived its request";
  std::string why;
  EXPECT_EQ(FetchDocuments(session_.get(), {id}, {Local(target)}, {}, &why), kSessionUnexpected);
  EXPECT_FALSE(std::filesystem::exists(target));
  EXPECT_FALSE(why.empty());

  script_->QueueMessageBox("Could not acquire lock.", kIdNo);
  LockConflict conflict;
  EXPECT_EQ(AcquireLocks(session_.get(), {id}, {target}, {false}, false, &conflict),
            kSessionDeclinedDeferred);
  EXPECT_EQ(conflict.server_error, kServerExclusiveConflict);
  EXPECT_EQ(conflict.document_id, id);
  EXPECT_EQ(AcquireLocks(session_.get(), {id}, {target}, {false}, false, &conflict), kSessionOk);
  EXPECT_EQ(conflict.server_error, 0);
  EXPECT_EQ(conflict.document_id, "");
}

// A Document identifier is one node name in the state store, whatever it
// holds: the lock's "CheckedOutTo" entry lands under the identifier whole,
// and the release removes that node and nothing around it.
TEST_F(ClientSessionTest, LockEntriesOfAnIdentifierHoldingASlashStayOneNode) {
  test::LoopbackPeer peer([&](test::LoopbackPeer::Connection& c, MessagePtr m) {
    MessagePtr reply = test::MakeReply(*m);
    const std::string command = m->GetCommand();
    test::AnswerLogon(command, *m, reply.get());
    c.Send(*reply);  // the lock commands are granted as they come
  });
  SetServerEndpoint("127.0.0.1", peer.port());
  LogOn("alice", "anything");
  const std::string path = work_ + "/main.c";
  test::WriteFile(path, "x");
  const std::string id = "00/01";

  // A neighbour whose name is the identifier's first part must survive.
  auto store = OpenStateStore();
  {
    auto states = store->OpenNode(nullptr, kDocumentStatesNode);
    auto neighbour = store->OpenNodeNamed(states.get(), "00");
    ASSERT_TRUE(store->WriteString(neighbour.get(), "Keep", "yes", false));
  }
  auto named = [&] {
    auto states = store->OpenNode(nullptr, kDocumentStatesNode);
    return store->OpenNodeNamed(states.get(), id);
  };
  auto neighbour_value = [&] {
    auto states = store->OpenNode(nullptr, kDocumentStatesNode);
    auto neighbour = store->OpenNodeNamed(states.get(), "00");
    std::string value;
    store->ReadString(neighbour.get(), "Keep", &value, false);
    return value;
  };

  ASSERT_EQ(AcquireLocks(session_.get(), {id}, {path}, {false}, false), kSessionOk);
  std::string folder;
  EXPECT_TRUE(store->ReadString(named().get(), kCheckedOutToKey, &folder, false));
  EXPECT_EQ(folder, work_);
  std::map<std::string, std::string> children;
  {
    auto states = store->OpenNode(nullptr, kDocumentStatesNode);
    ASSERT_TRUE(store->ListChildren(states.get(), "00", &children, false));
  }
  EXPECT_EQ(children.count("01"), 0u) << "the identifier was split at its slash";

  ASSERT_EQ(ReleaseLocks(session_.get(), {id}, {path}), kSessionOk);
  folder.clear();
  EXPECT_FALSE(store->ReadString(named().get(), kCheckedOutToKey, &folder, false));
  EXPECT_EQ(neighbour_value(), "yes");
}

// A name is below a folder only when the folder's whole path, letter case
// included, is followed by "/".
TEST(RelativeNameTest, ExactPrefixEndedBySeparator) {
  EXPECT_EQ(RelativeName("/a/b/d/c.txt", "/a/b/"), "d/c.txt");
  EXPECT_EQ(RelativeName("/a/c.txt", "/"), "a/c.txt");
  EXPECT_EQ(RelativeName("/a/bc/x.txt", "/a/b"), "");
  EXPECT_EQ(RelativeName("/a/b/", "/a/b"), "");
  EXPECT_EQ(RelativeName("/A/B/c.txt", "/a/b"), "");
  EXPECT_EQ(RelativeName("/a/b/c.txt", ""), "");
}

}  // namespace
}  // namespace tw
