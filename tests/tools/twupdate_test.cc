// TWUpdate run as the built program on an installation in a temporary
// folder, with the queue written as the module writes it (the system
// factory's QueueFileUpdate, QueueRun, UnqueueFileUpdate): files replaced
// in place, withdrawn entries skipped, programs started from the module
// folder, and every failing step leaving the installation as it was.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/system_factory.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

class UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::create_directories(install_));
    ASSERT_TRUE(fs::create_directories(staging_));
    Write(install_ + "/TWPMSvr", "#!/bin/sh\nexit 0\n", 0755);
    Write(install_ + "/default.usr", "old settings");
    Write(install_ + "/keep.txt", "kept");
    Write(staging_ + "/TWPMSvr", "#!/bin/sh\n# new\nexit 0\n", 0644);
    Write(staging_ + "/default.usr", "new settings");
    Write(staging_ + "/keep.txt", "must not arrive");
    Write(staging_ + "/added.txt", "added");
  }

  static void Write(const std::string& path, const std::string& text, mode_t mode = 0644) {
    test::WriteFile(path, text);
    ASSERT_EQ(0, ::chmod(path.c_str(), mode)) << path;
  }

  static mode_t Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }

  // Every file of the installation (its log aside) with its mode and bytes.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(install_)) {
      const std::string path = entry.path().string();
      if (entry.path().filename() == "update.log") continue;
      files[path] =
          entry.is_directory() ? "folder" : std::to_string(Mode(path)) + ":" + test::ReadFile(path);
    }
    return files;
  }

  test::ProgramOutcome Update(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = extra;
    args.push_back(ini_);
    return test::RunProgram("TWUpdate", args, env_.root());
  }

  // Update, killed when it still runs after a minute: a hang fails the
  // case (exit 137) instead of holding the suite.
  test::ProgramOutcome UpdateWithinAMinute() {
    return test::RunProgram("/usr/bin/timeout",
                            {"-s", "KILL", "60", test::BinDir() + "/TWUpdate", ini_}, env_.root());
  }

  std::string Log() const { return test::ReadFile(install_ + "/update.log"); }

  // Maps the first page of `path` into this process, as a loaded module is
  // mapped, so that the file counts as in use; MAP_FAILED when it cannot.
  static void* MapAsAModuleIs(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return MAP_FAILED;
    void* mapped = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    return mapped;
  }

  static bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  // Waits (generously) until `path` exists.
  static bool AwaitFile(const std::string& path) {
    for (int i = 0; i < 600 && !fs::exists(path); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return fs::exists(path);
  }

  // The ids of the live processes whose working folder is the
  // installation: programs an update started there.
  std::vector<pid_t> RunningInTheInstallation() const {
    std::vector<pid_t> pids;
    const std::string folder = fs::canonical(install_).string();
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return pids;
    while (const struct dirent* entry = ::readdir(proc)) {
      const std::string pid = entry->d_name;
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      std::error_code ec;
      const fs::path cwd = fs::read_symlink("/proc/" + pid + "/cwd", ec);
      if (!ec && cwd.string() == folder) pids.push_back(std::stoi(pid));
    }
    ::closedir(proc);
    return pids;
  }

  // A fresh queue: what the earlier part of a case queued is gone.
  void NewQueue() { fs::remove(ini_); }

  static size_t At(const std::string& text, const std::string& part) { return text.find(part); }

  test::TestEnv env_;
  const std::string install_ = env_.Path("install");
  const std::string staging_ = env_.Path("staging");
  const std::string ini_ = install_ + "/update.ini";
  ScopedEnv module_{"VELTRANE_MODULE_DIR", install_};
  ScopedEnv global_{"VELTRANE_GLOBAL_DIR", install_};
  CRLsystemFactory& factory_ = GetDefaultSystemFactory();
};

