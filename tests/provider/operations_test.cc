// The provider's operations as a host meets them: the built module loaded
// with dlopen and driven through its exports against a real TWServer and
// TWPMSvr, the dialogs answered from script files (VELTRANE_UI) and what
// they showed read back from the record (VELTRANE_UI_RECORD). A second user
// on a second host is a helper process with its own module instance.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/letter_case.h"
#include "provider/msscci.h"
#include "settings/property_file_client.h"
#include "settings/property_protocol.h"
#include "tests/support/provider_fixture.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using test::Edit;
using test::IsWritable;
using test::MakeFile;
using test::SccHost;
using test::Split;
using Binding = SccHost::Binding;

constexpr char kProbe[] =
    "temporary FILE created by visual studio .net to detect veltrane capabilities.";

class ProviderOperationsTest : public test::ProviderFixture {};

TEST_F(ProviderOperationsTest, BindingCreatesBindsAndReopens) {
  LPVOID context = NewContext();
  std::string user;

  // A new Production below the root, then one below it.
  Script(Logon("alice") + "dialog 103 1 1005=Games 1004=/\n");
  Binding games{"Games", env_.Path("w/games"), ""};
  BOOL is_new = 1;
  ASSERT_EQ(SCC_I_PROJECTCREATED, host_->GetProjPath(context, &games, &is_new, &user));
  EXPECT_EQ("alice", user);
  EXPECT_EQ(1, is_new);
  EXPECT_EQ("\\Games", games.aux);
  ASSERT_EQ(2u, Split(games.project, '\\').size()) << games.project;
  Script("dialog 103 1 1005=Level1 1004=\\Games\n");
  Binding level1{"Level1", env_.Path("w/level1"), ""};
  ASSERT_EQ(SCC_I_PROJECTCREATED, host_->GetProjPath(context, &level1, &is_new));
  EXPECT_EQ("\\Games\\Level1", level1.aux);
  EXPECT_EQ(0u, level1.project.rfind(games.project + "\\", 0)) << level1.project;

  // The same name again: connecting to the existing one, or not.
  Script("dialog 103 1 1005=games 1004=/\nmsgbox \"Production Exists\" Yes\n");
  Binding again{"games", env_.Path("w/again"), ""};
  EXPECT_EQ(SCC_OK, host_->GetProjPath(context, &again, &is_new));
  EXPECT_EQ(0, is_new);
  EXPECT_EQ(games.project, again.project);
  EXPECT_EQ("\\games", again.aux);
  Script("dialog 103 1 1005=Games 1004=/\nmsgbox \"Production Exists\" No\n");
  is_new = 1;
  Binding refused{"Games", env_.Path("w/refused"), ""};
  EXPECT_EQ(SCC_E_OPNOTPERFORMED, host_->GetProjPath(context, &refused, &is_new));
  // A cancelled dialog performs nothing either.
  Script("dialog 109 2\n");
  is_new = 0;
  EXPECT_EQ(SCC_E_OPNOTPERFORMED, host_->GetProjPath(context, &refused, &is_new));

  // Binding an existing Production by the bind dialog.
  const std::string bound_folder = env_.Path("w/bound");
  Script("dialog 109 1 1020=" + bound_folder + " 1022=\\Games\\Level1\n");
  Binding bound{"", env_.Path("w/elsewhere"), ""};
  ASSERT_EQ(SCC_OK, host_->GetProjPath(context, &bound, &is_new));
  EXPECT_EQ(level1.project, bound.project);
  EXPECT_EQ(bound_folder, bound.local);
  EXPECT_EQ("\\Games\\Level1", bound.aux);
  {
    PropertyFileClient user_store(std::string(), kStoreUser);
    user_store.SetKey(kPropertyKeyString);
    ASSERT_TRUE(user_store.Connect());
    auto node = user_store.OpenNode(nullptr, "UserProperties/WorkingDirectories");
    std::string folder;
    EXPECT_TRUE(
        user_store.ReadString(node.get(), Split(bound.project, '\\').back(), &folder, false));
    EXPECT_EQ(bound_folder, folder);
  }

  // Reopening with the strings the host kept; the user buffer comes back.
  user.clear();
  ASSERT_EQ(SCC_OK, host_->Open(context, bound, &user));
  EXPECT_EQ("alice", user);
  // Forward slashes and a trailing separator name the same Production.
  Binding slashed = bound;
  std::replace(slashed.project.begin(), slashed.project.end(), '\\', '/');
  slashed.project += "\\";
  EXPECT_EQ(SCC_OK, host_->Open(context, slashed));

  // A colon in either string is refused before any traffic.
  SyncLog(context, bound_folder + "/none.txt");
  const int lookups = LogCount("command=PRODUCTIONCMD sub=20 ");
  Binding colon = bound;
  colon.project = "C:" + bound.project;
  EXPECT_EQ(SCC_E_PROJSYNTAXERR, host_->Open(context, colon));
  colon = bound;
  colon.aux += ":x";
  EXPECT_EQ(SCC_E_PROJSYNTAXERR, host_->Open(context, colon));
  SyncLog(context, bound_folder + "/none.txt");
  EXPECT_EQ(lookups, LogCount("command=PRODUCTIONCMD sub=20 "));

  // A leaf that differs only in letter case is another Production.
  Binding upper = bound;
  upper.project = UpperCase(upper.project);
  if (upper.project != bound.project) {
    EXPECT_EQ(SCC_E_UNKNOWNPROJECT, host_->Open(context, upper));
  }
  Binding wrong_aux = bound;
  wrong_aux.aux = "\\Games";
  EXPECT_EQ(SCC_E_UNKNOWNPROJECT, host_->Open(context, wrong_aux));

  EXPECT_EQ(SCC_OK, host_->close_project(context));
  EXPECT_EQ(SCC_E_PROJNOTOPEN, host_->close_project(context));

  // No context at all.
  char buffer[SCC_PRJPATH_LEN + 1] = {};
  BOOL flag = 0;
  EXPECT_EQ(SCC_E_NONSPECIFICERROR,
            host_->open_project(nullptr, nullptr, buffer, "a", "b", buffer, "", nullptr, 0));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->close_project(nullptr));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR,
            host_->get_proj_path(nullptr, nullptr, buffer, buffer, buffer, buffer, 0, &flag));
}

