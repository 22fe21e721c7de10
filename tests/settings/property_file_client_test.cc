// PropertyFileClient against a real TWPMSvr in the test's runtime folder.
#include "settings/property_file_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/file_attributes.h"
#include "platform/mailslot.h"
#include "platform/recipient_table.h"
#include "platform/system_factory.h"
#include "settings/property_protocol.h"
#include "tests/support/faulty_platform.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace tw {
namespace {

using Children = std::map<std::string, std::string>;
constexpr char kHelper[] = "settings_property_client_helper";

// The request lines of a mailslot message to the server.
std::vector<std::string> Lines(const std::string& request) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = request.find('\n', start);
    lines.push_back(request.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) return lines;
    start = end + 1;
  }
}

class PropertyClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()); }
  std::string Store() const { return env_.Path("states.dat"); }

  test::TestEnv env_;
  test::PropertyServer server_;
};

TEST_F(PropertyClientTest, NamesAndValuesRoundTripEncryptedAndNot) {
  const std::string awkward[] = {"line\nbreak", "a/b",     "bang!0",
                                 "x&y<z>",      "k=v two", "\xc3\xa4\xff quote'\"\r"};
  for (bool encrypt : {false, true}) {
    PropertyFileClient client(Store(), kStoreFile);
    client.SetKey(kPropertyKeyString);
    for (const std::string& text : awkward) {
      ASSERT_TRUE(client.WriteString(nullptr, "Top/" + text, text + "|value", encrypt));
    }
    for (const std::string& text : awkward) {
      std::string value;
      ASSERT_TRUE(client.ReadString(nullptr, "Top/" + text, &value, encrypt)) << text;
      EXPECT_EQ(value, text + "|value");
    }
    // "/" in a name separates nodes, but a node opened by name keeps it.
    auto top = client.OpenNode(nullptr, "Top");
    auto whole = client.OpenNodeNamed(top.get(), "/home/u/Dir One");
    ASSERT_TRUE(client.WriteString(whole.get(), "V", "whole", encrypt));
    Children children;
    ASSERT_TRUE(client.ListChildren(nullptr, "Top", &children, encrypt));
    EXPECT_EQ(children.size(), std::size(awkward) + 1);
    EXPECT_EQ(children["a"], "");
    EXPECT_EQ(children["k=v two"], "k=v two|value");
    EXPECT_EQ(children.count("/home/u/Dir One"), 1u);
    std::string value;
    EXPECT_FALSE(client.ReadString(nullptr, "Top/home/u/Dir One/V", &value, encrypt));
    client.DeleteNode(nullptr, "Top", true);
  }
}

TEST_F(PropertyClientTest, IntsBinaryAndModuleDirectory) {
  PropertyFileClient client(Store(), kStoreFile);
  const unsigned char bytes[5] = {0, 1, 0xfe, 0xff, 7};
  EXPECT_FALSE(client.WriteBinary(nullptr, "Bin", bytes, sizeof bytes, true)) << "no key yet";
  client.SetKey(kPropertyKeyString);
  auto inner = client.OpenNode(client.OpenNode(nullptr, "Section").get(), "Inner");
  ASSERT_TRUE(client.WriteInt(inner.get(), "Count", -42, false));
  ASSERT_TRUE(client.WriteString(nullptr, "Dir", "%MODULEDIR%/x/%MODULEDIR%", false));
  ASSERT_TRUE(client.WriteBinary(nullptr, "Bin", bytes, sizeof bytes, true));
  int count = 0;
  ASSERT_TRUE(client.ReadInt(nullptr, "Section/Inner/Count", &count, false));
  EXPECT_EQ(count, -42);
  std::string dir, value;
  client.GetGlobalDirectory(&dir);
  ASSERT_TRUE(client.ReadString(nullptr, "Dir", &value, false));
  EXPECT_EQ(value, dir + "/x/%MODULEDIR%");

  unsigned char shorter[3] = {};
  uint32_t length = sizeof shorter;
  ASSERT_TRUE(client.ReadBinary(nullptr, "Bin", shorter, &length, true));
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(0, memcmp(shorter, bytes, 3));
  value = "kept";
  EXPECT_FALSE(client.ReadString(nullptr, "Missing", &value, false));
  EXPECT_EQ(value, "kept") << "a failed read leaves the output alone";
}

