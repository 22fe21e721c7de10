// What `TWServer serve` logs per command: the Production and Document paths
// a request touched beside its command and result, as text lines and as one
// JSON object per line, with hostile names (quotes, backslashes, control
// characters, bytes that are no UTF-8) kept inside their line and their
// string.
#include <gtest/gtest.h>

#include <sstream>

#include "protocol/lock_command.h"
#include "settings/property_escape.h"
#include "tests/support/serve_fixture.h"
#include "tools/vscc/json.h"

namespace tw::twserver {
namespace {

using test::Error;
using test::Join;
using test::SplitField;
using test::WireClient;

std::string Str(const MessagePtr& m, uint32_t id) {
  std::string value;
  if (m) m->GetString(id, &value);
  return value;
}

// An identifier of the form the server gives that names nothing.
const std::string kNoSuchId = "00000000000000000000000000000000";

// A name no request should get into a log line as it is.
const std::string kHostile = std::string("q\"uo\\te\x01\n\x7f-\xff.txt");

class ServeLogTest : public test::ServeFixture {
 protected:
  // A session of alice's: the root, a Production, two Documents added,
  // locked, checked in and fetched, a hostile add refused; then bob checks
  // in by identifier alone. Stops the server and gives its log.
  std::string Session(const std::vector<std::string>& options) {
    StartServer(options);
    auto alice = Client();
    MessagePtr root = WireClient::Request("PRODUCTIONCMD", 20);
    root->SetString(101, "");
    const std::string root_id = Str(alice->Call(*root), 101);
    MessagePtr made = WireClient::Request("PRODUCTIONCMD", 4);
    made->SetString(101, root_id);
    made->SetString(102, "Team");
    const std::string team = Str(alice->Call(*made), 103);

    const std::vector<std::string> paths{LocalFile("one"), LocalFile("two")};
    MessagePtr add = AddRequest(team, {"a b.txt", "caf\xc3\xa9.txt"}, paths);
    add->SetString(109, Join(paths));
    MessagePtr added = alice->Call(*add);
    EXPECT_EQ(0, Error(added));
    ids_ = added ? SplitField(*added, 103) : std::vector<std::string>();
    EXPECT_EQ(2u, ids_.size());
    const std::string hostile_file = LocalFile("x");
    MessagePtr refused = AddRequest(team, {kHostile}, {hostile_file});
    refused->SetString(109, hostile_file);
    EXPECT_NE(0, Error(alice->Call(*refused)));

    MessagePtr lock = WireClient::Request("ACQUIRELOCK");
    lock->SetString(100, Join(ids_));
    lock->SetInt(101, 1);
    lock->SetInt(102, 0);
    lock->SetInt(103, kLockExclusive);
    lock->SetBoolList(104, {false, false});
    EXPECT_EQ(0, Error(alice->Call(*lock)));
    const std::string file = LocalFile("v2");
    MessagePtr check_in = WireClient::Request("DOCUMENTCMD", 2);
    check_in->SetString(101, ids_[0]);
    check_in->SetRawField(102, FIELD_FILELIST, file.data(), file.size());
    check_in->SetInt(103, 0);
    check_in->SetString(104, file);
    check_in->SetString(105, "");
    check_in->SetIntList(106, {0});
    EXPECT_EQ(0, Error(alice->Call(*check_in)));

    // Bob never saw the names on his connection: he asks by identifier
    // alone (a history, a version that does not exist, a lock Alice
    // holds), and once by one that names nothing.
    auto bob = Client("bob", "hunter2");
    MessagePtr history = WireClient::Request("GETNAMELIST");
    history->SetString(13, "caller");
    history->SetString(100, ids_[1]);
    history->SetInt(101, 4);
    EXPECT_EQ(0, Error(bob->Call(*history)));
    MessagePtr get = WireClient::Request("DOCUMENTCMD", 4);
    get->SetString(101, ids_[1]);
    get->SetIntList(102, {9});
    get->SetInt(103, 0);
    EXPECT_NE(0, Error(bob->Call(*get)));
    MessagePtr bob_lock = WireClient::Request("ACQUIRELOCK");
    bob_lock->SetString(100, ids_[1]);
    bob_lock->SetInt(101, 1);
    bob_lock->SetInt(102, 0);
    bob_lock->SetInt(103, kLockExclusive);
    bob_lock->SetBoolList(104, {false});
    EXPECT_NE(0, Error(bob->Call(*bob_lock)));
    MessagePtr release = WireClient::Request("RELEASELOCK");
    release->SetString(100, kNoSuchId);
    release->SetInt(101, 1);
    release->SetInt(102, 0);
    release->SetInt(300, 1);
    EXPECT_NE(0, Error(bob->Call(*release)));
    alice.reset();
    bob.reset();
    EXPECT_EQ(0, server_->Stop());
    const std::string log = server_->Log();
    server_.reset();
    return log;
  }

  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::vector<std::string> ids_;
};

TEST_F(ServeLogTest, TextLinesNameThePathsEachCommandTouched) {
  const std::string log = Session({});
  std::string check_in, refused, add, history, get, lock, release;
  for (const std::string& line : Lines(log)) {
    if (line.find("user=bob command=DOCUMENTCMD sub=4 ") != std::string::npos) get = line;
    if (line.find("user=bob command=ACQUIRELOCK") != std::string::npos) lock = line;
    if (line.find("user=bob command=RELEASELOCK") != std::string::npos) release = line;
    if (line.find("command=DOCUMENTCMD sub=2 ") != std::string::npos) check_in = line;
    if (line.find("command=DOCUMENTCMD sub=1 result=0") != std::string::npos) add = line;
    if (line.find("command=DOCUMENTCMD sub=1 ") != std::string::npos &&
        line.find("result=0") == std::string::npos) {
      refused = line;
    }
    if (line.find("command=GETNAMELIST") != std::string::npos) history = line;
  }
  EXPECT_NE(std::string::npos,
            add.find("paths=\"Veltrane\\Team\\a b.txt\",\"Veltrane\\Team\\caf\xc3\xa9.txt\""))
      << log;
  EXPECT_NE(std::string::npos, check_in.find("paths=\"Veltrane\\Team\\a b.txt\"")) << log;
  // What Bob asked by identifier is named by its path all the same.
  const std::string named = "paths=\"Veltrane\\Team\\caf\xc3\xa9.txt\"";
  for (const std::string* line : {&history, &get, &lock}) {
    EXPECT_NE(std::string::npos, line->find(named)) << *line << "\n" << log;
    EXPECT_EQ(std::string::npos, line->find("ids=")) << *line;
  }
  EXPECT_NE(std::string::npos, release.find("ids=" + kNoSuchId)) << log;
  // The hostile name stays on its line, its quote escaped.
  EXPECT_NE(std::string::npos, refused.find("paths=\"Veltrane\\Team\\q\\\"uo\\te\\x01\\n\\x7F-"))
      << log;
  for (char c : log) {
    EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 && c != '\n') << static_cast<int>(c);
  }
}

TEST_F(ServeLogTest, JsonLinesAreOneWellFormedObjectEach) {
  const std::string log = Session({"--log-format", "json"});
  size_t commands = 0;
  bool saw_hostile = false;
  bool saw_check_in = false;
  bool saw_ids = false;
  int named_by_bob = 0;
  for (const std::string& line : Lines(log)) {
    vscc::JsonValue value;
    std::string error;
    ASSERT_TRUE(vscc::ParseJson(line, &value, &error)) << error << ": " << line;
    ASSERT_EQ(vscc::JsonValue::kObject, value.type) << line;
    ASSERT_FALSE(value.object.empty());
    EXPECT_EQ("time", value.object[0].first) << line;
    if (value.Find("command") == nullptr) {
      EXPECT_FALSE(value.StringAt("message").empty()) << line;
      continue;
    }
    ++commands;
    const vscc::JsonValue* paths = value.Find("paths");
    const std::string command = value.StringAt("command");
    const int sub = static_cast<int>(value.NumberAt("sub", -1));
    if (command == "DOCUMENTCMD" && sub == 1 && value.NumberAt("result") != 0) {
      ASSERT_NE(nullptr, paths) << line;
      ASSERT_EQ(1u, paths->array.size());
      // Every byte back as it was but the one that is no UTF-8, which reads
      // as the character of its value.
      EXPECT_EQ("Veltrane\\Team\\" + kHostile.substr(0, kHostile.size() - 5) + "\xc3\xbf.txt",
                paths->array[0].string);
      saw_hostile = true;
    }
    if (command == "DOCUMENTCMD" && sub == 2) {
      ASSERT_NE(nullptr, paths) << line;
      EXPECT_EQ("Veltrane\\Team\\a b.txt", paths->array.at(0).string);
      EXPECT_EQ("alice", value.StringAt("user"));
      EXPECT_EQ(0, value.NumberAt("result", -1));
      saw_check_in = true;
    }
    if (command == "GETNAMELIST" || command == "ACQUIRELOCK" ||
        (command == "DOCUMENTCMD" && sub == 4)) {
      ASSERT_NE(nullptr, paths) << line;
      EXPECT_EQ(nullptr, value.Find("ids")) << line;
      if (value.StringAt("user") == "bob") {
        EXPECT_EQ("Veltrane\\Team\\caf\xc3\xa9.txt", paths->array.at(0).string) << line;
        ++named_by_bob;
      }
    }
    if (command == "RELEASELOCK") {
      const vscc::JsonValue* ids = value.Find("ids");
      ASSERT_NE(nullptr, ids) << line;
      EXPECT_EQ(kNoSuchId, ids->array.at(0).string);
      saw_ids = true;
    }
  }
  EXPECT_GE(commands, 8u) << log;
  EXPECT_TRUE(saw_hostile) << log;
  EXPECT_TRUE(saw_check_in) << log;
  EXPECT_TRUE(saw_ids) << log;
  EXPECT_EQ(3, named_by_bob) << log;
}

TEST_F(ServeLogTest, RefusesAnUnknownLogFormat) {
  server_ = std::make_unique<test::TestServer>(env_.Path("repo"));
  ASSERT_TRUE(server_->Init());
  std::string out;
  EXPECT_EQ(2, server_->Run({"serve", "--data", server_->dir(), "--log-format", "xml"}, "", &out));
  server_.reset();
}

}  // namespace
}  // namespace tw::twserver
