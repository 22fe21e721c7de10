// The parts of vscc that need no provider: the command line, the working
// folder file and its discovery, the folder walk, the console's routing and
// progress line, the JSON reader, and the answers' script words as the
// seam's scripted form reads them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>

#include "tests/support/test_env.h"
#include "tools/vscc/console.h"
#include "tools/vscc/editor.h"
#include "tools/vscc/host_ui.h"
#include "tools/vscc/ignore.h"
#include "tools/vscc/json.h"
#include "tools/vscc/options.h"
#include "tools/vscc/workspace.h"
#include "ui/script.h"

namespace vscc {
namespace {

namespace fs = std::filesystem;

int Parse(std::vector<std::string> args, Options* o, std::string* error = nullptr) {
  std::string ignored;
  return ParseCommandLine(args, o, error ? error : &ignored);
}

TEST(VsccOptions, OptionsAnywhereInEveryForm) {
  Options o;
  ASSERT_EQ(0, Parse({"--user=alice", "checkout", "-mfix it", "--shared", "--port", "4900", "--",
                      "-odd name", "b"},
                     &o));
  EXPECT_EQ("checkout", o.command);
  EXPECT_EQ("alice", o.user);
  EXPECT_EQ("fix it", o.message);
  EXPECT_TRUE(o.shared);
  EXPECT_EQ("4900", o.port);
  EXPECT_EQ((std::vector<std::string>{"-odd name", "b"}), o.args);

  ASSERT_EQ(0, Parse({"bind", "--new", "Demo", "--parent", "Games/Level 1", "--yes", "w"}, &o));
  EXPECT_EQ("Demo", o.new_name);
  EXPECT_EQ("Games/Level 1", o.parent);
  EXPECT_EQ(1, o.yes);
  ASSERT_EQ(0, Parse({"prop", "set", "UserProperties", "Name", "value"}, &o));
  ASSERT_EQ(0, Parse({"get", "--progress"}, &o));
  EXPECT_TRUE(o.progress);
  ASSERT_EQ(0, Parse({"checkout", "--help"}, &o));  // help needs no operands
  EXPECT_TRUE(o.help);
  ASSERT_EQ(0, Parse({"--help"}, &o));
  EXPECT_TRUE(o.help);

  ASSERT_EQ(0, Parse({"get", "-r", "12", "-o", "old.txt", "a.txt"}, &o));
  EXPECT_EQ(12, o.revision);
  EXPECT_EQ("old.txt", o.output);
  ASSERT_EQ(0, Parse({"get", "-r3", "a.txt"}, &o));
  EXPECT_EQ(3, o.revision);
  EXPECT_EQ("", o.output);

  ASSERT_EQ(0, Parse({"--timeout", "10", "status"}, &o));
  EXPECT_EQ(10, o.timeout);
  ASSERT_EQ(0, Parse({"status", "--timeout=600"}, &o));
  EXPECT_EQ(600, o.timeout);
  ASSERT_EQ(0, Parse({"status"}, &o));
  EXPECT_EQ(0, o.timeout);  // not given: the provider's own
}

TEST(VsccOptions, UsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frob"},
      {"status", "--shared"},    // another command's option
      {"checkout"},              // needs a path
      {"checkin", "-m"},         // a value is missing
      {"status", "--json=yes"},  // a flag takes no value
      {"status", "--ui", "window"},
      {"status", "--port", "70000"},
      {"bind", "--parent", "x"},  // only with --new
      {"bind", "--new", "A", "--production", "B"},
      {"get", "-r", "0", "a.txt"},  // versions start at 1
      {"get", "-r", "2x", "a.txt"},
      {"get", "-r", "99999999999", "a.txt"},
      {"get", "-r", "2"},                // one file
      {"get", "-o", "x", "a.txt", "b"},  // one file
      {"checkout", "-r", "2", "a.txt"},  // get's option only
      {"status", "--timeout", "9"},      // below the server's longest logon delay
      {"status", "--timeout", "601"},    // above a transfer's own limit
      {"status", "--timeout", "x"},
      {"status", "--timeout", "-3"},
      {"status", "--timeout", " 3"},
      {"status", "--timeout"},
  };
  for (const auto& args : bad) {
    Options o;
    std::string error;
    EXPECT_EQ(2, Parse(args, &o, &error)) << ::testing::PrintToString(args);
    EXPECT_FALSE(error.empty());
  }
  EXPECT_FALSE(CommandHelp("checkout").empty());
  EXPECT_TRUE(CommandHelp("frob").empty());
  EXPECT_NE(std::string::npos, GeneralHelp().find("Exit status"));
}

// Short names and near misses, as other version-control clients offer.
TEST(VsccOptions, AliasesVersionAndNearMisses) {
  Options o;
  const std::vector<std::pair<std::string, std::string>> aliases = {
      {"ci", "checkin"}, {"co", "checkout"}, {"st", "status"}, {"up", "get"}, {"log", "history"}};
  for (const auto& [alias, command] : aliases) {
    ASSERT_EQ(0, Parse({alias, "a.txt"}, &o)) << alias;
    EXPECT_EQ(command, o.command);
  }
  ASSERT_EQ(0, Parse({"ci", "-m", "x", "--keep"}, &o));  // the command's own options
  EXPECT_TRUE(o.keep);
  ASSERT_EQ(0, Parse({"help", "co"}, &o));
  EXPECT_EQ("checkout", o.args[0]);
  EXPECT_NE(std::string::npos, CommandHelp("checkout").find("Alias: vscc co\n"));
  EXPECT_NE(std::string::npos, GeneralHelp().find("ci = checkin"));

  ASSERT_EQ(0, Parse({"--version"}, &o));
  EXPECT_TRUE(o.version);
  EXPECT_EQ(0u, VersionText().rfind("vscc (Veltrane) ", 0));
  EXPECT_NE(std::string::npos, VersionText().find_first_of("0123456789"));

  const std::vector<std::pair<std::string, std::string>> near = {
      {"chekin", "did you mean 'checkin'?"},
      {"stauts", "did you mean 'status'?"},  // two letters swapped
      {"Status", "did you mean 'status'?"},  // letter case
      {"histroy", "did you mean 'history'?"},
      {"propert", "did you mean 'properties'?"},  // the start of one
      {"check", "did you mean 'checkout' or 'checkin'?"},
      {"unbnd", "did you mean 'unbind'?"},
  };
  for (const auto& [typed, suggestion] : near) {
    std::string error;
    EXPECT_EQ(2, Parse({typed}, &o, &error));
    EXPECT_NE(std::string::npos, error.find("'" + typed + "' is not a vscc command")) << error;
    EXPECT_NE(std::string::npos, error.find(suggestion)) << error;
  }
  std::string error;
  EXPECT_EQ(2, Parse({"frobnicate"}, &o, &error));
  EXPECT_EQ(std::string::npos, error.find("did you mean")) << error;
  EXPECT_EQ(2, Parse({"help", "lsit"}, &o, &error));
  EXPECT_NE(std::string::npos, error.find("did you mean 'list'?")) << error;
}

// What the editor saved, as the check-in comment: comment lines and the
// blank edges go, the lines in between stay.
TEST(VsccComment, CommentLinesAndBlankEdgesAreLeftOut) {
  EXPECT_EQ("", CleanComment(""));
  EXPECT_EQ("", CleanComment("\n# The comment\n#   a.txt\n"));
  EXPECT_EQ("First line\n\nsecond  line",
            CleanComment("\n \r\nFirst line \r\n# not this\n\nsecond  line\t\n\n\n"));
  EXPECT_EQ("keeps # inside\n  indented", CleanComment("keeps # inside\n  indented"));
}

TEST(VsccIgnore, GlobsFoldersAnchorsAndNegation) {
  EXPECT_TRUE(GlobMatch("*.o", "main.o"));
  EXPECT_FALSE(GlobMatch("*.o", "src/main.o"));  // '*' stays within a name
  EXPECT_TRUE(GlobMatch("src/*.o", "src/main.o"));
  EXPECT_TRUE(GlobMatch("file?.[ch]", "file1.c"));
  EXPECT_FALSE(GlobMatch("file?.[!ch]", "file1.c"));
  EXPECT_TRUE(GlobMatch("[a-c]x", "bx"));
  EXPECT_TRUE(GlobMatch("**/gen/*.txt", "gen/a.txt"));
  EXPECT_TRUE(GlobMatch("**/gen/*.txt", "x/y/gen/a.txt"));
  EXPECT_TRUE(GlobMatch("doc/**", "doc/a/b"));
  EXPECT_TRUE(GlobMatch("\\#x", "#x"));
  EXPECT_TRUE(GlobMatch("[oops", "[oops"));  // an open class is literal

  IgnoreRules rules;  // the built-in list alone
  for (const char* path : {".vscc", "a/.git", "notes.txt~", "b/.a.c.swp", ".DS_Store", ".svn"}) {
    EXPECT_TRUE(rules.Ignored(
        path, std::string(path).find(".git") != std::string::npos || std::string(path) == ".svn"))
        << path;
  }
  EXPECT_TRUE(rules.Ignored("a/.git/config", false));  // inside an ignored folder
  EXPECT_FALSE(rules.Ignored(".git", false));          // a file named so is no folder
  EXPECT_FALSE(rules.Ignored("main.c", false));

  rules.AddLines(
      "# build output\r\n"
      "build/\n"
      "/top.log\n"
      "*.log   \n"
      "!keep.log\n"
      "\\!bang\n"
      "\n"
      "docs/*.tmp\n");
  EXPECT_TRUE(rules.Ignored("build", true));
  EXPECT_TRUE(rules.Ignored("sub/build/x.o", false));
  EXPECT_FALSE(rules.Ignored("build", false));
  EXPECT_TRUE(rules.Ignored("top.log", false));
  EXPECT_TRUE(rules.Ignored("deep/other.log", false));
  EXPECT_FALSE(rules.Ignored("deep/keep.log", false));  // taken back in
  EXPECT_TRUE(rules.Ignored("!bang", false));
  EXPECT_TRUE(rules.Ignored("docs/a.tmp", false));
  EXPECT_FALSE(rules.Ignored("sub/docs/a.tmp", false));  // anchored to the top
  EXPECT_FALSE(rules.Ignored("# build output", false));
}

// A pattern of many stars that cannot match - in a .vsccignore that came
// with the files - gets its answer without trying every way of splitting a
// long name among its stars (which would not end in a lifetime).
TEST(VsccIgnore, ManyStarsAgainstALongNameGetAnAnswer) {
  const std::string name(200, 'a');
  const std::string stars = "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a";
  EXPECT_FALSE(GlobMatch(stars + "b", name));
  EXPECT_TRUE(GlobMatch(stars, name));
  EXPECT_FALSE(GlobMatch("**a**a**a**a**a**a**a**a**a**a**a**a**a**a**a**b", name));
  std::string deep;
  for (int i = 0; i < 60; ++i) deep += "d/";
  EXPECT_FALSE(GlobMatch("**/d/**/d/**/d/**/d/**/d/**/d/**/d/**/d/**/x", deep + "y"));
  EXPECT_TRUE(GlobMatch("**/d/**/d/**/d/**/d/**/d/**/d/**/d/**/d/**/y", deep + "y"));

  IgnoreRules rules;
  rules.AddLines(stars + "b\n");
  EXPECT_FALSE(rules.Ignored("x/" + name, false));
}

// A folder's .vsccignore applies below that folder only, its anchored
// patterns from there, after (and so over) the patterns of the folders
// above it.
TEST(VsccIgnore, AFoldersOwnFileRulesBelowIt) {
  IgnoreRules rules;
  rules.AddLines("*.log\n/gen/\n");
  rules.AddLines("!keep.log\n/out.txt\ndata/*.bin\n*.tmp\n", "src");
  rules.AddLines("*.tmp\n!x.tmp\n", "src/deep");

  EXPECT_TRUE(rules.Ignored("a.log", false));
  EXPECT_TRUE(rules.Ignored("src/a.log", false));
  EXPECT_FALSE(rules.Ignored("src/keep.log", false));       // taken back in below src
  EXPECT_FALSE(rules.Ignored("src/deep/keep.log", false));  // at any depth below it
  EXPECT_TRUE(rules.Ignored("keep.log", false));            // but not above it
  EXPECT_TRUE(rules.Ignored("other/keep.log", false));      // nor beside it

  EXPECT_TRUE(rules.Ignored("src/out.txt", false));  // anchored at src
  EXPECT_FALSE(rules.Ignored("out.txt", false));
  EXPECT_FALSE(rules.Ignored("src/deep/out.txt", false));
  EXPECT_TRUE(rules.Ignored("src/data/a.bin", false));
  EXPECT_FALSE(rules.Ignored("data/a.bin", false));
  EXPECT_FALSE(rules.Ignored("src/gen", true));  // the top's anchor stays at the top
  EXPECT_TRUE(rules.Ignored("gen/x.c", false));

  EXPECT_TRUE(rules.Ignored("src/y.tmp", false));
  EXPECT_TRUE(rules.Ignored("src/deep/y.tmp", false));
  EXPECT_FALSE(rules.Ignored("src/deep/x.tmp", false));  // the deeper rule wins
  EXPECT_TRUE(rules.Ignored("src/x.tmp", false));
  EXPECT_FALSE(rules.Ignored("x.tmp", false));

  // A file's rules never reach the folder that holds it.
  IgnoreRules own;
  own.AddLines("sub\n", "sub");
  EXPECT_FALSE(own.Ignored("sub", true));
  EXPECT_TRUE(own.Ignored("sub/sub", true));
}

// The files are read as the folders are entered; one in an ignored folder
// is never read.
TEST(VsccIgnore, ReadsTheFilesOfTheFoldersAboveAPath) {
  tw::test::TestEnv env;
  const std::string root = env.Path("w");
  fs::create_directories(root + "/src/deep");
  fs::create_directories(root + "/build");
  tw::test::WriteFile(root + "/.vsccignore", "build/\n*.o\n");
  tw::test::WriteFile(root + "/src/.vsccignore", "!main.o\n");
  tw::test::WriteFile(root + "/src/deep/.vsccignore", "*.c\n");
  // Unreadable: an attempt to read it would fail.
  fs::create_directories(root + "/build/.vsccignore");
  IgnoreRules rules;
  std::string error;
  ASSERT_TRUE(rules.ReadWorkingFolder(root, &error)) << error;
  ASSERT_TRUE(rules.ReadFoldersAbove("src/deep/a.c", false, &error)) << error;
  ASSERT_TRUE(rules.ReadFoldersAbove("build", true, &error)) << error;
  EXPECT_TRUE(rules.Ignored("src/deep/a.c", false));
  EXPECT_FALSE(rules.Ignored("src/deep/main.o", false));
  EXPECT_TRUE(rules.Ignored("src/deep/other.o", false));
  EXPECT_TRUE(rules.Ignored("build/x.o", false));
  EXPECT_FALSE(rules.Ignored("a.c", false));

  // A file that cannot be read is said, not taken as empty.
  fs::create_directories(root + "/bad/.vsccignore");
  EXPECT_FALSE(rules.ReadFolder("bad", &error));
  EXPECT_NE(std::string::npos, error.find("bad/.vsccignore")) << error;
}

class VsccFolders : public ::testing::Test {
 protected:
  std::string Make(const std::string& relative, const std::string& contents = "x") {
    const std::string path = env_.Path(relative);
    fs::create_directories(fs::path(path).parent_path());
    tw::test::WriteFile(path, contents);
    return path;
  }
  tw::test::TestEnv env_;
};

TEST_F(VsccFolders, WorkspaceFileRoundTripAndDiscovery) {
  Workspace w;
  w.root = env_.Path("work");
  w.project_name = "1a\\2b";
  w.aux_path = "\\Games\\Level 1";
  w.local_path = w.root;
  w.user = "alice";
  w.port = "4900";
  fs::create_directories(env_.Path("work/src/deep"));
  std::string error;
  ASSERT_TRUE(SaveWorkspace(w, &error)) << error;

  Workspace found;
  ASSERT_TRUE(FindWorkspace(env_.Path("work/src/deep"), &found, &error)) << error;
  EXPECT_EQ(w.root, found.root);
  EXPECT_EQ(w.aux_path, found.aux_path);
  EXPECT_EQ("", found.server);
  EXPECT_EQ("4900", found.port);

  // Nothing above: no error, just not found.
  EXPECT_FALSE(FindWorkspace(env_.Path("elsewhere"), &found, &error));
  EXPECT_TRUE(error.empty());
  // A damaged file is reported, not skipped for one further up.
  tw::test::WriteFile(env_.Path("work/src/.vscc"), "project=1a\ngarbage\n");
  EXPECT_FALSE(FindWorkspace(env_.Path("work/src/deep"), &found, &error));
  EXPECT_NE(std::string::npos, error.find("src/.vscc"));
  w.user = "two\nlines";
  EXPECT_FALSE(SaveWorkspace(w, &error));

  // What lies under the temporary name is replaced, never written through.
  w.user = "alice";
  tw::test::WriteFile(env_.Path("elsewhere.txt"), "kept");
  fs::create_symlink(env_.Path("elsewhere.txt"), env_.Path("work/.vscc.new"));
  ASSERT_TRUE(SaveWorkspace(w, &error)) << error;
  EXPECT_EQ("kept", tw::test::ReadFile(env_.Path("elsewhere.txt")));

  Workspace parsed;
  EXPECT_TRUE(
      ParseWorkspace("# comment\r\nproject=a\r\naux=b=c\r\nnew-key=kept out\r\n", &parsed, &error));
  EXPECT_EQ("b=c", parsed.aux_path);
  EXPECT_FALSE(ParseWorkspace("project=a\n", &parsed, &error));
}

TEST_F(VsccFolders, WalkSkipsTheMarkerTemporariesLinksAndNestedWorkingFolders) {
  const std::string top = env_.Path("w");
  Make("w/.vscc");
  Make("w/.vscc.tw-0123456789ab");  // left by an interrupted write of the binding
  const std::string a = Make("w/a.txt");
  const std::string b = Make("w/src/b.c");
  // The user's own files whose names merely start like the binding file's.
  const std::string ignore = Make("w/.vsccignore");
  const std::string rc = Make("w/.vsccrc");
  const std::string notes = Make("w/.vscc-notes");
  Make("w/src/b.c.[Tip]");
  Make("w/src/b.c.[Local]");
  Make("w/other/.vscc");
  Make("w/other/c.txt");
  fs::create_symlink(a, env_.Path("w/link.txt"));
  fs::create_directory_symlink(env_.Path("w/src"), env_.Path("w/srclink"));
  EXPECT_EQ((std::vector<std::string>{notes, ignore, rc, a, b}), FilesBelow(top));

  EXPECT_EQ("/w/x", AbsoluteFrom("/w/sub", "../x/"));
  EXPECT_EQ("/abs", AbsoluteFrom("/w", "/abs/."));
  EXPECT_TRUE(IsInside("/w/a", "/w"));
  EXPECT_TRUE(IsInside("/w", "/w"));
  EXPECT_FALSE(IsInside("/wx/a", "/w"));
  EXPECT_EQ("a/b", RelativeTo("/w/a/b", "/w"));
  EXPECT_EQ("/v/a", RelativeTo("/v/a", "/w"));
}

// Runs `talk` with a console on two pipes; gives back what each got.
void WithConsole(const std::function<void(Console&)>& talk, std::string* out, std::string* err) {
  int o[2], e[2];
  ASSERT_EQ(0, pipe2(o, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(e, O_CLOEXEC));
  {
    Console console(o[1], e[1]);
    talk(console);
  }
  close(o[1]);
  close(e[1]);
  for (auto [fd, text] : {std::pair{o[0], out}, std::pair{e[0], err}}) {
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text->append(buf, n);
    close(fd);
  }
}

TEST(VsccConsole, NoticesWarningsAndStatusGoWhereTheyBelong) {
  std::string out, err;
  WithConsole(
      [](Console& c) {
        c.Notice("Veltrane: Adding files...", 0);
        c.Notice("Veltrane: Succeeded adding files:\n/w/a.txt\n/w/b.", 0);
        c.Notice("Veltrane: careful", 2);
        c.Notice("Veltrane: broken\x1b[31m", 3);
        c.Notice("Veltrane: Sending a.bin: 45% (12.0 of 26.7 MiB, 31 MB/s)", 4);  // no terminal
        c.set_notices_to_stderr(true);
        c.Notice("Veltrane: now on stderr", 1);
        c.set_quiet(true);
        c.Notice("Veltrane: quiet", 0);
        c.Notice("Veltrane: still an error", 3);
        c.Out("Bound to Production '\\Evil\x1b]0;title\x07'\n");
      },
      &out, &err);
  EXPECT_EQ(
      "Veltrane: Adding files...\nVeltrane: Succeeded adding files:\n/w/a.txt\n/w/b\n"
      "Bound to Production '\\Evil^[]0;title^G'\n",
      out);
  EXPECT_EQ(
      "Veltrane: careful\nVeltrane: broken^[[31m\nVeltrane: now on stderr\n"
      "Veltrane: still an error\n",
      err);

  out.clear();
  err.clear();
  WithConsole(
      [](Console& c) {
        c.set_terminal(true, 60);
        c.Notice("Veltrane: Sending a.bin: 45% (12.0 of 26.7 MiB, 31 MB/s)", 4);
        c.Notice("Veltrane: Sending a.bin: 100% (26.7 of 26.7 MiB, 30 MB/s)", 4);
        c.Notice("Veltrane: Succeeded adding files", 0);
      },
      &out, &err);
  EXPECT_EQ("\r" + ProgressLine("Veltrane: Sending a.bin: 45% (12.0 of 26.7 MiB, 31 MB/s)", 60) +
                "\x1b[K\r" +
                ProgressLine("Veltrane: Sending a.bin: 100% (26.7 of 26.7 MiB, 30 MB/s)", 60) +
                "\x1b[K\r\x1b[KVeltrane: Succeeded adding files\n",
            out);

  // --progress without a terminal: each status notice a line on standard
  // error, quiet or not.
  out.clear();
  err.clear();
  WithConsole(
      [](Console& c) {
        c.set_progress_forced(true);
        c.set_quiet(true);
        c.Notice("Veltrane: Receiving a.bin: 4% (1.0 of 26.7 MiB)", 4);
        c.Notice("Veltrane: Receiving\rb.bin: 100%\n", 4);
      },
      &out, &err);
  EXPECT_EQ("", out);
  EXPECT_EQ("Veltrane: Receiving a.bin: 4% (1.0 of 26.7 MiB)\nVeltrane: Receiving b.bin: 100% \n",
            err);
}

// Colour where it is on for a stream: errors red with the suggestion of a
// usage error green, warnings and notes yellow, painted output in its
// colours; text from the provider is made safe inside the colour, and a
// stream without colour gets none.
TEST(VsccConsole, ColourPaintsEachStreamWhereItIsOn) {
  std::string out, err;
  WithConsole(
      [](Console& c) {
        c.set_colour(true, true);
        c.Error("'chekin' is not a vscc command; did you mean 'checkin'? (see vscc --help)");
        c.Note("left out");
        c.Notice("Veltrane: careful", 2);
        c.Notice("Veltrane: broken\x1b[0m", 3);
        c.Notice("Veltrane: plain", 0);
        c.Out({{"a "}, {"Modified", Colour::kGreen}, {" \x1b[31m", Colour::kRed}, {"\n"}});
      },
      &out, &err);
  // Notices stay plain.
  EXPECT_EQ("Veltrane: plain\na \x1b[32mModified\x1b[0m\x1b[31m ^[[31m\x1b[0m\n", out);
  EXPECT_EQ(
      "\x1b[31mvscc: 'chekin' is not a vscc command; \x1b[0m"
      "\x1b[1;32mdid you mean 'checkin'?\x1b[0m\x1b[31m (see vscc --help)\x1b[0m\n"
      "\x1b[33mvscc: left out\x1b[0m\n"
      "\x1b[33mVeltrane: careful\x1b[0m\n"
      "\x1b[31mVeltrane: broken^[[0m\x1b[0m\n",
      err);

  // Colour on standard error only: standard output stays plain.
  out.clear();
  err.clear();
  WithConsole(
      [](Console& c) {
        c.set_colour(false, true);
        c.Out({{"x", Colour::kCyan}, {"\n"}});
        c.Error("failed");
      },
      &out, &err);
  EXPECT_EQ("x\n", out);
  EXPECT_EQ("\x1b[31mvscc: failed\x1b[0m\n", err);
}

TEST(VsccConsole, ColourFollowsTheOptionNoColorAndTheTerminal) {
  using tw::test::ScopedEnv;
  int p[2];
  ASSERT_EQ(0, pipe2(p, O_CLOEXEC));
  ScopedEnv no_colour("NO_COLOR", std::nullopt);
  ScopedEnv term("TERM", "xterm");
  // A pipe is no terminal: only "always" colours it, NO_COLOR or not.
  EXPECT_FALSE(ColourWanted("", p[1]));
  EXPECT_FALSE(ColourWanted("auto", p[1]));
  EXPECT_FALSE(ColourWanted("never", p[1]));
  EXPECT_TRUE(ColourWanted("always", p[1]));
  {
    ScopedEnv set("NO_COLOR", "1");
    EXPECT_TRUE(ColourWanted("always", p[1]));
  }
  close(p[0]);
  close(p[1]);

  Options o;
  ASSERT_EQ(0, Parse({"status", "--color=never"}, &o));
  EXPECT_EQ("never", o.colour);
  ASSERT_EQ(0, Parse({"--color", "status"}, &o));  // alone: always; the command is no value
  EXPECT_EQ("always", o.colour);
  EXPECT_EQ("status", o.command);
  ASSERT_EQ(0, Parse({"status"}, &o));
  EXPECT_EQ("", o.colour);
  std::string error;
  EXPECT_EQ(2, Parse({"status", "--color=sometimes"}, &o, &error));
  EXPECT_EQ("--color must be auto, always or never, not 'sometimes'", error);
  // Taken wherever it stands, so that an error before it is shown as it says.
  EXPECT_EQ(2, Parse({"chekin", "--color=always"}, &o, &error));
  EXPECT_EQ("always", o.colour);
  // The value of an option is no option.
  ASSERT_EQ(0, Parse({"ci", "-m", "--color=x", "--message", "--color", "a"}, &o, &error)) << error;
  EXPECT_EQ("--color", o.message);
  EXPECT_EQ("", o.colour);
  EXPECT_EQ((std::vector<std::string>{"a"}), o.args);
  // After "--" it is an operand.
  ASSERT_EQ(0, Parse({"add", "--", "--color=x"}, &o));
  EXPECT_EQ("", o.colour);
  EXPECT_EQ((std::vector<std::string>{"--color=x"}), o.args);
}

TEST(VsccConsole, ProgressLineFitsTheTerminal) {
  EXPECT_EQ(45, PercentIn("Sending a: 45% (1 of 2 MiB)"));
  EXPECT_EQ(100, PercentIn("100%"));
  EXPECT_EQ(-1, PercentIn("no share"));
  EXPECT_EQ(-1, PercentIn("1000% is no percentage"));
  EXPECT_EQ(7, PercentIn("file 2024%x 7%"));

  const std::string text = "Veltrane: Sending NAME: 45% (12.0 of 26.7 MiB, 31 MB/s)";
  EXPECT_EQ("[#########...........] " + text, ProgressLine(text, 200));
  const std::string cut = ProgressLine(text, 40);
  EXPECT_EQ(39u, cut.size());
  EXPECT_EQ("...", cut.substr(cut.size() - 3));
  EXPECT_EQ("Logging on...", ProgressLine("Logging on...", 80));
  // Multi-byte characters count as one column; line breaks and controls
  // never reach the terminal.
  const std::string wide = ProgressLine("\xC3\xA9t\xC3\xA9\n\x07" + std::string(50, 'x'), 20);
  EXPECT_EQ(std::string::npos, wide.find('\n'));
  EXPECT_EQ(std::string::npos, wide.find('\x07'));
  EXPECT_EQ(std::string::npos, ProgressLine("50%", 5).find('\n'));
}

TEST(VsccJson, RecordLinesAndErrors) {
  // Every record line the tests read goes through ParseJson as well
  // (tests/support/ui_record_reader.cc); here the escapes and the errors.
  JsonValue v;
  std::string error;
  ASSERT_TRUE(ParseJson("\"\\\"Old\\\".\\n\\u00e9\\ud83d\\ude00\"", &v, &error)) << error;
  EXPECT_EQ("\"Old\".\n\xC3\xA9\xF0\x9F\x98\x80", v.string);
  UiEvent event;
  ASSERT_TRUE(ParseUiEvent(
      "{\"kind\": \"msgbox\", \"id\": 0, \"title\": \"Could not acquire lock.\", \"texts\": "
      "{\"0\": \"There is\"}, \"enabled\": {\"6\": true, \"7\": true}, \"answer\": \"No\", "
      "\"unexpected\": false}",
      &event));
  EXPECT_EQ("msgbox", event.kind);
  EXPECT_EQ("There is", event.Text(0));
  EXPECT_EQ("No", event.answer);
  EXPECT_TRUE(event.enabled.at(7));
  ASSERT_TRUE(ParseJson("[1, -2.5e1, null, true, \"\"]", &v, &error));
  EXPECT_EQ(-25, v.array[1].number);

  for (const std::string& bad :
       std::vector<std::string>{"", "{", "{\"a\" 1}", "[1,]", "\"\\x\"", "\"\\ud800\"", "\"a\nb\"",
                                "1 2", std::string(100, '[') + std::string(100, ']'), "tru"}) {
    EXPECT_FALSE(ParseJson(bad, &v, &error)) << bad;
  }
  EXPECT_FALSE(ParseUiEvent("not json", &event));
}

TEST(VsccAnswers, ScriptWordsReadBackByTheSeam) {
  EXPECT_EQ("/", TreePath(""));
  EXPECT_EQ("/", TreePath("/"));
  EXPECT_EQ("/\\Games\\Level 1", TreePath("Games/Level 1"));
  EXPECT_EQ("/\\Games\\Level 1", TreePath("/Games//Level 1/"));
  EXPECT_EQ("/\\Games", TreePath("\\Games"));

  const std::string odd = "p\"w \\ x#y";
  const tw::UiScript script = tw::ParseUiScript(
      "any dialog 101 1 1002=" + ScriptWord(odd) + " 1022=" + ScriptWord(TreePath("A/B")) +
          "\nany msgbox " + ScriptWord("Could not acquire lock.") + " No\notherwise none\n",
      "t");
  ASSERT_TRUE(script.errors.empty()) << script.errors[0];
  ASSERT_EQ(2u, script.entries.size());
  EXPECT_EQ(odd, script.entries[0].values.at(1002));
  EXPECT_EQ("/\\A\\B", script.entries[0].values.at(1022));
  EXPECT_EQ("Could not acquire lock.", script.entries[1].title);
}

TEST(VsccAnswers, EveryScriptOfARunHasANameOfItsOwn) {
  tw::test::TestEnv env;
  HostUi ui;
  std::string error;
  ASSERT_TRUE(ui.Setup("none", &error)) << error;
  ui.Answer("dialog 110 1001");
  std::set<std::string> names;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(ui.Activate(&error)) << error;
    const std::string choice = std::getenv("VELTRANE_UI");
    ASSERT_EQ(0u, choice.rfind("script:", 0));
    EXPECT_TRUE(names.insert(choice).second) << choice;  // the seam would not read it again
    const tw::UiScript script = tw::ParseUiScript(tw::test::ReadFile(choice.substr(7)), "s");
    EXPECT_TRUE(script.errors.empty());
    EXPECT_TRUE(script.fallback_given);
    EXPECT_EQ(tw::UserInterfaceChoice::kNone, script.fallback);
  }
  // Without a person, the lock question is answered No; the logon takes the
  // stored values.
  ui.AnswerQuestion(kLockConflictTitle, -1, "--defer");
  ASSERT_TRUE(ui.Activate(&error));
  const std::string text = tw::test::ReadFile(std::string(std::getenv("VELTRANE_UI")).substr(7));
  EXPECT_NE(std::string::npos, text.find("any msgbox \"Could not acquire lock.\" No\n"));
  EXPECT_NE(std::string::npos, text.find("any dialog 101 1\n"));
  EXPECT_NE(std::string::npos, text.find("any dialog 110 1001\n"));
}

}  // namespace
}  // namespace vscc
