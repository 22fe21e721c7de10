// What the exports share: the guard that turns any exception into the
// non-specific error, the session guard that holds the shared slot for an
// export's whole span, the text-out notices, the host's strings, buffers
// and file lists, and the probe comment of the development environment.
//
// Threads: everything here runs on the host's thread that calls the export.
// ExportSession holds the slot's (recursive, per-process) mutex while it
// lives.
#ifndef TW_PROVIDER_EXPORT_SUPPORT_H_
#define TW_PROVIDER_EXPORT_SUPPORT_H_

#include <cstddef>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "messaging/request_sender.h"
#include "platform/debug_output.h"
#include "provider/context.h"
#include "provider/msscci.h"

namespace tw {

class ClientSession;
struct DocumentInfo;

// Runs an export body; an exception of any kind becomes -15 and a line of
// diagnostic output, so that nothing reaches the host. A body that failed
// after one of its requests found the connection down, lost or cut off
// returns the connection failure instead, whatever its own code, so that
// the host can tell a dead server from a refusal.
template <typename Body>
SCCRTN Guarded(const char* name, Body body) {
  const bool outer_failure = TakeConnectionFailure();
  SCCRTN result = SCC_E_NONSPECIFICERROR;
  try {
    result = body();
  } catch (const std::exception& e) {
    DebugLog("%s - %s", name, e.what());
  } catch (...) {
    DebugLog("%s - Unexpected exception", name);
  }
  const bool failed = TakeConnectionFailure();
  if (outer_failure || failed) NoteConnectionFailure();
  return failed && result < 0 ? SCC_E_CONNECTIONFAILURE : result;
}

// Holds the shared slot for a server-using export from after its logon to
// its end: locks the slot, marks it busy, copies the context's project name
// into the session and hands the session out. When the slot cannot be
// locked, or holds no session (another context ended it meanwhile), the
// guard is false and failure() is the code the export returns for that.
// An export nested in another's callback shares the session and gives the
// outer one its project back when it ends.
class ExportSession {
 public:
  // While it lives, the session's transfers tell their progress through the
  // context's text-out callback as status notices (type 4).
  explicit ExportSession(ProviderContext* context, SCCRTN failure = SCC_E_NONSPECIFICERROR);
  // Gives the session back the notice sink and, when nested, the project
  // it had before.
  ~ExportSession();
  ExportSession(const ExportSession&) = delete;
  ExportSession& operator=(const ExportSession&) = delete;

  explicit operator bool() const { return session_ != nullptr; }
  SCCRTN failure() const { return failure_; }
  ClientSession* get() const { return session_; }
  ClientSession* operator->() const { return session_; }

 private:
  SlotLock lock_;
  SharedSessionSlot* const slot_;
  ClientSession* session_ = nullptr;  // owned by the slot's record
  const SCCRTN failure_;
  bool nested_ = false;
  std::string outer_project_;  // the project of the export below, when nested
  std::function<void(const std::string&)> previous_notices_;
};

// The text-out routine: "Veltrane: " and the message to the context's
// callback with message type 0; dropped when the host gave no callback.
void TextOut(const ProviderContext& context, const std::string& message);
// The same as a warning (message type SCC_MSG_WARNING): something the user
// asked for was left out.
void WarningOut(const ProviderContext& context, const std::string& message);
// The same through a callback the context does not hold yet.
void TextOutTo(LPTEXTOUTPROC callback, const std::string& message);
// `format` with its one "%s" replaced by `argument`.
std::string FormatText(const char* format, const std::string& argument);
// `text` in single quotes, as the notices name files.
std::string Quoted(const std::string& text);
// The elements joined with "\n" (the lists of the notices), each shown on
// its one line (control characters in it as ^X, see TerminalSafeName).
std::string JoinLines(const std::vector<std::string>& lines);

// A host string; null reads as empty.
inline std::string HostString(LPCSTR text) {
  return text != nullptr ? text : "";
}
// A host string from a buffer of `capacity` bytes, read no further than it.
std::string HostBuffer(LPCSTR buffer, size_t capacity);
// Copies `text` and its terminating zero into the host's buffer of
// `capacity` bytes. A text that does not fit is not cut (a cut binding
// string would name another Production): the buffer gets the empty string
// and the result is false. A null buffer takes nothing and gives true.
bool CopyToHost(LPSTR buffer, const std::string& text, size_t capacity);

// The logged-on user name into the host's user buffer: at most
// SCC_USER_LEN characters and the terminating zero.
void CopyUserName(LPSTR buffer, const std::string& user);

// The host's file list. False for a negative count, a missing array with a
// positive count, or a missing or empty name in it.
bool ReadFileList(LONG count, const LPCSTR* names, std::vector<std::string>* files);

// The host's files that can travel to the server and the positions they
// had in the host's list. A name holding "?" (which separates the elements
// of the request lists) or "," (which separates those of the replies) could
// not travel without shifting every file after it, and one holding "\\"
// where that is no folder separator of the local system would reach the
// server as another path (the wire separates folders with it); such a file
// is refused alone, with a notice through the text-out routine, and the
// others go on.
struct SendableFiles {
  std::vector<std::string> files;
  std::vector<size_t> positions;  // per element of `files`: its index in the host's list
  size_t refused = 0;

