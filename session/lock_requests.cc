// The lock requests: "ACQUIRELOCK" with the deferred-lock question, and
// "RELEASELOCK"; with their local side effects (writable files, the
// "CheckedOutTo" entries of the state store).
#include "session/lock_requests.h"

#include <cstdio>
#include <string>
#include <utility>

#include "platform/file_attributes.h"
#include "platform/list_text.h"
#include "platform/message_box.h"
#include "platform/path.h"
#include "protocol/lock_command.h"
#include "protocol/server_errors.h"
#include "session/client_config.h"
#include "session/state_cache.h"

namespace tw {

namespace {

// The folder of a local file, blanks at both ends removed.
std::string LocalDirectory(const std::string& path) {
  const std::string directory = NativeParent(path);
  const size_t first = directory.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  const size_t last = directory.find_last_not_of(' ');
  return directory.substr(first, last - first + 1);
}

std::string Format(const char* format, const std::string& name) {
  const int size = std::snprintf(nullptr, 0, format, name.c_str());
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  std::snprintf(&out[0], out.size() + 1, format, name.c_str());
  return out;
}

}  // namespace

LockType ChooseLockType(ClientSession* session, bool shared_wanted) {
  if (session->ServerDemandsExclusiveLock()) return kLockExclusive;
  if (session->ServerDemandsSharedLock()) return kLockShared;
  return shared_wanted ? kLockShared : kLockExclusive;
}

SessionResult AcquireLocks(ClientSession* session, const std::vector<std::string>& document_ids,
                           const std::vector<std::string>& local_paths, std::vector<bool> deferred,
                           bool shared_wanted, LockConflict* conflict) {
  LockConflict unasked;
  if (conflict == nullptr) conflict = &unasked;
  *conflict = LockConflict();
  if (!session->logged_on()) return kSessionNotLoggedOn;
  if (document_ids.empty()) return kSessionOk;
  deferred.resize(document_ids.size(), false);
  const LockType lock_type = ChooseLockType(session, shared_wanted);
  auto make_request = [&] {
    MessagePtr request = session->CreateRequest(acquire_lock::kCommand);
    request->SetString(acquire_lock::kFieldDocumentIds, JoinList(document_ids, kListSeparator));
    request->SetInt(acquire_lock::kFieldAlwaysOne, 1);
    request->SetInt(acquire_lock::kFieldAlwaysZero, 0);
    request->SetInt(acquire_lock::kFieldLockType, lock_type);
    request->SetBoolList(acquire_lock::kFieldDeferred, deferred);
    return request;
  };
  Reply reply = session->Transact(make_request(), kRequestTimeoutSeconds);
  if (reply.result == kSessionOk) {
    std::unique_ptr<PropertyFileClient> store = OpenStateStore();
    std::unique_ptr<PropertyNode> states = store->OpenNode(nullptr, kDocumentStatesNode);
    for (size_t i = 0; i < document_ids.size(); ++i) {
      const std::string path = i < local_paths.size() ? local_paths[i] : std::string();
      if (!path.empty()) SetLocalFileReadOnly(path, false);
      if (states && !document_ids[i].empty()) {
        // An identifier is one name, whatever it holds (a "/" included),
        // as the state cache names its nodes.
        std::unique_ptr<PropertyNode> node = store->OpenNodeNamed(states.get(), document_ids[i]);
        if (node) {
          store->WriteString(node.get(), kCheckedOutToKey, LocalDirectory(path), false);
          store->CloseNode(std::move(node));
        }
      }
    }
    if (states) store->CloseNode(std::move(states));
    return kSessionOk;
  }
  // Only a refusal of the server says more; everything else ends here.
  if (reply.result != kSessionUnexpected || !reply.Is(acquire_lock::kCommand)) return reply.result;

  // Records the Document the latest reply refused: the one of the request
  // at its index, whatever the reply's identifier field says, so that only
  // a Document the caller named is ever reported.
  auto note_conflict = [&]() {
    *conflict = LockConflict();
    conflict->server_error = reply.server_error;
    conflict->name = reply.Text(acquire_lock::kReplyFailedName);
    const int index = reply.Int(acquire_lock::kReplyFailedIndex, -1);
    if (index >= 0 && static_cast<size_t>(index) < document_ids.size()) {
      conflict->index = index;
      conflict->document_id = document_ids[index];
    }
  };
  auto is_conflict = [&]() {
    return reply.server_error == kServerExclusiveConflict ||
           reply.server_error == kServerSharedConflict;
  };
  if (is_conflict() || reply.server_error == kServerAlreadyQueued) note_conflict();
  // Each conflict is asked about in turn: the server refuses a request
  // whole, so a second conflicting Document refuses the resend until it is
  // deferred too.
  while (is_conflict()) {
    const int answer = ShowMessageBox(
        nullptr, "Could not acquire lock.",
        Format("There is already another user with a lock on '%s'.\n\nDo you wish to acquire a "
               "deferred lock on it and get in line to acquire a lock?\n\nClicking \"Yes\" will "
               "acquire a deferred lock, but will not attempt to get the file from the "
               "server.\n\nClicking \"No\" will abort this entire transaction request.",
               conflict->name),
        MessageBoxButtons::kYesNo, MessageBoxIcon::kQuestion);
    if (answer != kIdYes) return kSessionDeclinedDeferred;
    const int index = conflict->index;
    if (index < 0 || deferred[index]) return kSessionUnexpected;
    deferred[index] = true;
    reply = session->Transact(make_request(), kRequestTimeoutSeconds);
    // The transaction ends here: the queued Document is not fetched, as
    // the question says. The conflict asked about stays the one named.
    if (reply.result == kSessionOk) return kSessionDeferredRequested;
    if (reply.result != kSessionUnexpected || !reply.Is(acquire_lock::kCommand)) {
      return reply.result;
    }
    if (!is_conflict() && reply.server_error != kServerAlreadyQueued) return kSessionUnexpected;
    note_conflict();
  }
  if (reply.server_error == kServerAlreadyQueued) {
    ShowMessageBox(nullptr, "Deferred lock already acquired.",
                   Format("You already have a deferred lock on '%s'.\n\nThis transaction can "
                          "not be completed.",
                          conflict->name),
                   MessageBoxButtons::kOk, MessageBoxIcon::kExclamation);
    return kSessionAlreadyQueued;
  }
  // Any refusal ends the transaction; the callers go on only after 0.
  return kSessionUnexpected;
}

SessionResult ReleaseLocks(ClientSession* session, const std::vector<std::string>& document_ids,
                           const std::vector<std::string>& /*local_paths*/) {
  if (!session->logged_on()) return kSessionNotLoggedOn;
  if (document_ids.empty()) return kSessionOk;
  MessagePtr request = session->CreateRequest(release_lock::kCommand);
  request->SetString(release_lock::kFieldDocumentIds, JoinList(document_ids, kListSeparator));
  request->SetInt(release_lock::kFieldAlwaysOne, 1);
  request->SetInt(release_lock::kFieldAlwaysZero, 0);
  request->SetInt(release_lock::kFieldRelease, 1);
  const Reply reply =
      session->Transact(std::move(request), kRequestTimeoutSeconds, {}, kSessionReleaseRefused);
  if (reply.result != kSessionOk) return reply.result;
  std::unique_ptr<PropertyFileClient> store = OpenStateStore();
  std::unique_ptr<PropertyNode> states = store->OpenNode(nullptr, kDocumentStatesNode);
  if (states) {
    for (const std::string& id : document_ids) {
      if (id.empty()) continue;
      std::unique_ptr<PropertyNode> node = store->OpenNodeNamed(states.get(), id);
      if (node) {
        store->DeleteNode(node.get(), kCheckedOutToKey, false);
        store->CloseNode(std::move(node));
      }
      store->DeleteNodeNamed(states.get(), id, true);
    }
    store->CloseNode(std::move(states));
  }
  return kSessionOk;
}

}  // namespace tw
