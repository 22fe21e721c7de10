// The server's storage: users, settings, the tree of Productions, Documents
// with their versions, locks and deferred-lock queues, and the content store
// that keeps the bytes of every version.
//
// `Storage` is the one interface the server's commands use; SqlStorage
// implements it over SQLite or PostgreSQL (sql_storage.h). Every operation is one
// transaction: it either succeeds as a whole or changes nothing, and returns
// the server's error code for the command it serves (codes below). Writers
// are serialised by the backend, never refused for being busy: two clients
// racing for one Document see a lock conflict or success.
//
// Users are named exactly (letter case counts, as it does in the logon
// digest). Production and Document names compare without regard to ASCII
// letter case (names.h). Identifiers are 16 lower-case hex digits, drawn at
// random, unique across Productions and Documents. Stamps are UTC stamp texts
// ("%04d:%02d:%02d:%02d:%02d:%02d:%03d"); each version of a Document is
// stamped strictly later than the one before, even when the clock stands
// still or goes back.
//
// Locks: a user holds at most one lock per Document, exclusive or shared,
// and waits in at most one place of its deferred queue (ranks 1, 2, ...).
// After every operation the head of each queue conflicts with the holders
// of that Document: whenever a lock is released, given up for a weaker one,
// or a queue entry leaves, the queue is served in order, entries being
// granted while they do not conflict with the holders.
//
// Reads are admitted through a ReadGate (read_gate.h): a requester named by
// the calling thread's ReadScope runs at most its share of the readers at
// once, logons have a reader of their own, the wait for a reader and each
// read have a time limit (kStorageFailure and kOverLimit past them).
//
// Threads: a Storage object may be shared by threads; its operations are
// serialised inside. Several Storage objects (in one process or several) may
// work on one repository at once.
#ifndef TW_SERVERS_TWSERVER_STORAGE_H_
#define TW_SERVERS_TWSERVER_STORAGE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "messaging/stream_format.h"
#include "protocol/lock_command.h"
#include "protocol/production_command.h"
#include "protocol/server_errors.h"
#include "servers/twserver/content_store.h"

