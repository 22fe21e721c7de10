// Two users on one Production with nested folders, each on a host of his
// own (alice in this process, bob in the helper process), against a real
// TWServer: no check-in replaces a version its author never had, letter
// case never makes two local files one Document, every failure reaches the
// host as a failure, and each file of a batch has its own outcome.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/path.h"
#include "provider/export_support.h"
#include "provider/msscci.h"
#include "session/client_session.h"
#include "session/state_cache.h"
#include "tests/support/provider_fixture.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using test::Edit;
using test::IsWritable;
using test::MakeFile;
using test::ReadFile;
using test::SccHost;
using Binding = SccHost::Binding;
using Lines = std::vector<std::string>;

constexpr char kDefer[] = "msgbox \"Could not acquire lock.\" Yes\n";
constexpr char kSharedCheckout[] = "dialog 116 1 1036=1\n";

class ProviderTeamworkTest : public test::ProviderFixture {
 protected:
  // Alice's new Production `production` bound to alice/, with `names`
  // (relative paths) added; each file holds "<name> v1".
  LPVOID AliceWith(const std::string& production, const std::vector<std::string>& names,
                   std::vector<std::string>* files) {
    LPVOID context = NewContext();
    binding_ = CreateProduction(context, production, env_.Path("alice"), "alice");
    EXPECT_EQ(SCC_OK, host_->Open(context, binding_));
    for (const std::string& name : names) {
      files->push_back(env_.Path("alice/" + name));
      MakeFile(files->back(), name + " v1");
    }
    EXPECT_EQ(SCC_OK, host_->Add(context, *files, "first"));
    return context;
  }

  // Bob's working folder on the same Production, and his paths of `names`.
  Binding Bob() const { return {binding_.project, env_.Path("bob"), binding_.aux}; }
  std::vector<std::string> BobFiles(const std::vector<std::string>& names) const {
    std::vector<std::string> files;
    for (const std::string& name : names) {
      files.push_back(env_.Path("bob/" + name));
      fs::create_directories(fs::path(files.back()).parent_path());
    }
    return files;
  }

  bool HelperSaid(const std::string& text) const {
    return helper_notices_.find(text) != std::string::npos;
  }

  // Check-ins the server has handled so far.
  int CheckIns(LPVOID context, const std::string& file) {
    SyncLog(context, file);
    return LogCount("command=DOCUMENTCMD sub=2 ");
  }

  // The server's current content of `file`, beside it.
  std::string ServerContent(LPVOID context, const std::string& file) {
    const std::string copy = env_.Path("server-copy.txt");
    EXPECT_EQ(SCC_OK, host_->get_version(context, nullptr, file.c_str(), 0, copy.c_str()));
    return ReadFile(copy);
  }

  Binding binding_;
};