TEST_F(UpdateTest, ReplacesQueuedFilesSkipsWithdrawnOnesAndRunsPrograms) {
  // A program that tells where it ran.
  Write(install_ + "/after.sh", "#!/bin/sh\npwd > ran.tmp && mv ran.tmp ran.txt\n", 0755);
  ASSERT_TRUE(fs::create_directory(install_ + "/sub"));
  Write(install_ + "/sub/deep.txt", "old deep");
  Write(staging_ + "/deep.txt", "new deep");
  ASSERT_TRUE(factory_.QueueFileUpdate("TWPMSvr", staging_ + "/TWPMSvr"));
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  ASSERT_TRUE(factory_.QueueFileUpdate("keep.txt", staging_ + "/keep.txt"));
  ASSERT_TRUE(factory_.UnqueueFileUpdate("keep.txt"));
  ASSERT_TRUE(factory_.QueueFileUpdate("added.txt", staging_ + "/added.txt"));
  ASSERT_TRUE(factory_.QueueFileUpdate("sub/deep.txt", staging_ + "/deep.txt"));
  ASSERT_TRUE(factory_.QueueRun("after.sh"));

  const test::ProgramOutcome o = Update();
  ASSERT_EQ(0, o.exit) << o.err << Log();
  EXPECT_EQ("#!/bin/sh\n# new\nexit 0\n", test::ReadFile(install_ + "/TWPMSvr"));
  EXPECT_EQ(0755u, Mode(install_ + "/TWPMSvr")) << "a program stays a program";
  EXPECT_EQ("new settings", test::ReadFile(install_ + "/default.usr"));
  EXPECT_EQ("kept", test::ReadFile(install_ + "/keep.txt"));
  EXPECT_EQ("added", test::ReadFile(install_ + "/added.txt"));
  EXPECT_EQ("new deep", test::ReadFile(install_ + "/sub/deep.txt"));
  ASSERT_TRUE(AwaitFile(install_ + "/ran.txt"));
  EXPECT_EQ(fs::canonical(install_).string() + "\n", test::ReadFile(install_ + "/ran.txt"));
  // The queue is done and nothing of the update is left beside the files.
  EXPECT_FALSE(fs::exists(ini_));
  for (const auto& entry : fs::recursive_directory_iterator(install_)) {
    const std::string ext = entry.path().extension().string();
    EXPECT_TRUE(ext != ".twnew" && ext != ".twold") << entry.path();
  }
  EXPECT_EQ("new settings", test::ReadFile(staging_ + "/default.usr"))
      << "the new file itself stays where it was";
  const std::string log = Log();
  EXPECT_TRUE(Has(log, "Replaced " + install_ + "/default.usr with " + staging_ + "/default.usr"))
      << log;
  EXPECT_TRUE(Has(log, "Skipped keep.txt: the entry was withdrawn")) << log;
  EXPECT_TRUE(Has(log, "Started " + install_ + "/after.sh")) << log;
  EXPECT_TRUE(Has(log, "The update is done")) << log;
}

// A source path is taken as queued: "$NAME" in it is part of a name, not
// a variable of whoever runs the update.
TEST_F(UpdateTest, ASourcePathIsTakenAsWritten) {
  ASSERT_TRUE(fs::create_directories(staging_ + "/$TW_ELSEWHERE"));
  Write(staging_ + "/$TW_ELSEWHERE/default.usr", "dollar settings");
  ASSERT_TRUE(fs::create_directories(staging_ + "/other"));
  Write(staging_ + "/other/default.usr", "somebody else's settings");
  ScopedEnv elsewhere("TW_ELSEWHERE", "other");
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/$TW_ELSEWHERE/default.usr"));
  const test::ProgramOutcome o = Update();
  ASSERT_EQ(0, o.exit) << o.err << Log();
  EXPECT_EQ("dollar settings", test::ReadFile(install_ + "/default.usr"));
}

