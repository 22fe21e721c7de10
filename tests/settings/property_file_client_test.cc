// PropertyFileClient against a real TWPMSvr in the test's runtime folder.
#include "settings/property_file_client.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/mailslot.h"
#include "platform/recipient_table.h"
#include "settings/property_protocol.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

using test::PropertyServer;
using test::TestEnv;

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

class PropertyClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Start()); }
  std::string Store() const { return env_.Path("states.dat"); }

  TestEnv env_;
  PropertyServer server_;
};

TEST_F(PropertyClientTest, NamesAndValuesRoundTripEncryptedAndNot) {
  const std::string awkward[] = {"line\nbreak", "a/b", "bang!0", "x&y<z>", "k=v", "two words",
                                 "\xc3\xa4\xe2\x82\xac\xff", "quote'\"\r"};
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
    std::map<std::string, std::string> children;
    ASSERT_TRUE(client.ListChildren(nullptr, "Top", &children, encrypt));
    EXPECT_EQ(children.size(), std::size(awkward));
    // "/" in a name separates nodes: "a/b" is the child "b" of "a".
    EXPECT_EQ(children["a"], "");
    EXPECT_EQ(children["k=v"], "k=v|value");
    EXPECT_EQ(children["two words"], "two words|value");
    // A node opened by name keeps "/" inside that name.
    auto top = client.OpenNode(nullptr, "Top");
    auto whole = client.OpenNodeNamed(top.get(), "/home/u/Dir One");
    ASSERT_TRUE(client.WriteString(whole.get(), "V", "whole", encrypt));
    children.clear();
    ASSERT_TRUE(client.ListChildren(nullptr, "Top", &children, encrypt));
    EXPECT_EQ(children.count("/home/u/Dir One"), 1u);
    EXPECT_EQ(children.count("home"), 0u);
    std::string value;
    ASSERT_TRUE(client.ReadString(whole.get(), "V", &value, encrypt));
    EXPECT_EQ(value, "whole");
    EXPECT_FALSE(client.ReadString(nullptr, "Top/home/u/Dir One/V", &value, encrypt));
    client.DeleteNode(nullptr, "Top", true);
  }
}

TEST_F(PropertyClientTest, IntsBinaryAndModuleDirectory) {
  PropertyFileClient client(Store(), kStoreFile);
  const unsigned char bytes[5] = {0, 1, 0xfe, 0xff, 7};
  // Encryption needs the key.
  EXPECT_FALSE(client.WriteBinary(nullptr, "Bin", bytes, sizeof bytes, true));
  client.SetKey(kPropertyKeyString);
  auto node = client.OpenNode(nullptr, "Section");
  auto inner = client.OpenNode(node.get(), "Inner");
  EXPECT_EQ(inner->path, "Section/Inner");
  ASSERT_TRUE(client.WriteInt(inner.get(), "Count", -42, false));
  ASSERT_TRUE(client.WriteString(inner.get(), "Text", "abc", false));
  ASSERT_TRUE(client.WriteString(nullptr, "Dir", "%MODULEDIR%/x/%MODULEDIR%", false));
  ASSERT_TRUE(client.WriteBinary(nullptr, "Bin", bytes, sizeof bytes, true));
  int count = 0;
  ASSERT_TRUE(client.ReadInt(nullptr, "Section/Inner/Count", &count, false));
  EXPECT_EQ(count, -42);
  ASSERT_TRUE(client.ReadInt(inner.get(), "Text", &count, false));
  EXPECT_EQ(count, 0);
  std::string dir;
  client.GetGlobalDirectory(&dir);
  std::string value;
  ASSERT_TRUE(client.ReadString(nullptr, "Dir", &value, false));
  EXPECT_EQ(value, dir + "/x/%MODULEDIR%");

  unsigned char out[8] = {};
  uint32_t length = sizeof out;
  ASSERT_TRUE(client.ReadBinary(nullptr, "Bin", out, &length, true));
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(0, memcmp(out, bytes, 5));
  unsigned char shorter[3] = {};
  length = sizeof shorter;
  ASSERT_TRUE(client.ReadBinary(nullptr, "Bin", shorter, &length, true));
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(0, memcmp(shorter, bytes, 3));

  // A failed read leaves the output alone.
  value = "kept";
  EXPECT_FALSE(client.ReadString(nullptr, "Missing", &value, false));
  EXPECT_EQ(value, "kept");
  EXPECT_TRUE(client.CloseNode(std::move(inner)));
  EXPECT_TRUE(client.CloseNode(nullptr));
}

