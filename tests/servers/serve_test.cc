// `TWServer serve` as clients meet it: a real server process, clients on
// real loopback sockets. Logon and the reply frame, the channel cipher on
// the raw frames, Productions, Documents with their contents and history,
// locks and deferred queues, a client cut off in the middle of an upload,
// text where a file is expected, and a hundred clients at once. What
// reaches the storage runs on SQLite and, when PostgreSQL is installed, on
// a database of the test run's cluster; the channel cipher and the file
// fields, which never reach it, on SQLite only.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "messaging/stream_format.h"
#include "servers/twserver/content_store.h"
#include "servers/twserver/repository.h"
#include "settings/property_escape.h"
#include "tests/support/serve_fixture.h"
#include "transport/frame_format.h"

namespace tw::twserver {
namespace {

using test::Backend;
using test::Error;
using test::Join;
using test::ParseNameTable;
using test::SplitField;
using test::WireClient;
using Rows = std::vector<std::map<std::string, std::string>>;

std::string Str(const MessagePtr& m, uint32_t id) {
  std::string value;
  if (m) m->GetString(id, &value);
  return value;
}

int Int(const MessagePtr& m, uint32_t id) {
  int value = -12345;
  if (m) m->GetInt(id, &value);
  return value;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

class ServeFixture : public test::ServeFixture {
 protected:
  static MessagePtr Call(WireClient& c, const MessagePtr& request) {
    MessagePtr reply = c.Call(*request);
    EXPECT_TRUE(reply) << request->GetCommand();
    return reply;
  }

  static MessagePtr Production(WireClient& c, int sub, const std::string& f101,
                               const std::string& f102 = "") {
    MessagePtr r = WireClient::Request("PRODUCTIONCMD", sub);
    r->SetString(101, f101);
    if (sub != 20) r->SetString(102, f102);
    return Call(c, r);
  }

  static Rows Table(WireClient& c, int kind, const std::string& subject, int* error = nullptr) {
    MessagePtr r = WireClient::Request("GETNAMELIST");
    r->SetString(13, "caller");
    r->SetString(100, subject);
    r->SetInt(101, kind);
    MessagePtr reply = Call(c, r);
    if (error != nullptr) *error = Error(reply);
    return Error(reply) == 0 ? ParseNameTable(Str(reply, 102)) : Rows();
  }

  // Writes each content to a local file and returns the paths.
  std::vector<std::string> LocalFiles(const std::vector<std::string>& contents) {
    std::vector<std::string> paths;
    for (const std::string& content : contents) paths.push_back(LocalFile(content));
    return paths;
  }

  MessagePtr Add(WireClient& c, const std::string& production,
                 const std::vector<std::string>& names, const std::vector<std::string>& contents,
                 const std::string& comment = "") {
    const std::vector<std::string> paths = LocalFiles(contents);
    MessagePtr r = AddRequest(production, names, paths, EscapePropertyValue(comment));
    r->SetString(109, Join(paths));
    return Call(c, r);
  }

  MessagePtr CheckIn(WireClient& c, const std::vector<std::string>& ids,
                     const std::vector<std::string>& contents, const std::string& comment = "") {
    return Call(c, CheckInRequest(ids, LocalFiles(contents), comment));
  }

  static MessagePtr CheckInRequest(const std::vector<std::string>& ids,
                                   const std::vector<std::string>& paths,
                                   const std::string& comment) {
    MessagePtr r = WireClient::Request("DOCUMENTCMD", 2);
    r->SetString(101, Join(ids));
    const std::string files = Join(paths);
    r->SetRawField(102, FIELD_FILELIST, files.data(), files.size());
    r->SetInt(103, 0);
    r->SetString(104, files);
    r->SetString(105, EscapePropertyValue(comment));
    r->SetIntList(106, std::vector<int>(ids.size(), 0));
    return r;
  }

  // Fetches; the received contents in `*contents` (the files removed).
  static MessagePtr Fetch(WireClient& c, const std::vector<std::string>& ids,
                          const std::vector<int>& versions,
                          std::vector<std::string>* contents = nullptr) {
    MessagePtr r = WireClient::Request("DOCUMENTCMD", 4);
    r->SetString(101, Join(ids));
    r->SetIntList(102, versions);
    r->SetInt(103, 0);
    MessagePtr reply = Call(c, r);
    uint32_t type = 0;
    if (reply && reply->GetFieldType(106, &type) == kFieldOk) {
      for (const std::string& path : SplitField(*reply, 106)) {
        if (contents != nullptr) contents->push_back(test::ReadFile(path));
        unlink(path.c_str());
      }
    }
    return reply;
  }

  static MessagePtr Acquire(WireClient& c, const std::vector<std::string>& ids, int type,
                            std::vector<bool> deferred = {}) {
    MessagePtr r = WireClient::Request("ACQUIRELOCK");
    r->SetString(100, Join(ids));
    r->SetInt(101, 1);
    r->SetInt(102, 0);
    r->SetInt(103, type);
    if (deferred.empty()) deferred.assign(ids.size(), false);
    r->SetBoolList(104, deferred);
    return Call(c, r);
  }

  static MessagePtr Release(WireClient& c, const std::vector<std::string>& ids) {
    MessagePtr r = WireClient::Request("RELEASELOCK");
    r->SetString(100, Join(ids));
    r->SetInt(101, 1);
    r->SetInt(102, 0);
    r->SetInt(300, 1);
    return Call(c, r);
  }
};

// The cases whose requests reach the storage, on each backend.
class ServeTest : public ServeFixture, public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override { UseBackend(GetParam()); }
};

using ServeWireTest = ServeFixture;

TEST_P(ServeTest, LogonRefusalCommandsBeforeLogonAndTheReplyFrame) {
  StartServer();
  WireClient c;
  ASSERT_TRUE(c.Connect(server_->port()));
  EXPECT_EQ(1, c.Logon("alice", "wrong"));
  EXPECT_EQ(1, c.Logon("nobody", "secret"));
  // Still in clear and usable, but nothing beyond the logon is served.
  EXPECT_EQ(2, Error(Call(c, WireClient::Request("GETNAMELIST"))));
  EXPECT_EQ(2, Error(Call(c, WireClient::Request("FROBNICATE"))));
  ASSERT_EQ(0, c.Logon("alice", "secret"));

  MessagePtr r = WireClient::Request("FROBNICATE");
  r->SetInt(SENDERTAG, 77);
  r->SetString(13, "project");
  r->SetInt(CALLBACKKEY, 5);
  r->SetInt(SYNCHRONOUSREQUEST, 9);
  MessagePtr reply = Call(c, r);
  EXPECT_EQ("FROBNICATER", reply->GetCommand());
  EXPECT_EQ(217, Error(reply));
  EXPECT_EQ(r->GetIdentifierText(), reply->GetIdentifierText());
  EXPECT_EQ(77, Int(reply, SENDERTAG));
  EXPECT_EQ("project", Str(reply, 13));
  EXPECT_EQ(5, Int(reply, CALLBACKKEY));
  EXPECT_EQ(9, Int(reply, SYNCHRONOUSREQUEST));
  EXPECT_EQ(17, Int(reply, TARGETRECIPIENT));
  EXPECT_EQ(3, Int(reply, SOURCERECIPIENT));

  reply = Production(c, 77, "x", "y");  // unknown sub-command, echoed
  EXPECT_EQ(217, Error(reply));
  EXPECT_EQ(77, Int(reply, 100));
  int error = 0;
  Table(c, 99, Root(c), &error);
  EXPECT_EQ(217, error);
  EXPECT_EQ(217, Error(Call(c, WireClient::Request("DOCUMENTCMD", 1))));  // fields missing
}

// Reads one whole frame from the socket: header and payload.
std::string ReadRawFrame(CIOSocket* socket) {
  std::string bytes;
  size_t want = kFrameHeaderBytes;
  while (bytes.size() < want) {
    if (socket->WaitReadable(60000) != kSocketOk) break;
    char buffer[65536];
    size_t count = 0;
    if (socket->Receive(buffer, std::min(sizeof buffer, want - bytes.size()), &count) !=
        kSocketOk) {
      continue;
    }
    bytes.append(buffer, count);
    if (want == kFrameHeaderBytes && bytes.size() == kFrameHeaderBytes) {
      want += GetFrameWord(reinterpret_cast<const uint8_t*>(bytes.data()) + 12);
    }
  }
  return bytes;
}

uint32_t Word(const std::string& bytes, size_t at) {
  return at + 4 <= bytes.size() ? GetFrameWord(reinterpret_cast<const uint8_t*>(&bytes[at])) : 0;
}

class ServeCipherTest : public ServeFixture,
                        public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(ServeCipherTest, FramesAfterLogonFollowTheAnnouncedSelectorAndCompression) {
  const auto [selector, compression] = GetParam();
  StartServer(
      {}, {"--selector", std::to_string(selector), "--compression", std::to_string(compression)});
  WireClient c;
  ASSERT_TRUE(c.Connect(server_->port()));
  // Before the logon: clear.
  ASSERT_TRUE(c.channel().Send(*WireClient::Request("PRELOGON")));
  std::string frame = ReadRawFrame(c.channel().socket());
  EXPECT_EQ(kFrameWhole, Word(frame, 0));
  EXPECT_EQ(0u, Word(frame, 4));
  ASSERT_EQ(0, c.Logon("alice", "secret"));

  // A reply that gzip surely shrinks: a long name, repeated in the table.
  ASSERT_EQ(0, Error(Production(c, 4, Root(c), std::string(600, 'a'))));
  MessagePtr r = WireClient::Request("GETNAMELIST");
  r->SetString(100, Root(c));
  r->SetInt(101, 1);
  ASSERT_TRUE(c.channel().Send(*r));
  frame = ReadRawFrame(c.channel().socket());
  EXPECT_EQ(kFrameWhole, Word(frame, 0));
  EXPECT_EQ(static_cast<uint32_t>(selector), Word(frame, 4));
  EXPECT_EQ(selector != 0 || compression != 0 ? 1u : 0u, Word(frame, 8));
  if (selector == 0 && compression == 0) {
    // The object in clear: MESSAGEID is the first field, COMMAND the second.
    const size_t object = kFrameHeaderBytes;
    ASSERT_EQ(MESSAGEID, Word(frame, object + 12));
    const size_t second = object + 12 + 12 + Word(frame, object + 20);
    EXPECT_EQ(COMMAND, Word(frame, second));
  }
  // And it reads back under the channel key.
  MessageFrameReceiver receiver;
  receiver.SetKey(c.cipher().key);
  std::vector<MessagePtr> messages;
  EXPECT_TRUE(receiver.Feed(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), &messages,
                            nullptr));
  ASSERT_EQ(1u, messages.size());
  EXPECT_EQ("GETNAMELISTR", messages[0]->GetCommand());
  EXPECT_EQ(0, messages[0]->GetErrorCode());
}

INSTANTIATE_TEST_SUITE_P(Settings, ServeCipherTest,
                         ::testing::Values(std::make_pair(0, 0), std::make_pair(0, 1),
                                           std::make_pair(1, 1), std::make_pair(9, 0)));

TEST_P(ServeTest, Productions) {
  StartServer();
  auto c = Client();
  const std::string root = Root(*c);
  EXPECT_EQ(16u, root.size());
  EXPECT_EQ(root, Str(Production(*c, 20, "vELTRANE"), 101));

  MessagePtr games = Production(*c, 4, root, "Games");
  ASSERT_EQ(0, Error(games));
  const std::string g = Str(games, 103);
  MessagePtr again = Production(*c, 4, root, "Games");
  EXPECT_EQ(211, Error(again));
  EXPECT_EQ(g, Str(again, 103));
  MessagePtr variant = Production(*c, 4, root, "GAMES");
  EXPECT_EQ(212, Error(variant));
  EXPECT_EQ(g, Str(variant, 103));
  const std::string l = Str(Production(*c, 4, g, "Level1"), 103);

  EXPECT_EQ(l, Str(Production(*c, 20, "\\Games\\Level1"), 101));
  EXPECT_EQ(l, Str(Production(*c, 20, "Veltrane\\games\\LEVEL1"), 101));
  EXPECT_EQ(209, Error(Production(*c, 20, "\\Games\\Nope")));
  EXPECT_EQ(209, Error(Production(*c, 20, "Other\\Games")));
  EXPECT_EQ(210, Error(Production(*c, 20, "\\Games\\\\Level1")));
  EXPECT_EQ(210, Error(Production(*c, 20, "\\Ga:mes")));
  EXPECT_EQ(216, Error(Production(*c, 4, "0123456789abcdef", "X")));
  EXPECT_EQ(210, Error(Production(*c, 4, root, "a/b")));

  const Rows children = Table(*c, 1, root);
  ASSERT_EQ(1u, children.size());
  EXPECT_EQ(g, children[0].at("Id"));
  EXPECT_EQ("Games", children[0].at("Name"));
  EXPECT_TRUE(Table(*c, 1, l).empty());
  int error = 0;
  Table(*c, 1, "0123456789abcdef", &error);
  EXPECT_EQ(216, error);
}

TEST_P(ServeTest, DocumentsAddFetchCheckInAndHistory) {
  StartServer();
  auto alice = Client();
  auto bob = Client("bob", "hunter2");
  const std::string p = Str(Production(*alice, 4, Root(*alice), "Src"), 103);
  const std::string big = RandomBytes((5 << 20) + 3, 1);
  MessagePtr added = Add(*alice, p, {"empty.txt", "big.bin"}, {"", big}, "first\nline!");
  ASSERT_EQ(0, Error(added));
  const std::vector<std::string> ids = SplitField(*added, 103);
  const std::vector<std::string> stamps = SplitField(*added, 104);
  ASSERT_EQ(2u, ids.size());
  ASSERT_EQ(2u, stamps.size());
  EXPECT_EQ("empty.txt?big.bin", Str(added, 102));
  EXPECT_EQ(Join({p, p}), Str(added, 101));
  // Stored under the digest of their bytes, made as they arrived: each
  // content file read through has the digest it is named by.
  const ContentStore store(server_->dir() + "/content");
  for (const std::string& content : {std::string(), big}) {
    Sha256Stream digest;
    digest.Update(content.data(), content.size());
    std::string problem;
    EXPECT_TRUE(store.Check({digest.FinalLowerHex(), content.size()}, &problem)) << problem;
  }

  MessagePtr r = WireClient::Request("PRODUCTIONCMD", 25);
  r->SetString(101, p);
  r->SetString(102, "empty.txt?big.bin?missing.txt");
  MessagePtr info = Call(*alice, r);
  EXPECT_EQ(ids[0] + "," + ids[1] + ",", Str(info, 103));
  EXPECT_EQ("1,1,0", Str(info, 104));
  EXPECT_EQ("1,1,0", Str(info, 105));
  EXPECT_EQ(stamps[0] + "," + stamps[1] + ",", Str(info, 106));

  std::vector<std::string> contents;
  MessagePtr fetched = Fetch(*alice, ids, {0, 0}, &contents);
  ASSERT_EQ(0, Error(fetched));
  ASSERT_EQ(2u, contents.size());
  EXPECT_EQ("", contents[0]);
  EXPECT_TRUE(contents[1] == big);
  EXPECT_EQ("empty.txt?big.bin", Str(fetched, 104));
  EXPECT_EQ("Veltrane\\Src\\empty.txt?Veltrane\\Src\\big.bin", Str(fetched, 108));
  EXPECT_EQ(2, Int(fetched, 107));
  MessagePtr unknown = Fetch(*alice, {ids[0], "0123456789abcdef"}, {0, 0});
  EXPECT_EQ(216, Error(unknown));
  uint32_t type = 0;
  EXPECT_NE(kFieldOk, unknown->GetFieldType(106, &type));

  EXPECT_EQ(203, Error(CheckIn(*alice, {ids[1]}, {"v2"})));
  // A path in a plain string field names no received file: never read, never
  // removed.
  const std::string outside = LocalFiles({"not to be taken"})[0];
  MessagePtr sly = CheckInRequest({ids[1]}, {}, "");
  sly->SetString(102, outside);
  EXPECT_EQ(217, Error(Call(*alice, sly)));
  EXPECT_EQ("not to be taken", test::ReadFile(outside));
  ASSERT_EQ(0, Error(Acquire(*alice, {ids[1]}, kLockExclusive)));
  r->SetString(102, "big.bin");
  EXPECT_EQ("15", Str(Call(*alice, r), 105));  // exists, locked, by me, exclusive
  EXPECT_EQ("11", Str(Call(*bob, r), 105));
  EXPECT_EQ(203, Error(CheckIn(*bob, {ids[1]}, {"bob's"})));

  MessagePtr second = CheckIn(*alice, {ids[1]}, {"v2"}, "second");
  ASSERT_EQ(0, Error(second));
  EXPECT_EQ(ids[1], Str(second, 111));
  MessagePtr third = CheckIn(*alice, {ids[1]}, {"v3"}, "third");
  ASSERT_EQ(0, Error(third));
  EXPECT_LT(stamps[1], Str(second, 112));
  EXPECT_LT(Str(second, 112), Str(third, 112));

  const Rows history = Table(*alice, 4, ids[1]);
  ASSERT_EQ(3u, history.size());
  EXPECT_EQ("3", history[0].at("Version"));
  EXPECT_EQ("1", history[2].at("Version"));
  EXPECT_EQ(Str(third, 112), history[0].at("P41"));
  EXPECT_EQ("third", history[0].at("P46"));
  EXPECT_EQ("first\nline!", history[2].at("P46"));
  EXPECT_EQ("alice", history[1].at("P49"));
  const Rows locks = Table(*alice, 3, ids[1]);
  ASSERT_EQ(1u, locks.size());
  EXPECT_EQ((std::map<std::string, std::string>{
                {"User", "alice"}, {"Exclusive", "1"}, {"Deferred", "0"}, {"Rank", "0"}}),
            locks[0]);

  contents.clear();
  fetched = Fetch(*bob, {ids[1], ids[1]}, {1, 0}, &contents);
  ASSERT_EQ(2u, contents.size());
  EXPECT_TRUE(contents[0] == big);
  EXPECT_EQ("v3", contents[1]);
  EXPECT_EQ("1?3", Str(fetched, 102));
  EXPECT_EQ(216, Error(Fetch(*bob, {ids[1]}, {4})));
  EXPECT_EQ(0, Error(Release(*alice, {ids[1]})));
  EXPECT_TRUE(Table(*alice, 3, ids[1]).empty());
}

// An upload's data chunks came compressed: the store keeps the members
// beside the content, and a get sends the content whole whatever became of
// them (altered, out of step, gone). Random bytes keep none.
TEST_P(ServeTest, AGetSendsTheContentWholeWhateverBecameOfItsKeptMembers) {
  StartServer();
  auto alice = Client();
  const std::string p = Str(Production(*alice, 4, Root(*alice), "Src"), 103);
  std::string text;
  for (int line = 0; text.size() < 5 * kPieceSize + 100; ++line) {
    text += "Document " + std::to_string(line * 7919 % 10007) + " of Production Src\n";
  }
  const std::string noise = RandomBytes(3 * kPieceSize, 4);
  MessagePtr added = Add(*alice, p, {"text.txt", "noise.bin"}, {text, noise}, "");
  ASSERT_EQ(0, Error(added));
  const std::vector<std::string> ids = SplitField(*added, 103);
  const ContentStore store(server_->dir() + "/content");
  auto digest_of = [](const std::string& bytes) {
    Sha256Stream digest;
    digest.Update(bytes.data(), bytes.size());
    return digest.FinalLowerHex();
  };
  const std::string members = store.MembersOf(digest_of(text));
  ASSERT_TRUE(std::filesystem::exists(members));
  EXPECT_FALSE(std::filesystem::exists(store.MembersOf(digest_of(noise))));
  const std::string kept = test::ReadFile(members);

  auto fetched_whole = [&](const std::string& what) {
    std::vector<std::string> contents;
    ASSERT_EQ(0, Error(Fetch(*alice, ids, {0, 0}, &contents))) << what;
    ASSERT_EQ(2u, contents.size()) << what;
    EXPECT_TRUE(contents[0] == text) << what;
    EXPECT_TRUE(contents[1] == noise) << what;
  };
  fetched_whole("as kept");
  std::string altered = kept;
  for (size_t i = altered.size() / 3; i < altered.size() / 3 + 64; ++i) altered[i] ^= 0x5a;
  test::WriteFile(members, altered);
  fetched_whole("altered");
  const uint32_t first = GetU32(reinterpret_cast<const uint8_t*>(kept.data()));
  test::WriteFile(members, kept.substr(4 + first));  // a record short: every one out of step
  fetched_whole("out of step");
  std::filesystem::remove(members);
  fetched_whole("gone");
}

TEST_P(ServeTest, LocksConflictsQueuesAndRelease) {
  StartServer();
  auto alice = Client();
  auto bob = Client("bob", "hunter2");
  MessagePtr added = Add(*alice, Root(*alice), {"d0", "d1", "d2", "d3"}, {"0", "1", "2", "3"});
  ASSERT_EQ(0, Error(added)) << server_->Log();
  const std::vector<std::string> d = SplitField(*added, 103);
  ASSERT_EQ(4u, d.size());

  EXPECT_EQ(0, Error(Acquire(*alice, {d[0]}, kLockShared)));
  EXPECT_EQ(0, Error(Acquire(*bob, {d[0]}, kLockShared)));
  MessagePtr conflict = Acquire(*bob, {d[0]}, kLockExclusive);
  EXPECT_EQ(102, Error(conflict));
  EXPECT_EQ(0, Int(conflict, 109));
  EXPECT_EQ(d[0], Str(conflict, 100));
  EXPECT_EQ("d0", Str(conflict, 107));

  EXPECT_EQ(0, Error(Acquire(*alice, {d[1]}, kLockExclusive)));
  conflict = Acquire(*bob, {d[2], d[1], d[3]}, kLockShared);
  EXPECT_EQ(101, Error(conflict));
  EXPECT_EQ(1, Int(conflict, 109));
  EXPECT_EQ("d1", Str(conflict, 107));
  EXPECT_TRUE(Table(*bob, 3, d[2]).empty());  // all or nothing
  EXPECT_TRUE(Table(*bob, 3, d[3]).empty());

  ASSERT_EQ(0, Error(Acquire(*bob, {d[2], d[1], d[3]}, kLockExclusive, {false, true, false})));
  Rows rows = Table(*bob, 3, d[1]);
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ("alice", rows[0].at("User"));
  EXPECT_EQ("bob", rows[1].at("User"));
  EXPECT_EQ("1", rows[1].at("Deferred"));
  EXPECT_EQ("1", rows[1].at("Rank"));
  EXPECT_EQ(1u, Table(*bob, 3, d[2]).size());
  conflict = Acquire(*bob, {d[3], d[1]}, kLockExclusive, {false, true});
  EXPECT_EQ(103, Error(conflict));
  EXPECT_EQ(1, Int(conflict, 109));
  EXPECT_EQ(d[1], Str(conflict, 100));

  // The release serves the queue.
  EXPECT_EQ(0, Error(Release(*alice, {d[1]})));
  rows = Table(*bob, 3, d[1]);
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ((std::map<std::string, std::string>{
                {"User", "bob"}, {"Exclusive", "1"}, {"Deferred", "0"}, {"Rank", "0"}}),
            rows[0]);

  // Nothing held, or an empty identifier: skipped. Unknown: 216.
  EXPECT_EQ(0, Error(Release(*alice, {"", d[3]})));
  EXPECT_EQ(1u, Table(*bob, 3, d[3]).size());
  // All or nothing: the unknown one keeps the known one locked.
  MessagePtr unknown = Release(*bob, {d[1], "0123456789abcdef"});
  EXPECT_EQ(216, Error(unknown));
  EXPECT_EQ(1, Int(unknown, 109));
  EXPECT_EQ(1u, Table(*bob, 3, d[1]).size());
  EXPECT_EQ(0, Error(Acquire(*alice, {"", d[0]}, kLockShared)));
}

// An administrator breaks locks while the server serves: the holder's
// next check-in is refused, the queue's first waiter holds the lock, and
// another user may take a lock nobody waits for.
TEST_P(ServeTest, AdministratorBreaksLocksWhileServing) {
  StartServer();
  auto alice = Client();
  auto bob = Client("bob", "hunter2");
  MessagePtr added = Add(*alice, Root(*alice), {"d0", "d1"}, {"0", "1"});
  ASSERT_EQ(0, Error(added)) << server_->Log();
  const std::vector<std::string> d = SplitField(*added, 103);
  ASSERT_EQ(2u, d.size());
  ASSERT_EQ(0, Error(Acquire(*alice, {d[0], d[1]}, kLockExclusive)));
  ASSERT_EQ(0, Error(Acquire(*bob, {d[0]}, kLockExclusive, {true})));
  ASSERT_EQ(0, Error(CheckIn(*alice, {d[0]}, {"alice's"})));

  std::string out;
  ASSERT_EQ(0, server_->Run({"locks", "--data", server_->dir()}, "", &out));
  EXPECT_NE(std::string::npos, out.find("Veltrane\\d0  alice  exclusive  held")) << out;
  EXPECT_NE(std::string::npos, out.find("Veltrane\\d0  bob    exclusive  waits, rank 1")) << out;

  // Only with --force, and only a lock that is held.
  EXPECT_EQ(2, server_->Run({"unlock", "--data", server_->dir(), "\\d0"}, "", nullptr));
  EXPECT_EQ(
      1, server_->Run({"unlock", "--data", server_->dir(), "--force", "\\d1", "--user", "bob"}, "",
                      nullptr));
  EXPECT_EQ(1, server_->Run({"unlock", "--data", server_->dir(), "--force", "\\d9"}, "", nullptr));
  EXPECT_EQ(1u, Table(*bob, 3, d[1]).size());

  ASSERT_EQ(0, server_->Run({"unlock", "--data", server_->dir(), "--force", "\\d0"}, "", &out));
  EXPECT_NE(std::string::npos, out.find("broke alice (exclusive); granted bob (exclusive)")) << out;
  EXPECT_EQ(203, Error(CheckIn(*alice, {d[0]}, {"too late"})));
  Rows rows = Table(*alice, 3, d[0]);
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("bob", rows[0].at("User"));
  EXPECT_EQ("0", rows[0].at("Deferred"));
  EXPECT_EQ(0, Error(CheckIn(*bob, {d[0]}, {"bob's"})));

  ASSERT_EQ(0,
            server_->Run({"unlock", "--data", server_->dir(), "--force", "\\D1", "--user", "alice"},
                         "", &out));
  EXPECT_EQ(0, Error(Acquire(*bob, {d[1]}, kLockExclusive)));
  EXPECT_EQ(203, Error(CheckIn(*alice, {d[1]}, {"too late"})));

  // Each break is on record in the repository's folder.
  const std::string log = test::ReadFile(server_->dir() + "/admin.log");
  EXPECT_NE(std::string::npos, log.find("unlock \\d0 (" + d[0] + "): broke alice")) << log;
  EXPECT_NE(std::string::npos, log.find("unlock \\D1 (" + d[1] + "): broke alice")) << log;
  std::vector<std::string> contents;
  ASSERT_EQ(0, Error(Fetch(*alice, {d[0]}, {0}, &contents)));
  EXPECT_EQ((std::vector<std::string>{"bob's"}), contents);
}

// A user removed while logged on: the next command a second later is
// refused as not logged on, and the connection ends with it, so that a
// client logs on anew instead of living on a channel that refuses all.
TEST_P(ServeTest, ARemovedUsersConnectionEndsAtItsNextCommand) {
  StartServer();
  auto bob = Client("bob", "hunter2");
  ASSERT_FALSE(Root(*bob).empty());
  std::string out;
  ASSERT_EQ(0, server_->Run({"user", "remove", "--data", server_->dir(), "bob"}, "", &out));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  MessagePtr refused = bob->Call(*WireClient::Request("PRODUCTIONCMD", 4));
  ASSERT_TRUE(refused) << server_->Log();
  EXPECT_EQ(2, Error(refused));
  EXPECT_FALSE(bob->Call(*WireClient::Request("PRODUCTIONCMD", 4), 10000));
  EXPECT_NE(std::string::npos, server_->Log().find("closed: the logon ended")) << server_->Log();
}

// Log rotation: the log is moved away, SIGHUP opens a new one under the
// same name, and the server serves on.
TEST_F(ServeWireTest, HangUpReopensTheLogFile) {
  const std::string log = env_.Path("serve.log");
  StartServer({"--log", log});
  ASSERT_TRUE(Client());
  // A command's line is written after its reply has gone out.
  for (int i = 0; i < 3000 && test::ReadFile(log).find("user=alice") == std::string::npos; ++i) {
    usleep(10000);
  }
  ASSERT_EQ(0, rename(log.c_str(), (log + ".1").c_str()));
  ASSERT_EQ(0, kill(server_->pid(), SIGHUP));
  for (int i = 0; i < 3000 && test::ReadFile(log).find("log reopened") == std::string::npos; ++i) {
    usleep(10000);
  }
  EXPECT_NE(std::string::npos, test::ReadFile(log).find("log reopened on signal 1"));
  auto bob = Client("bob", "hunter2");
  EXPECT_FALSE(Root(*bob).empty());
  EXPECT_EQ(0, server_->Stop());
  server_.reset();
  const std::string before = test::ReadFile(log + ".1");
  const std::string after = test::ReadFile(log);
  EXPECT_NE(std::string::npos, before.find("user=alice")) << before;
  EXPECT_EQ(std::string::npos, before.find("user=bob")) << before;
  EXPECT_NE(std::string::npos, after.find("user=bob")) << after;
  EXPECT_NE(std::string::npos, after.find("stopped on signal 15")) << after;
}

TEST_P(ServeTest, ClientCutOffInTheMiddleOfAnUploadStoresNothing) {
  StartServer();
  auto alice = Client();
  const std::string id = SplitField(*Add(*alice, Root(*alice), {"f.bin"}, {"v1"}), 103)[0];
  ASSERT_EQ(0, Error(Acquire(*alice, {id}, kLockExclusive)));

  {
    // A second connection of alice's starts a check-in of 4 MiB and dies
    // after a few frames of the file.
    auto dying = Client();
    MessageObject object;
    MessagePtr request = CheckInRequest({id}, LocalFiles({RandomBytes(4 << 20, 2)}), "lost");
    ASSERT_TRUE(WriteMessageObject(*request, nullptr, &object));
    MessageFrameSender sender;
    int frames = 0;
    auto sink = [&](const uint8_t* bytes, size_t count) {
      return ++frames <= 5 && dying->channel().socket()->Send(bytes, count) == kSocketOk;
    };
    EXPECT_FALSE(sender.Send(std::move(object), dying->cipher(), nullptr, sink, nullptr, nullptr));
  }
  // A file that never came (the client could not open it) is refused too.
  EXPECT_EQ(206, Error(Call(*alice, CheckInRequest({id}, {env_.Path("nonexistent")}, ""))));

  // The server notices the cut-off connection on its own time.
  for (int i = 0; i < 3000 && !TemporaryFiles().empty(); ++i) usleep(10000);
  EXPECT_TRUE(TemporaryFiles().empty());
  EXPECT_EQ(1u, Table(*alice, 4, id).size());
  const Rows locks = Table(*alice, 3, id);
  ASSERT_EQ(1u, locks.size());
  EXPECT_EQ("alice", locks[0].at("User"));
  EXPECT_EQ(0, Error(CheckIn(*alice, {id}, {"v2"})));
  EXPECT_EQ(2u, Table(*alice, 4, id).size());
}

// A client that writes, as text, where a file is expected, a path shaped
// like one of the server's own scratch files - or a path anywhere else -
// is refused: the file is neither stored, moved nor removed. Nor is such a
// path removed when it stands in another text field of a request that goes
// through.
TEST_F(ServeWireTest, TextNamingAFileIsNeverTakenForAReceivedFile) {
  StartServer();
  auto alice = Client();
  const std::string root = Root(*alice);
  const std::string id = SplitField(*Add(*alice, root, {"f.txt"}, {"v1"}), 103)[0];
  ASSERT_EQ(0, Error(Acquire(*alice, {id}, kLockExclusive)));
  const ContentStore store(server_->dir() + "/content");
  const size_t contents = store.ListOlderThan(0).size();
  const std::string lookalike = store.TempFolder() + "/CRLa1B2c3";
  const std::string outside = env_.Path("outside.txt");
  test::WriteFile(lookalike, "planted among the scratch files");
  test::WriteFile(outside, "the user's own");

  for (const std::string& named : {lookalike, outside}) {
    SCOPED_TRACE(named);
    MessagePtr check_in = CheckInRequest({id}, {}, "");
    check_in->SetString(102, named);
    EXPECT_EQ(217, Error(Call(*alice, check_in)));
    MessagePtr add = WireClient::Request("DOCUMENTCMD", 1);
    add->SetString(101, root);
    add->SetString(102, "new.txt");
    add->SetString(103, named);
    EXPECT_EQ(217, Error(Call(*alice, add)));
  }
  // A check-in with a real file whose other text fields name the files.
  MessagePtr check_in = CheckInRequest({id}, LocalFiles({"v2"}), lookalike);
  check_in->SetString(104, lookalike);
  EXPECT_EQ(0, Error(Call(*alice, check_in)));

  EXPECT_EQ("planted among the scratch files", test::ReadFile(lookalike));
  EXPECT_EQ("the user's own", test::ReadFile(outside));
  EXPECT_EQ(contents + 1, store.ListOlderThan(0).size());
  EXPECT_EQ(2u, Table(*alice, 4, id).size());
  EXPECT_EQ(1u, Table(*alice, 2, root).size());
  std::vector<std::string> fetched;
  ASSERT_EQ(0, Error(Fetch(*alice, {id}, {0}, &fetched)));
  EXPECT_EQ(std::vector<std::string>{"v2"}, fetched);
}

TEST_P(ServeTest, HundredClientsAtOnceSeeOnlyLockConflicts) {
  constexpr int kClients = 100;
  constexpr int kOperations = 6;
  constexpr int kDocuments = 8;
  StartServer();
  {
    int result = 0;
    std::string error;
    auto storage = OpenRepository(server_->dir(), nullptr, &result, &error);
    ASSERT_TRUE(storage) << error;
    for (int i = 0; i < kClients; ++i) {
      const std::string name = "user" + std::to_string(i);
      ASSERT_EQ(kOk, storage->AddUser(name, LogonDigest(name, "pw")));
    }
  }
  auto alice = Client();
  std::vector<std::string> names;
  for (int i = 0; i < kDocuments; ++i) names.push_back("doc" + std::to_string(i));
  MessagePtr added = Add(*alice, Root(*alice), names, std::vector<std::string>(kDocuments, "v1"));
  const std::vector<std::string> ids = SplitField(*added, 103);
  ASSERT_EQ(static_cast<size_t>(kDocuments), ids.size());
  const std::string root = Root(*alice);
  const std::string local = LocalFiles({"new content"})[0];

  std::atomic<int> check_ins{0}, conflicts{0}, unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&, t] {
      WireClient c;
      const std::string user = "user" + std::to_string(t);
      if (!c.Connect(server_->port()) || c.Logon(user, "pw") != 0) {
        ++unexpected;
        return;
      }
      for (int op = 0; op < kOperations; ++op) {
        const std::string& id = ids[(t + op) % kDocuments];
        MessagePtr reply;
        if (op % 3 == 0) {
          MessagePtr r = WireClient::Request("ACQUIRELOCK");
          r->SetString(100, id);
          r->SetInt(103, kLockExclusive);
          reply = c.Call(*r);
          const int error = Error(reply);
          if (error == 101 || error == 102) {
            ++conflicts;
            continue;
          }
          if (error != 0 || Error(c.Call(*CheckInRequest({id}, {local}, user))) != 0) {
            ++unexpected;
            continue;
          }
          ++check_ins;
          MessagePtr release = WireClient::Request("RELEASELOCK");
          release->SetString(100, id);
          reply = c.Call(*release);
        } else if (op % 3 == 1) {
          MessagePtr r = WireClient::Request("PRODUCTIONCMD", 25);
          r->SetString(101, root);
          r->SetString(102, Join(names));
          reply = c.Call(*r);
        } else {
          MessagePtr r = WireClient::Request("DOCUMENTCMD", 4);
          r->SetString(101, id);
          r->SetIntList(102, {0});
          reply = c.Call(*r);
          if (reply) unlink(Str(reply, 106).c_str());
        }
        if (Error(reply) != 0) ++unexpected;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(0, unexpected.load()) << server_->Log();
  EXPECT_EQ(kClients * kOperations / 3, check_ins.load() + conflicts.load());

  // Every check-in is a version; numbers and stamps run strictly down.
  int versions = 0;
  for (const std::string& id : ids) {
    const Rows history = Table(*alice, 4, id);
    versions += static_cast<int>(history.size()) - 1;
    for (size_t i = 0; i < history.size(); ++i) {
      EXPECT_EQ(std::to_string(history.size() - i), history[i].at("Version"));
      if (i > 0) {
        EXPECT_GT(history[i - 1].at("P41"), history[i].at("P41"));
      }
    }
    EXPECT_TRUE(Table(*alice, 3, id).empty());
  }
  EXPECT_EQ(check_ins.load(), versions);
}

INSTANTIATE_TEST_SUITE_P(Backends, ServeTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         test::BackendName);

}  // namespace
}  // namespace tw::twserver
