// History, properties, diff, the overwrite question's Merge button and the
// client launch, as a host meets them: through the exports of the built
// module against a real TWServer and TWPMSvr, the dialogs answered by
// scripts and read back from the record. The diff and merge programs and
// the client are small shell scripts written by the tests, which record
// the arguments they were given.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "provider/msscci.h"
#include "tests/support/provider_fixture.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using test::Edit;
using test::MakeFile;
using test::SccHost;
using test::Split;

// A program that writes its arguments, one a line, to "<itself>.args" (in
// one rename, so a reader never sees part of them) and then runs `then`.
void WriteRecordingProgram(const std::string& path, const std::string& then = "") {
  MakeFile(path,
           "#!/bin/sh\n"
           "out=\"$0.args\"\n"
           ": > \"$out.part\"\n"
           "for a in \"$@\"; do printf '%s\\n' \"$a\" >> \"$out.part\"; done\n" +
               then + "mv \"$out.part\" \"$out\"\n");
  ASSERT_EQ(0, chmod(path.c_str(), 0755));
}

// The arguments a recording program was started with; waits for the
// program (which runs detached) for at most a minute.
std::vector<std::string> RecordedArguments(const std::string& program) {
  const std::string path = program + ".args";
  for (int i = 0; i < 600 && !fs::exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::vector<std::string> lines = Split(test::ReadFile(path), '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  fs::remove(path);
  return lines;
}

class ProviderHistoryTest : public test::ProviderFixture {
 protected:
  // A bound context of alice's with `names` added to the new Production
  // `production` from the folder `local`; each file holds "server <name>".
  LPVOID OpenWithFiles(const std::string& production, const std::string& local,
                       const std::vector<std::string>& names, std::vector<std::string>* files) {
    LPVOID context = NewContext();
    binding_ = CreateProduction(context, production, local, "alice");
    EXPECT_EQ(SCC_OK, host_->Open(context, binding_));
    for (const std::string& name : names) {
      files->push_back(local + "/" + name);
      MakeFile(files->back(), "server " + name);
    }
    EXPECT_EQ(SCC_OK, host_->Add(context, *files, "first\r\nsecond line"));
    return context;
  }
  void SetUserProperty(const std::string& name, const std::string& value) {
    EXPECT_EQ(0, host_->set_property("UserProperties", name.c_str(), value.c_str()));
  }
  SCCRTN Diff(LPVOID context, const std::string& file, LONG options = 0) {
    return host_->diff(context, nullptr, file.c_str(), options, nullptr);
  }

  Binding binding_;
};

TEST_F(ProviderHistoryTest, HistoryShowsTheVersionsOfTheFirstFile) {
  std::vector<std::string> files;
  LPVOID context = OpenWithFiles("Docs", env_.Path("work"), {"notes.txt", "other.txt"}, &files);
  const std::string& notes = files[0];
  const std::string long_comment(10000, 'w');
  for (const std::string& comment : {long_comment, std::string("third")}) {
    ASSERT_EQ(SCC_OK, host_->Checkout(context, {notes}));
    Edit(notes, "edit for " + comment.substr(0, 5));
    ASSERT_EQ(SCC_OK, host_->Checkin(context, {notes}, comment));
  }

  // Three files: the history of the first is shown, the others ignored.
  Script("dialog 114 1\n");
  const size_t mark = Record().size();
  ASSERT_EQ(SCC_OK, host_->History(context, {notes, files[1], env_.Path("elsewhere/x")}));
  std::vector<test::UiRecordEntry> shown = Record();
  ASSERT_EQ(mark + 1, shown.size());
  EXPECT_EQ(114, shown.back().id);
  EXPECT_EQ("History of 'notes.txt'", shown.back().title);
  const std::vector<std::string> rows = Split(shown.back().texts[1030], '\n');
  ASSERT_EQ(4u, rows.size()) << shown.back().texts[1030];
  EXPECT_EQ("Version\tUser\tServer Date\tComment", rows[0]);
  const std::vector<std::string> comments = {"third", std::string(252, 'w') + "...", "first..."};
  const std::regex date("[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}");
  for (size_t i = 0; i < 3; ++i) {
    const std::vector<std::string> cells = Split(rows[i + 1], '\t');
    ASSERT_EQ(4u, cells.size()) << rows[i + 1];
    EXPECT_EQ(std::to_string(3 - i), cells[0]);
    EXPECT_EQ("alice", cells[1]);
    EXPECT_TRUE(std::regex_match(cells[2], date)) << cells[2];
    EXPECT_EQ(comments[i], cells[3]);
  }

  // A file the server does not know shows an empty history.
  const std::string unknown = env_.Path("work/unknown.txt");
  MakeFile(unknown, "mine");
  Script("dialog 114 1\n");
  ASSERT_EQ(SCC_OK, host_->History(context, {unknown}));
  EXPECT_EQ("Version\tUser\tServer Date\tComment", Record().back().texts[1030]);

  // Bad input: no context, no file.
  LPCSTR none[] = {nullptr};
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->History(nullptr, {notes}));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->History(context, {}));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->history(context, nullptr, 1, none, 0, nullptr));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->history(context, nullptr, 2, nullptr, 0, nullptr));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->properties(context, nullptr, nullptr));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, host_->properties(nullptr, nullptr, notes.c_str()));
}