TEST_F(UpdateTest, AFailingStepLeavesEveryFileAsItWas) {
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  ASSERT_TRUE(factory_.QueueFileUpdate("added.txt", staging_ + "/added.txt"));
  ASSERT_TRUE(factory_.QueueFileUpdate("TWPMSvr", staging_ + "/TWPMSvr"));
  // The new file of the last entry cannot be read: nothing is replaced.
  ASSERT_TRUE(factory_.QueueFileUpdate("keep.txt", staging_ + "/missing.txt"));
  std::map<std::string, std::string> before = Snapshot();
  test::ProgramOutcome o = Update();
  EXPECT_EQ(1, o.exit) << Log();
  EXPECT_EQ(before, Snapshot());
  EXPECT_TRUE(Has(Log(), "Error: Cannot read " + staging_ + "/missing.txt: No such file")) << Log();
  EXPECT_TRUE(Has(Log(), "the installation is as it was, and " + ini_ + " stays")) << Log();

  // The last one would take the place of a folder: nothing is replaced.
  ASSERT_TRUE(fs::create_directory(install_ + "/folder"));
  test::WriteFile(install_ + "/folder/inside", "inside");
  ASSERT_TRUE(factory_.UnqueueFileUpdate("keep.txt"));
  ASSERT_TRUE(factory_.QueueFileUpdate("folder", staging_ + "/keep.txt"));
  before = Snapshot();
  o = Update();
  EXPECT_EQ(1, o.exit) << Log();
  EXPECT_EQ(before, Snapshot());
  EXPECT_TRUE(Has(Log(), "Error: " + install_ + "/folder is not a file")) << Log();

  // Every file in place, but a program to run is missing: the files
  // replaced are put back, the one added is removed.
  ASSERT_TRUE(factory_.UnqueueFileUpdate("folder"));
  ASSERT_TRUE(factory_.QueueRun("no-such-program"));
  before = Snapshot();
  o = Update();
  EXPECT_EQ(1, o.exit) << Log();
  EXPECT_EQ(before, Snapshot());
  EXPECT_TRUE(Has(Log(), "Error: there is no program no-such-program in " + install_)) << Log();
  EXPECT_TRUE(Has(Log(), "Restored " + install_ + "/default.usr")) << Log();
  EXPECT_TRUE(Has(Log(), "Removed " + install_ + "/added.txt, which the update had added"))
      << Log();

  // With the queue put right the same file does the update.
  ASSERT_TRUE(factory_.QueueFileUpdate("no-such-program", "/bin/true"));
  o = Update();
  EXPECT_EQ(0, o.exit) << Log();
  EXPECT_EQ("new settings", test::ReadFile(install_ + "/default.usr"));
}

// Two entries that name one file by different spellings: the update
// fails, and the file must still hold its old bytes afterwards.
TEST_F(UpdateTest, TwoNamesOfOneFileLeaveTheOldFile) {
  Write(staging_ + "/other.usr", "other settings");
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  ASSERT_TRUE(factory_.QueueFileUpdate("./default.usr", staging_ + "/other.usr"));
  const std::map<std::string, std::string> before = Snapshot();
  const test::ProgramOutcome o = Update();
  EXPECT_EQ(1, o.exit) << Log();
  EXPECT_EQ(before, Snapshot()) << Log();
}

// An entry of the installation that is no regular file (here a link that
// leads nowhere yet) is still there after an update that failed.
TEST_F(UpdateTest, AFailedUpdateKeepsALinkItWouldHaveReplaced) {
  ASSERT_EQ(0, ::symlink((staging_ + "/not-yet").c_str(), (install_ + "/linked.usr").c_str()));
  ASSERT_TRUE(factory_.QueueFileUpdate("linked.usr", staging_ + "/default.usr"));
  ASSERT_TRUE(factory_.QueueRun("no-such-program"));
  const test::ProgramOutcome o = Update();
  EXPECT_EQ(1, o.exit) << Log();
  EXPECT_TRUE(fs::is_symlink(install_ + "/linked.usr")) << Log();
}

TEST_F(UpdateTest, WaitsUntilNoProgramMapsTheFile) {
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  const std::string target = install_ + "/default.usr";
  void* const mapped = MapAsAModuleIs(target);
  ASSERT_NE(MAP_FAILED, mapped);

  const std::map<std::string, std::string> before = Snapshot();
  test::ProgramOutcome o = Update({"--wait", "1"});
  EXPECT_EQ(1, o.exit) << Log();
  EXPECT_EQ(before, Snapshot());
  EXPECT_TRUE(
      Has(Log(), "Waiting until " + fs::canonical(target).string() + " is no longer in use"))
      << Log();
  EXPECT_TRUE(Has(Log(), " is still in use after 1 seconds; nothing was replaced")) << Log();

  // Released while the updater waits: it goes on.
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::munmap(mapped, 4096);
  });
  o = Update({"--wait", "120"});
  release.join();
  EXPECT_EQ(0, o.exit) << Log();
  EXPECT_EQ("new settings", test::ReadFile(target));
}