TEST_F(ProviderOperationsTest, VisualStudioRootIsTheSolutionFolder) {
  LPVOID context = NewContext("VsScc");
  const std::string local = env_.Path("tools");
  MakeFile(local + "/deep/er/Tools.sln", "solution");
  Binding tools = CreateProduction(context, "Tools", local, "alice");
  ASSERT_EQ(SCC_OK, host_->Open(context, tools));
  EXPECT_FALSE(SccHost::SawNotice("Veltrane: Could not find solution file."));

  // Names below the solution's folder map onto the bound Production.
  MakeFile(local + "/deep/er/main.c", "int main;");
  MakeFile(local + "/deep/er/lib/util.c", "int util;");
  ASSERT_EQ(SCC_OK, host_->Add(context, {local + "/deep/er/main.c", local + "/deep/er/lib/util.c"},
                               "first"));
  std::vector<std::string> listed;
  ASSERT_EQ(SCC_OK, host_->PopulateList(context, SCC_COMMAND_GET, SCC_PL_DIR, &listed));
  EXPECT_EQ(std::vector<std::string>{local + "/main.c"}, listed);
  EXPECT_EQ(SCC_OK, host_->close_project(context));

  // Without a solution below the folder the host hears so, and the
  // Production is still created.
  SccHost::ClearNotices();
  Binding paint = CreateProduction(context, "Paint", env_.Path("paint"));
  EXPECT_EQ("\\Paint", paint.aux);
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: Could not find solution file."));

  // Opening looks for the solution named after the Production.
  LPVOID reopened = NewContext("VsScc");
  const std::string paint_local = env_.Path("paint2");
  MakeFile(paint_local + "/src/Paint.sln", "solution");
  MakeFile(paint_local + "/src/paint.c", "int paint;");
  ASSERT_EQ(SCC_OK, host_->Open(reopened, Binding{paint.project, paint_local, paint.aux}));
  ASSERT_EQ(SCC_OK, host_->Add(reopened, {paint_local + "/src/paint.c"}, ""));
  listed.clear();
  ASSERT_EQ(SCC_OK, host_->PopulateList(reopened, SCC_COMMAND_GET, SCC_PL_DIR, &listed));
  EXPECT_EQ(std::vector<std::string>{paint_local + "/paint.c"}, listed);
}

