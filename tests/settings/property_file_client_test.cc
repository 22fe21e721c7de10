// PropertyFileClient against a real TWPMSvr in the test's runtime folder.
#include "settings/property_file_client.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/mailslot.h"
#include "platform/recipient_table.h"
#include "settings/property_protocol.h"
#include "tests/support/property_server.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

using Children = std::map<std::string, std::string>;
constexpr char kHelper[] = "settings_property_client_helper";

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
