// `TWServer serve` against hostile and heavy clients: files and large
// messages before logon, the connection cap, the logon and idle deadlines,
// the memory and upload budgets, a replayed or guessed logon, a request of
// many names beside another client, refused requests that must store
// nothing, and content collection. Real server processes, real loopback
// sockets; small limits given as options keep the tests short. The cases
// whose outcome lies in the storage (what refused and large requests store,
// logons at one instant, collection) run on SQLite and, when PostgreSQL is
// installed, on a database of the test run's cluster; the socket limits,
// which the storage never sees, on SQLite only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "messaging/message_writer.h"
#include "messaging/stream_format.h"
#include "platform/letter_case.h"
#include "servers/twserver/content_store.h"
#include "servers/twserver/repository.h"
#include "settings/property_escape.h"
#include "tests/support/serve_fixture.h"

namespace tw::twserver {
namespace {

using test::SplitField;
using test::WireClient;
namespace fs = std::filesystem;

// The files below a folder, recursively, with their sizes.
std::set<std::string> Listing(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) names.insert(entry.path().string());
  }
  return names;
}

using test::Backend;
using test::Error;

class ServeLimitsTest : public test::ServeFixture {
 protected:
  std::string Content() const { return server_->dir() + "/content"; }

  // Waits (up to a minute) until the server's log holds `text`.
  bool LogShows(const std::string& text) const {
    for (int i = 0; i < 6000; ++i) {
      if (server_->Log().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // True when the server closes the connection (within a minute): the
  // client sees the end of its stream.
  static bool ClosedByServer(WireClient& c) {
    for (int i = 0; i < 60; ++i) {
      MessagePtr ignored;
      const int got = c.channel().Receive(&ignored, 1000);
      if (got == kChannelClosed) return true;
      if (got != kChannelTimedOut) return false;
    }
    return false;
  }
};

class ServeStorageLimitsTest : public ServeLimitsTest,
                               public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override { UseBackend(GetParam()); }
};

TEST_F(ServeLimitsTest, FilesBeforeLogonDropTheConnectionAndNothingReachesTheDisk) {
  StartServer();
  const std::set<std::string> before = Listing(Content());
  // A file announced as one tebibyte (sparse here; the server must not take
  // a byte of it).
  const std::string huge = env_.Path("huge");
  const int fd = open(huge.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const bool sparse = ftruncate(fd, off_t{1} << 40) == 0 || ftruncate(fd, off_t{1} << 32) == 0;
  close(fd);
  ASSERT_TRUE(sparse);

  WireClient c;
  ASSERT_TRUE(c.Connect(server_->port()));
  MessagePtr prelogon = WireClient::Request("PRELOGON");
  ASSERT_TRUE(c.Call(*prelogon));
  std::thread sender([&] {
    // The server drops the connection; the send then fails.
    c.channel().Send(*AddRequest("0123456789abcdef", {"huge.bin"}, {huge}));
  });
  EXPECT_TRUE(LogShows("dropped: a file before logon")) << server_->Log();
  c.channel().Interrupt();
  sender.join();
  EXPECT_TRUE(TemporaryFiles().empty());
  EXPECT_EQ(before, Listing(Content()));

  // A message larger than the cap before logon is dropped whole, with its
  // connection; a logged-on client goes on being served.
  WireClient big;
  ASSERT_TRUE(big.Connect(server_->port()));
  MessagePtr r = WireClient::Request("PRELOGON");
  r->SetString(100, std::string(100 << 10, 'x'));
  EXPECT_TRUE(big.channel().Send(*r));
  EXPECT_TRUE(ClosedByServer(big));
  EXPECT_TRUE(LogShows("dropped: a message larger than the limit")) << server_->Log();
  auto alice = Client();
  EXPECT_FALSE(Root(*alice).empty());
}

TEST_F(ServeLimitsTest, ConnectionCapTurnsTheNextClientAwayAtOnce) {
  StartServer({"--max-connections", "2"});
  auto first = Client();
  auto second = Client("bob", "hunter2");
  WireClient third;
  ASSERT_TRUE(third.Connect(server_->port()));
  EXPECT_TRUE(ClosedByServer(third));
  EXPECT_TRUE(LogShows("connections are open, the limit")) << server_->Log();
  EXPECT_FALSE(Root(*first).empty());

  // A place that comes free is taken again.
  second.reset();
  bool served = false;
  for (int i = 0; i < 100 && !served; ++i) {
    WireClient again;
    served = again.Connect(server_->port()) && again.Logon("bob", "hunter2") == 0;
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(served) << server_->Log();
}

TEST_F(ServeLimitsTest, LogonDeadlineAndIdleTimeOutCloseConnections) {
  StartServer({"--logon-timeout", "1", "--idle-timeout", "2"});
  WireClient silent;
  ASSERT_TRUE(silent.Connect(server_->port()));
  // Talking without logging on does not extend the deadline.
  EXPECT_TRUE(silent.Call(*WireClient::Request("PRELOGON")));
  EXPECT_TRUE(ClosedByServer(silent));
  EXPECT_TRUE(LogShows("closed: no logon within 1 s")) << server_->Log();

  auto idle = Client();
  EXPECT_FALSE(Root(*idle).empty());
  EXPECT_TRUE(ClosedByServer(*idle));
  EXPECT_TRUE(LogShows("closed: idle for 2 s")) << server_->Log();
}

TEST_F(ServeLimitsTest, MemoryBudgetAndUploadLimitDropTheConnectionThatExceedsThem) {
  StartServer({"--message-memory", "2M", "--upload-limit", "1M"});
  auto alice = Client();
  const std::string root = Root(*alice);

  auto greedy = Client("bob", "hunter2");
  MessagePtr r = WireClient::Request("GETNAMELIST");
  r->SetString(100, std::string(4 << 20, 'x'));
  r->SetInt(101, 1);
  greedy->channel().Send(*r);  // fails once the server has dropped it
  EXPECT_TRUE(ClosedByServer(*greedy));
  EXPECT_TRUE(LogShows("over the budget of 2097152")) << server_->Log();

  const std::set<std::string> before = Listing(Content());
  auto uploader = Client("bob", "hunter2");
  const std::string big = LocalFile(std::string(2 << 20, 'b'));
  uploader->channel().Send(*AddRequest(root, {"big.bin"}, {big}));
  EXPECT_TRUE(ClosedByServer(*uploader));
  EXPECT_TRUE(LogShows("bytes of files, over the 1048576 allowed")) << server_->Log();
  EXPECT_EQ(before, Listing(Content()));

  // Within the limits everything goes on.
  MessagePtr added = alice->Call(*AddRequest(root, {"small.bin"}, {LocalFile("small")}));
  EXPECT_EQ(0, Error(added)) << server_->Log();
}

TEST_P(ServeStorageLimitsTest, RefusedRequestsStoreNothing) {
  StartServer({"--max-items", "3"});
  auto alice = Client();
  const std::string root = Root(*alice);
  ASSERT_EQ(0, Error(alice->Call(*AddRequest(root, {"a.txt"}, {LocalFile("first")}))));
  const std::set<std::string> before = Listing(Content());

  const std::string content = LocalFile("never stored");
  EXPECT_EQ(213, Error(alice->Call(*AddRequest(root, {"A.TXT"}, {content}))));
  EXPECT_EQ(214, Error(alice->Call(*AddRequest(root, {"b", "B"}, {content, content}))));
  EXPECT_EQ(215, Error(alice->Call(*AddRequest(root, {"c:d"}, {content}))));
  EXPECT_EQ(216, Error(alice->Call(*AddRequest("0123456789abcdef", {"e"}, {content}))));
  EXPECT_EQ(4, Error(alice->Call(
                   *AddRequest(root, {"1", "2", "3", "4"}, {content, content, content, content}))));
  MessagePtr check_in = WireClient::Request("DOCUMENTCMD", 2);
  check_in->SetString(101, "0123456789abcdef");
  check_in->SetRawField(102, FIELD_FILELIST, content.data(), content.size());
  EXPECT_EQ(216, Error(alice->Call(*check_in)));
  EXPECT_EQ(before, Listing(Content()));
  EXPECT_TRUE(TemporaryFiles().empty());
}

// The serialized request with its one file named `times` times over: one
// transfer, as a client may send a file that stands for many names.
MessageObject RepeatTheFile(const CRLMSGmessage& request, size_t times) {
  MessageObject object;
  EXPECT_TRUE(WriteMessageObject(request, nullptr, &object));
  EXPECT_EQ(1u, object.files.size());
  const std::string name = object.files[0].transfer_id.ToText();
  std::string repeated = name;
  for (size_t i = 1; i < times; ++i) repeated += "?" + name;
  const size_t at = object.bytes.find(name);
  std::string length;
  AppendU32(&length, static_cast<uint32_t>(repeated.size()));
  object.bytes.replace(at - 4, 4 + name.size(), length + repeated);
  PutU32(reinterpret_cast<uint8_t*>(&object.bytes[4]),
         static_cast<uint32_t>(object.bytes.size() - kObjectHeaderSize));
  return object;
}

TEST_P(ServeStorageLimitsTest, ManyNamesInOneAddLeaveAnotherClientServed) {
  // PostgreSQL stores a name in a few round trips to the database server,
  // some milliseconds each: a tenth of the names keeps the case short.
  const int name_count = backend_ == Backend::kSqlite ? 30000 : 3000;
  StartServer();
  auto alice = Client();
  auto bob = Client("bob", "hunter2");
  const std::string root = Root(*alice);
  std::vector<std::string> names;
  for (int i = 0; i < name_count; ++i) names.push_back("file" + std::to_string(i) + ".txt");
  MessagePtr request = AddRequest(root, names, {LocalFile("one content under many names")});

  std::atomic<bool> adding{true};
  int add_error = -1;
  std::thread add([&] {
    MessagePtr reply;
    if (alice->channel().SendObject(RepeatTheFile(*request, name_count)) &&
        alice->channel().Receive(&reply, 600000) == kChannelMessage) {
      add_error = Error(reply);
    }
    adding = false;
  });
  // Bob's small requests are answered all the while.
  int served = 0, failed = 0;
  do {
    MessagePtr r = WireClient::Request("PRODUCTIONCMD", 25);
    r->SetString(101, root);
    r->SetString(102, "file1.txt?file" + std::to_string(name_count - 1) + ".txt");
    (Error(bob->Call(*r)) == 0 ? served : failed) += 1;
  } while (adding.load());
  add.join();
  EXPECT_EQ(0, add_error) << server_->Log();
  EXPECT_GT(served, 0);
  EXPECT_EQ(0, failed);
  // The one received file became one content, whatever the names.
  size_t contents = 0;
  for (const std::string& path : Listing(Content())) {
    if (path.rfind(Content() + "/tmp/", 0) != 0) ++contents;
  }
  EXPECT_EQ(1u, contents);
}

// PRELOGON and LOGON by hand, so that the test holds the sealed digest.
struct Sealed {
  std::string digest;      // field 101
  std::string client_key;  // field 102
};

MessagePtr LogonWith(WireClient& c, const std::string& user, const Sealed& sealed) {
  MessagePtr logon = WireClient::Request("LOGON");
  logon->SetString(100, user);
  logon->SetString(101, sealed.digest);
  logon->SetString(102, sealed.client_key);
  return c.Call(*logon);
}

bool Seal(WireClient& c, const std::string& user, const std::string& password, Sealed* out) {
  MessagePtr reply = c.Call(*WireClient::Request("PRELOGON"));
  std::string server_key, private_key, digest;
  if (!reply || reply->GetString(100, &server_key) != kFieldOk) return false;
  if (!CRLDATcrypto::GenerateKeyPair(1024, &private_key, &out->client_key)) return false;
  CRLDATcrypto::DigestToHex(digest, kDigestMd5, password + user);
  return CRLDATcrypto::RsaEncryptToHex(server_key, digest.data(), digest.size(), &out->digest);
}

TEST_F(ServeLimitsTest, ACapturedLogonCannotBeSentAgain) {
  StartServer();
  WireClient victim;
  ASSERT_TRUE(victim.Connect(server_->port()));
  Sealed sealed;
  ASSERT_TRUE(Seal(victim, "alice", "secret", &sealed));
  ASSERT_EQ(0, Error(LogonWith(victim, "alice", sealed)));

  // The attacker replays field 101 with a key of his own, as captured and
  // in another spelling of the same hex.
  for (bool lower : {false, true}) {
    WireClient attacker;
    ASSERT_TRUE(attacker.Connect(server_->port()));
    Sealed mine;
    ASSERT_TRUE(Seal(attacker, "alice", "whatever", &mine));
    mine.digest = sealed.digest;
    if (lower) mine.digest = LowerCase(mine.digest);
    MessagePtr reply = LogonWith(attacker, "alice", mine);
    EXPECT_EQ(1, Error(reply));
    std::string key;
    EXPECT_NE(kFieldOk, reply->GetString(102, &key));
  }
  EXPECT_TRUE(LogShows("a sealed digest opened before (a replay)")) << server_->Log();
}

TEST_F(ServeLimitsTest, RefusedLogonsAreSlowedPerConnectionAndPerNameFromAnAddress) {
  StartServer({"--logon-delay", "100", "--logon-delay-max", "400"});
  WireClient guesser;
  ASSERT_TRUE(guesser.Connect(server_->port()));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(1, guesser.Logon("alice", "guess" + std::to_string(i)));
  // 100 + 200 + 400 + 400 + 400 ms at least: delays, not speed.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_TRUE(
      LogShows("logon refused for alice: unknown user or wrong password; refusal 5 on "
               "this connection, 5 for the name from this address, 1 addresses refused for "
               "it; answered after 400 ms"))
      << server_->Log();

  // A fresh connection from the same address guessing the same name meets
  // the count of the name from there.
  WireClient other;
  ASSERT_TRUE(other.Connect(server_->port()));
  EXPECT_EQ(1, other.Logon("alice", "again"));
  EXPECT_TRUE(LogShows("refusal 1 on this connection, 6 for the name from this address"))
      << server_->Log();

  // Guesses on many connections at once take turns, one delay (400 ms
  // now) apart, rather than all being checked when the delay ends.
  std::vector<std::unique_ptr<WireClient>> many(4);
  for (auto& c : many) {
    c = std::make_unique<WireClient>();
    ASSERT_TRUE(c->Connect(server_->port()));
  }
  const auto parallel_start = std::chrono::steady_clock::now();
  std::vector<std::thread> guesses;
  for (size_t i = 0; i < many.size(); ++i) {
    guesses.emplace_back([&many, i] { many[i]->Logon("alice", "parallel" + std::to_string(i)); });
  }
  for (std::thread& t : guesses) t.join();
  EXPECT_GE(std::chrono::steady_clock::now() - parallel_start, std::chrono::milliseconds(1500));

  // The right password still gets in, and clears the name's record.
  EXPECT_EQ(0, other.Logon("alice", "secret"));
}

TEST_P(ServeStorageLimitsTest, ClientsLoggingOnAtTheSameInstantAllGetIn) {
  // Eight connections whose logons reach the server together: the server
  // opens their sealed digests and seals their channel keys on eight
  // threads at once (and this process seals on eight). Under the thread
  // sanitizer this is the check that the RSA-OAEP set-up shares nothing.
  StartServer();
  constexpr int kClients = 8;
  std::vector<std::unique_ptr<WireClient>> clients(kClients);
  for (auto& c : clients) {
    c = std::make_unique<WireClient>();
    ASSERT_TRUE(c->Connect(server_->port()));
  }
  std::atomic<int> ready{0};
  std::vector<int> results(kClients, -1);
  std::vector<std::thread> logons;
  for (int i = 0; i < kClients; ++i) {
    logons.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kClients) std::this_thread::yield();
      results[i] = clients[i]->Logon(i % 2 ? "alice" : "bob", i % 2 ? "secret" : "hunter2");
    });
  }
  for (std::thread& t : logons) t.join();
  for (int i = 0; i < kClients; ++i) {
    EXPECT_EQ(0, results[i]) << "client " << i;
    EXPECT_FALSE(Root(*clients[i]).empty()) << "client " << i;
  }
}