// Bob queues for the lock Alice holds; she checks in version 2 and the lock
// goes to him while his copy is still version 1. His check-in of an edit
// made on version 1 is refused, naming both versions, and loses nothing;
// his next check-out brings version 2 down, asking first.
TEST_F(ProviderTeamworkTest, DeferredLockGrantedLaterCannotOverwriteTheNewerVersion) {
  const std::vector<std::string> names = {"src/lib/a.txt", "top.txt"};
  std::vector<std::string> alice;
  LPVOID context = AliceWith("Team", names, &alice);
  const Binding bob = Bob();
  const std::vector<std::string> bob_files = BobFiles(names);
  ASSERT_EQ(Lines{"result 0"}, Helper("bob", bob, "get", bob_files));

  ASSERT_EQ(SCC_OK, host_->Checkout(context, {alice[0]}));
  // Refused, and queued, are not checked out: a failure code each, and the
  // holder named.
  EXPECT_EQ(Lines{"result -12"}, Helper("bob", bob, "checkout", {bob_files[0]},
                                        "msgbox \"Could not acquire lock.\" No\n"));
  EXPECT_TRUE(HelperSaid("'" + bob_files[0] +
                         "' is locked by alice (exclusive lock). Nothing was checked out."))
      << helper_notices_;
  EXPECT_EQ(Lines{"result -12"}, Helper("bob", bob, "checkout", {bob_files[0]}, kDefer));
  EXPECT_TRUE(HelperSaid("'" + bob_files[0] +
                         "' is locked by alice (exclusive lock); you are queued for its lock "
                         "(place 1)."))
      << helper_notices_;
  EXPECT_FALSE(IsWritable(bob_files[0]));

  Edit(alice[0], "alice v2");
  ASSERT_EQ(SCC_OK, host_->Checkin(context, {alice[0]}, "two"));
  EXPECT_EQ((Lines{"result 0", "status 100b"}), Helper("bob", bob, "status", {bob_files[0]}));

  // Bob's edit on version 1: refused, nothing sent, his lock and his file
  // as they were.
  Edit(bob_files[0], "bob on v1");
  const int checkins = CheckIns(context, alice[0]);
  EXPECT_EQ(Lines{"result -9"}, Helper("bob", bob, "checkin", {bob_files[0]}));
  EXPECT_TRUE(HelperSaid("'" + bob_files[0] +
                         "' was not checked in: the server has version 2, and your copy is based "
                         "on version 1."))
      << helper_notices_;
  EXPECT_EQ(checkins, CheckIns(context, alice[0]));
  EXPECT_EQ("bob on v1", ReadFile(bob_files[0]));
  EXPECT_TRUE(IsWritable(bob_files[0]));
  EXPECT_EQ((Lines{"result 0", "status 100b"}), Helper("bob", bob, "status", {bob_files[0]}));
  EXPECT_EQ("alice v2", ServerContent(context, alice[0]));

  // His next check-out brings version 2 down, asking about his edit: No
  // keeps it, Yes takes version 2.
  EXPECT_EQ(Lines{"result 0"}, Helper("bob", bob, "checkout", {bob_files[0]}, "dialog 110 1002\n"));
  EXPECT_TRUE(HelperSaid("'" + bob_files[0] +
                         "' is checked out to you, and the server has version 2, while your "
                         "copy is based on version 1."))
      << helper_notices_;
  EXPECT_EQ("bob on v1", ReadFile(bob_files[0]));
  EXPECT_EQ(Lines{"result 0"}, Helper("bob", bob, "checkout", {bob_files[0]}, "dialog 110 1000\n"));
  EXPECT_EQ("alice v2", ReadFile(bob_files[0]));
  EXPECT_TRUE(IsWritable(bob_files[0]));

  // On version 2 his edit goes in, and reaches Alice.
  Edit(bob_files[0], "alice v2, then bob");
  EXPECT_EQ(Lines{"result 0"}, Helper("bob", bob, "checkin", {bob_files[0]}));
  Script("dialog 110 1000\n");
  ASSERT_EQ(SCC_OK, host_->Get(context, {alice[0]}));
  EXPECT_EQ("alice v2, then bob", ReadFile(alice[0]));
}