// The module goes on queueing while the updater waits for it to let go of
// its files: an entry withdrawn then is not applied, and one added then is
// either applied or still queued afterwards.
TEST_F(UpdateTest, AQueueChangedDuringTheWaitIsHonoured) {
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  ASSERT_TRUE(factory_.QueueFileUpdate("keep.txt", staging_ + "/keep.txt"));
  const std::string target = install_ + "/default.usr";
  void* const mapped = MapAsAModuleIs(target);
  ASSERT_NE(MAP_FAILED, mapped);

  std::thread requeue([&] {
    for (int i = 0; i < 600 && !Has(Log(), "Waiting until "); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    factory_.UnqueueFileUpdate("keep.txt");
    factory_.QueueFileUpdate("added.txt", staging_ + "/added.txt");
    ::munmap(mapped, 4096);
  });
  const test::ProgramOutcome o = Update({"--wait", "120"});
  requeue.join();
  EXPECT_EQ(0, o.exit) << Log();
  EXPECT_EQ("new settings", test::ReadFile(target));
  EXPECT_EQ("kept", test::ReadFile(install_ + "/keep.txt")) << Log();
  EXPECT_TRUE(fs::exists(install_ + "/added.txt") || Has(test::ReadFile(ini_), "added.txt"))
      << Log();
}

// The queue is read whole, once a round, under one limit: the queue that is
// applied and the bytes later compared with the file are one read. A long
// queue (here lengthened by a comment, as a person editing it might leave)
// is done; one past the limit is refused whole and changes nothing.
TEST_F(UpdateTest, ALongQueueIsReadOnceUnderOneLimit) {
  const std::string entry = "[UpdateFiles]\ndefault.usr=" + staging_ + "/default.usr\n";
  Write(ini_, entry + "; " + std::string(2 << 20, 'x') + "\n");
  test::ProgramOutcome o = Update();
  EXPECT_EQ(0, o.exit) << Log();
  EXPECT_EQ("new settings", test::ReadFile(install_ + "/default.usr"));
  EXPECT_FALSE(fs::exists(ini_)) << Log();

  Write(ini_,
        "[UpdateFiles]\nkeep.txt=" + staging_ + "/keep.txt\n; " + std::string(5 << 20, 'x') + "\n");
  const std::map<std::string, std::string> before = Snapshot();
  o = Update();
  EXPECT_EQ(1, o.exit) << Log();
  EXPECT_EQ(before, Snapshot());
  EXPECT_TRUE(Has(Log(), "Error: Cannot read " + ini_ + ": larger than 4194304 bytes")) << Log();
}

// Two updaters never work on one installation at once: the second one
// stops before it changes anything, and the lock goes with the first.
TEST_F(UpdateTest, ASecondUpdaterLeavesTheInstallationToTheFirst) {
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  const std::string lock = install_ + "/update.lock";
  const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ::flock(fd, LOCK_EX));
  const std::map<std::string, std::string> before = Snapshot();
  test::ProgramOutcome o = Update();
  EXPECT_EQ(1, o.exit) << Log();
  EXPECT_EQ(before, Snapshot());
  EXPECT_TRUE(Has(Log(), "another TWUpdate is at work on this installation")) << Log();
  ::close(fd);

  o = Update();
  EXPECT_EQ(0, o.exit) << Log();
  EXPECT_EQ("new settings", test::ReadFile(install_ + "/default.usr"));
  EXPECT_FALSE(fs::exists(lock)) << "the lock file goes with the lock";
}

// The programs start in the order the module queued them, not by name.
TEST_F(UpdateTest, ProgramsStartInTheOrderOfTheQueue) {
  for (const char* name : {"zeta.sh", "alpha.sh", "mid.sh"}) {
    Write(install_ + "/" + name, "#!/bin/sh\nexit 0\n", 0755);
  }
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  ASSERT_TRUE(factory_.QueueRun("zeta.sh"));
  ASSERT_TRUE(factory_.QueueRun("alpha.sh"));
  ASSERT_TRUE(factory_.QueueRun("mid.sh"));
  const test::ProgramOutcome o = Update();
  ASSERT_EQ(0, o.exit) << Log();
  const std::string log = Log();
  const size_t zeta = At(log, "Started " + install_ + "/zeta.sh");
  const size_t alpha = At(log, "Started " + install_ + "/alpha.sh");
  const size_t mid = At(log, "Started " + install_ + "/mid.sh");
  ASSERT_NE(std::string::npos, zeta) << log;
  ASSERT_NE(std::string::npos, alpha) << log;
  ASSERT_NE(std::string::npos, mid) << log;
  EXPECT_LT(zeta, alpha) << log;
  EXPECT_LT(alpha, mid) << log;
}

