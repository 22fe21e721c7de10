#include "tests/fuzz/twserver_commands_entry.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "messaging/message.h"
#include "messaging/message_id.h"
#include "messaging/message_writer.h"
#include "messaging/scratch_files.h"
#include "platform/guid.h"
#include "platform/list_text.h"
#include "protocol/command.h"
#include "servers/twserver/commands.h"
#include "servers/twserver/sqlite_storage.h"
#include "tests/fuzz/message_reader_entry.h"

namespace tw::fuzz {
namespace {

namespace fs = std::filesystem;
using twserver::CommandHandler;
using twserver::CommandOutcome;

const char* const kCommands[] = {"PRELOGON",    "LOGON",       "PRODUCTIONCMD", "DOCUMENTCMD",
                                 "GETNAMELIST", "ACQUIRELOCK", "RELEASELOCK",   "FROBNICATE"};
const uint32_t kFieldIds[] = {100, 101, 102, 103, 104, 105,   106,   107, 108, 109, 110, 111,
                              13,  4,   9,   10,  300, 65525, 65534, 0,   1,   2,   3,   65535};

// Commands that may change the repository, and so are checked for what a
// refusal leaves behind.
bool MayWrite(const std::string& command) {
  return command == "PRODUCTIONCMD" || command == "DOCUMENTCMD" || command == "ACQUIRELOCK" ||
         command == "RELEASELOCK";
}

// The repository, the logon machinery and two logged-on connections,
// made once per process: key generation and logon take far longer than an
// input should.
struct World {
  std::string folder;    // the repository's scratch folder
  std::string received;  // where received files lie: the content store's tmp/
  // Files a request may name in text (0x02 k): one shaped like a scratch
  // file of the received folder, one outside. No request may touch them.
  std::vector<std::string> decoys;
  std::unique_ptr<twserver::SqlStorage> storage;
  std::unique_ptr<twserver::LogonKeys> keys;
  std::unique_ptr<twserver::LogonThrottle> throttle;
  std::unique_ptr<CommandHandler> alice;
  std::unique_ptr<CommandHandler> bob;
  std::string root_id;
  twserver::HandlerLimits limits;
};

void Fail() {
  std::abort();
}

// A decoy holds its own path.
void WriteDecoy(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, path.data(), path.size()) != static_cast<ssize_t>(path.size())) Fail();
  close(fd);
}

void CheckDecoys(const World& world) {
  for (const std::string& decoy : world.decoys) {
    char bytes[4096];
    const int fd = open(decoy.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail();
    const ssize_t n = read(fd, bytes, sizeof bytes);
    close(fd);
    if (n < 0 || std::string(bytes, static_cast<size_t>(n)) != decoy) Fail();
  }
}

std::string FolderOfTmp() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp == nullptr) Fail();
  return fs::path(tmp).parent_path().string() + "/twserver-fuzz";
}

bool LogOn(World& world, CommandHandler* handler, const std::string& user) {
  static std::string client_private, client_public;
  if (client_public.empty() &&
      !CRLDATcrypto::GenerateKeyPair(1024, &client_private, &client_public)) {
    return false;
  }
  MessagePtr prelogon = NewMessage();
  prelogon->SetString(COMMAND, "PRELOGON");
  CommandOutcome out = handler->Handle(*prelogon);
  std::string server_key, digest, sealed;
  if (out.error != 0 || out.reply->GetString(100, &server_key) != kFieldOk) return false;
  CRLDATcrypto::DigestToHex(digest, kDigestMd5, "pw" + user);
  if (!CRLDATcrypto::RsaEncryptToHex(server_key, digest.data(), digest.size(), &sealed)) {
    return false;
  }
  MessagePtr logon = NewMessage();
  logon->SetString(COMMAND, "LOGON");
  logon->SetString(100, user);
  logon->SetString(101, sealed);
  logon->SetString(102, client_public);
  return handler->Handle(*logon).error == 0 && handler->logged_on();
}

World& TheWorld() {
  static World* world = [] {
    auto* w = new World;
    w->folder = FolderOfTmp();
    fs::remove_all(w->folder);
    std::string error;
    if (!fs::create_directories(w->folder) ||
        !twserver::ContentStore::Create(w->folder + "/content", &error)) {
      Fail();
    }
    w->received = w->folder + "/content/tmp";
    w->decoys = {w->received + "/CRLdecoys", w->folder + "/outside"};
    for (const std::string& decoy : w->decoys) WriteDecoy(decoy);
    w->storage = twserver::SqliteStorage::OpenInMemory(
        twserver::RepositorySettings(), twserver::ContentStore(w->folder + "/content", false),
        nullptr, &error);
    if (!w->storage) Fail();
    for (const char* user : {"alice", "bob"}) {
      if (w->storage->AddUser(user, twserver::LogonDigest(user, "pw")) != twserver::kOk) Fail();
    }
    twserver::ProductionEntry root;
    if (w->storage->GetRootProduction(&root) != twserver::kOk) Fail();
    w->root_id = root.id;
    twserver::LogonKeys::Options key_options;
    key_options.bits = 1024;
    key_options.max_opened = size_t{1} << 30;
    w->keys = std::make_unique<twserver::LogonKeys>(key_options);
    if (!w->keys->Start(&error)) Fail();
    twserver::LogonThrottle::Options throttle;
    throttle.base = std::chrono::milliseconds(0);
    w->throttle = std::make_unique<twserver::LogonThrottle>(throttle);
    // Small, so that the limit is met as well.
    w->limits.max_items = 64;
    w->alice =
        std::make_unique<CommandHandler>(*w->storage, *w->keys, *w->throttle, nullptr, w->limits);
    w->bob =
        std::make_unique<CommandHandler>(*w->storage, *w->keys, *w->throttle, nullptr, w->limits);
    if (!LogOn(*w, w->alice.get(), "alice") || !LogOn(*w, w->bob.get(), "bob")) Fail();
    return w;
  }();
  return *world;
}