// A copy whose base version nobody recorded (the state cache lost its
// record, or the working folder moved) cannot be told from a stale one: its
// check-in is refused as well, and a get of the server's version, asked
// about first, sets things right.
TEST_F(ProviderTeamworkTest, ACheckInFromAnUnknownBaseIsRefused) {
  const std::vector<std::string> names = {"docs/a.txt"};
  std::vector<std::string> alice;
  LPVOID context = AliceWith("Unrecorded", names, &alice);
  ASSERT_EQ(SCC_OK, host_->Checkout(context, {alice[0]}));
  Edit(alice[0], "alice's edit");
  {
    std::unique_ptr<PropertyFileClient> store = OpenStateStore();
    std::unique_ptr<PropertyNode> states = store->OpenNode(nullptr, kDocumentStatesNode);
    ASSERT_TRUE(states);
    ASSERT_TRUE(
        store->DeleteNodeNamed(states.get(), StateDirectoryKey(NativeParent(alice[0])), true));
  }
  const int checkins = CheckIns(context, alice[0]);
  SccHost::ClearNotices();
  EXPECT_EQ(SCC_E_CHECKINCONFLICT, host_->Checkin(context, {alice[0]}, "unknown base"));
  EXPECT_TRUE(SccHost::SawNotice(
      "Veltrane: '" + alice[0] +
      "' was not checked in: which version your copy is based on is not known here (no record "
      "of it in this working folder), so it could replace version 1 unseen. Nothing was sent "
      "for it and it stays checked out to you; get version 1 (you are asked before your copy "
      "is overwritten, and may merge), then check it in again."))
      << ::testing::PrintToString(SccHost::Notices());
  EXPECT_EQ(checkins, CheckIns(context, alice[0]));
  EXPECT_EQ("alice's edit", ReadFile(alice[0]));
  EXPECT_TRUE(IsWritable(alice[0]));

  Script("dialog 110 1000\n");
  ASSERT_EQ(SCC_OK, host_->Get(context, {alice[0]}));
  EXPECT_EQ("docs/a.txt v1", ReadFile(alice[0]));
  Edit(alice[0], "alice's edit on v1");
  EXPECT_EQ(SCC_OK, host_->Checkin(context, {alice[0]}, "known base"));
  EXPECT_EQ("alice's edit on v1", ServerContent(context, alice[0]));
}

// Shared locks let both users edit at once: the second check-in is the
// stale one and is refused; the other file of that check-in goes in.
TEST_F(ProviderTeamworkTest, TwoSharedHoldersCannotLoseAnEdit) {
  const std::vector<std::string> names = {"art/deep/b.txt", "art/c.txt"};
  std::vector<std::string> alice;
  LPVOID context = AliceWith("Shared", names, &alice);
  const Binding bob = Bob();
  const std::vector<std::string> bob_files = BobFiles(names);
  ASSERT_EQ(Lines{"result 0"}, Helper("bob", bob, "get", bob_files));

  Script(kSharedCheckout);
  LPCMDOPTS shared = nullptr;
  ASSERT_EQ(SCC_OK, host_->get_command_options(context, nullptr, SCC_COMMAND_CHECKOUT, &shared));
  ASSERT_EQ(SCC_OK, host_->Checkout(context, alice, shared));
  ASSERT_EQ(Lines{"result 0"}, Helper("bob", bob, "checkout-shared", bob_files, kSharedCheckout));

  Edit(alice[0], "alice's edit");
  Edit(bob_files[0], "bob's edit");
  Edit(bob_files[1], "bob's other edit");
  ASSERT_EQ(SCC_OK, host_->Checkin(context, {alice[0]}, "alice"));
  EXPECT_EQ(Lines{"result -9"}, Helper("bob", bob, "checkin", bob_files));
  EXPECT_TRUE(HelperSaid("'" + bob_files[0] +
                         "' was not checked in: the server has version 2, and your copy is based "
                         "on version 1"))
      << helper_notices_;
  EXPECT_EQ("bob's edit", ReadFile(bob_files[0]));
  EXPECT_EQ((Lines{"result 0", "status 1003", "status 0007"}),
            Helper("bob", bob, "status", bob_files));
  EXPECT_EQ("alice's edit", ServerContent(context, alice[0]));
  EXPECT_EQ("bob's other edit", ServerContent(context, alice[1]));
}