TEST_F(PropertyClientTest, OneWayWritesArePacedByPing) {
  PropertyFileClient client(Store(), kStoreFile);
  for (int i = 1; i <= 24; ++i) ASSERT_TRUE(client.WriteString(nullptr, "N", "v", false));
  EXPECT_EQ(client.request_counter(), 24u);
  std::string value;
  ASSERT_TRUE(client.ReadString(nullptr, "N", &value, false));
  EXPECT_EQ(client.request_counter(), 0u);
  for (int i = 1; i <= 24; ++i) ASSERT_TRUE(client.WriteString(nullptr, "N", "v", false));
  // The next write crosses the limit: a "PN" transaction goes first and
  // resets the count.
  ASSERT_TRUE(client.WriteString(nullptr, "N", "v", false));
  EXPECT_EQ(client.request_counter(), 0u);
  ASSERT_TRUE(client.WriteInt(nullptr, "I", 3, false));
  EXPECT_EQ(client.request_counter(), 2u);
}

TEST_F(PropertyClientTest, ListDeleteCopyAndCollect) {
  PropertyFileClient client(Store(), kStoreFile);
  client.WriteString(nullptr, "T/b", "2", false);
  client.WriteString(nullptr, "T/a", "1", false);
  client.WriteString(nullptr, "T/SHA", "x", false);
  client.WriteString(nullptr, "T/c/d", "4", false);
  client.WriteString(nullptr, "T/c/e", "5", false);
  std::map<std::string, std::string> children;
  ASSERT_TRUE(client.ListChildren(nullptr, "T", &children, false));
  EXPECT_EQ(children, (std::map<std::string, std::string>{
                          {"SHA", "x"}, {"a", "1"}, {"b", "2"}, {"c", ""}}));
  std::string text;
  client.CollectTreeText("T", false, &text);
  EXPECT_EQ(text, "a1b2cd4e5");

  PropertyFileClient scratch("", kStoreScratch);
  scratch.CopyTree(client, "T", false, false);
  std::string value;
  ASSERT_TRUE(scratch.ReadString(nullptr, "T/c/e", &value, false));
  EXPECT_EQ(value, "5");

  ASSERT_TRUE(client.DeleteNode(nullptr, "T/a", false));
  ASSERT_TRUE(client.DeleteNode(nullptr, "T/c", true));
  children.clear();
  ASSERT_TRUE(client.ListChildren(nullptr, "T", &children, false));
  EXPECT_EQ(children.size(), 2u);
  EXPECT_FALSE(client.ReadString(nullptr, "T/c/d", &value, false));
  // A single delete keeps the children of the node.
  client.WriteString(nullptr, "U", "own", false);
  client.WriteString(nullptr, "U/kid", "k", false);
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
    EXPECT_TRUE(Exists(path));
    EXPECT_EQ(user.store_name(), path);
    EXPECT_TRUE(user.WriteString(nullptr, "K", "user", false));
    std::string value;
    EXPECT_TRUE(user.ReadString(nullptr, "K", &value, false));
  }
  // user.dat in any letter case is copied from default.usr.
  const std::string odd = env_.Path("USER.DAT");
  PropertyFileClient upper(odd, kStoreFile);
  EXPECT_EQ(test::ReadFile(odd), test::ReadFile(test::BinDir() + "/default.usr"));

  PropertyFileClient lower("[sd]:7", kStoreFile);
  EXPECT_EQ(lower.store_name(), "[sd]:7");
  EXPECT_FALSE(Exists("[sd]:7"));

  ::mkdir(env_.Path("sub").c_str(), 0700);
  PropertyFileClient one(Store(), kStoreFile);
  PropertyFileClient two(env_.Path("sub/../states.dat"), kStoreFile);
  EXPECT_EQ(one.store_name(), two.store_name());
  ASSERT_TRUE(one.WriteString(nullptr, "Same", "yes", false));
  std::string value;
  ASSERT_TRUE(two.ReadString(nullptr, "Same", &value, false));
  EXPECT_EQ(value, "yes");
}

TEST_F(PropertyClientTest, ScratchStoresOfTwoProcessesStayApart) {
  PropertyFileClient mine("", kStoreScratch);
  ASSERT_TRUE(mine.WriteString(nullptr, "Key", "parent", false));
  const pid_t child = test::Spawn("settings_property_client_helper",
                                  {"scratch", "child"});
  EXPECT_EQ(test::WaitExit(child), 0);
  std::string value;
  ASSERT_TRUE(mine.ReadString(nullptr, "Key", &value, false));
  EXPECT_EQ(value, "parent");
}

TEST_F(PropertyClientTest, TwoProcessesWriteOneStore) {
  PropertyFileClient client(Store(), kStoreFile);  // creates the file
  const char* helper = "settings_property_client_helper";
  const pid_t a = test::Spawn(helper, {"write", Store(), "A", "300"});
  const pid_t b = test::Spawn(helper, {"write", Store(), "B", "300"});
  EXPECT_EQ(test::WaitExit(a), 0);
  EXPECT_EQ(test::WaitExit(b), 0);
  for (const char* prefix : {"A", "B"}) {
    std::map<std::string, std::string> children;
    ASSERT_TRUE(client.ListChildren(nullptr, prefix, &children, false));
    ASSERT_EQ(children.size(), 300u);
    EXPECT_EQ(children["123"], "v123");
  }
}

