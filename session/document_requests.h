// The Document requests of the client: "DOCUMENTCMD" (add, check in,
// fetch) and "PRODUCTIONCMD" 25 (what the server knows of the host's
// files). Each takes the logged-on session, makes its round trips through
// ClientSession::Transact and returns its result; what its reply brought
// (identifiers, files) is read and placed before it returns and kept
// nowhere else. Files a fetch reply brought are moved to their local paths
// here.
//
// Results as session/client_session.h lists them for every request, or one
// of the request's own below.
//
// Threads: as the session, under the shared slot's mutex.
#ifndef TW_SESSION_DOCUMENT_REQUESTS_H_
#define TW_SESSION_DOCUMENT_REQUESTS_H_

#include <string>
#include <vector>

#include "messaging/message.h"
#include "session/client_session.h"
#include "session/document_info.h"
#include "session/received_files.h"

namespace tw {

// One local file of an add, a check-in or a fetch.
struct LocalFile {
  std::string path;       // the local file
  std::string directory;  // its folder
  std::string name;       // its name
  // A fetch: the working folder the file must stay in (its folder, when
  // missing, is made only inside it, never through a link that leads
  // out); empty when the host chose the path itself.
  std::string working_folder{};
};

// DOCUMENTCMD 1: adds `files` to the Productions `production_ids`
// (parallel lists). `document_ids` receives the new identifiers.
// kSessionDocumentExists for a name that exists or appears twice,
// kSessionInvalidName for a name the server does not take; the request
// adds nothing then.
SessionResult AddDocuments(ClientSession* session, const std::vector<std::string>& production_ids,
                           const std::vector<LocalFile>& files, const std::string& comment,
                           std::vector<std::string>* document_ids);
// DOCUMENTCMD 2: a new version of each Document from its local file.
// kSessionLocalFileMissing when a local file is missing (nothing sent),
// kSessionReleaseRefused when one is not checked out by the user,
// kSessionIncompleteContent when a content did not arrive whole.
SessionResult CheckInDocuments(ClientSession* session, const std::vector<std::string>& document_ids,
                               const std::vector<LocalFile>& files, const std::string& comment,
                               bool work_in_progress);
// DOCUMENTCMD 4: fetches the current versions (or, per Document, the
// version `versions` names; missing or 0: the current one) into their
// local paths (replacing what is there, creating missing folders; a file
// whose folder would lie outside its working folder is not placed), sets
// each file's last-write time to the server stamp's instant and records
// the state of each file placed with the stamp of the version it got.
// kSessionUnexpected, after placing what it could, when a file could not
// be placed or the reply does not carry one file per Document; received
// files that were not placed are removed. `failure_text`, when given,
// receives why it failed in words for the user where the result says less
// (a reply that does not answer the request); empty otherwise.
SessionResult FetchDocuments(ClientSession* session, const std::vector<std::string>& document_ids,
                             const std::vector<LocalFile>& files,
                             const std::vector<int>& versions = {},
                             std::string* failure_text = nullptr);
// DOCUMENTCMD 4 for one Document (version 0 = current) into `path`; no
// state is recorded. `failure_text` as for FetchDocuments.
SessionResult FetchDocumentToFile(ClientSession* session, const std::string& document_id,
                                  int version, const std::string& path,
                                  std::string* failure_text = nullptr);
// PRODUCTIONCMD 25 for the host's files (sent whether logged on or not):
// one record per path, in order. kSessionUnexpected when the reply's lists
// are not one element per path.
SessionResult FetchDocumentInfo(ClientSession* session, const std::string& production_id,
                                const std::vector<std::string>& paths,
                                const std::string& local_project_path,
                                const std::string& project_root, std::vector<DocumentInfo>* out);

// FetchDocuments' handling of its reply (apart, for the fuzz target): moves
// the received files of `reply`'s file list, one per entry of `files`, to
// their local paths and gives each its server stamp's time. `document_ids`
// are the Documents asked for, one per entry of `files`. Only files in
// `received_files` (the reader's own, by identity) are ever moved. A reply
// that does not answer exactly what was asked places nothing (`*placed`
// empty): its identifiers must be the requested ones in the requested
// order, and every list it has beside them (files, stamps, versions,
// names, full paths, per-Document results, all of them 0) must hold one
// element per Document, as must its file count. True when every file was
// placed; `*placed` tells which were.
bool PlaceFetchedFiles(const CRLMSGmessage& reply, ReceivedFiles* received_files,
                       const std::vector<std::string>& document_ids,
                       const std::vector<LocalFile>& files, std::vector<bool>* placed);

// FetchDocumentInfo's name mapping: `path` relative to `root` (an exact
// prefix, letter case included, ended by "/"), or "" when it does not lie
// below it.
std::string RelativeName(const std::string& path, const std::string& root);

}  // namespace tw

#endif  // TW_SESSION_DOCUMENT_REQUESTS_H_