TEST_F(ProviderHistoryTest, PropertiesShowTheLockQueue) {
  std::vector<std::string> files;
  LPVOID context = OpenWithFiles("Locks", env_.Path("alice"), {"art.psd"}, &files);
  ASSERT_EQ(SCC_OK, host_->Checkout(context, files));

  // Bob asks for the lock too and joins the queue.
  const std::string bob_file = env_.Path("bob/art.psd");
  fs::create_directories(env_.Path("bob"));
  Helper("bob", Binding{binding_.project, env_.Path("bob"), binding_.aux}, "checkout", {bob_file},
         "msgbox \"Could not acquire lock.\" Yes\n");

  Script("dialog 115 1\n");
  ASSERT_EQ(SCC_OK, host_->properties(context, nullptr, files[0].c_str()));
  const test::UiRecordEntry shown = Record().back();
  EXPECT_EQ(115, shown.id);
  EXPECT_EQ("Properties of 'art.psd'", shown.title);
  EXPECT_EQ("Locked By\tExclusive\tDeferred\tRank\nalice\tYes\tNo\t0\nbob\tYes\tYes\t1",
            shown.texts.at(1031));
  EXPECT_EQ("OK", shown.texts.at(1));
}

TEST_F(ProviderHistoryTest, DiffPutsTheTipBesideTheFile) {
  std::vector<std::string> files;
  LPVOID context = OpenWithFiles("Diffs", env_.Path("work dir"), {"a.txt", "b.txt"}, &files);
  const std::string& file = files[0];
  const std::string tip = file + ".[Tip]";
  Edit(file, "local edit");

  // A quick comparison is refused before anything is sent.
  SyncLog(context, file);
  const int commands = LogCount("command=");
  EXPECT_EQ(SCC_E_OPNOTSUPPORTED, Diff(context, file, 0x20));
  EXPECT_EQ(SCC_E_OPNOTSUPPORTED, Diff(nullptr, file, 0x10 | 0x40));
  SyncLog(context, file);
  EXPECT_EQ(commands + 1, LogCount("command="));
  EXPECT_FALSE(fs::exists(tip));

  // No diff program: the tip still comes, nothing is shown.
  ASSERT_EQ(SCC_OK, Diff(context, file));
  EXPECT_EQ("server a.txt", test::ReadFile(tip));
  EXPECT_EQ("local edit", test::ReadFile(file));

  // A program of the user's gets the two quoted paths.
  const std::string program = env_.Path("tools/my diff");
  WriteRecordingProgram(program);
  SetUserProperty("DiffProgram", program);
  test::WriteFile(tip, "stale");
  ASSERT_EQ(SCC_OK, Diff(context, file));
  EXPECT_EQ((std::vector<std::string>{tip, file}), RecordedArguments(program));
  EXPECT_EQ("server a.txt", test::ReadFile(tip));

  // The product's merge tool gets the project and the user as well.
  const std::string merge_tool = env_.Path("tools/VLMerge.exe");
  WriteRecordingProgram(merge_tool);
  SetUserProperty("DiffProgram", merge_tool);
  SetUserProperty("DefaultUser", "Alice Smith");
  ASSERT_EQ(SCC_OK, Diff(context, file));
  EXPECT_EQ((std::vector<std::string>{tip, file, "/project1", "\\Diffs", "/project2", "\\Diffs",
                                      "/user", "Alice Smith", "-wl", "-wr"}),
            RecordedArguments(merge_tool));

  // A stored template, with an unbalanced quote that groups the rest.
  SetUserProperty("DiffCommandLine", "-r \"[File2]\" \"[File1] [User]");
  ASSERT_EQ(SCC_OK, Diff(context, file));
  EXPECT_EQ((std::vector<std::string>{"-r", file, tip + " Alice Smith"}),
            RecordedArguments(merge_tool));
  SetUserProperty("DiffCommandLine", "");

  // A program that does not exist: the tip is there, the result is 0.
  SetUserProperty("DiffProgram", env_.Path("tools/none"));
  fs::remove(tip);
  ASSERT_EQ(SCC_OK, Diff(context, file));
  EXPECT_EQ("server a.txt", test::ReadFile(tip));
}