// A queue edited by hand is read as the module's own reader reads it:
// group names whatever their letter case, lines ended "\r\n", blanks and
// comments, quoted values. The programs still start in the order of their
// lines.
TEST_F(UpdateTest, AQueueEditedByHandKeepsTheOrderOfItsLines) {
  for (const char* name : {"zeta.sh", "alpha.sh", "mid.sh"}) {
    Write(install_ + "/" + name, "#!/bin/sh\nexit 0\n", 0755);
  }
  Write(ini_, "; edited by hand\r\n[updatefiles]\r\n  default.usr = \"" + staging_ +
                  "/default.usr\"\r\n[RUN]\r\nzeta.sh=1\r\n# not now\r\nalpha.sh = 1\r\n"
                  "skipped.sh=0\r\nmid.sh=1\r\n");
  const test::ProgramOutcome o = Update();
  ASSERT_EQ(0, o.exit) << Log();
  EXPECT_EQ("new settings", test::ReadFile(install_ + "/default.usr"));
  const std::string log = Log();
  const size_t zeta = At(log, "Started " + install_ + "/zeta.sh");
  const size_t alpha = At(log, "Started " + install_ + "/alpha.sh");
  const size_t mid = At(log, "Started " + install_ + "/mid.sh");
  ASSERT_NE(std::string::npos, mid) << log;
  EXPECT_LT(zeta, alpha) << log;
  EXPECT_LT(alpha, mid) << log;
  EXPECT_FALSE(Has(log, "Started " + install_ + "/skipped.sh")) << log;

  // Text that is not UTF-8 (a comment saved in Latin-1 by an editor, which
  // the module then keeps writing in) is read as Latin-1, as the module
  // reads it.
  Write(staging_ + "/added.txt", "added", 0644);
  Write(ini_, "; Jos\xE9 was here\n[UpdateFiles]\ncaf\xE9.txt=" + staging_ + "/added.txt\n");
  ASSERT_EQ(0, Update().exit) << Log();
  EXPECT_EQ("added", test::ReadFile(install_ + "/caf\xC3\xA9.txt")) << Log();
  EXPECT_FALSE(fs::exists(ini_)) << Log();  // done, not left for the next start
}

// A program that started before a later one failed to start must not run
// on against the files that are put back: it is stopped first, with what
// it started itself.
TEST_F(UpdateTest, AProgramStartedBeforeAFailingOneIsStopped) {
  Write(install_ + "/server.sh", "#!/bin/sh\nsleep 300\nexit 0\n", 0755);
  // Executable, but no program the system can start.
  Write(install_ + "/broken", "this is no program\n", 0755);
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  ASSERT_TRUE(factory_.QueueRun("server.sh"));
  ASSERT_TRUE(factory_.QueueRun("broken"));
  const std::map<std::string, std::string> before = Snapshot();
  const test::ProgramOutcome o = Update();
  const std::vector<pid_t> left = RunningInTheInstallation();
  for (const pid_t pid : left) ::kill(pid, SIGKILL);
  EXPECT_EQ(1, o.exit) << Log();
  EXPECT_TRUE(left.empty()) << left.size() << " programs still run in the installation\n" << Log();
  EXPECT_EQ(before, Snapshot());
  const std::string log = Log();
  EXPECT_TRUE(Has(log, "Started " + install_ + "/server.sh")) << log;
  EXPECT_TRUE(Has(log, "Error: cannot start " + install_ + "/broken")) << log;
  const size_t stopped = At(log, "Stopped " + install_ + "/server.sh");
  ASSERT_NE(std::string::npos, stopped) << log;
  EXPECT_LT(stopped, At(log, "Restored " + install_ + "/default.usr")) << log;
}

