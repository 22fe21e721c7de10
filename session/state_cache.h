// The Document state cache: per local file, the server stamp of the
// Document version last fetched or checked in and the file's modification
// time right after that moment, kept in the property store states.dat of
// the per-user data folder. From these and the server's current stamp the
// local status of a file is decided without asking the server about the
// local disk.
//
// Tree of states.dat (text values, never encrypted):
//   DocumentStates/<directory key>/<Document id>/StoredServerDT
//       the server stamp exactly as the server sent it
//   DocumentStates/<directory key>/<Document id>/StoredLocalDT
//       the file's modification time, whole seconds, as a local-time stamp
//   DocumentStates/<directory key>/<Document id>/StoredLocalNs
//       the same time as finely as the file system keeps it: decimal
//       nanoseconds since 1970
//   DocumentStates/<directory key>/<Document id>/StoredSize
//       the file's size in bytes, decimal
//   DocumentStates/<directory key>/<Document id>/Name
//       the local file name
//   DocumentStates/<Document id>/CheckedOutTo
//       kept by the lock commands
// The directory key is the file's local folder, lower-cased, without
// surrounding blanks or a trailing "/"; it and the Document identifier are
// one name each in the store, a "/" inside them included.
//
// A new store client is opened for each recording or decision and closed
// afterwards. Functions without state of their own; each call uses its own
// client, so calls may come from any thread.
#ifndef TW_SESSION_STATE_CACHE_H_
#define TW_SESSION_STATE_CACHE_H_

#include <memory>
#include <string>

#include "platform/file_attributes.h"
#include "session/document_info.h"
#include "settings/property_file_client.h"

namespace tw {

// Local status values: one bit per file.
enum LocalStatus : int {
  kStatusMissing = 1,
  kStatusCurrent = 2,
  kStatusOld = 4,
  kStatusUnknown = 8,
  kStatusModified = 16,
  kStatusRenegade = 32,
  kStatusMoreRecent = 64,
  kStatusWorkInProgress = 128,  // a name only; never decided here
  kStatusUncontrolled = 256,    // a name only; never decided here
};

constexpr char kDocumentStatesNode[] = "DocumentStates";
constexpr char kStoredServerStampKey[] = "StoredServerDT";
constexpr char kStoredLocalStampKey[] = "StoredLocalDT";
// Beside the whole-second stamp: an edit within the same second, or one
// that keeps the time, must still tell the file from what was recorded.
// Records written before these keys existed lack them.
constexpr char kStoredLocalNsKey[] = "StoredLocalNs";
constexpr char kStoredSizeKey[] = "StoredSize";
constexpr char kStoredNameKey[] = "Name";
constexpr char kCheckedOutToKey[] = "CheckedOutTo";

// The path of states.dat: the per-user data folder joined with the file
// name; empty when there is no per-user data folder.
std::string StateStorePath();

// The store key of a local folder: lower-cased (ASCII letters), blanks at
// both ends removed, a trailing "/" dropped (the root "/" stays).
std::string StateDirectoryKey(const std::string& local_directory);

// A new client on states.dat, with the common key string, connected (the
// property file server is started when it does not run). Never null; when
// the server cannot be reached the client's reads fail and its writes are
// lost. The caller owns it.
std::unique_ptr<PropertyFileClient> OpenStateStore();

// Records the state of one file after a fetch, add or check-in: the server
// stamp as given, the version of `local_path` (its modification time, whole
// seconds and to the nanosecond, and its size; empty when it cannot be
// read), and, when `local_name` is not empty, the name. The version is
// `sent` when given - the file as it was when its contents were read for the
// server, so that an edit made while they travelled still shows - else the
// file as it is now. With `make_read_only` the file `local_directory`/name
// is made read-only, the name being `local_name` or, when that is empty,
// the name recorded before. Does nothing and returns false when
// `document_id` or `local_directory` is empty; otherwise returns whether
// the writes were sent.
bool RecordDocumentState(PropertyFileClient* store, const std::string& document_id,
                         const std::string& local_directory, const std::string& local_path,
                         const std::string& local_name, const std::string& server_stamp,
                         bool make_read_only, const LocalFileVersion* sent = nullptr);

// Records that the file `local_directory`/... of Document `document_id` is
// now based on the version whose server stamp is `server_stamp` while its
// contents are the user's own (a merge kept as the working file): the
// stored server stamp becomes `server_stamp` and the stored local stamp is
// emptied, so the file reads as edited since (Modified or Renegade) until
// the next fetch or check-in records it afresh. False when nothing could
// be written or `document_id` or `local_directory` is empty.
bool RecordBaseStamp(PropertyFileClient* store, const std::string& document_id,
                     const std::string& local_directory, const std::string& server_stamp);

// What the store holds for one file; a value that cannot be read is empty.
struct StoredDocumentState {
  std::string server_stamp;
  std::string local_stamp;
  std::string local_ns;
  std::string size;
  std::string name;
};
StoredDocumentState ReadDocumentState(PropertyFileClient* store, const std::string& local_directory,
                                      const std::string& document_id);

// The local status of the file `local_path` whose server information is
// `record` (the first rule that applies):
//   Missing      the file does not exist;
//   Unknown      the store's "DocumentStates" cannot be opened;
//   Modified     its modification time (whole seconds) differs from the
//                recorded one, or (where the record holds them) its time to
//                the nanosecond or its size does, and it is checked out by
//                the user;
//   Renegade     the same, not checked out by the user (also: no record);
//   Unknown      the recorded local or server stamp is empty;
//   Current      the recorded server stamp equals the current one byte for
//                byte;
//   Old          the current server stamp is later than the recorded one;
//   More Recent  otherwise.
// For Unknown by the recorded stamps, Current, Old and More Recent the
// file is made writable when checked out by the user, else read-only,
// unless `align_read_only` is false (a query that changes nothing).
// Never throws; an unexpected failure gives Unknown.
int DecideLocalStatus(const DocumentInfo& record, const std::string& local_path,
                      bool align_read_only = true);

// How the version the file `local_path` was last fetched as or checked in
// from (its stored server stamp) stands to the server's current version
// (the stamp in `record`). A check-in of the file is safe only from the
// current version: from another, it would replace a version the user never
// had. The stamps are told apart as texts, not ordered as times: any
// version other than the base counts, so no clock change can make a newer
// one look older.
enum class FileBase {
  kCurrent,     // the base is the server's current version
  kOther,       // the server's current version is another one
  kUnknown,     // the state cache holds no stamp for the file in its folder
  kUnreadable,  // the state cache cannot be read (its server cannot be reached)
};
// `*base_stamp` (when not null) receives the stored stamp. Never throws.
FileBase CompareBaseWithTip(const DocumentInfo& record, const std::string& local_path,
                            std::string* base_stamp);

// "Missing", "Current", "Old", "Unknown", "Modified", "Renegade",
// "More Recent", "Work in Progress", "Uncontrolled"; "" for any other value.
const char* LocalStatusName(int status);

}  // namespace tw

#endif  // TW_SESSION_STATE_CACHE_H_