// A merge kept through the overwrite question's Merge button holds the
// newer version: the merged file may be checked in over it.
TEST_F(ProviderTeamworkTest, AMergeKeptOnTheNewerVersionIsCheckedIn) {
  const std::vector<std::string> names = {"m/n/a.txt"};
  std::vector<std::string> alice;
  LPVOID context = AliceWith("Merge", names, &alice);
  const Binding bob = Bob();
  const std::vector<std::string> bob_files = BobFiles(names);
  ASSERT_EQ(Lines{"result 0"}, Helper("bob", bob, "get", bob_files));
  Script(kSharedCheckout);
  LPCMDOPTS shared = nullptr;
  ASSERT_EQ(SCC_OK, host_->get_command_options(context, nullptr, SCC_COMMAND_CHECKOUT, &shared));
  ASSERT_EQ(SCC_OK, host_->Checkout(context, alice, shared));
  ASSERT_EQ(Lines{"result 0"}, Helper("bob", bob, "checkout-shared", bob_files, kSharedCheckout));
  Edit(bob_files[0], "bob's");
  ASSERT_EQ(Lines{"result 0"}, Helper("bob", bob, "checkin", bob_files));

  Edit(alice[0], "alice's");
  EXPECT_EQ(SCC_E_CHECKINCONFLICT, host_->Checkin(context, alice, "stale"));
  // The merge program appends to the copy of the working file it is given.
  const std::string program = env_.Path("tools/merge");
  MakeFile(program, "#!/bin/sh\nprintf ' and merged' >> \"$2\"\n");
  ASSERT_EQ(0, chmod(program.c_str(), 0755));
  ASSERT_EQ(0, host_->set_property("UserProperties", "MergeProgram", program.c_str()));
  Script("dialog 110 1032\nmsgbox \"Keep Merge Results?\" Yes\n");
  ASSERT_EQ(SCC_OK, host_->Get(context, alice));
  EXPECT_EQ("alice's and merged", ReadFile(alice[0]));
  EXPECT_EQ(SCC_OK, host_->Checkin(context, alice, "merged"));
  EXPECT_EQ("alice's and merged", ServerContent(context, alice[0]));
}

// Any stored version comes back, beside the file or as the working file;
// an old one is never checked in over the newer ones.
TEST_F(ProviderTeamworkTest, OldVersionsComeBackButAreNotCheckedInOverNewerOnes) {
  std::vector<std::string> files;
  LPVOID context = AliceWith("Versions", {"doc/v.txt"}, &files);
  const std::string& file = files[0];
  ASSERT_EQ(SCC_OK, host_->Checkout(context, {file}));
  Edit(file, "v2");
  ASSERT_EQ(SCC_OK, host_->Checkin(context, {file}, "two"));

  // Beside: the working file and what is known of it stay.
  const std::string beside = env_.Path("elsewhere/deeper/v1.txt");
  EXPECT_EQ(SCC_OK, host_->get_version(context, nullptr, file.c_str(), 1, beside.c_str()));
  EXPECT_EQ("doc/v.txt v1", ReadFile(beside));
  EXPECT_EQ("v2", ReadFile(file));
  EXPECT_EQ(SCC_E_NOSPECIFIEDVERSION,
            host_->get_version(context, nullptr, file.c_str(), 3, nullptr));
  EXPECT_EQ(SCC_E_NOSPECIFIEDVERSION,
            host_->get_version(context, nullptr, file.c_str(), -1, nullptr));
  const std::string stranger = env_.Path("alice/doc/stranger.txt");
  MakeFile(stranger, "not controlled");
  EXPECT_EQ(SCC_E_FILENOTCONTROLLED,
            host_->get_version(context, nullptr, stranger.c_str(), 1, nullptr));

  // As the working file: an unedited copy is replaced without a question,
  // and the state cache knows it is old.
  size_t mark = Record().size();
  EXPECT_EQ(SCC_OK, host_->get_version(context, nullptr, file.c_str(), 1, nullptr));
  EXPECT_EQ(mark, Record().size());
  EXPECT_EQ("doc/v.txt v1", ReadFile(file));
  EXPECT_FALSE(IsWritable(file));
  Script("dialog 110 1002\n");
  ASSERT_EQ(SCC_OK, host_->Get(context, {file}));
  EXPECT_EQ(0u, Record().back().texts[1025].rfind("'" + file + "' is 'Old'.", 0));

  // Checked out without a get and edited, it is refused at check-in.
  Script("dialog 116 1 1033=0 1034=1\n");
  LPCMDOPTS keep_local = nullptr;
  ASSERT_EQ(SCC_OK,
            host_->get_command_options(context, nullptr, SCC_COMMAND_CHECKOUT, &keep_local));
  ASSERT_EQ(SCC_OK, host_->Checkout(context, {file}, keep_local));
  Edit(file, "v1, edited");
  SccHost::ClearNotices();
  EXPECT_EQ(SCC_E_CHECKINCONFLICT, host_->Checkin(context, {file}, "stale"));
  EXPECT_TRUE(SccHost::SawNotice(
      "Veltrane: '" + file +
      "' was not checked in: the server has version 2, and your copy is based on version 1. "
      "Nothing was sent for it and it stays checked out to you; get version 2 and merge your "
      "changes, then check it in again."));
  EXPECT_EQ("v2", ServerContent(context, file));

  // Local edits are asked about before a version replaces them.
  Script("dialog 110 1002\n");
  EXPECT_EQ(SCC_OK, host_->get_version(context, nullptr, file.c_str(), 2, nullptr));
  EXPECT_EQ("v1, edited", ReadFile(file));
  Script("dialog 110 2\n");
  EXPECT_EQ(SCC_I_OPERATIONCANCELED,
            host_->get_version(context, nullptr, file.c_str(), 2, nullptr));
  Script("dialog 110 1000\n");
  EXPECT_EQ(SCC_OK, host_->get_version(context, nullptr, file.c_str(), 2, nullptr));
  EXPECT_EQ("v2", ReadFile(file));
  EXPECT_TRUE(IsWritable(file));
  Edit(file, "v3");
  EXPECT_EQ(SCC_OK, host_->Checkin(context, {file}, "three"));
  EXPECT_EQ("v3", ServerContent(context, file));
}