// Every name the queue gives, of a file or of a program, stays in the
// module folder; one that leads out changes nothing anywhere.
TEST_F(UpdateTest, NamesLeadingOutOfTheModuleFolderChangeNothing) {
  const std::string outside = env_.Path("outside");
  ASSERT_TRUE(fs::create_directories(outside));
  Write(outside + "/victim.txt", "outside");
  Write(outside + "/tool.sh", "#!/bin/sh\ntouch ran-outside\n", 0755);
  ASSERT_EQ(0, ::symlink(outside.c_str(), (install_ + "/linked").c_str()));
  ASSERT_TRUE(fs::create_directory(install_ + "/sub"));
  for (const std::string& name :
       {outside + "/victim.txt", std::string("../outside/victim.txt"),
        std::string("sub/../../outside/victim.txt"), std::string("linked/victim.txt"),
        std::string("C:\\victim.txt"), std::string("sub\\..\\..\\outside\\victim.txt")}) {
    SCOPED_TRACE(name);
    NewQueue();
    ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
    ASSERT_TRUE(factory_.QueueFileUpdate(name, staging_ + "/keep.txt"));
    const std::map<std::string, std::string> before = Snapshot();
    const test::ProgramOutcome o = Update();
    EXPECT_EQ(1, o.exit) << Log();
    EXPECT_EQ("outside", test::ReadFile(outside + "/victim.txt"));
    EXPECT_EQ(before, Snapshot());
    EXPECT_TRUE(Has(Log(), "Error: " + name + " is no name in " + install_)) << Log();
  }
  for (const std::string& name :
       {std::string("../outside/tool.sh"), std::string("linked/tool.sh"), outside + "/tool.sh"}) {
    SCOPED_TRACE(name);
    NewQueue();
    ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
    ASSERT_TRUE(factory_.QueueRun(name));
    const std::map<std::string, std::string> before = Snapshot();
    const test::ProgramOutcome o = Update();
    EXPECT_EQ(1, o.exit) << Log();
    EXPECT_EQ(before, Snapshot());
    EXPECT_TRUE(Has(Log(), "Error: " + name + " is no name in " + install_)) << Log();
  }
  // Nothing ran; a folder of the installation reached by a name with a
  // harmless step stays usable.
  EXPECT_FALSE(fs::exists(install_ + "/ran-outside"));
  NewQueue();
  Write(install_ + "/sub/deep.txt", "old deep");
  ASSERT_TRUE(factory_.QueueFileUpdate("sub/./deep.txt", staging_ + "/default.usr"));
  ASSERT_TRUE(factory_.QueueFileUpdate(install_ + "/keep.txt", staging_ + "/added.txt"));
  const test::ProgramOutcome o = Update();
  EXPECT_EQ(0, o.exit) << Log();
  EXPECT_EQ("new settings", test::ReadFile(install_ + "/sub/deep.txt"));
  EXPECT_EQ("added", test::ReadFile(install_ + "/keep.txt")) << "a full name inside is a name";
}

// The log is written only where its name says, one line an entry: a name
// from the queue cannot start a line of its own, and a link in the log's
// place takes nothing.
TEST_F(UpdateTest, TheLogCannotBeForgedOrRedirected) {
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr\nForged: all is well", staging_ + "/keep.txt"));
  Update();
  EXPECT_FALSE(Has(Log(), "\nForged")) << Log();
  const std::string elsewhere = env_.Path("elsewhere.log");
  Write(elsewhere, "");
  fs::remove(install_ + "/update.log");
  ASSERT_EQ(0, ::symlink(elsewhere.c_str(), (install_ + "/update.log").c_str()));
  NewQueue();
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  const test::ProgramOutcome o = Update();
  EXPECT_EQ(0, o.exit) << o.err;
  EXPECT_EQ("", test::ReadFile(elsewhere));
}