TEST_F(ProviderOperationsTest, AddCheckOutEditCheckIn) {
  LPVOID context = NewContext();
  const std::string local = env_.Path("work");
  Binding project = CreateProduction(context, "Project", local, "alice");
  ASSERT_EQ(SCC_OK, host_->Open(context, project));

  // Two files two folder levels down: both Productions are created, the
  // upper first, once; the second file is kept checked out.
  const std::string one = local + "/a/b/one.txt";
  const std::string two = local + "/a/b/two.txt";
  MakeFile(one, "one v1");
  MakeFile(two, "two v1");
  const int creates = LogCount("command=PRODUCTIONCMD sub=4 ");
  SccHost::ClearNotices();
  ASSERT_EQ(SCC_OK, host_->Add(context, {one, two}, "added", {0, SCC_KEEP_CHECKEDOUT}));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: Adding files..."));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: Succeeded adding files:\n" + one + "\n" + two + "."));
  EXPECT_EQ((std::vector<LONG>{0x0001, 0x100B}), Status(context, {one, two}));
  EXPECT_FALSE(IsWritable(one));
  EXPECT_TRUE(IsWritable(two));
  SyncLog(context, one);
  EXPECT_EQ(creates + 2, LogCount("command=PRODUCTIONCMD sub=4 "));

  // A Document that exists already.
  SccHost::ClearNotices();
  EXPECT_EQ(SCC_E_FILEALREADYEXISTS, host_->Add(context, {one}, "again"));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: Failed adding files:\n" + one + "."));

  // Check-out; a second check-out of a file the user has sends no lock
  // request and fetches nothing.
  SccHost::ClearNotices();
  ASSERT_EQ(SCC_OK, host_->Checkout(context, {one}));
  EXPECT_TRUE(
      SccHost::SawNotice("Veltrane: Retrieving data from server for checkout operation..."));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: Retrieved data from server for checkout operation."));
  EXPECT_TRUE(IsWritable(one));
  EXPECT_EQ((std::vector<LONG>{0x100B}), Status(context, {one}));
  SyncLog(context, one);
  const int locks = LogCount("command=ACQUIRELOCK");
  const int fetches = LogCount("command=DOCUMENTCMD sub=4 ");
  ASSERT_EQ(SCC_OK, host_->Checkout(context, {one, two}));
  SyncLog(context, one);
  EXPECT_EQ(locks, LogCount("command=ACQUIRELOCK"));
  EXPECT_EQ(fetches, LogCount("command=DOCUMENTCMD sub=4 "));

  // Check-in keeping the lock, by the option word and by the options
  // object's retain-lock byte.
  const int checkins = LogCount("command=DOCUMENTCMD sub=2 ");
  Edit(one, "one v2");
  ASSERT_EQ(SCC_OK, host_->Checkin(context, {one}, "v2", SCC_KEEP_CHECKEDOUT));
  EXPECT_TRUE(IsWritable(one));
  EXPECT_EQ((std::vector<LONG>{0x100B}), Status(context, {one}));
  Edit(one, "one v3");
  Script("dialog 119 1 1037=1\n");
  LPCMDOPTS retain = nullptr;
  ASSERT_EQ(SCC_OK, host_->get_command_options(context, nullptr, SCC_COMMAND_CHECKIN, &retain));
  ASSERT_NE(nullptr, retain);
  ASSERT_EQ(SCC_OK, host_->Checkin(context, {one}, "v3", 0, retain));
  EXPECT_TRUE(IsWritable(one));
  EXPECT_EQ((std::vector<LONG>{0x100B}), Status(context, {one}));
  SyncLog(context, one);
  EXPECT_EQ(checkins + 2, LogCount("command=DOCUMENTCMD sub=2 "));

  // A plain check-in: the changed file is checked in, the unchanged one is
  // not, both are released and read-only.
  Edit(one, "one v4");
  ASSERT_EQ(SCC_OK, host_->Checkin(context, {one, two}, "v4"));
  EXPECT_EQ((std::vector<LONG>{0x0001, 0x0001}), Status(context, {one, two}));
  EXPECT_FALSE(IsWritable(one));
  EXPECT_FALSE(IsWritable(two));
  SyncLog(context, one);
  EXPECT_EQ(checkins + 3, LogCount("command=DOCUMENTCMD sub=2 "));
  EXPECT_NE(std::string::npos, server_.Log().find("command=RELEASELOCK"));

  // Checking in a file the user does not hold still decides its status, and
  // the decision takes back a write permission the lock does not grant.
  fs::permissions(one, fs::perms::owner_write, fs::perm_options::add);
  ASSERT_EQ(SCC_OK, host_->Checkin(context, {one}, "not mine", SCC_KEEP_CHECKEDOUT));
  EXPECT_FALSE(IsWritable(one));

  // A checked-out file that vanished: -28, nothing checked in or released.
  ASSERT_EQ(SCC_OK, host_->Checkout(context, {two}));
  ASSERT_EQ(0, std::remove(two.c_str()));
  SyncLog(context, one);
  const int releases = LogCount("command=RELEASELOCK");
  EXPECT_EQ(SCC_E_FILENOTEXIST, host_->Checkin(context, {one, two}, "gone"));
  SyncLog(context, one);
  EXPECT_EQ(releases, LogCount("command=RELEASELOCK"));
  EXPECT_EQ(checkins + 3, LogCount("command=DOCUMENTCMD sub=2 "));

  // A get brings the missing file back without asking; it stays the
  // user's to edit, since the lock is still his.
  ASSERT_EQ(SCC_OK, host_->Get(context, {two}));
  EXPECT_EQ("two v1", test::ReadFile(two));
  EXPECT_TRUE(IsWritable(two));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: Succeeded getting file\ntwo.txt"));
}