namespace tw::twserver {

// Results. The positive codes are the server's error codes on the wire
// (protocol/server_errors.h); the negative ones never leave the server.
enum StorageResult : int {
  kOk = kServerOk,
  kLogonRefused = kServerLogonRefused,
  kExclusiveConflict = kServerExclusiveConflict,
  kSharedConflict = kServerSharedConflict,
  kAlreadyQueued = kServerAlreadyQueued,
  kNotCheckedOut = kServerNotCheckedOut,
  kContentIncomplete = kServerContentIncomplete,  // a content named is not in the store
  kPathNotFound = kServerPathNotFound,
  kInvalidPath = kServerInvalidPath,
  kProductionExists = kServerProductionExists,
  kProductionCaseVariant = kServerProductionCaseVariant,
  kDocumentExists = kServerDocumentExists,
  kDocumentTwice = kServerDocumentTwice,
  kInvalidDocumentName = kServerInvalidDocumentName,
  kUnknownId = kServerUnknownId,
  kMalformed = kServerMalformed,
  // The reply would pass kMaxReplyBytes, or the read ran past its time
  // budget (read_gate.h): the request asks more than one reply may give.
  kOverLimit = kServerNotPermitted,
  kStorageFailure = -1,  // the database or the file system failed; see FailureText
  kUserExists = -2,
  kNoSuchUser = -3,
  kInvalidValue = -4,  // a setting or user name that the rules refuse
  kNotRepository = -5,
  kRepositoryExists = -6,
};

// The shape of the tree, checked when a Production or a Document is made:
// at most kMaxProductionDepth Productions below the root, and at most
// kMaxFullPathBytes in a Document's or Production's path below the root
// (its names joined with "\"). No team's tree comes near them; a tree far
// deeper or longer would only make every reply that names its paths grow
// with the square of its depth. Repositories made before the limits keep
// what they hold: their replies are bounded by kMaxReplyBytes.
constexpr int kMaxProductionDepth = 64;
constexpr size_t kMaxFullPathBytes = 4096;

// The most a reply's fields may hold together: the message object limit
// (messaging/stream_format.h) less room for the fixed fields. A read that
// would give more is refused with kOverLimit before it is built whole.
constexpr size_t kMaxReplyBytes = kMaxObjectLength - (size_t{64} << 10);

// Milliseconds since 1970-01-01 UTC; the stamp source of new versions.
using Clock = std::function<int64_t()>;
// The system clock.
int64_t SystemClockMilliseconds();

// Settings that the PRELOGON reply announces, plus the root's display name.
struct RepositorySettings {
  std::string root_name = "Veltrane";
  int selector = 1;     // 0, 1 or 9
  int compression = 1;  // 0 or 1
  int lock_policy = 0;  // LockPolicy: 0 none, 1 exclusive demanded, 2 shared demanded
};

struct ProductionEntry {
  std::string id;
  std::string name;
};

// One row of the document information; all empty / 0 for a name that names
// no Document.
struct DocumentInfo {
  std::string id;
  int version = 0;
  int flags = 0;  // DocumentFlag bits (protocol/production_command.h)
  std::string stamp;
};

struct NewDocument {
  std::string production_id;
  std::string name;
  ContentRef content;
};

struct CheckInItem {
  std::string document_id;
  ContentRef content;
};

// A version written by AddDocuments or CheckIn.
struct StoredVersion {
  std::string document_id;
  int version = 0;
  std::string stamp;
};

struct FetchItem {
  std::string document_id;
  int version = 0;  // 0 = current
};

struct FetchedVersion {
  std::string document_id;
  int version = 0;
  std::string name;  // the Document's name
  std::string stamp;
  std::string full_path;     // root's display name, Productions, name; joined with "\"
  std::string content_path;  // the content's file in the store
  uint64_t size = 0;
};

struct VersionInfo {
  int version = 0;
  std::string stamp;
  std::string user;
  std::string comment;
  bool work_in_progress = false;
  ContentRef content;
};

// A held lock (rank 0) or a queue entry (deferred, rank >= 1).
struct LockEntry {
  std::string user;
  bool exclusive = false;
  bool deferred = false;
  int rank = 0;
};

// A Document with held locks or a deferred-lock queue, for administration.
struct DocumentLocks {
  std::string document_id;
  std::string full_path;         // root's display name, Productions, name; joined with "\"
  std::vector<LockEntry> locks;  // as ListLocks gives them
};

// Which content a version holds, for verification.
struct VersionContent {
  std::string full_path;  // as DocumentLocks::full_path
  int version = 0;
  ContentRef content;
};

struct LockRequest {
  std::string document_id;  // empty: skipped
  bool deferred = false;
};

// Which request item failed: its index in the request, its identifier and
// the Document's name (empty for an unknown identifier).
struct LockFailure {
  size_t index = 0;
  std::string document_id;
  std::string name;
};

// Rows of a GETNAMELIST name table, with the column names in order.
struct NameTable {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
};

// Applies one setting by SetSetting's rules to `settings`. False, leaving it
// untouched, for an unknown key or a refused value.
bool ApplySetting(const std::string& key, const std::string& value, RepositorySettings* settings);

// True for a user name the repository accepts: 1 to kMaxNameBytes bytes
// without control characters.
bool IsValidUserName(const std::string& name);

// The digest the logon checks: upper-case hex MD5 of the password followed
// by the user name.
std::string LogonDigest(const std::string& name, const std::string& password);

class Storage {
 public:
  virtual ~Storage() = default;

  // Text of the last kStorageFailure (or other failure with a cause worth
  // telling an administrator) on this object; for logs and messages.
  virtual std::string FailureText() const = 0;

  // The content store of this repository.
  virtual const ContentStore& Contents() const = 0;

  // ---- settings
  virtual int GetSettings(RepositorySettings* out) = 0;
  // Changes one setting: "root-name" (a valid name; renames the root),
  // "selector" (0, 1, 9), "compression" (0, 1), "lock-policy" (0, 1, 2).
  // kInvalidValue for an unknown key or a refused value.
  virtual int SetSetting(const std::string& key, const std::string& value) = 0;