TEST_F(ProviderHistoryTest, DiffWithoutATipLeavesEverythingAlone) {
  std::vector<std::string> files;
  LPVOID context = OpenWithFiles("Tips", env_.Path("work"), {"a.txt", "b.txt"}, &files);
  const std::string program = env_.Path("tools/diff");
  WriteRecordingProgram(program);
  SetUserProperty("DiffProgram", program);

  // A folder stands where the tip would go: it is left as it is, no part of
  // the tip stays behind, and the user hears of it.
  const std::string blocked = files[1] + ".[Tip]";
  MakeFile(blocked + "/keep.txt", "keep");
  SccHost::ClearNotices();
  ASSERT_EQ(SCC_OK, Diff(context, files[1]));
  EXPECT_EQ("keep", test::ReadFile(blocked + "/keep.txt"));
  EXPECT_TRUE(
      SccHost::SawNotice("Veltrane: Could not put the server's version of 'b.txt' beside it."));
  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(env_.Path("work"))) {
    entries.push_back(entry.path().filename().string());
  }
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ((std::vector<std::string>{"a.txt", "b.txt", "b.txt.[Tip]"}), entries);

  // A file the server does not know: no tip, no program, still 0.
  const std::string unknown = env_.Path("work/unknown.txt");
  MakeFile(unknown, "mine");
  ASSERT_EQ(SCC_OK, Diff(context, unknown));
  EXPECT_FALSE(fs::exists(unknown + ".[Tip]"));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, Diff(context, ""));
  EXPECT_EQ(SCC_E_NONSPECIFICERROR, Diff(nullptr, files[0]));
  // Neither call ran the program.
  EXPECT_FALSE(fs::exists(program + ".args"));
}