// Edits that leave the file's whole second as the state cache recorded it
// after a check-in that kept the lock are still checked in: one that keeps
// the size, within the same second; one that keeps the time to the
// nanosecond but not the size. Each last edit is what the server holds.
TEST_F(ProviderOperationsTest, EditsWithinTheRecordedSecondAreCheckedIn) {
  LPVOID context = NewContext();
  const std::string local = env_.Path("work");
  Binding project = CreateProduction(context, "Quick", local, "alice");
  ASSERT_EQ(SCC_OK, host_->Open(context, project));
  const std::string file = local + "/notes.txt";
  MakeFile(file, "version 1");
  ASSERT_EQ(SCC_OK, host_->Add(context, {file}, "added"));
  ASSERT_EQ(SCC_OK, host_->Checkout(context, {file}));
  Edit(file, "version 2");
  ASSERT_EQ(SCC_OK, host_->Checkin(context, {file}, "v2", SCC_KEEP_CHECKEDOUT));

  // Sets the file's contents and its last-write time exactly.
  auto rewrite = [&](const std::string& contents, const struct timespec& time) {
    test::WriteFile(file, contents);
    const struct timespec times[2] = {time, time};
    ASSERT_EQ(0, utimensat(AT_FDCWD, file.c_str(), times, 0));
  };
  struct stat recorded {};
  ASSERT_EQ(0, stat(file.c_str(), &recorded));
  SyncLog(context, file);
  const int checkins = LogCount("command=DOCUMENTCMD sub=2 ");

  // The same size, the same second, another nanosecond.
  struct timespec same_second = recorded.st_mtim;
  same_second.tv_nsec = same_second.tv_nsec == 0 ? 500000000 : same_second.tv_nsec - 1;
  rewrite("version 3", same_second);
  ASSERT_EQ(SCC_OK, host_->Checkin(context, {file}, "v3", SCC_KEEP_CHECKEDOUT));
  SyncLog(context, file);
  EXPECT_EQ(checkins + 1, LogCount("command=DOCUMENTCMD sub=2 "));

  // The very time recorded after that check-in, another size.
  ASSERT_EQ(0, stat(file.c_str(), &recorded));
  rewrite("version four", recorded.st_mtim);
  ASSERT_EQ(SCC_OK, host_->Checkin(context, {file}, "v4"));
  SyncLog(context, file);
  EXPECT_EQ(checkins + 2, LogCount("command=DOCUMENTCMD sub=2 "));
  EXPECT_FALSE(IsWritable(file));

  // What the server holds is the last edit.
  ASSERT_EQ(0, std::remove(file.c_str()));
  ASSERT_EQ(SCC_OK, host_->Get(context, {file}));
  EXPECT_EQ("version four", test::ReadFile(file));
}