// Reads input bytes, giving zeros once it runs out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::string Bytes(size_t count) {
    count = std::min(count, size_ - std::min(at_, size_));
    std::string out(reinterpret_cast<const char*>(data_ + at_), count);
    at_ += count;
    return out;
  }

 private:
  const uint8_t* const data_;
  const size_t size_;
  size_t at_ = 0;
};

// 0x01 k becomes the k-th identifier handed out so far, 0x02 k a decoy.
std::string Substitute(const World& world, const std::string& value,
                       const std::vector<std::string>& known) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\x01' && i + 1 < value.size()) {
      out += known[static_cast<uint8_t>(value[++i]) % known.size()];
    } else if (value[i] == '\x02' && i + 1 < value.size()) {
      out += world.decoys[static_cast<uint8_t>(value[++i]) % world.decoys.size()];
    } else {
      out += value[i];
    }
  }
  return out;
}

// Makes the received files of file list `id` as the message reader does:
// the scratch files, recorded in `scratch` (a file that never arrived as an
// empty path there) and in `created`; returns the field's text.
std::string ReceivedFiles(const World& world, uint32_t id, const std::string& value,
                          ScratchFiles* scratch, std::vector<std::string>* created) {
  std::vector<std::string> paths, owned;
  for (const std::string& element : SplitList(value, '?')) {
    std::string path = world.received + "/CRLXXXXXX";
    const int fd = mkstemp(&path[0]);
    if (fd < 0) Fail();
    if (!element.empty() && element[0] == '\0') {
      close(fd);
      unlink(path.c_str());  // a file that never arrived
      owned.emplace_back();
    } else {
      if (!element.empty() && write(fd, element.data(), element.size()) < 0) Fail();
      close(fd);
      ScratchFiles::Identity closed;
      if (!ScratchFiles::ReadIdentity(path, &closed)) Fail();
      scratch->AddFile(path, closed, std::string());
      owned.push_back(path);
      created->push_back(path);
    }
    paths.push_back(path);
  }
  scratch->AddField(id, std::move(owned));
  return JoinList(paths, '?');
}

// The request, with the scratch files of its file lists in `created`.
MessagePtr BuildMessage(const World& world, Input* in, const std::vector<std::string>& known,
                        bool* as_bob, std::vector<std::string>* created) {
  auto scratch = std::make_shared<ScratchFiles>();
  const uint8_t command = in->Byte();
  *as_bob = (command & 0x80) != 0;
  MessagePtr message = NewMessage();
  message->SetString(COMMAND, kCommands[(command & 0x7f) % std::size(kCommands)]);
  const uint8_t sub = in->Byte();
  if (sub != 255) message->SetInt(kFieldSubCommand, sub);
  const uint8_t fields = in->Byte();
  for (uint8_t f = 0; f < fields && !in->done(); ++f) {
    const uint32_t id = kFieldIds[in->Byte() % std::size(kFieldIds)];
    const int type = in->Byte() % 5 + 1;
    const size_t length = (size_t{in->Byte()} << 8) | in->Byte();
    const std::string value = in->Bytes(length);
    // The message reader takes an id once per message (a later field could
    // otherwise hide a file list whose files then had no owner).
    uint32_t existing = 0;
    if (message->GetFieldType(id, &existing) == kFieldOk) continue;
    switch (type) {
      case FIELD_STRING:
        message->SetString(id, Substitute(world, value, known));
        break;
      case FIELD_INT: {
        uint32_t word = 0;
        for (char c : value.substr(0, 4)) word = (word << 8) | static_cast<uint8_t>(c);
        message->SetInt(id, static_cast<int>(word));
        break;
      }
      case FIELD_IDENTIFIER: {
        uint8_t bytes[16] = {};
        std::copy_n(value.begin(), std::min<size_t>(16, value.size()), bytes);
        const CRLMSGmessageID identifier(Guid::FromBytes(bytes));
        message->SetIdentifier(id, &identifier);
        break;
      }
      case FIELD_BINARY:
        message->SetRawField(id, FIELD_BINARY, value.data(), value.size());
        break;
      default:
        // As the reader hands a file list over: a string field of paths,
        // the files in the message's scratch set.
        message->SetString(id, ReceivedFiles(world, id, value, scratch.get(), created));
        break;
    }
  }
  message->SetScratchFiles(std::move(scratch));
  return message;
}