TEST_F(PropertyClientTest, OneWayWritesArePacedByPing) {
  PropertyFileClient client(Store(), kStoreFile);
  for (int i = 1; i <= 24; ++i) ASSERT_TRUE(client.WriteString(nullptr, "N", "v", false));
  EXPECT_EQ(client.request_counter(), 24u);
  // The 25th one-way write sends a "PN" transaction first, which resets the count.
  ASSERT_TRUE(client.WriteString(nullptr, "N", "v", false));
  EXPECT_EQ(client.request_counter(), 0u);
  ASSERT_TRUE(client.WriteInt(nullptr, "I", 3, false));
  EXPECT_EQ(client.request_counter(), 2u);
  std::string value;
  ASSERT_TRUE(client.ReadString(nullptr, "N", &value, false));
  EXPECT_EQ(client.request_counter(), 0u);
}

TEST_F(PropertyClientTest, ListDeleteCopyAndCollect) {
  PropertyFileClient client(Store(), kStoreFile);
  for (const auto& [path, value] :
       std::vector<std::pair<const char*, const char*>>{{"T/b", "2"},
                                                        {"T/a", "1"},
                                                        {"T/SHA", "x"},
                                                        {"T/c/d", "4"},
                                                        {"U", "own"},
                                                        {"U/kid", "k"}}) {
    ASSERT_TRUE(client.WriteString(nullptr, path, value, false));
  }
  Children children;
  ASSERT_TRUE(client.ListChildren(nullptr, "T", &children, false));
  EXPECT_EQ(children, (Children{{"SHA", "x"}, {"a", "1"}, {"b", "2"}, {"c", ""}}));
  std::string text, value;
  client.CollectTreeText("T", false, &text);
  EXPECT_EQ(text, "a1b2cd4");

  PropertyFileClient scratch("", kStoreScratch);
  scratch.CopyTree(client, "T", false, false);
  ASSERT_TRUE(scratch.ReadString(nullptr, "T/c/d", &value, false));
  EXPECT_EQ(value, "4");

  ASSERT_TRUE(client.DeleteNode(nullptr, "T/c", true));
  EXPECT_FALSE(client.ReadString(nullptr, "T/c/d", &value, false));
  // A single delete keeps the children of the node.
  ASSERT_TRUE(client.DeleteNode(nullptr, "U", false));
  ASSERT_TRUE(client.ReadString(nullptr, "U", &value, false));
  EXPECT_EQ(value, "");
  ASSERT_TRUE(client.ReadString(nullptr, "U/kid", &value, false));
}

TEST_F(PropertyClientTest, BindingCreatesFilesAndNamesOneStorePerFile) {
  {
    PropertyFileClient user("", kStoreUser);
    std::string path;
    user.GetUserFilePath(&path);
    EXPECT_EQ(user.store_name(), path);
    EXPECT_TRUE(user.WriteString(nullptr, "K", "user", false));
  }
  // user.dat in any letter case is copied from default.usr.
  const std::string odd = env_.Path("USER.DAT");
  PropertyFileClient upper(odd, kStoreFile);
  EXPECT_EQ(test::ReadFile(odd), test::ReadFile(test::BinDir() + "/default.usr"));

  ::mkdir(env_.Path("sub").c_str(), 0700);
  PropertyFileClient one(Store(), kStoreFile);
  PropertyFileClient two(env_.Path("sub/../states.dat"), kStoreFile);
  EXPECT_EQ(one.store_name(), two.store_name());
  ASSERT_TRUE(one.WriteString(nullptr, "Same", "yes", false));
  std::string value;
  ASSERT_TRUE(two.ReadString(nullptr, "Same", &value, false));
  EXPECT_EQ(value, "yes");
}

// Without a default.usr in the module folder the user's store starts empty:
// a store whose file is missing is refused by the server, and every
// setting written to it would be lost.
TEST_F(PropertyClientTest, UserStoreWithoutDefaultUsrStartsEmptyAndKeepsWrites) {
  ASSERT_EQ(::mkdir(env_.Path("module").c_str(), 0700), 0);
  test::ScopedEnv module("VELTRANE_MODULE_DIR", env_.Path("module"));
  PropertyFileClient user("", kStoreUser);
  std::string path;
  user.GetUserFilePath(&path);
  EXPECT_TRUE(LocalFileExists(path));
  ASSERT_TRUE(user.WriteString(nullptr, "Defaults/User", "alice", false));
  std::string value;
  ASSERT_TRUE(user.ReadString(nullptr, "Defaults/User", &value, false));
  EXPECT_EQ(value, "alice");
}