// Files of the installation that merely have the names an update gives its
// copies are not the update's: they stay, and the update takes other
// names. What an update that was cut short recorded is removed, and only
// that.
TEST_F(UpdateTest, OnlyLeftoversTheUpdaterRecordedAreRemoved) {
  Write(install_ + "/default.usr.twnew", "a file of the user's");
  Write(install_ + "/default.usr.twold", "another file of the user's");
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  test::ProgramOutcome o = Update();
  ASSERT_EQ(0, o.exit) << Log();
  EXPECT_EQ("new settings", test::ReadFile(install_ + "/default.usr"));
  EXPECT_EQ("a file of the user's", test::ReadFile(install_ + "/default.usr.twnew"));
  EXPECT_EQ("another file of the user's", test::ReadFile(install_ + "/default.usr.twold"));
  EXPECT_FALSE(fs::exists(install_ + "/update.journal"));

  // An update cut short left a copy its journal names; the journal also
  // names files that are no copies of an update's, or lie elsewhere.
  Write(install_ + "/keep.txt.twnew", "left by the update");
  Write(env_.Path("elsewhere.twold"), "elsewhere");
  test::WriteFile(install_ + "/update.journal", install_ + "/keep.txt.twnew\n" + install_ +
                                                    "/keep.txt\n" + env_.Path("elsewhere.twold") +
                                                    "\n" + install_ + "/../elsewhere.twold\n");
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/keep.txt"));
  o = Update();
  ASSERT_EQ(0, o.exit) << Log();
  EXPECT_FALSE(fs::exists(install_ + "/keep.txt.twnew")) << Log();
  EXPECT_TRUE(Has(Log(), "Removed " + install_ + "/keep.txt.twnew, left by an update")) << Log();
  EXPECT_EQ("kept", test::ReadFile(install_ + "/keep.txt"));
  EXPECT_EQ("elsewhere", test::ReadFile(env_.Path("elsewhere.twold")));
  EXPECT_EQ("a file of the user's", test::ReadFile(install_ + "/default.usr.twnew"));
  EXPECT_FALSE(fs::exists(install_ + "/update.journal"));
}

// A new file that is a pipe (or a device) is refused at once: opening it
// must not wait for a writer that never comes.
TEST_F(UpdateTest, ANewFileThatIsAPipeFailsAtOnce) {
  const std::string pipe = staging_ + "/default.usr.pipe";
  ASSERT_EQ(0, ::mkfifo(pipe.c_str(), 0644));
  ASSERT_TRUE(factory_.QueueFileUpdate("keep.txt", staging_ + "/keep.txt"));
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", pipe));
  const std::map<std::string, std::string> before = Snapshot();
  const test::ProgramOutcome o = UpdateWithinAMinute();
  EXPECT_EQ(1, o.exit) << Log();
  EXPECT_EQ(before, Snapshot());
  EXPECT_TRUE(Has(Log(), "Error: Cannot read " + pipe)) << Log();
}

// A queued program is run from the module folder: a link there that leads
// to a program elsewhere is not run, one that stays inside is.
TEST_F(UpdateTest, AProgramLinkLeadingOutOfTheModuleFolderIsNotRun) {
  const std::string outside = env_.Path("outside");
  ASSERT_TRUE(fs::create_directories(outside));
  Write(outside + "/tool.sh", "#!/bin/sh\ntouch ran-outside\n", 0755);
  ASSERT_EQ(0, ::symlink((outside + "/tool.sh").c_str(), (install_ + "/tool").c_str()));
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  ASSERT_TRUE(factory_.QueueRun("tool"));
  const std::map<std::string, std::string> before = Snapshot();
  test::ProgramOutcome o = Update();
  EXPECT_EQ(1, o.exit) << Log();
  EXPECT_EQ(before, Snapshot());
  EXPECT_TRUE(Has(Log(), "Error: tool is no name in " + install_)) << Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(fs::exists(install_ + "/ran-outside"));

  Write(install_ + "/inside.sh", "#!/bin/sh\ntouch ran-inside\n", 0755);
  ASSERT_TRUE(fs::remove(install_ + "/tool"));
  ASSERT_EQ(0, ::symlink("inside.sh", (install_ + "/tool").c_str()));
  NewQueue();
  ASSERT_TRUE(factory_.QueueRun("tool"));
  o = Update();
  EXPECT_EQ(0, o.exit) << Log();
  EXPECT_TRUE(AwaitFile(install_ + "/ran-inside"));
}

// update.ini, update.log, update.lock and update.journal belong to the
// updater itself: a queue that would replace one of them (the lock, say,
// letting a second updater in) changes nothing.
TEST_F(UpdateTest, TheUpdatersOwnFilesAreNotReplaced) {
  for (const std::string name : {"update.lock", "update.journal", "update.log", "update.ini"}) {
    SCOPED_TRACE(name);
    NewQueue();
    if (name != "update.ini") Write(install_ + "/" + name, "the updater's");
    ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
    ASSERT_TRUE(factory_.QueueFileUpdate(name, staging_ + "/keep.txt"));
    const test::ProgramOutcome o = Update();
    EXPECT_EQ(1, o.exit) << Log();
    EXPECT_EQ("old settings", test::ReadFile(install_ + "/default.usr")) << Log();
    EXPECT_TRUE(Has(Log(), "Error: " + name + " is no name in " + install_)) << Log();
    fs::remove(install_ + "/update.journal");
  }
}

