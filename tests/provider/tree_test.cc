// The extension exports for hosts that know only a folder, driven through the
// built module against a real TWServer and TWPMSvr (and, for the hostile
// names, a fake server): the whole tree of Documents below the bound
// Production reaching another user's fresh folder, the local state of files
// without any change to them, and names and links that would lead out of
// the working folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "protocol/document_command.h"
#include "protocol/name_list_command.h"
#include "protocol/name_table.h"
#include "provider/msscci.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/provider_fixture.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using test::Edit;
using test::IsWritable;
using test::MakeFile;
using test::SccHost;
using Binding = SccHost::Binding;

// The lines of a helper's output that start with `prefix`, without it.
std::vector<std::string> Lines(const std::vector<std::string>& output, const std::string& prefix) {
  std::vector<std::string> lines;
  for (const std::string& line : output) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
  }
  return lines;
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

mode_t Mode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class ProviderTreeTest : public test::ProviderFixture {
 protected:
  // Alice's Production "Team" with a nested tree in her folder.
  Binding MakeTree(LPVOID context, const std::vector<std::string>& names) {
    Binding project = CreateProduction(context, "Team", alice_, "alice");
    EXPECT_EQ(SCC_OK, host_->Open(context, project));
    std::vector<std::string> files;
    for (const std::string& name : names) {
      files.push_back(alice_ + "/" + name);
      MakeFile(files.back(), "alice wrote " + name);
    }
    EXPECT_EQ(SCC_OK, host_->Add(context, files, "the tree"));
    return project;
  }

  const std::string alice_ = env_.Path("alice");
  const std::string bob_ = env_.Path("bob");
};

// A second user's folder that holds nothing yet gets every Document below
// the bound Production in one listing, sub-Productions as subfolders, and a
// file a teammate adds deep down later; the Part's list stays flat.
TEST_F(ProviderTreeTest, TheWholeTreeReachesAnotherUsersFreshFolder) {
  LPVOID context = NewContext();
  const std::vector<std::string> names = {"top.txt", "src/main.c", "src/lib/util.c",
                                          "src/lib/deep/x.c", "docs/readme.txt"};
  const Binding project = MakeTree(context, names);
  const Binding bob{project.project, bob_, project.aux};
  std::vector<std::string> expected;
  for (const std::string& name : names) expected.push_back(bob_ + "/" + name);

  std::vector<std::string> out = Helper("bob", bob, "tree", {});
  ASSERT_FALSE(out.empty());
  EXPECT_EQ("result 0", out[0]);
  const std::vector<std::string> listed = Lines(out, "path ");
  EXPECT_EQ(Sorted(expected), Sorted(listed));
  EXPECT_FALSE(fs::exists(bob_)) << "a listing makes nothing";
  // One request for the whole tree (the server logs it just after its reply).
  for (int i = 0; i < 3000 && LogCount("command=GETNAMELIST") == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  SyncLog(context, alice_ + "/top.txt");
  EXPECT_EQ(1, LogCount("command=GETNAMELIST"));

  // The listed paths are what a get takes: everything arrives, read-only.
  ASSERT_EQ(std::vector<std::string>{"result 0"}, Helper("bob", bob, "get", listed));
  for (const std::string& name : names) {
    EXPECT_EQ("alice wrote " + name, test::ReadFile(bob_ + "/" + name)) << name;
    EXPECT_FALSE(IsWritable(bob_ + "/" + name));
  }

  // One folder's Documents, at any depth; a folder the server does not
  // hold lists nothing; one outside the working folder is refused.
  out = Helper("bob", bob, "tree", {bob_ + "/src/lib"});
  EXPECT_EQ("result 0", out[0]);
  EXPECT_EQ(Sorted({bob_ + "/src/lib/util.c", bob_ + "/src/lib/deep/x.c"}),
            Sorted(Lines(out, "path ")));
  EXPECT_EQ(std::vector<std::string>{"result 0"}, Helper("bob", bob, "tree", {bob_ + "/src/none"}));
  EXPECT_EQ(std::vector<std::string>{"result -24"},
            Helper("bob", bob, "tree", {env_.Path("elsewhere")}));

  // A file Alice adds deep down later is in Bob's next listing.
  MakeFile(alice_ + "/src/lib/later.c", "later");
  ASSERT_EQ(SCC_OK, host_->Add(context, {alice_ + "/src/lib/later.c"}, "later"));
  out = Helper("bob", bob, "tree", {bob_ + "/src"});
  const std::vector<std::string> again = Lines(out, "path ");
  EXPECT_NE(again.end(), std::find(again.begin(), again.end(), bob_ + "/src/lib/later.c"));
  EXPECT_EQ(4u, again.size());

  // SccPopulateList keeps to the bound Production's own Documents.
  std::vector<std::string> flat;
  ASSERT_EQ(SCC_OK, host_->PopulateList(context, SCC_COMMAND_GET, SCC_PL_DIR, &flat));
  EXPECT_EQ(std::vector<std::string>{alice_ + "/top.txt"}, flat);

  // The callback may end the listing; no open project, no listing.
  struct First {
    static BOOL Take(LPVOID data, BOOL, LONG, LPCSTR name) {
      static_cast<std::vector<std::string>*>(data)->push_back(name);
      return 0;
    }
  };
  std::vector<std::string> first;
  EXPECT_EQ(SCC_OK, host_->populate_tree(context, nullptr, &First::Take, &first));
  EXPECT_EQ(1u, first.size());
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->populate_tree(context, nullptr, nullptr, nullptr));
  LPVOID closed = NewContext();
  EXPECT_EQ(SCC_E_PROJNOTOPEN, host_->PopulateTree(closed, nullptr, &first));
}