// A store the server cannot serve takes no writes: the "PN" that paces the
// 25th write fails, and so does that write.
TEST_F(PropertyClientTest, WritesToAStoreTheServerRefusesReportFailure) {
  PropertyFileClient outside(env_.Path("runtime/recipients/x"), kStoreFile);
  int writes = 0;
  while (writes < 30 && outside.WriteString(nullptr, "K", "v", false)) ++writes;
  EXPECT_EQ(writes, 24);
}

// The reply to a read that gave up arrives late; the next reads still get
// their own replies, and a registered client registers the fresh reply
// mailslot it moves to.
TEST_F(PropertyClientTest, AReplyArrivingTooLateIsNeverTakenForALaterOne) {
  {
    PropertyFileClient writer(Store(), kStoreFile);
    ASSERT_TRUE(writer.WriteString(nullptr, "A", "first", false));
    ASSERT_TRUE(writer.WriteString(nullptr, "B", "second", false));
  }
  test::FaultInjectingFactory faults;
  PropertyFileClient client(Store(), kStoreFile);
  ASSERT_TRUE(client.Connect());
  faults.MissReplies(1);
  std::string value = "kept";
  EXPECT_FALSE(client.ReadString(nullptr, "A", &value, false));
  EXPECT_EQ(value, "kept");
  ASSERT_TRUE(client.ReadString(nullptr, "B", &value, false));
  EXPECT_EQ(value, "second");
  ASSERT_TRUE(client.ReadString(nullptr, "A", &value, false));
  EXPECT_EQ(value, "first");

  std::vector<std::vector<std::string>> registrations;
  for (const auto& [name, bytes] : faults.Written()) {
    std::vector<std::string> lines = Lines(bytes);
    if (lines[0] == kRequestRegister || lines[0] == kRequestUnregister) {
      registrations.push_back(lines);
    }
  }
  ASSERT_EQ(registrations.size(), 3u);
  const std::string old_name = registrations[0][3];
  EXPECT_EQ(registrations[0][0], kRequestRegister);
  EXPECT_EQ(registrations[1],
            (std::vector<std::string>{kRequestUnregister, client.store_name(), "", old_name}));
  EXPECT_EQ(registrations[2][0], kRequestRegister);
  EXPECT_NE(registrations[2][3], old_name);
  EXPECT_TRUE(MailslotIsAlive(registrations[2][3]));
}

// A request the mailslot drops is never answered: the read times out and
// fails, and the client goes on.
TEST_F(PropertyClientTest, ADroppedRequestTimesOutAndTheNextOneIsAnswered) {
  test::FaultInjectingFactory faults;
  PropertyFileClient client(Store(), kStoreFile);
  ASSERT_TRUE(client.WriteString(nullptr, "K", "v", false));
  int reads = 0;
  faults.DropMailslotMessages([&reads](const std::string&, const std::string& bytes) {
    return bytes.rfind("GD\n", 0) == 0 && ++reads == 1;
  });
  client.SetReplyTimeout(300);
  std::string value = "kept";
  EXPECT_FALSE(client.ReadString(nullptr, "K", &value, false));
  EXPECT_EQ(value, "kept");
  EXPECT_EQ(faults.dropped_messages(), 1);
  client.SetReplyTimeout(10000);
  ASSERT_TRUE(client.ReadString(nullptr, "K", &value, false));
  EXPECT_EQ(value, "v");
}

// A server that took the place of a vanished one is registered with at once
// and gets the write the old one could not take.
TEST_F(PropertyClientTest, ARestartedServerIsRegisteredWithAndGetsTheWrite) {
  test::FaultInjectingFactory faults;
  PropertyFileClient client(Store(), kStoreFile);
  ASSERT_TRUE(client.Connect());
  server_.Kill();
  ASSERT_TRUE(server_.Start());
  std::string mailslot;
  ASSERT_TRUE(LookupRecipient(kPropertyServerRecipient, &mailslot));
  ASSERT_TRUE(client.WriteString(nullptr, "After", "restart", false));
  std::string value;
  ASSERT_TRUE(client.ReadString(nullptr, "After", &value, false));
  EXPECT_EQ(value, "restart");
  std::vector<std::string> codes;
  for (const auto& [name, bytes] : faults.Written()) {
    if (name == mailslot) codes.push_back(Lines(bytes)[0]);
  }
  EXPECT_EQ(codes, (std::vector<std::string>{kRequestRegister, kRequestSetData, kRequestGetData}));
}