// An update cut short (here killed by the first program it started, while
// it still starts the others) is undone by the next run before it starts
// afresh: when that one fails too, the installation holds its old files
// again, never a mix.
TEST_F(UpdateTest, AnUpdateKilledPartWayIsUndoneByTheNextRun) {
  Write(install_ + "/kill-updater.sh", "#!/bin/sh\nkill -9 $PPID\n", 0755);
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  ASSERT_TRUE(factory_.QueueFileUpdate("TWPMSvr", staging_ + "/TWPMSvr"));
  ASSERT_TRUE(factory_.QueueRun("kill-updater.sh"));
  // Starting these takes the updater far longer than the first program
  // takes to kill it, even when the killer waits for a loaded machine; once
  // it is dead, none of the rest costs anything.
  for (int i = 0; i < 1000; ++i) {
    const std::string name = "idle" + std::to_string(i) + ".sh";
    Write(install_ + "/" + name, "#!/bin/sh\nexit 0\n", 0755);
    ASSERT_TRUE(factory_.QueueRun(name));
  }
  const std::map<std::string, std::string> before = Snapshot();
  test::ProgramOutcome o = Update();
  ASSERT_EQ(128 + SIGKILL, o.exit) << Log();
  ASSERT_EQ("new settings", test::ReadFile(install_ + "/default.usr")) << Log();

  // The next run cannot do the update: the old files are back.
  ASSERT_TRUE(fs::remove(staging_ + "/TWPMSvr"));
  o = Update();
  EXPECT_EQ(1, o.exit) << Log();
  EXPECT_EQ(before, Snapshot()) << Log();
  EXPECT_TRUE(Has(Log(), "Restored " + install_ + "/default.usr, left by an update")) << Log();
  for (const auto& entry : fs::directory_iterator(install_)) {
    const std::string ext = entry.path().extension().string();
    EXPECT_TRUE(ext != ".twnew" && ext != ".twold") << entry.path();
  }
}

TEST_F(UpdateTest, UsageAndAQueueThatCannotBeRead) {
  test::ProgramOutcome o = test::RunProgram("TWUpdate", {}, env_.root());
  EXPECT_EQ(2, o.exit);
  EXPECT_TRUE(Has(o.err, "Usage: TWUpdate [--wait SECONDS] <update.ini>")) << o.err;
  o = test::RunProgram("TWUpdate", {"--wait", "soon", ini_}, env_.root());
  EXPECT_EQ(2, o.exit);
  o = Update();
  EXPECT_EQ(1, o.exit);
  EXPECT_TRUE(Has(Log(), "Error: Cannot read " + ini_ + ": No such file or directory")) << Log();
}

// The module starts the updater installed beside it, which updates the
// installation it lies in.
TEST_F(UpdateTest, StartUpdaterStartsTheInstalledUpdater) {
  const std::string prefix = env_.Path("prefix");
  const test::ProgramOutcome installed = test::RunProgram(
      TW_CMAKE_COMMAND, {"-DCMAKE_INSTALL_PREFIX=" + prefix, "-P", TW_INSTALL_SCRIPT}, env_.root());
  ASSERT_EQ(0, installed.exit) << installed.out << installed.err;
  const std::string module_dir = prefix + "/lib/veltrane";
  ASSERT_TRUE(fs::is_regular_file(module_dir + "/TWUpdate"));
  ScopedEnv module("VELTRANE_MODULE_DIR", module_dir);
  ScopedEnv global("VELTRANE_GLOBAL_DIR", std::nullopt);
  ASSERT_TRUE(factory_.QueueFileUpdate("default.usr", staging_ + "/default.usr"));
  EXPECT_EQ(module_dir + "/update.ini", factory_.UpdateFilePath());
  ASSERT_TRUE(factory_.StartUpdater());
  const std::string log = module_dir + "/update.log";
  for (int i = 0; i < 600 && !Has(test::ReadFile(log), "The update "); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(Has(test::ReadFile(log), "The update is done")) << test::ReadFile(log);
  EXPECT_EQ("new settings", test::ReadFile(module_dir + "/default.usr"));
  EXPECT_FALSE(fs::exists(module_dir + "/update.ini"));
}

}  // namespace
}  // namespace tw