// The local state of each file as the state cache tells it, for a host that
// shows it beside the locks: nothing is asked and no file's write
// permission changes (SccQueryInfo would change it).
TEST_F(ProviderTreeTest, LocalStatesAreToldWithoutTouchingTheFiles) {
  LPVOID context = NewContext();
  const Binding project = MakeTree(
      context, {"old.txt", "same.txt", "edited.txt", "gone.txt", "mine.txt", "src/deep/x.c"});
  const auto path = [&](const std::string& name) { return alice_ + "/" + name; };
  // Bob checks in a new version of old.txt: Alice's copy is behind.
  const Binding bob{project.project, bob_, project.aux};
  const std::string bobs = bob_ + "/old.txt";
  ASSERT_EQ(std::vector<std::string>{"result 0"}, Helper("bob", bob, "get", {bobs}));
  ASSERT_EQ(std::vector<std::string>{"result 0"}, Helper("bob", bob, "checkout", {bobs}));
  Edit(bobs, "bob's version");
  ASSERT_EQ(std::vector<std::string>{"result 0"}, Helper("bob", bob, "checkin", {bobs}));
  // Alice edits one file without and one with its lock, and removes one.
  Edit(path("edited.txt"), "edited");
  ASSERT_EQ(SCC_OK, host_->Checkout(context, {path("mine.txt")}));
  Edit(path("mine.txt"), "mine, edited");
  ASSERT_EQ(0, ::unlink(path("gone.txt").c_str()));
  MakeFile(path("new.txt"), "not added");
  // Write permissions a query must leave as they are.
  ASSERT_EQ(0, ::chmod(path("old.txt").c_str(), 0644));
  ASSERT_EQ(0, ::chmod(path("same.txt").c_str(), 0640));
  const size_t shown = Record().size();

  const std::vector<std::string> files = {
      path("old.txt"),  path("same.txt"), path("edited.txt"),   path("gone.txt"),
      path("mine.txt"), path("new.txt"),  path("src/deep/x.c"), path("what?.txt")};
  std::vector<LONG> states;
  EXPECT_EQ(SCC_E_INVALIDFILEPATH, host_->QueryLocalStatus(context, files, &states));
  EXPECT_EQ((std::vector<LONG>{4, 2, 32, 1, 16, 256, 2, 0}), states);
  EXPECT_EQ(0644u, Mode(path("old.txt")));
  EXPECT_EQ(0640u, Mode(path("same.txt")));
  EXPECT_EQ(shown, Record().size()) << "nothing is asked";

  // Another host sees its own state: Bob's copy is current.
  EXPECT_EQ((std::vector<std::string>{"result 0", "state 2"}), Helper("bob", bob, "local", {bobs}));
  // A malformed list.
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->query_local_status(context, 1, nullptr, nullptr));
  EXPECT_EQ(SCC_OK, host_->QueryLocalStatus(context, {}, &states));
}