TEST_F(ProviderOperationsTest, OverwriteQuestionAndUndoCheckOut) {
  LPVOID context = NewContext();
  const std::string local = env_.Path("work");
  Binding project = CreateProduction(context, "Art", local, "alice");
  ASSERT_EQ(SCC_OK, host_->Open(context, project));
  std::vector<std::string> files;
  for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
    files.push_back(local + "/" + name);
    MakeFile(files.back(), std::string("server ") + name);
  }
  ASSERT_EQ(SCC_OK, host_->Add(context, files, ""));
  for (const std::string& file : files) Edit(file, "local edit");

  // Yes To All on the first question answers the others.
  Script("dialog 110 1001\n");
  size_t mark = Record().size();
  ASSERT_EQ(SCC_OK, host_->Get(context, files));
  std::vector<test::UiRecordEntry> shown = Record();
  ASSERT_EQ(mark + 1, shown.size());
  EXPECT_EQ(110, shown.back().id);
  EXPECT_EQ("'" + files[0] +
                "' is 'Renegade'.\n\nContinuing will overwrite any changes made to "
                "the file.\n\nOverwrite this file?",
            shown.back().texts[1025]);
  EXPECT_TRUE(shown.back().enabled[1032]) << "Merge is offered for a bound Document";
  for (const std::string& file : files) {
    EXPECT_EQ("server " + fs::path(file).filename().string(), test::ReadFile(file));
    EXPECT_FALSE(IsWritable(file));
  }

  // No To All on the first question: nothing is fetched.
  for (const std::string& file : files) Edit(file, "local edit");
  Script("dialog 110 1003\n");
  mark = Record().size();
  ASSERT_EQ(SCC_OK, host_->Get(context, files));
  EXPECT_EQ(mark + 1, Record().size());
  EXPECT_EQ("local edit", test::ReadFile(files[2]));

  // Cancel ends a check-out before any lock or Document command.
  SyncLog(context, files[0]);
  const int locks = LogCount("command=ACQUIRELOCK");
  const int documents = LogCount("command=DOCUMENTCMD");
  Script("dialog 110 1002\ndialog 110 2\n");
  EXPECT_EQ(SCC_I_OPERATIONCANCELED, host_->Checkout(context, files));
  SyncLog(context, files[0]);
  EXPECT_EQ(locks, LogCount("command=ACQUIRELOCK"));
  EXPECT_EQ(documents, LogCount("command=DOCUMENTCMD"));
  EXPECT_EQ((std::vector<LONG>{1, 1, 1}), Status(context, files));

  // Yes fetches the first, No keeps the others; all are checked out.
  // (Merge on the question: provider_history_test.)
  Script("dialog 110 1000\ndialog 110 1002\ndialog 110 1002\n");
  ASSERT_EQ(SCC_OK, host_->Checkout(context, files));
  EXPECT_EQ("server a.txt", test::ReadFile(files[0]));
  EXPECT_EQ("local edit", test::ReadFile(files[1]));
  EXPECT_TRUE(IsWritable(files[0]));
  EXPECT_TRUE(IsWritable(files[1]));

  // Undoing the check-out brings the server's version back, read-only.
  Script("dialog 110 1001\n");
  ASSERT_EQ(SCC_OK, host_->Uncheckout(context, files));
  for (const std::string& file : files) {
    EXPECT_EQ("server " + fs::path(file).filename().string(), test::ReadFile(file));
    EXPECT_FALSE(IsWritable(file));
  }
  EXPECT_EQ((std::vector<LONG>{1, 1, 1}), Status(context, files));
}