// "Hero.txt" and "hero.txt" are two files here and one name on the server.
TEST_F(ProviderTeamworkTest, NamesDifferingOnlyInLetterCaseNeverShareADocument) {
  LPVOID context = NewContext();
  binding_ = CreateProduction(context, "Case", env_.Path("alice"), "alice");
  ASSERT_EQ(SCC_OK, host_->Open(context, binding_));
  const std::string upper = env_.Path("alice/art/Hero.txt");
  const std::string lower = env_.Path("alice/art/hero.txt");
  MakeFile(upper, "the hero");
  MakeFile(lower, "another hero");
  EXPECT_EQ((std::vector<LONG>{0, 0}), Status(context, {upper, lower}));

  SccHost::ClearNotices();
  EXPECT_EQ(SCC_E_FILEALREADYEXISTS, host_->Add(context, {upper, lower}, "both"));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: '" + lower + "' and '" + upper +
                                 "' would be one Document in the same Production (names there "
                                 "do not differ in letter case); '" +
                                 lower + "' is left out."));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: Succeeded adding files:\n" + upper + "."));
  EXPECT_TRUE(IsWritable(lower));

  // Alone, it meets the controlled name on the server.
  SccHost::ClearNotices();
  EXPECT_EQ(SCC_E_FILEALREADYEXISTS, host_->Add(context, {lower}, "again"));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: '" + lower + "' differs only in letter case from '" +
                                 upper +
                                 "', which is controlled in the same Production (names there do "
                                 "not differ in letter case); the file is left out."));
  EXPECT_TRUE(IsWritable(lower));
  EXPECT_EQ("another hero", ReadFile(lower));

  // Bob asks for both names: the one Document comes once, into the name
  // that is the server's own.
  const std::vector<std::string> bob_files = BobFiles({"art/hero.txt", "art/Hero.txt"});
  EXPECT_EQ(Lines{"result 0"}, Helper("bob", Bob(), "get", bob_files));
  EXPECT_EQ("the hero", ReadFile(bob_files[1]));
  EXPECT_FALSE(fs::exists(bob_files[0]));
  EXPECT_TRUE(HelperSaid("'" + bob_files[0] + "' and '" + bob_files[1] +
                         "' name one Document on the server, whose names do not differ in "
                         "letter case; only '" +
                         bob_files[1] + "' takes part, '" + bob_files[0] + "' is left out."))
      << helper_notices_;

  // Named alone beside the server's spelling, the other name is no way to
  // the Document either: Alice's check-out and check-in of it lock and
  // send nothing, and Bob's get of it leaves his own file as it is.
  const std::string twin_notice = "' differs only in letter case from '" + upper +
                                  "', the name of its Document on the server (names there do not "
                                  "differ in letter case); '" +
                                  lower + "' is left out.";
  SccHost::ClearNotices();
  Script("dialog 110 1002\n");  // were it asked: keep the local file
  host_->Checkout(context, {lower});
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: '" + lower + twin_notice));
  EXPECT_EQ((std::vector<LONG>{SCC_STATUS_CONTROLLED}), Status(context, {upper}));
  fs::permissions(lower, fs::perms::owner_write, fs::perm_options::add);
  Edit(lower, "another hero, edited");
  host_->Checkin(context, {lower}, "not this one");
  EXPECT_EQ("the hero", ServerContent(context, upper));
  EXPECT_EQ("another hero, edited", ReadFile(lower));

  MakeFile(bob_files[0], "bob's own hero");
  Helper("bob", Bob(), "get", {bob_files[0]}, "dialog 110 1001\n");
  EXPECT_EQ("bob's own hero", ReadFile(bob_files[0]));
  EXPECT_TRUE(HelperSaid("'" + bob_files[0] + "' differs only in letter case from '" +
                         bob_files[1] + "', the name of its Document on the server"))
      << helper_notices_;
}