TEST_F(PropertyClientTest, TwoProcessesWriteOneStoreAndKeepTheirScratchStores) {
  PropertyFileClient client(Store(), kStoreFile);  // creates the file
  PropertyFileClient mine("", kStoreScratch);
  ASSERT_TRUE(mine.WriteString(nullptr, "Key", "parent", false));
  const pid_t a = test::Spawn(kHelper, {"write", Store(), "A", "300"});
  const pid_t b = test::Spawn(kHelper, {"write", Store(), "B", "300"});
  const pid_t c = test::Spawn(kHelper, {"scratch", "child"});
  EXPECT_EQ(test::WaitExit(a), 0);
  EXPECT_EQ(test::WaitExit(b), 0);
  EXPECT_EQ(test::WaitExit(c), 0);
  for (const char* prefix : {"A", "B"}) {
    Children children;
    ASSERT_TRUE(client.ListChildren(nullptr, prefix, &children, false));
    ASSERT_EQ(children.size(), 300u);
    EXPECT_EQ(children["123"], "v123");
  }
  std::string value;
  ASSERT_TRUE(mine.ReadString(nullptr, "Key", &value, false));
  EXPECT_EQ(value, "parent");
}

TEST_F(PropertyClientTest, AcknowledgedValuesSurviveKill) {
  std::atomic<int> acknowledged{-1};
  std::thread writer([&] {
    PropertyFileClient client(Store(), kStoreFile);
    for (int i = 0; i < 1000000; ++i) {
      if (!client.WriteString(nullptr, "S/" + std::to_string(i), std::to_string(i), false)) break;
      std::string value;
      if (i % 10 == 9) {
        if (!client.ReadString(nullptr, "S/" + std::to_string(i), &value, false)) break;
        acknowledged = i;
      }
    }
  });
  while (acknowledged < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server_.Kill();
  writer.join();
  const int last = acknowledged;
  ASSERT_TRUE(server_.Start());
  PropertyFileClient client(Store(), kStoreFile);
  Children children;
  ASSERT_TRUE(client.ListChildren(nullptr, "S", &children, false));
  ASSERT_GE(children.size(), static_cast<size_t>(last + 1));
  for (int i = 0; i <= last; ++i) ASSERT_EQ(children[std::to_string(i)], std::to_string(i)) << i;
}

TEST_F(PropertyClientTest, BadRequestsFailWithoutHarm) {
  PropertyFileClient client(Store(), kStoreFile);
  ASSERT_TRUE(client.WriteString(nullptr, "Safe", "kept", false));
  std::string mailslot;
  ASSERT_TRUE(LookupRecipient(kPropertyServerRecipient, &mailslot));
  auto writer = NewMailslotWriter();
  ASSERT_TRUE(writer->Open(".", mailslot));
  const std::string sd = "SD\n" + client.store_name();
  for (const std::string& text :
       {sd + "\nonly three", sd + "\nraw=name\nv", sd + "\nok\nbad!9escape",
        std::string("SD\n/etc/passwd/\nSafe\nx"), std::string("ZZ\n\n\n"),
        std::string(70000, 'x')}) {
    writer->Write(text.data(), static_cast<uint32_t>(text.size()), nullptr);
  }
  std::string value;
  ASSERT_TRUE(client.ReadString(nullptr, "Safe", &value, false));
  EXPECT_EQ(value, "kept");
  // A store the server may not open answers with a failure.
  PropertyFileClient outside(env_.Path("runtime/recipients/x"), kStoreFile);
  EXPECT_FALSE(outside.ReadString(nullptr, "Safe", &value, false));
}

TEST_F(PropertyClientTest, SecondServerRefusesAStoreInUse) {
  PropertyFileClient client(Store(), kStoreFile);
  ASSERT_TRUE(client.WriteString(nullptr, "K", "first", false));
  std::string value;
  ASSERT_TRUE(client.ReadString(nullptr, "K", &value, false));
  ::mkdir(env_.Path("runtime2").c_str(), 0700);
  ::setenv("VELTRANE_RUNTIME_DIR", env_.Path("runtime2").c_str(), 1);
  {
    test::PropertyServer other;
    ASSERT_TRUE(other.Start());
    EXPECT_FALSE(PropertyFileClient(Store(), kStoreFile).ReadString(nullptr, "K", &value, false));
  }
  ::setenv("VELTRANE_RUNTIME_DIR", env_.Path("runtime").c_str(), 1);
}

// Without the fixture's server.
TEST(PropertyServerLifeTest, ConnectStartsOneServer) {
  test::TestEnv env;
  test::UsePropertyServerFromBuild(20000);
  // The started server is not our child: stop it however the test ends.
  struct Stopper {
    ~Stopper() { test::StopAnyPropertyServer(); }
  } stopper;
  ASSERT_EQ(test::RunningPropertyServer(), 0);
  PropertyFileClient a(env.Path("states.dat"), kStoreFile);
  PropertyFileClient b(env.Path("states.dat"), kStoreFile);
  bool b_ok = false;
  std::thread other([&] { b_ok = b.Connect(); });
  EXPECT_TRUE(a.Connect());
  other.join();
  EXPECT_TRUE(b_ok);
  const pid_t server = test::RunningPropertyServer();
  EXPECT_GT(server, 0);
  ASSERT_TRUE(a.WriteString(nullptr, "K", "v", false));
  std::string value;
  ASSERT_TRUE(b.ReadString(nullptr, "K", &value, false));
  EXPECT_EQ(value, "v");
  // A client that finds the server running only registers.
  EXPECT_TRUE(PropertyFileClient("", kStoreScratch).Connect());
  EXPECT_EQ(test::RunningPropertyServer(), server);
}

// The server a client starts holds none of the client's streams: the
// output of a process that started it can be read to its end at once,
// though the server runs on (and would write its diagnostics to standard
// error).
TEST(PropertyServerLifeTest, StartedServerLeavesTheStartersOutputAlone) {
  test::TestEnv env;
  test::UsePropertyServerFromBuild(20000);
  test::ScopedEnv debug("VELTRANE_DEBUG_OUTPUT", "-");
  struct Stopper {
    ~Stopper() { test::StopAnyPropertyServer(); }
  } stopper;
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  const std::string program = test::BinDir() + "/" + kHelper;
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("start"), nullptr};
  pid_t helper = -1;
  const int spawned = posix_spawn(&helper, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ASSERT_EQ(spawned, 0);
  EXPECT_EQ(test::WaitExit(helper), 0);
  EXPECT_GT(test::RunningPropertyServer(), 0);
  // The helper has ended: only the server could still hold the pipe open.
  char buffer[4096];
  ssize_t got;
  do {
    struct pollfd ready = {out[0], POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 0), 1) << "the server holds the starter's output";
    got = ::read(out[0], buffer, sizeof buffer);
  } while (got > 0);
  EXPECT_EQ(got, 0);
  ::close(out[0]);
}