// A host that shows both the locks and the local states has them from one
// request for files in any number of folders, the same as the two queries
// give one by one; a name that cannot be sent is answered as they answer it.
TEST_F(ProviderTreeTest, StatusAndLocalStatesComeFromOneRequest) {
  LPVOID context = NewContext();
  std::vector<std::string> names;
  for (int i = 0; i < 8; ++i) {
    names.push_back("f" + std::to_string(i) + (i % 2 == 0 ? "/deep" : "") + "/a.txt");
  }
  MakeTree(context, names);
  const auto path = [&](const std::string& name) { return alice_ + "/" + name; };
  ASSERT_EQ(SCC_OK, host_->Checkout(context, {path("f1/a.txt")}));
  Edit(path("f1/a.txt"), "edited");
  ASSERT_EQ(0, ::unlink(path("f4/deep/a.txt").c_str()));
  MakeFile(path("f3/new.txt"), "not added");
  std::vector<std::string> files;
  for (const std::string& name : names) files.push_back(path(name));
  files.push_back(path("f3/new.txt"));
  files.push_back(path("f5/what?.txt"));

  const int before = LogCount("command=PRODUCTIONCMD sub=25 ");
  std::vector<LONG> status, states;
  EXPECT_EQ(SCC_E_INVALIDFILEPATH, host_->QueryStatus(context, files, &status, &states));
  SyncLog(context, files[0]);
  for (int i = 0; i < 3000 && LogCount("command=PRODUCTIONCMD sub=25 ") < before + 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(before + 2, LogCount("command=PRODUCTIONCMD sub=25 ")) << "one, and the sync's";
  EXPECT_EQ((std::vector<LONG>{2, 16, 2, 2, 1, 2, 2, 2, 256, 0}), states);
  EXPECT_EQ(SCC_STATUS_INVALID, status.back());
  const LONG mine = SCC_STATUS_CONTROLLED | SCC_STATUS_CHECKEDOUT | SCC_STATUS_OUTBYUSER;
  EXPECT_EQ(mine, status[1] & mine);
  EXPECT_EQ(SCC_STATUS_CONTROLLED, status[0]);
  EXPECT_TRUE(IsWritable(path("f1/a.txt")));
  EXPECT_FALSE(IsWritable(path("f2/deep/a.txt")));

  std::vector<LONG> one_by_one, local;
  EXPECT_EQ(SCC_OK, host_->QueryInfo(context, files, &one_by_one));
  EXPECT_EQ(SCC_E_INVALIDFILEPATH, host_->QueryLocalStatus(context, files, &local));
  EXPECT_EQ(one_by_one, status);
  EXPECT_EQ(local, states);

  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->query_status(context, 1, nullptr, nullptr, nullptr));
  EXPECT_EQ(SCC_OK, host_->QueryStatus(context, {}, &status, &states));
}