// A name the server cannot take is left out alone, and left writable; the
// other files of the add go in.
TEST_F(ProviderTeamworkTest, OneBadNameAmongFourIsLeftOutAlone) {
  LPVOID context = NewContext();
  binding_ = CreateProduction(context, "Odd", env_.Path("alice"), "alice");
  ASSERT_EQ(SCC_OK, host_->Open(context, binding_));
  const std::string a = env_.Path("alice/odd/a.txt");
  const std::string slash = env_.Path("alice/odd/back\\slash.txt");
  const std::string colon = env_.Path("alice/odd/b:c.txt");
  const std::string d = env_.Path("alice/odd/d.txt");
  for (const std::string& file : {a, slash, colon, d}) MakeFile(file, file);
  // As a host that asked about them first finds them: read-only.
  Status(context, {a, slash, colon, d});
  chmod(slash.c_str(), 0444);

  SccHost::ClearNotices();
  EXPECT_EQ(SCC_E_INVALIDFILEPATH,
            host_->Add(context, {a, slash, colon, d}, "four", {0, 0, 0, SCC_KEEP_CHECKEDOUT}));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: The file name '" + slash +
                                 "' holds \"\\\", which the server reads as a folder separator; "
                                 "the file is left out."));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: The server does not take the name of '" + colon +
                                 "'; the file is left out."));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: Succeeded adding files:\n" + a + "\n" + d + "."));
  EXPECT_EQ((std::vector<LONG>{0x0001, 0x100B}), Status(context, {a, d}));
  EXPECT_TRUE(IsWritable(slash));
  EXPECT_TRUE(IsWritable(colon));
}