TEST_P(ServeStorageLimitsTest, CollectionRemovesOnlyUnreferencedContents) {
  StartServer();
  auto alice = Client();
  const std::string root = Root(*alice);
  ASSERT_EQ(0, Error(alice->Call(*AddRequest(root, {"kept.txt"}, {LocalFile("kept")}))));
  ASSERT_EQ(0, server_->Stop());
  server_.reset(new test::TestServer(env_.Path("repo")));

  ContentStore store(env_.Path("repo") + "/content");
  ContentRef orphan, young;
  std::string error;
  ASSERT_TRUE(store.Put("left behind", &orphan, &error)) << error;
  ASSERT_TRUE(store.Put("just stored", &young, &error)) << error;
  // The orphan is old enough; the young one is not.
  const timespec old_times[2] = {{time(nullptr) - 7200, 0}, {time(nullptr) - 7200, 0}};
  ASSERT_EQ(0, utimensat(AT_FDCWD, store.PathOf(orphan.sha256).c_str(), old_times, 0));
  std::string out;
  ASSERT_EQ(0, server_->Run({"gc", "--data", env_.Path("repo")}, "", &out));
  EXPECT_NE(std::string::npos, out.find("Removed 1 of 1 contents old enough")) << out;
  EXPECT_FALSE(store.Contains(orphan));
  EXPECT_TRUE(store.Contains(young));
  ASSERT_EQ(0, server_->Run({"gc", "--data", env_.Path("repo"), "--min-age", "0"}, "", &out));
  EXPECT_NE(std::string::npos, out.find("Removed 1 of 2 contents")) << out;
  EXPECT_FALSE(store.Contains(young));

  // The server's own sweep does the same while serving; the kept content
  // is fetched whole afterwards.
  ASSERT_TRUE(store.Put("swept while serving", &orphan, &error)) << error;
  ASSERT_EQ(0, utimensat(AT_FDCWD, store.PathOf(orphan.sha256).c_str(), old_times, 0));
  ASSERT_TRUE(server_->Start({"--gc-interval", "1"})) << server_->Log();
  EXPECT_TRUE(LogShows("content collection: 1 of 1 contents removed")) << server_->Log();
  EXPECT_FALSE(store.Contains(orphan));
  alice = Client();
  MessagePtr r = WireClient::Request("PRODUCTIONCMD", 25);
  r->SetString(101, root);
  r->SetString(102, "kept.txt");
  MessagePtr info = alice->Call(*r);
  MessagePtr fetch = WireClient::Request("DOCUMENTCMD", 4);
  fetch->SetString(101, SplitField(*info, 103, ',')[0]);
  fetch->SetIntList(102, {0});
  MessagePtr fetched = alice->Call(*fetch);
  ASSERT_EQ(0, Error(fetched));
  const std::string received = SplitField(*fetched, 106)[0];
  EXPECT_EQ("kept", test::ReadFile(received));
  unlink(received.c_str());
}

INSTANTIATE_TEST_SUITE_P(Backends, ServeStorageLimitsTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         test::BackendName);

}  // namespace
}  // namespace tw::twserver