TEST_F(PropertyClientTest, AcknowledgedValuesSurviveKill) {
  std::atomic<int> acknowledged{-1};
  std::atomic<bool> started{false};
  std::thread writer([&] {
    PropertyFileClient client(Store(), kStoreFile);
    for (int i = 0; i < 1000000; ++i) {
      if (!client.WriteString(nullptr, "S/" + std::to_string(i), std::to_string(i), false)) break;
      if (i % 10 == 9) {
        std::string value;
        if (!client.ReadString(nullptr, "S/" + std::to_string(i), &value, false)) break;
        acknowledged = i;
        started = true;
      }
    }
  });
  while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  server_.Kill();
  writer.join();
  const int last = acknowledged;
  ASSERT_GE(last, 9);
  ASSERT_TRUE(server_.Start());
  PropertyFileClient client(Store(), kStoreFile);
  std::map<std::string, std::string> children;
  ASSERT_TRUE(client.ListChildren(nullptr, "S", &children, false));
  ASSERT_GE(children.size(), static_cast<size_t>(last + 1));
  for (int i = 0; i <= last; ++i) {
    ASSERT_EQ(children[std::to_string(i)], std::to_string(i)) << i;
  }
}

TEST_F(PropertyClientTest, BadRequestsFailWithoutHarm) {
  PropertyFileClient client(Store(), kStoreFile);
  ASSERT_TRUE(client.WriteString(nullptr, "Safe", "kept", false));
  std::string mailslot;
  ASSERT_TRUE(LookupRecipient(kPropertyServerRecipient, &mailslot));
  auto writer = NewMailslotWriter();
  ASSERT_TRUE(writer->Open(".", mailslot));
  auto send = [&](const std::string& text) {
    writer->Write(text.data(), static_cast<uint32_t>(text.size()), nullptr);
  };
  send("SD\n" + client.store_name() + "\nonly three");
  send("SD\n" + client.store_name() + "\nraw=name\nvalue");
  send("SD\n" + client.store_name() + "\nok\nbad!9escape");
  send("SD\n" + client.store_name() + "\nSafe\nx\nextra");
  send("SD\nrelative/file\nSafe\nx");
  send("SD\n/etc/passwd/\nSafe\nx");
  send("ZZ\n\n\n");
  send(std::string(70000, 'x'));
  send("SD\n" + client.store_name() + "\nSafe");
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
    PropertyServer other;
    ASSERT_TRUE(other.Start());
    PropertyFileClient second(Store(), kStoreFile);
    EXPECT_FALSE(second.ReadString(nullptr, "K", &value, false));
  }
  ::setenv("VELTRANE_RUNTIME_DIR", env_.Path("runtime").c_str(), 1);
}

// Without the fixture's server.
TEST(PropertyServerLifeTest, ConnectStartsOneServer) {
  TestEnv env;
  test::UsePropertyServerFromBuild(20000);
  // The started server is not our child: stop it however the test ends.
  struct Stopper {
    ~Stopper() { test::StopAnyPropertyServer(); }
  } stopper;
  ASSERT_EQ(test::RunningPropertyServer(), 0);
  PropertyFileClient a(env.Path("states.dat"), kStoreFile);
  PropertyFileClient b(env.Path("states.dat"), kStoreFile);
  bool a_ok = false;
  bool b_ok = false;
  std::thread other([&] { b_ok = b.Connect(); });
  a_ok = a.Connect();
  other.join();
  EXPECT_TRUE(a_ok);
  EXPECT_TRUE(b_ok);
  EXPECT_TRUE(a.registered());
  const pid_t server = test::RunningPropertyServer();
  EXPECT_GT(server, 0);
  ASSERT_TRUE(a.WriteString(nullptr, "K", "v", false));
  std::string value;
  ASSERT_TRUE(b.ReadString(nullptr, "K", &value, false));
  EXPECT_EQ(value, "v");
  // A client that finds the server running only registers.
  PropertyFileClient c("", kStoreScratch);
  EXPECT_TRUE(c.Connect());
  EXPECT_EQ(test::RunningPropertyServer(), server);
  test::StopAnyPropertyServer();
  EXPECT_EQ(test::RunningPropertyServer(), 0);
}

TEST(PropertyServerLifeTest, ForgetsKilledClientAndExitsWhenIdle) {
  TestEnv env;
  PropertyServer server(1500);
  ASSERT_TRUE(server.Start());
  const std::string marker = env.Path("ready");
  const char* helper = "settings_property_client_helper";
  const pid_t child = test::Spawn(helper, {"connect", marker});
  for (int i = 0; i < 1000 && ::access(marker.c_str(), F_OK) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(::access(marker.c_str(), F_OK), 0);
  // Registered: the server stays although its idle time passes.
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_GT(test::RunningPropertyServer(), 0);
  ::kill(child, SIGKILL);
  test::WaitExit(child);
  // The dead registration is dropped and the idle server leaves by itself.
  for (int i = 0; i < 1000 && test::RunningPropertyServer() != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(test::RunningPropertyServer(), 0);
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
}  // namespace tw