// The server dies after it answered what it knows about the files: the
// operation ends as a connection failure, never as a success code.
TEST_F(ProviderTeamworkTest, ServerKilledMidOperationIsAConnectionFailure) {
  std::vector<std::string> files;
  LPVOID context = AliceWith("Dies", {"k/a.txt", "k/b.txt"}, &files);
  auto kill_on = [this](const std::string& notice) {
    auto pending = std::make_shared<bool>(true);
    SccHost::SetNoticeHook([this, notice, pending](const std::string& text) {
      if (text != "Veltrane: " + notice || !*pending) return;
      *pending = false;
      kill(server_.pid(), SIGKILL);
      server_.Stop();
    });
  };
  auto restart = [this] {
    SccHost::SetNoticeHook(nullptr);
    ASSERT_TRUE(server_.Start());
    Script(Logon("alice"));
  };

  kill_on("Retrieved data from server for checkout operation.");
  EXPECT_EQ(SCC_E_CONNECTIONFAILURE, host_->Checkout(context, {files[0]}));
  restart();
  ASSERT_EQ(SCC_OK, host_->Checkout(context, {files[0]}));

  kill_on("Retrieved data from server for undo checkout operation.");
  EXPECT_EQ(SCC_E_CONNECTIONFAILURE, host_->Uncheckout(context, {files[0]}));
  restart();

  Edit(files[0], "edited");
  kill_on("Retrieved data from server for checkin operation.");
  EXPECT_EQ(SCC_E_CONNECTIONFAILURE, host_->Checkin(context, {files[0]}, "lost"));
  restart();

  chmod(files[1].c_str(), 0644);
  fs::remove(files[1]);
  kill_on("Retrieved data from server for local data synchronization.");
  EXPECT_EQ(SCC_E_CONNECTIONFAILURE, host_->Get(context, {files[1]}));
  restart();

  const std::string added = env_.Path("alice/k/new/c.txt");
  MakeFile(added, "new");
  EXPECT_EQ((std::vector<LONG>{0}), Status(context, {added}));  // read-only now
  kill_on("Adding files...");
  EXPECT_EQ(SCC_E_CONNECTIONFAILURE, host_->Add(context, {added}, "lost"));
  // Not controlled: the user may go on editing it.
  EXPECT_TRUE(IsWritable(added));
  restart();
  EXPECT_EQ((std::vector<LONG>{0x100B, 0}), Status(context, {files[0], added}));
}

// The session's results reach the host as MSSCCI codes: success as 0, and
// every failure as a negative code.
TEST(MsscciResultTest, EveryFailureIsNegative) {
  EXPECT_EQ(SCC_OK, MsscciResult(kSessionOk));
  const struct {
    int session;
    SCCRTN msscci;
  } failures[] = {
      {kSessionNotLoggedOn, SCC_E_CONNECTIONFAILURE},
      {kSessionNoReply, SCC_E_CONNECTIONFAILURE},
      {kSessionServerNotLoggedOn, SCC_E_CONNECTIONFAILURE},
      {kSessionDeclinedDeferred, SCC_E_FILEISCHECKEDOUT},
      {kSessionAlreadyQueued, SCC_E_FILEISCHECKEDOUT},
      {kSessionDeferredRequested, SCC_E_FILEISCHECKEDOUT},
      {kSessionReleaseRefused, SCC_E_NOTCHECKEDOUT},
      {kSessionLocalFileMissing, SCC_E_FILENOTEXIST},
      {kSessionCreateFailed, SCC_E_COULDNOTCREATEPROJECT},
      {kSessionProductionExists, SCC_E_NONSPECIFICERROR},
      {kSessionPathNotFound, SCC_E_UNKNOWNPROJECT},
      {kSessionInvalidPath, SCC_E_PROJSYNTAXERR},
      {kSessionNotPermitted, SCC_E_NOTAUTHORIZED},
      {kSessionIncompleteContent, SCC_E_ACCESSFAILURE},
      {kSessionDocumentExists, SCC_E_FILEALREADYEXISTS},
      {kSessionInvalidName, SCC_E_INVALIDFILEPATH},
      {kSessionUnexpected, SCC_E_NONSPECIFICERROR},
  };
  for (const auto& failure : failures) {
    EXPECT_EQ(failure.msscci, MsscciResult(failure.session)) << failure.session;
  }
  for (int code = -300; code <= 300; ++code) {
    if (code != kSessionOk) {
      EXPECT_LT(MsscciResult(code), 0) << code;
    }
  }
}

}  // namespace
}  // namespace tw