  // What the call gives the host: the code of the sendable files' work
  // when that failed, else the invalid-path code when a file was refused.
  SCCRTN Result(SCCRTN result) const {
    return refused > 0 && result == SCC_OK ? SCC_E_INVALIDFILEPATH : result;
  }
};
SendableFiles SelectSendableFiles(const ProviderContext& context,
                                  const std::vector<std::string>& files);

// The working folder a file of the host's list belongs to: the project
// root when the file lies below it, else the local project path (the
// folders its name on the server is taken from). Received files are placed
// only inside it.
std::string WorkingFolderOf(const ProviderContext& context, const std::string& path);

// For the exports that write the host's files: leaves out each file whose
// folder lies below its working folder by name but leads out of it through
// a symbolic link, with a notice through the text-out routine, and counts
// it as refused. Nothing on the way is created or changed.
void KeepFilesInside(const ProviderContext& context, SendableFiles* sendable);

// The MSSCCI code of a session result (session/client_session.h): the one
// place where the session layer's codes become the host's. Success is
// SCC_OK; every failure is a negative code, never an informational one
// that a host would take for success:
//   not logged on, no reply, the server saying the session is not logged
//       on                                        -29 SCC_E_CONNECTIONFAILURE
//   a lock refused: declined, queued (deferred), or queued already
//                                                 -12 SCC_E_FILEISCHECKEDOUT
//   release or check-in refused: no lock held     -4  SCC_E_NOTCHECKEDOUT
//   a local file missing                          -28 SCC_E_FILENOTEXIST
//   a Production not created                      -3  SCC_E_COULDNOTCREATEPROJECT
//   a Production path not found                   -2  SCC_E_UNKNOWNPROJECT
//   an invalid Production path                    -23 SCC_E_PROJSYNTAXERR
//   not permitted for this user                   -26 SCC_E_NOTAUTHORIZED
//   a file's content did not arrive whole         -8  SCC_E_ACCESSFAILURE
//   a Document name exists already                -10 SCC_E_FILEALREADYEXISTS
//   a Document name the server does not take      -24 SCC_E_INVALIDFILEPATH
//   anything else                                 -15 SCC_E_NONSPECIFICERROR
SCCRTN MsscciResult(int session_result);

// Leaves out every file but one of those that name one Document (names on
// the server do not differ in letter case: "Hero.txt" and "hero.txt" are
// one Document there): the one whose name is the server's own, letter case
// included, else the first. A file whose folder holds another spelling of
// its name stands for the Document only under the server's own spelling,
// named in the list or not, so that one Document never reaches two local
// files. A left-out file's record loses its Document identifier, so that
// it takes part in nothing; a notice names it. `records` holds one record
// per element of `files`, from FetchDocumentInfo.
void OneFilePerDocument(const ProviderContext& context, ClientSession* session,
                        const std::vector<std::string>& files, std::vector<DocumentInfo>* records);

// Whether `comment` is the text the development environment gives the
// probe files it creates to find out what a provider can do (compared
// without regard to letter case); those files are never sent to the server.
bool IsProbeComment(LPCSTR comment);

// The buffer sizes of the host's binding strings.
constexpr size_t kHostUserCapacity = SCC_USER_LEN + 1;
constexpr size_t kHostProjectCapacity = SCC_PRJPATH_LEN + 1;
constexpr size_t kHostLocalPathCapacity = 260;  // the host's local path buffer (MAX_PATH)

}  // namespace tw

#endif  // TW_PROVIDER_EXPORT_SUPPORT_H_