TEST_F(ProviderOperationsTest, TwoUsersOnTwoHosts) {
  LPVOID context = NewContext();
  const std::string alice_local = env_.Path("alice");
  Binding project = CreateProduction(context, "Shared", alice_local, "alice");
  ASSERT_EQ(SCC_OK, host_->Open(context, project));
  const std::vector<std::string> names = {"x.txt", "sub/y.txt", "z.txt"};
  std::vector<std::string> alice_files;
  for (const std::string& name : names) {
    alice_files.push_back(alice_local + "/" + name);
    MakeFile(alice_files.back(), "alice wrote " + name);
  }
  ASSERT_EQ(SCC_OK, host_->Add(context, alice_files, "three"));

  // The Documents of the bound Production, in the server's order; nothing
  // is shown for a request the provider does not serve.
  std::vector<std::string> listed;
  ASSERT_EQ(SCC_OK, host_->PopulateList(context, SCC_COMMAND_GET, SCC_PL_DIR, &listed));
  EXPECT_EQ((std::vector<std::string>{alice_local + "/x.txt", alice_local + "/z.txt"}), listed);
  const size_t mark = Record().size();
  listed.clear();
  EXPECT_EQ(SCC_E_OPNOTSUPPORTED, host_->PopulateList(context, SCC_COMMAND_GET, 0, &listed));
  EXPECT_EQ(SCC_E_OPNOTSUPPORTED,
            host_->PopulateList(context, SCC_COMMAND_CHECKOUT, SCC_PL_DIR, &listed));
  EXPECT_TRUE(listed.empty());
  EXPECT_EQ(mark, Record().size());

  // Bob gets everything into his own folder bound to the same Production.
  const std::string bob_local = env_.Path("bob");
  Binding bob_binding{project.project, bob_local, project.aux};
  std::vector<std::string> bob_files;
  for (const std::string& name : names) bob_files.push_back(bob_local + "/" + name);
  fs::create_directories(bob_local + "/sub");
  ASSERT_EQ(std::vector<std::string>{"result 0"}, Helper("bob", bob_binding, "get", bob_files));
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ("alice wrote " + names[i], test::ReadFile(bob_files[i]));
    EXPECT_FALSE(IsWritable(bob_files[i]));
  }

  // Bob checks out x exclusively and y shared.
  ASSERT_EQ(std::vector<std::string>{"result 0"},
            Helper("bob", bob_binding, "checkout", {bob_files[0]}));
  ASSERT_EQ(std::vector<std::string>{"result 0"},
            Helper("bob", bob_binding, "checkout-shared", {bob_files[1]}, "dialog 116 1 1036=1\n"));
  EXPECT_EQ((std::vector<std::string>{"result 0", "status 100b", "status 1003", "status 0001"}),
            Helper("bob", bob_binding, "status", bob_files));
  EXPECT_TRUE(IsWritable(bob_files[0]));
  EXPECT_TRUE(IsWritable(bob_files[1]));
  EXPECT_FALSE(IsWritable(bob_files[2]));

  // Alice sees them checked out by another user, and her copies become
  // read-only; a file the server does not know gets 0.
  const std::string unknown = alice_local + "/unknown.txt";
  MakeFile(unknown, "mine");
  for (const std::string& file : alice_files) chmod(file.c_str(), 0644);
  EXPECT_EQ((std::vector<LONG>{0x000F, 0x0007, 0x0001, 0}),
            Status(context, {alice_files[0], alice_files[1], alice_files[2], unknown}));
  for (const std::string& file : alice_files) EXPECT_FALSE(IsWritable(file)) << file;
  EXPECT_FALSE(IsWritable(unknown));

  // Bob's edit comes to Alice by a get; her copy is old now, so she is
  // asked first.
  Edit(bob_files[0], "bob changed x");
  ASSERT_EQ(std::vector<std::string>{"result 0"},
            Helper("bob", bob_binding, "checkin", {bob_files[0]}));
  Script("dialog 110 1000\n");
  ASSERT_EQ(SCC_OK, host_->Get(context, {alice_files[0]}));
  EXPECT_EQ(0u, Record().back().texts[1025].rfind("'" + alice_files[0] + "' is 'Old'.", 0));
  EXPECT_EQ("bob changed x", test::ReadFile(alice_files[0]));
  EXPECT_FALSE(IsWritable(alice_files[0]));
  EXPECT_EQ((std::vector<LONG>{0x0001}), Status(context, {alice_files[0]}));
}

