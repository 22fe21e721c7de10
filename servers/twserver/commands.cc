#include "servers/twserver/commands.h"

#include <exception>
#include <utility>
#include <vector>

#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "messaging/reply.h"
#include "protocol/command.h"
#include "protocol/document_command.h"
#include "protocol/lock_command.h"
#include "protocol/logon_command.h"
#include "protocol/name_list_command.h"
#include "protocol/production_command.h"
#include "protocol/server_errors.h"
#include "servers/twserver/command_fields.h"
#include "servers/twserver/names.h"
#include "servers/twserver/read_gate.h"

namespace tw::twserver {

namespace {

// Identifiers whose paths a connection remembers for its log lines; past
// it the memory starts afresh.
constexpr size_t kMaxKnownPaths = 4096;

// The first row of `command`, or null when the server does not know it.
const CommandHandler::Command* FirstRow(const std::string& command) {
  for (const CommandHandler::Command& row : CommandHandler::Commands()) {
    if (command == row.name) return &row;
  }
  return nullptr;
}

// The row of `sub_command` of `command`, or null.
const CommandHandler::Command* FindRow(const std::string& command, int sub_command) {
  for (const CommandHandler::Command& row : CommandHandler::Commands()) {
    if (command == row.name && sub_command == row.sub_command) return &row;
  }
  return nullptr;
}

}  // namespace

// The commands this server answers, one row per command or per
// sub-command of a command that carries one in field 100; the rows of one
// command agree on whether it needs a logon. Handle finds the row, reads
// the sub-command and refuses a command that needs a logon before it; the
// reply copies field 100 for the commands whose rows have sub-commands.
// Adding a command takes its descriptor in protocol/, one row here, its
// handler in the file of its family, and their tests.
const std::vector<CommandHandler::Command>& CommandHandler::Commands() {
  static const std::vector<Command> commands = {
      {prelogon::kCommand, kNoSubCommand, false, &CommandHandler::PreLogon},
      {logon::kCommand, kNoSubCommand, false, &CommandHandler::Logon},
      {kProductionCommand, create_production::kSubCommand, true, &CommandHandler::CreateProduction},
      {kProductionCommand, lookup_production::kSubCommand, true, &CommandHandler::LookupProduction},
      {kProductionCommand, document_info::kSubCommand, true, &CommandHandler::GetDocumentInfo},
      {kDocumentCommand, add_documents::kSubCommand, true, &CommandHandler::AddDocuments},
      {kDocumentCommand, check_in::kSubCommand, true, &CommandHandler::CheckIn},
      {kDocumentCommand, fetch::kSubCommand, true, &CommandHandler::Fetch},
      {name_list::kCommand, kNoSubCommand, true, &CommandHandler::GetNameList},
      {acquire_lock::kCommand, kNoSubCommand, true, &CommandHandler::AcquireLock},
      {release_lock::kCommand, kNoSubCommand, true, &CommandHandler::ReleaseLock},
  };
  return commands;
}

CommandHandler::CommandHandler(Storage& storage, LogonKeys& keys, LogonThrottle& throttle,
                               const std::atomic<bool>* stopping, HandlerLimits limits,
                               std::string peer_address)
    : storage_(storage),
      keys_(keys),
      throttle_(throttle),
      stopping_(stopping),
      limits_(limits),
      peer_address_(std::move(peer_address)) {}

CommandHandler::~CommandHandler() {
  CRLDATcrypto::Wipe(&logon_digest_);
}

CommandOutcome CommandHandler::Handle(const CRLMSGmessage& request) {
  CommandOutcome out;
  int error = kServerFailure;
  try {
    const std::string command = request.GetCommand();
    const Command* const first = FirstRow(command);
    const bool logon = first != nullptr && !first->needs_logon;
    const ReadScope reads(user_, logon, limits_.read_budget);
    const bool has_sub = first != nullptr && first->sub_command != kNoSubCommand;
    out.reply = NewReply(request, command, has_sub);
    if (has_sub) GetNumber(request, kFieldSubCommand, &out.sub_command);
    const Command* const row = has_sub ? FindRow(command, out.sub_command) : first;
    // An unknown command before the logon is refused as any other is.
    const int allowed = logon ? kOk : user_.empty() ? kServerNotLoggedOn : RecheckUser(&out);
    if (allowed != kOk) {
      error = allowed;
    } else if (row == nullptr) {
      error = kMalformed;
    } else {
      error = (this->*row->handler)(request, &out);
      NameTouchedIds(&out);
    }
  } catch (const std::exception& e) {
    out.failure = e.what();
    out.switch_cipher = false;
    error = kServerFailure;
  } catch (...) {
    out.failure = "unexpected exception";
    out.switch_cipher = false;
    error = kServerFailure;
  }
  if (!out.reply) out.reply = NewReply(request, std::string(), false);
  out.reply->SetInt(ERRORCODE, error);
  out.error = error;
  return out;
}

int CommandHandler::Checked(int result, CommandOutcome* out) {
  if (result == kOverLimit) out->note = Printable(storage_.FailureText());
  if (result >= 0) return result;
  out->failure = storage_.FailureText();
  return kServerFailure;
}

void CommandHandler::Touched(const std::string& path, CommandOutcome* out) const {
  if (out->paths.size() + out->ids.size() >= kMaxLoggedPaths) {
    ++out->more;
  } else {
    out->paths.push_back(path);
  }
}

void CommandHandler::TouchedId(const std::string& id, CommandOutcome* out) const {
  if (id.empty()) return;
  auto known = known_paths_.find(id);
  if (known != known_paths_.end()) {
    Touched(known->second, out);
  } else if (out->paths.size() + out->ids.size() >= kMaxLoggedPaths) {
    ++out->more;
  } else {
    out->ids.push_back(id);
  }
}

void CommandHandler::NameTouchedIds(CommandOutcome* out) {
  if (out->ids.empty()) return;
  std::vector<std::string> paths;
  // The log names what it can; the request's own result stands either way.
  try {
    if (storage_.PathsOf(out->ids, &paths) != kOk || paths.size() != out->ids.size()) return;
  } catch (...) {
    return;
  }
  std::vector<std::string> unnamed;
  for (size_t i = 0; i < paths.size(); ++i) {
    if (paths[i].empty()) {
      unnamed.push_back(std::move(out->ids[i]));
    } else {
      Learn(out->ids[i], paths[i]);
      out->paths.push_back(std::move(paths[i]));
    }
  }
  out->ids = std::move(unnamed);
}

std::string CommandHandler::TouchedChild(const std::string& parent_id, const std::string& name,
                                         CommandOutcome* out) const {
  auto known = known_paths_.find(parent_id);
  if (known == known_paths_.end()) {
    TouchedId(parent_id, out);
    return std::string();
  }
  std::string path = known->second + "\\" + name;
  Touched(path, out);
  return path;
}

void CommandHandler::Learn(const std::string& id, const std::string& path) {
  if (id.empty()) return;
  if (known_paths_.size() >= kMaxKnownPaths && known_paths_.count(id) == 0) known_paths_.clear();
  known_paths_[id] = path;
}

int CommandHandler::CheckCount(size_t items) const {
  return items > limits_.max_items ? int{kServerNotPermitted} : int{kOk};
}

}  // namespace tw::twserver