// Everything a refused request must leave as it was, as text.
std::string Snapshot(World& world) {
  twserver::Storage& storage = *world.storage;
  std::string text;
  std::vector<std::string> productions{world.root_id};
  for (size_t i = 0; i < productions.size(); ++i) {
    std::vector<twserver::ProductionEntry> children;
    if (storage.ListChildProductions(productions[i], &children) != twserver::kOk) Fail();
    for (const auto& child : children) {
      text += "P " + productions[i] + " " + child.id + " " + child.name + "\n";
      productions.push_back(child.id);
    }
  }
  twserver::NameTable documents;
  if (storage.GetNameTable(2, world.root_id, true, &documents) != twserver::kOk) Fail();
  for (const auto& row : documents.rows) {
    text += "D " + row[0] + " " + row[1] + "\n";
    std::vector<twserver::VersionInfo> versions;
    std::vector<twserver::LockEntry> locks;
    if (storage.ListVersions(row[1], &versions) != twserver::kOk ||
        storage.ListLocks(row[1], &locks) != twserver::kOk) {
      Fail();
    }
    for (const auto& v : versions) {
      text += " V " + std::to_string(v.version) + " " + v.stamp + " " + v.content.sha256 + "\n";
    }
    for (const auto& l : locks) {
      text += " L " + l.user + (l.exclusive ? " x " : " s ") + std::to_string(l.rank) + "\n";
    }
  }
  for (const std::string& digest : storage.Contents().ListOlderThan(0))
    text += "C " + digest + "\n";
  return text;
}

// Identifiers in a reply's lists, for later requests to name.
void Learn(const CRLMSGmessage& reply, std::vector<std::string>* known) {
  for (uint32_t id : {101u, 103u, 111u}) {
    std::string value;
    if (reply.GetString(id, &value) != kFieldOk) continue;
    for (char& c : value) {
      if (c == ',') c = '?';
    }
    for (const std::string& item : SplitList(value, '?')) {
      if (item.size() == 16 && known->size() < 64 &&
          std::find(known->begin(), known->end(), item) == known->end()) {
        known->push_back(item);
      }
    }
  }
}

// The scratch files made for a request are all gone (stored or removed).
void CheckReceivedFilesGone(const std::vector<std::string>& created) {
  for (const std::string& path : created) {
    if (access(path.c_str(), F_OK) == 0) Fail();
  }
}

}  // namespace

int TwServerCommandsOneInput(const uint8_t* data, size_t size) {
  World& world = TheWorld();
  Input in(data, size);
  const bool logged_on = (in.Byte() & 1) != 0;
  CommandHandler fresh(*world.storage, *world.keys, *world.throttle, nullptr, world.limits);
  std::vector<std::string> known{world.root_id};
  bool stored = false;
  bool changed = false;  // a request that may write succeeded
  // The state before the next request that may write: what the last one
  // left (a refused one leaves it as it was), taken afresh only after one
  // that succeeded.
  std::string state;
  bool state_known = false;
  while (!in.done()) {
    bool as_bob = false;
    std::vector<std::string> created;
    MessagePtr request = BuildMessage(world, &in, known, &as_bob, &created);
    CommandHandler& handler = !logged_on ? fresh : as_bob ? *world.bob : *world.alice;
    const bool check = MayWrite(request->GetCommand());
    if (check && !state_known) {
      state = Snapshot(world);
      state_known = true;
    }
    CommandOutcome outcome = handler.Handle(*request);
    twserver::RemoveReceivedFiles(*request);
    // For whoever writes seed inputs: what each request came to.
    static const bool trace = std::getenv("TW_FUZZ_TRACE") != nullptr;
    if (trace) {
      std::fprintf(stderr, "%s %s sub %d -> %d %s\n", as_bob ? "bob" : "alice",
                   request->GetCommand().c_str(), outcome.sub_command, outcome.error,
                   outcome.failure.c_str());
    }
    CheckReceivedFilesGone(created);
    CheckDecoys(world);
    if (!outcome.reply) Fail();
    MessageObject object;
    if (!WriteMessageObject(*outcome.reply, nullptr, &object)) Fail();
    if (outcome.error != 0 && check && Snapshot(world) != state) Fail();
    if (outcome.error == 0) {
      Learn(*outcome.reply, &known);
      stored = stored || request->GetCommand() == "DOCUMENTCMD";
      changed = changed || check;
      state_known = state_known && !check;
    }
  }
  // Nothing changed, nothing to check or undo: the common, quick case.
  if (!changed) return 0;
  std::vector<std::string> problems;
  if (world.storage->CheckConsistency(&problems) != twserver::kOk || !problems.empty()) Fail();
  // Back to the repository as it was.
  if (world.storage->ResetTree() != twserver::kOk) Fail();
  if (stored) {
    std::string error;
    fs::remove_all(world.folder + "/content");
    if (!twserver::ContentStore::Create(world.folder + "/content", &error)) Fail();
    WriteDecoy(world.decoys[0]);  // it lay in the store's tmp/
  }
  return 0;
}

}  // namespace tw::fuzz