TEST_F(ProviderHistoryTest, MergeButtonKeepsOrDiscardsTheMergedCopy) {
  std::vector<std::string> files;
  LPVOID context = OpenWithFiles("Merges", env_.Path("work"), {"a.txt"}, &files);
  const std::string& file = files[0];
  const std::string tip = file + ".[Tip]";
  const std::string copy = file + ".[Local]";
  // The merge program appends to its second file, the working copy.
  const std::string program = env_.Path("tools/merge");
  WriteRecordingProgram(program, "printf '+merged' >> \"$2\"\n");
  SetUserProperty("MergeProgram", program);

  // Kept: the merged copy becomes the file, which is not fetched.
  Edit(file, "local edit");
  SyncLog(context, file);
  const int fetches = LogCount("command=DOCUMENTCMD sub=4 ");
  Script("dialog 110 1032\nmsgbox \"Keep Merge Results?\" Yes\n");
  ASSERT_EQ(SCC_OK, host_->Get(context, {file}));
  EXPECT_EQ("local edit+merged", test::ReadFile(file));
  // It keeps its permissions: read-only, as the user holds no lock.
  EXPECT_FALSE(test::IsWritable(file));
  EXPECT_FALSE(fs::exists(tip));
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_EQ((std::vector<std::string>{tip, copy}), RecordedArguments(program));
  SyncLog(context, file);
  EXPECT_EQ(fetches + 1, LogCount("command=DOCUMENTCMD sub=4 ")) << "the tip alone";
  const test::UiRecordEntry keep = Record().back();
  EXPECT_EQ("Keep Merge Results?", keep.title);
  EXPECT_EQ(
      "Do you want to keep your merged file?\n\nClicking \"No\" will discard your temporary "
      "merged file and give you the option to overwrite your local copy.\n\nClicking \"Yes\" "
      "will copy your temporary merge file to the local location and will not overwrite.",
      keep.texts.at(0));

  // Discarded: the question comes again; No keeps the file as it was.
  Edit(file, "second edit");
  Script(
      "dialog 110 1032\nmsgbox \"Keep Merge Results?\" No\n"
      "dialog 110 1002\n");
  ASSERT_EQ(SCC_OK, host_->Get(context, {file}));
  EXPECT_EQ("second edit", test::ReadFile(file));
  EXPECT_FALSE(fs::exists(tip));
  EXPECT_FALSE(fs::exists(copy));
  EXPECT_EQ(2u, RecordedArguments(program).size());

  // No program that can run: said, and the question comes again; Yes then
  // fetches the server's version.
  SetUserProperty("MergeProgram", env_.Path("tools/none"));
  Script(
      "dialog 110 1032\nmsgbox \"Diff Program Not Found\" OK\n"
      "dialog 110 1000\n");
  ASSERT_EQ(SCC_OK, host_->Get(context, {file}));
  EXPECT_EQ("server a.txt", test::ReadFile(file));
  EXPECT_FALSE(fs::exists(tip));
  EXPECT_FALSE(fs::exists(copy));
  const std::vector<test::UiRecordEntry> shown = Record();
  ASSERT_GE(shown.size(), 3u);
  EXPECT_EQ("Diff Program Not Found", shown[shown.size() - 2].title);
  EXPECT_EQ(
      "There is no diff program set. Using the View | Options... menu in the Veltrane client, "
      "set a diff program.",
      shown[shown.size() - 2].texts.at(0));
}

TEST_F(ProviderHistoryTest, RunSccStartsTheClientBesideTheModule) {
  const std::string installed = env_.Path("installed");
  const std::string client = installed + "/ZORadevu.exe";
  const char kKey[] = "SOFTWARE\\Halvorn\\Veltrane";

  // Nothing registered, then a registration whose folder has no client.
  Script("msgbox \"Veltrane client not found\" OK\nmsgbox \"Veltrane client not found\" OK\n");
  EXPECT_EQ(SCC_OK, host_->run_scc(nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(
      "Could not find the Veltrane client executable at:\nZORadevu.exe\nPlease check your "
      "installation.",
      Record().back().texts.at(0));
  ASSERT_EQ(kRegistryOk, OpenMachineRegistry()->SetStrings(
                             {{kKey, "SCCServerPath", installed + "/libTWSccApi.so"}}));
  LPCSTR names[] = {"ignored"};
  EXPECT_EQ(SCC_OK, host_->run_scc(nullptr, nullptr, 1, names));
  EXPECT_EQ("Could not find the Veltrane client executable at:\n" + client +
                "\nPlease check your installation.",
            Record().back().texts.at(0));

  // The client there is started, and nothing is said.
  WriteRecordingProgram(client);
  Script("");
  const size_t mark = Record().size();
  EXPECT_EQ(SCC_OK, host_->run_scc(nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(std::vector<std::string>{}, RecordedArguments(client));
  EXPECT_EQ(mark, Record().size());
}

}  // namespace
}  // namespace tw