// A host may call the module again from inside one of its callbacks. The
// nested call shares the live session and never ends it, or what it does
// to it, under the operation below; releasing the very context whose
// operation runs is refused.
TEST_F(ProviderOperationsTest, HostCallingBackFromItsCallbacks) {
  LPVOID a = NewContext();
  const std::string local_a = env_.Path("one");
  ASSERT_EQ(SCC_OK, host_->Open(a, CreateProduction(a, "One", local_a, "alice")));
  const std::string one = local_a + "/one.txt";
  MakeFile(one, "one v1");
  ASSERT_EQ(SCC_OK, host_->Add(a, {one}, "added"));
  LPVOID b = NewContext();
  const std::string local_b = env_.Path("two");
  ASSERT_EQ(SCC_OK, host_->Open(b, CreateProduction(b, "Two", local_b)));
  const std::string two = local_b + "/two.txt";
  MakeFile(two, "two v1");
  ASSERT_EQ(SCC_OK, host_->Add(b, {two}, "added"));

  // Runs `action` once, when the notice `text` arrives.
  auto on_notice = [](const std::string& text, std::function<void()> action) {
    auto pending = std::make_shared<std::function<void()>>(std::move(action));
    SccHost::SetNoticeHook([text, pending](const std::string& notice) {
      if (notice != text || !*pending) return;
      auto run = std::move(*pending);
      *pending = nullptr;
      run();
    });
  };
  const std::string retrieved =
      "Veltrane: Retrieved data from server for local data synchronization.";

  // Inside A's get: a status query through B, and A's own release.
  ::chmod(one.c_str(), 0644);
  fs::remove(one);
  SCCRTN nested_query = 1, nested_release = 1;
  std::vector<LONG> nested_status;
  on_notice(retrieved, [&] {
    nested_query = host_->QueryInfo(b, {two}, &nested_status);
    nested_release = host_->uninitialize(a);
  });
  SccHost::ClearNotices();
  EXPECT_EQ(SCC_OK, host_->Get(a, {one}));
  SccHost::SetNoticeHook(nullptr);
  EXPECT_EQ(SCC_OK, nested_query);
  EXPECT_EQ((std::vector<LONG>{0x0001}), nested_status);
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, nested_release);
  EXPECT_TRUE(SccHost::SawNotice(
      "Veltrane: The provider cannot be released while one of its operations runs."));
  EXPECT_EQ("one v1", test::ReadFile(one));

  // Inside A's get: B, the other context, is released. The get still has
  // its logged-on session to the end.
  fs::remove(one);
  contexts_.erase(std::remove(contexts_.begin(), contexts_.end(), b), contexts_.end());
  on_notice(retrieved, [&] { nested_release = host_->uninitialize(b); });
  EXPECT_EQ(SCC_OK, host_->Get(a, {one}));
  SccHost::SetNoticeHook(nullptr);
  EXPECT_EQ(SCC_OK, nested_release);
  EXPECT_EQ("one v1", test::ReadFile(one));

  // A populate-list callback asking about the same context's files.
  struct Nested {
    SccHost* host;
    LPVOID context;
    std::string file;
    std::vector<std::string> paths;
    SCCRTN result = 1;
    std::vector<LONG> status;
  } nested{host_.get(), a, one, {}, 1, {}};
  const POPLISTFUNC populate = [](LPVOID data, BOOL, LONG, LPCSTR path) -> BOOL {
    auto* n = static_cast<Nested*>(data);
    n->paths.push_back(path);
    n->result = n->host->QueryInfo(n->context, {n->file}, &n->status);
    return 1;
  };
  EXPECT_EQ(SCC_OK, host_->populate_list(a, SCC_COMMAND_GET, 0, nullptr, populate, &nested, nullptr,
                                         SCC_PL_DIR));
  EXPECT_EQ((std::vector<std::string>{one}), nested.paths);
  EXPECT_EQ(SCC_OK, nested.result);
  EXPECT_EQ((std::vector<LONG>{0x0001}), nested.status);
}

// A file name holding "?" or "," cannot travel in the request lists: that
// file alone is refused, with a notice, and the others of the call go on.
TEST_F(ProviderOperationsTest, NamesTheWireCannotCarryAreRefusedOneByOne) {
  LPVOID context = NewContext();
  const std::string local = env_.Path("work");
  Binding project = CreateProduction(context, "Odd", local, "alice");
  ASSERT_EQ(SCC_OK, host_->Open(context, project));
  const std::string plain = local + "/plain.txt";
  const std::string query = local + "/what?.txt";
  const std::string comma = local + "/a,b.txt";
  const std::string later = local + "/later.txt";
  MakeFile(plain, "plain");
  MakeFile(query, "query");
  MakeFile(comma, "comma");
  MakeFile(later, "later");
  const std::string refused_query = "Veltrane: The file name '" + query +
                                    "' holds \"?\" or \",\", which cannot be sent to the "
                                    "server; the file is left out.";

  SccHost::ClearNotices();
  EXPECT_EQ(SCC_E_INVALIDFILEPATH, host_->Add(context, {query, plain, comma, later}, "added",
                                              {SCC_KEEP_CHECKEDOUT, 0, 0, SCC_KEEP_CHECKEDOUT}));
  EXPECT_TRUE(SccHost::SawNotice(refused_query));
  EXPECT_TRUE(
      SccHost::SawNotice("Veltrane: Succeeded adding files:\n" + plain + "\n" + later + "."));
  std::vector<LONG> status;
  SccHost::ClearNotices();
  EXPECT_EQ(SCC_OK, host_->QueryInfo(context, {comma, plain, query, later}, &status));
  EXPECT_EQ((std::vector<LONG>{SCC_STATUS_INVALID, 0x0001, SCC_STATUS_INVALID, 0x100B}), status);
  EXPECT_TRUE(SccHost::SawNotice(refused_query));

  EXPECT_EQ(SCC_E_INVALIDFILEPATH, host_->Checkout(context, {query, plain}));
  EXPECT_EQ((std::vector<LONG>{0x100B}), Status(context, {plain}));
  EXPECT_EQ(SCC_E_INVALIDFILEPATH, host_->Uncheckout(context, {plain, comma}));
  EXPECT_EQ((std::vector<LONG>{0x0001}), Status(context, {plain}));
  EXPECT_EQ(SCC_E_INVALIDFILEPATH, host_->Get(context, {comma}));
  Edit(later, "later v2");
  EXPECT_EQ(SCC_E_INVALIDFILEPATH, host_->Checkin(context, {later, query}, "v2"));
  EXPECT_EQ((std::vector<LONG>{0x0001}), Status(context, {later}));
  EXPECT_EQ("query", test::ReadFile(query));
  EXPECT_EQ("comma", test::ReadFile(comma));
}