// A Production named like a link in another user's working folder: the link
// leads out of it, so nothing is listed, fetched or created through it, and
// the user is told; the rest of the tree arrives.
TEST_F(ProviderTreeTest, ALinkInTheWorkingFolderIsNeverFollowedOut) {
  LPVOID context = NewContext();
  const Binding project = MakeTree(context, {"safe.txt", "link/pwned.txt", "link/sub/deeper.txt"});
  const Binding bob{project.project, bob_, project.aux};
  const std::string outside = env_.Path("outside");
  fs::create_directories(outside);
  test::WriteFile(outside + "/pwned.txt", "keep");
  ASSERT_EQ(0, ::chmod((outside + "/pwned.txt").c_str(), 0664));
  fs::create_directories(bob_);
  ASSERT_EQ(0, ::symlink("../outside", (bob_ + "/link").c_str()));

  std::vector<std::string> out = Helper("bob", bob, "tree", {});
  EXPECT_EQ("result -24", out[0]);
  EXPECT_EQ(std::vector<std::string>{bob_ + "/safe.txt"}, Lines(out, "path "));

  // A host that names the files itself is refused them too, each alone.
  out = Helper("bob", bob, "get",
               {bob_ + "/link/pwned.txt", bob_ + "/link/sub/deeper.txt", bob_ + "/safe.txt"},
               "dialog 110 1001\n");
  EXPECT_EQ(std::vector<std::string>{"result -24"}, out);
  EXPECT_EQ("alice wrote safe.txt", test::ReadFile(bob_ + "/safe.txt"));
  EXPECT_EQ("keep", test::ReadFile(outside + "/pwned.txt"));
  EXPECT_FALSE(fs::exists(outside + "/sub"));
  EXPECT_EQ(0664u, Mode(outside + "/pwned.txt")) << "not made read-only through the link";

  // In this process: the notice names the file.
  ASSERT_EQ(SCC_OK, host_->close_project(context));
  const std::string carol = env_.Path("carol");
  fs::create_directories(carol);
  ASSERT_EQ(0, ::symlink("../outside", (carol + "/link").c_str()));
  ASSERT_EQ(SCC_OK, host_->Open(context, {project.project, carol, project.aux}));
  SccHost::ClearNotices();
  Script("dialog 110 1001\n");
  EXPECT_EQ(SCC_E_INVALIDFILEPATH, host_->Get(context, {carol + "/link/pwned.txt"}));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: The folder of '" + carol +
                                 "/link/pwned.txt' leads out of the working folder through a "
                                 "symbolic link; the file is left out."));
  EXPECT_EQ("keep", test::ReadFile(outside + "/pwned.txt"));
}

// A hostile server's names: in the Part's flat list a name with a separator
// is no Document of the bound Production and is not handed on; in the tree
// a name that would leave the folder it is joined to, or that lies below a
// link leading out, is left out with a notice.
TEST_F(ProviderTreeTest, HostileNamesAreLeftOut) {
  const std::string work = env_.Path("work");
  const std::string outside = env_.Path("outside");
  fs::create_directories(work);
  fs::create_directories(outside);
  ASSERT_EQ(0, ::symlink("../outside", (work + "/link").c_str()));
  test::LoopbackPeer peer([](test::LoopbackPeer::Connection& c, MessagePtr m) {
    MessagePtr reply = test::MakeReply(*m);
    const std::string command = m->GetCommand();
    if (!test::AnswerLogon(command, *m, reply.get()) && command == name_list::kCommand) {
      int recursive = 0;
      m->GetInt(name_list::kFieldRecursive, &recursive);
      NameTable table;
      for (const char* name : {"ok.txt", "link\\pwned.txt", "..\\evil.txt", "sub\\fine.txt",
                               "\\abs.txt", "a\\.\\b.txt"}) {
        table.AddRow({{kColumnName, name}, {kColumnId, "0000000000000002"}});
      }
      reply->SetString(name_list::kReplyTable, table.ToText());
    }
    c.Send(*reply);
  });
  LPVOID context = NewContext();
  Script("dialog 101 1 1001=alice 1002=x 1000=127.0.0.1 1003=" + std::to_string(peer.port()) +
         "\n");
  ASSERT_EQ(SCC_OK, host_->Open(context, {"0000000000000001", work, "\\Hostile"}));

  std::vector<std::string> flat;
  ASSERT_EQ(SCC_OK, host_->PopulateList(context, SCC_COMMAND_GET, SCC_PL_DIR, &flat));
  EXPECT_EQ(std::vector<std::string>{work + "/ok.txt"}, flat);

  std::vector<std::string> tree;
  SccHost::ClearNotices();
  EXPECT_EQ(SCC_E_INVALIDFILEPATH, host_->PopulateTree(context, nullptr, &tree));
  EXPECT_EQ((std::vector<std::string>{work + "/ok.txt", work + "/sub/fine.txt"}), tree);
  // Warnings: what the host asked for was not all handed on.
  EXPECT_TRUE(
      SccHost::SawNotice("Veltrane: The server names a Document '..\\evil.txt', which "
                         "cannot be a file below the working folder; it is left out. "
                         "[type 2]"));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: The folder of '" + work +
                                 "/link/pwned.txt' leads out of the working folder through a "
                                 "symbolic link; the file is left out. [type 2]"));
  EXPECT_TRUE(fs::is_empty(outside));
  EXPECT_FALSE(fs::exists(work + "/sub"));
}

}  // namespace
}  // namespace tw