  // ---- users
  // Adds a user with the upper-case hex MD5 of password followed by name.
  // kInvalidValue for an empty name, one with control characters or longer
  // than kMaxNameBytes, or a digest that is not 32 hex digits;
  // kUserExists.
  virtual int AddUser(const std::string& name, const std::string& digest) = 0;
  // Replaces a user's digest (a new password). kInvalidValue for a digest
  // that is not 32 hex digits; kNoSuchUser. Connections logged on with the
  // old one learn it at their next check (HandlerLimits::user_recheck).
  virtual int SetUserDigest(const std::string& name, const std::string& digest) = 0;
  // Removes a user, releasing his locks and queue places (the queues then
  // advance). kNoSuchUser.
  virtual int RemoveUser(const std::string& name) = 0;
  // Names in ascending byte order.
  virtual int ListUsers(std::vector<std::string>* names) = 0;
  // kOk when `name` is a user whose digest is `digest` (hex in either
  // letter case), else kLogonRefused.
  virtual int CheckLogon(const std::string& name, const std::string& digest) = 0;

  // ---- Productions
  virtual int GetRootProduction(ProductionEntry* root) = 0;
  // Creates `name` below `parent_id` and gives its identifier. kUnknownId
  // for the parent; kInvalidPath for the name, and for a place deeper than
  // kMaxProductionDepth or a path longer than kMaxFullPathBytes;
  // kProductionExists or kProductionCaseVariant with the existing
  // Production's identifier.
  virtual int CreateProduction(const std::string& parent_id, const std::string& name,
                               std::string* id) = 0;
  // Resolves a Production path (elements joined with "\"; the first one
  // empty or the root's name in any case; the empty path is the root).
  // kInvalidPath when a later element is empty or invalid (checked first),
  // kPathNotFound when the first element names no root or a Production is
  // missing.
  virtual int LookupProduction(const std::string& path, std::string* id) = 0;
  // Child Productions in creation order. kUnknownId.
  virtual int ListChildProductions(const std::string& id, std::vector<ProductionEntry>* out) = 0;

  // ---- Documents
  // One row per relative name (wire form, below the Production), in order,
  // with flags as seen by `user`. kUnknownId for the Production.
  virtual int GetDocumentInfo(const std::string& user, const std::string& production_id,
                              const std::vector<std::string>& names,
                              std::vector<DocumentInfo>* out) = 0;
  // The checks AddDocuments makes, but for the contents, without changing
  // anything: a request that fails here is refused before its files are
  // stored. Another client may still add a name in between, so AddDocuments
  // checks again.
  virtual int ValidateAdd(const std::vector<NewDocument>& items, size_t* failed_index) = 0;
  // Adds each Document as version 1 (unlocked) by `user` with `comment`.
  // Checks item by item: kUnknownId for the Production, kInvalidDocumentName
  // (also for a path longer than kMaxFullPathBytes), kDocumentTwice when an earlier item names the
  // same Document, kDocumentExists, kContentIncomplete; `failed_index` names the item. The work
  // grows linearly with the items.
  virtual int AddDocuments(const std::string& user, const std::string& comment,
                           const std::vector<NewDocument>& items, std::vector<StoredVersion>* out,
                           size_t* failed_index) = 0;
  // The checks CheckIn makes, but for the contents, without changing
  // anything.
  virtual int ValidateCheckIn(const std::string& user, const std::vector<std::string>& ids,
                              size_t* failed_index) = 0;
  // Adds a version per item, in order, by `user`. The user must hold a lock
  // on each Document (kNotCheckedOut); kUnknownId; kContentIncomplete.
  // Locks stay as they are.
  virtual int CheckIn(const std::string& user, const std::string& comment, bool work_in_progress,
                      const std::vector<CheckInItem>& items, std::vector<StoredVersion>* out,
                      size_t* failed_index) = 0;
  // Where the contents of the given versions are. All or nothing: an unknown
  // identifier or version is kUnknownId; kOverLimit when what the reply
  // names would pass kMaxReplyBytes. An item named again costs no new
  // reading, and each Production's path is built once.
  virtual int Fetch(const std::vector<FetchItem>& items, std::vector<FetchedVersion>* out,
                    size_t* failed_index) = 0;
  // The Document named by a Production path followed by the Document's name.
  // kInvalidPath / kPathNotFound as LookupProduction, kInvalidDocumentName,
  // kUnknownId when the Production has no such Document.
  virtual int FindDocument(const std::string& path, std::string* id) = 0;
  // The full paths (as FetchedVersion::full_path; a Production's without
  // a leaf) of Production and Document identifiers, in order; an
  // identifier that names nothing (any more) gets an empty path. For the
  // log, which names what a request touched.
  virtual int PathsOf(const std::vector<std::string>& ids, std::vector<std::string>* paths) = 0;
  // Versions, newest first. kUnknownId.
  virtual int ListVersions(const std::string& document_id, std::vector<VersionInfo>* out) = 0;
  // Held locks in the order they were granted, then the queue by rank.
  virtual int ListLocks(const std::string& document_id, std::vector<LockEntry>* out) = 0;