TEST_F(ProviderOperationsTest, ProbeFilesAndBadInput) {
  // The probe comment needs no server and no open project.
  LPVOID context = NewContext();
  const std::string probe = env_.Path("work/probe.tmp");
  MakeFile(probe, "probe");
  EXPECT_EQ(SCC_OK, host_->Add(context, {probe}, kProbe));
  EXPECT_EQ(SCC_OK, host_->Checkin(context, {probe}, kProbe));
  EXPECT_EQ(SCC_OK, host_->Checkout(context, {probe}, nullptr, kProbe));
  EXPECT_EQ(0, LogCount("command="));
  EXPECT_EQ(SCC_E_PROJNOTOPEN, host_->Add(context, {probe}, "real"));

  // Bad input from the host.
  LPCSTR names[] = {nullptr};
  std::vector<LONG> status;
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->Get(nullptr, {probe}));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->Checkout(nullptr, {probe}));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->Uncheckout(nullptr, {probe}));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->Checkin(nullptr, {probe}, ""));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->Add(nullptr, {probe}, ""));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->QueryInfo(nullptr, {probe}, &status));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR,
            host_->PopulateList(nullptr, SCC_COMMAND_GET, SCC_PL_DIR, nullptr));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->get(context, nullptr, 1, nullptr, 0, nullptr));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->get(context, nullptr, 1, names, 0, nullptr));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->get(context, nullptr, -3, names, 0, nullptr));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->query_info(context, 1, names, nullptr));
  EXPECT_EQ(SCC_OK, host_->get(context, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(0, LogCount("command="));

  // A cancelled logon goes no further.
  Script("dialog 101 2\n");
  EXPECT_EQ(SCC_E_CONNECTIONFAILURE, host_->Get(context, {probe}));

  const std::string local = env_.Path("work");
  Binding project = CreateProduction(context, "Probe", local, "alice");
  ASSERT_EQ(SCC_OK, host_->Open(context, project));
  const std::string real = local + "/real.txt";
  MakeFile(real, "real");
  ASSERT_EQ(SCC_OK, host_->Add(context, {real, probe}, "real"));
  // Check-out and undo skip the probe file registered earlier.
  ASSERT_EQ(SCC_OK, host_->Checkout(context, {real, probe}));
  EXPECT_EQ((std::vector<LONG>{0x100B, 0x0001}), Status(context, {real, probe}));
  ASSERT_EQ(SCC_OK, host_->Uncheckout(context, {real, probe}));
  EXPECT_EQ((std::vector<LONG>{0x0001, 0x0001}), Status(context, {real, probe}));

  // A file outside the project is no Document; a get leaves it alone.
  const std::string outside = env_.Path("elsewhere/file.txt");
  MakeFile(outside, "outside");
  EXPECT_EQ((std::vector<LONG>{0}), Status(context, {outside}));
  EXPECT_EQ(SCC_OK, host_->Get(context, {outside}));
  EXPECT_EQ("outside", test::ReadFile(outside));

  // The server restarted on another repository: the bound Production is
  // gone. The export fails with a notice and leaves the working file alone.
  ASSERT_EQ(0, server_.Stop());
  fs::remove_all(server_.dir());
  ASSERT_TRUE(server_.Init());
  ASSERT_TRUE(server_.AddUser("alice", "alice pw"));
  ASSERT_TRUE(server_.Start());
  Script(Logon("alice"));
  SccHost::ClearNotices();
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->Get(context, {real}));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: Failed getting files\nreal.txt"));
  EXPECT_EQ("real", test::ReadFile(real));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->Checkout(context, {real}));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->QueryInfo(context, {real}, &status));

  // The server gone altogether.
  ASSERT_EQ(0, server_.Stop());
  Script(Logon("alice") + "msgbox \"Veltrane\" OK\n");
  const SCCRTN result = host_->Get(context, {real});
  EXPECT_TRUE(result == SCC_E_CONNECTIONFAILURE || result == SCC_E_NONSPECIFICERROR) << result;
  EXPECT_EQ("real", test::ReadFile(real));
}

}  // namespace
}  // namespace tw