// Starting the server goes through the system factory: a factory that
// cannot start programs leaves Connect failing at once, with nothing started.
TEST(PropertyServerLifeTest, ConnectFailsWhenTheServerCannotBeStarted) {
  test::TestEnv env;
  test::UsePropertyServerFromBuild(20000);
  class NoLaunch final : public SystemFactoryWrapper {
   public:
    NoLaunch() : SystemFactoryWrapper(&GetDefaultSystemFactory()) {}
    bool Run(const std::string& file, const std::string& parameters, bool wait) override {
      started.push_back(file);
      return false;
    }
    std::vector<std::string> started;
  } no_launch;
  CRLsystemFactory* previous = InstallSystemFactory(&no_launch);
  {
    PropertyFileClient client("", kStoreScratch);
    EXPECT_FALSE(client.Connect());
    EXPECT_FALSE(client.registered());
  }
  InstallSystemFactory(previous);
  EXPECT_EQ(no_launch.started,
            std::vector<std::string>{test::BinDir() + "/" + kPropertyServerProgram});
  EXPECT_EQ(test::RunningPropertyServer(), 0);
}

TEST(PropertyServerLifeTest, ForgetsKilledClientAndExitsWhenIdle) {
  test::TestEnv env;
  test::PropertyServer server(1500);
  ASSERT_TRUE(server.Start());
  const std::string marker = env.Path("ready");
  const pid_t child = test::Spawn(kHelper, {"connect", marker});
  for (int i = 0; i < 1000 && ::access(marker.c_str(), F_OK) != 0; ++i) ::usleep(10000);
  ASSERT_EQ(::access(marker.c_str(), F_OK), 0);
  // Registered: the server stays although its idle time passes.
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_GT(test::RunningPropertyServer(), 0);
  ::kill(child, SIGKILL);
  test::WaitExit(child);
  // The dead registration is dropped and the idle server leaves by itself.
  for (int i = 0; i < 1000 && test::RunningPropertyServer() != 0; ++i) ::usleep(10000);
  EXPECT_EQ(test::RunningPropertyServer(), 0);
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace tw