  // GETNAMELIST. Kind 1: child Productions of `subject` (a Production
  // identifier, or identifiers joined with "\" of which the last counts):
  // Id, Name. Kind 2: Documents of the Production `subject`: Name (relative,
  // wire form; with `recursive` also those of every Production below, a
  // Production's own Documents before those of its children), Id. Kind 3:
  // the lock table of the Document `subject`: User, Exclusive, Deferred,
  // Rank ("1"/"0", rank "0" for a held lock). Kind 4: its versions, newest
  // first: Version, P41 (stamp), P46 (comment), P49 (user). kUnknownId for
  // the subject, kMalformed for another kind, kOverLimit for a table whose
  // text form would pass kMaxReplyBytes (NameTableCharge, storage_rules.h).
  virtual int GetNameTable(int kind, const std::string& subject, bool recursive,
                           NameTable* out) = 0;

  // ---- locks
  // ACQUIRELOCK for `user` with `lock_type` (kLockExclusive / kLockShared;
  // another value is kMalformed). On a conflict of an unflagged item
  // (kExclusiveConflict / kSharedConflict), kAlreadyQueued, or kUnknownId,
  // nothing changes and `failure` names the item.
  virtual int AcquireLocks(const std::string& user, const std::vector<LockRequest>& items,
                           int lock_type, LockFailure* failure) = 0;
  // RELEASELOCK: drops the user's lock and queue place on each Document
  // (empty identifiers and Documents where the user has neither are
  // skipped). kUnknownId (with `failure`) changes nothing.
  virtual int ReleaseLocks(const std::string& user, const std::vector<std::string>& ids,
                           LockFailure* failure) = 0;

  // ---- administration
  // Every Document that has a held lock or a queue entry, in no particular
  // order.
  virtual int ListAllLocks(std::vector<DocumentLocks>* out) = 0;
  // Every version of every Document with its content, a Document's
  // versions together and in order.
  virtual int ListVersionContents(std::vector<VersionContent>* out) = 0;
  // Breaks held locks of one Document: `user`'s, or every holder's when
  // `user` is empty; then serves the queue as a release does. `broken` gets
  // the locks that went, `granted` the queue entries granted. kUnknownId;
  // kNotCheckedOut when there was no such lock (nothing changes).
  virtual int BreakLocks(const std::string& document_id, const std::string& user,
                         std::vector<LockEntry>* broken, std::vector<LockEntry>* granted) = 0;

  // ---- checks
  // Checks the database against the rules above (one root, versions
  // numbered 1..n with rising stamps and the current one last, no lock
  // beside an exclusive one, queue ranks 1..n whose head cannot be granted,
  // the database's own integrity) and that the content of every version is
  // in the store. Appends one line per problem; kOk even when it finds some.
  virtual int CheckConsistency(std::vector<std::string>* problems) = 0;

  // ---- content collection (content_gc.h)
  // The digests of every content that some version refers to.
  virtual int ReferencedContents(std::unordered_set<std::string>* out) = 0;
  // In one writing transaction, so that no version can come to refer to
  // them meanwhile: calls `remove` for each of `digests` that no version
  // refers to, and lists in `removed` those for which it returned true.
  virtual int RemoveUnreferenced(const std::vector<std::string>& digests,
                                 const std::function<bool(const std::string&)>& remove,
                                 std::vector<std::string>* removed) = 0;
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_STORAGE_H_
