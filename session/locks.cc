// The lock commands of ClientSession: "ACQUIRELOCK" with the deferred-lock
// question, and "RELEASELOCK"; with their local side effects (writable
// files, the "CheckedOutTo" entries of the state store).
#include <cstdio>
#include <string>

#include "platform/file_attributes.h"
#include "platform/list_text.h"
#include "platform/message_box.h"
#include "platform/path.h"
#include "protocol/lock_command.h"
#include "protocol/server_errors.h"
#include "session/client_config.h"
#include "session/client_session.h"
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

LockType ClientSession::ChooseLockType(bool shared_wanted) {
  if (ServerDemandsExclusiveLock()) return kLockExclusive;
  if (ServerDemandsSharedLock()) return kLockShared;
  return shared_wanted ? kLockShared : kLockExclusive;
}

SessionResult ClientSession::AcquireLocks(const std::vector<std::string>& document_ids,
                                          const std::vector<std::string>& local_paths,
                                          std::vector<bool> deferred, bool shared_wanted) {
  lock_conflict_ = LockConflict();
  if (!logged_on_) return kSessionNotLoggedOn;
  if (document_ids.empty()) return kSessionOk;
  deferred.resize(document_ids.size(), false);
  const LockType lock_type = ChooseLockType(shared_wanted);
  auto make_request = [&] {
    MessagePtr request = CreateRequest(acquire_lock::kCommand);
    request->SetString(acquire_lock::kFieldDocumentIds, JoinList(document_ids, kListSeparator));
    request->SetInt(acquire_lock::kFieldAlwaysOne, 1);
    request->SetInt(acquire_lock::kFieldAlwaysZero, 0);
    request->SetInt(acquire_lock::kFieldLockType, lock_type);
    request->SetBoolList(acquire_lock::kFieldDeferred, deferred);
    return request;
  };
  const SessionResult result = Transact(make_request(), kRequestTimeoutSeconds);
  if (result == kSessionOk) {
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
  if (result != kSessionUnexpected || !ReplyIs(acquire_lock::kCommand)) return result;

  // Records the Document the last reply refused: the one of the request at
  // its index, whatever the reply's identifier field says, so that only a
  // Document the caller named is ever reported.
  auto note_conflict = [&]() {
    lock_conflict_ = LockConflict();
    lock_conflict_.server_error = last_error_code_;
    lock_conflict_.name = ReplyText(acquire_lock::kReplyFailedName);
    int index = -1;
    last_reply_->GetInt(acquire_lock::kReplyFailedIndex, &index);
    if (index >= 0 && static_cast<size_t>(index) < document_ids.size()) {
      lock_conflict_.index = index;
      lock_conflict_.document_id = document_ids[index];
    }
  };
  auto is_conflict = [&]() {
    return last_error_code_ == kServerExclusiveConflict ||
           last_error_code_ == kServerSharedConflict;
  };
  if (is_conflict() || last_error_code_ == kServerAlreadyQueued) note_conflict();
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
               lock_conflict_.name),
        MessageBoxButtons::kYesNo, MessageBoxIcon::kQuestion);
    if (answer != kIdYes) return kSessionDeclinedDeferred;
    const int index = lock_conflict_.index;
    if (index < 0 || deferred[index]) return kSessionUnexpected;
    deferred[index] = true;
    const LockConflict asked = lock_conflict_;
    const SessionResult resent = Transact(make_request(), kRequestTimeoutSeconds);
    if (resent == kSessionOk) {
      // The transaction ends here: the queued Document is not fetched, as
      // the question says. The conflict asked about stays the one named.
      lock_conflict_ = asked;
      return kSessionDeferredRequested;
    }
    if (resent != kSessionUnexpected || !ReplyIs(acquire_lock::kCommand)) return resent;
    if (!is_conflict() && last_error_code_ != kServerAlreadyQueued) return kSessionUnexpected;
    note_conflict();
  }
  if (last_error_code_ == kServerAlreadyQueued) {
    ShowMessageBox(nullptr, "Deferred lock already acquired.",
                   Format("You already have a deferred lock on '%s'.\n\nThis transaction can "
                          "not be completed.",
                          lock_conflict_.name),
                   MessageBoxButtons::kOk, MessageBoxIcon::kExclamation);
    return kSessionAlreadyQueued;
  }
  // Any refusal ends the transaction; the callers go on only after 0.
  return kSessionUnexpected;
}

SessionResult ClientSession::ReleaseLocks(const std::vector<std::string>& document_ids,
                                          const std::vector<std::string>& /*local_paths*/) {
  if (!logged_on_) return kSessionNotLoggedOn;
  if (document_ids.empty()) return kSessionOk;
  MessagePtr request = CreateRequest(release_lock::kCommand);
  request->SetString(release_lock::kFieldDocumentIds, JoinList(document_ids, kListSeparator));
  request->SetInt(release_lock::kFieldAlwaysOne, 1);
  request->SetInt(release_lock::kFieldAlwaysZero, 0);
  request->SetInt(release_lock::kFieldRelease, 1);
  const SessionResult result =
      Transact(std::move(request), kRequestTimeoutSeconds, {}, kSessionReleaseRefused);
  if (result != kSessionOk) return result;
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
