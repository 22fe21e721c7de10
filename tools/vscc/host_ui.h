// How vscc answers the provider's dialogs and message boxes.
//
// The provider asks through its user-interface seam, whose form is chosen
// by $VELTRANE_UI, read at each question. vscc writes a script for the
// seam's scripted form and points $VELTRANE_UI at it before each export:
//
//   - the user's own script first, when --ui script:FILE names one;
//   - then the answers vscc gives one call in order (the overwrite question
//     of each unedited out-of-date file of a get);
//   - then one "any" line per answer the flags give (the logon from
//     --user/--server/--port and the password, the overwrite question from
//     --yes/--no, the lock question from --defer/--no-defer, the options
//     dialogs from --shared/--no-get/--keep/--wip, the bind and add dialogs
//     from the command's arguments), each taken once by the question it
//     answers, whenever that comes;
//   - then "otherwise tty" when a person is at the terminal (--ui tty, or
//     standard input is a terminal and nothing else was chosen), "otherwise
//     gui" for --ui gui, else "otherwise none": a question nobody answered
//     is then cancelled at once (a message box takes its default button),
//     never waited for. Without a person, the yes/no questions whose default
//     would do something (connect to an existing Production, queue for a
//     lock) are answered No unless a flag says Yes.
//
// The scripts and the record live in scratch files (system.h): on POSIX
// memory files (memfd, named by /proc/self/fd/N), so that no password
// reaches the disk, else files in a private temporary folder; on Windows
// files in the user's temporary folder. All are removed at the end.
// After each export vscc reads what the record ($VELTRANE_UI_RECORD, which
// vscc points at its own file and copies to the user's) says was shown:
// message boxes nobody saw are printed, and a dialog that nobody answered
// is named with the flag that would have answered it.
//
// Threads: used by the main thread only.
#ifndef TW_TOOLS_VSCC_HOST_UI_H_
#define TW_TOOLS_VSCC_HOST_UI_H_

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/vscc/console.h"
#include "tools/vscc/system.h"

namespace vscc {

// Template and control ids of the provider's dialogs that vscc answers.
enum : int {
  kLogonDialog = 101,
  kLogonServer = 1000,
  kLogonUser = 1001,
  kLogonPassword = 1002,
  kLogonPort = 1003,
  kAddDialog = 103,
  kAddName = 1005,
  kAddTree = 1004,
  kBindDialog = 109,
  kBindFolder = 1020,
  kBindTree = 1022,
  kOverwriteDialog = 110,
  kOverwriteText = 1025,
  kYes = 1000,
  kYesToAll = 1001,
  kNoToAll = 1003,
  kHistoryDialog = 114,
  kPropertiesDialog = 115,
  kCheckoutOptionsDialog = 116,
  kReplaceWithCurrent = 1033,
  kDoNotSynchronize = 1034,
  kExclusive = 1035,
  kShared = 1036,
  kCheckinOptionsDialog = 119,
  kRetainLock = 1037,
  kWorkInProgress = 1038,
  kEnvironmentDialog = 120,
};

// Message box titles the provider uses.
constexpr char kProductTitle[] = "Veltrane";
constexpr char kProductionExistsTitle[] = "Production Exists";
constexpr char kLockConflictTitle[] = "Could not acquire lock.";
constexpr char kDeferredAlreadyTitle[] = "Deferred lock already acquired.";
constexpr char kClientNotFoundTitle[] = "Veltrane client not found";
constexpr char kNoDiffProgramTitle[] = "Diff Program Not Found";

// One line of the record: what a dialog or box showed and how it ended.
struct UiEvent {
  std::string kind;  // "dialog", "msgbox" or "status"
  int id = 0;
  std::string title;
  std::map<int, std::string> texts;
  std::map<int, bool> enabled;
  std::string answer;  // a dialog's button id, a box's answer name
  bool unexpected = false;

  std::string Text(int control) const;
};

// Parses one record line; false when it is not a record object.
bool ParseUiEvent(const std::string& line, UiEvent* event);

// `value` as one word of the script language (always quoted).
std::string ScriptWord(const std::string& value);

// A tree view's value for a Production path the user typed: "Games/Level 1",
// "/Games/Level 1" or "Games\Level 1" -> "/\Games\Level 1"; "" or "/" -> "/".
std::string TreePath(const std::string& path);

class HostUi {
 public:
  HostUi();
  ~HostUi();
  HostUi(const HostUi&) = delete;
  HostUi& operator=(const HostUi&) = delete;

  // Chooses who answers what the flags do not: `ui` is --ui ("" when not
  // given). Sets $VELTRANE_UI_RECORD to vscc's record. False with `error`
  // set for a bad --ui or a script that cannot be read.
  bool Setup(const std::string& ui, std::string* error);

  // Whether a person answers the questions flags do not (a terminal or the
  // windowed form), and whether that person is at this terminal.
  bool person() const { return person_; }
  bool terminal() const { return terminal_; }

  // The logon answer. Empty values leave the dialog's own (the stored user,
  // server and port, and the stored password).
  void SetLogon(const std::string& user, const std::string& server, const std::string& port);
  void SetPassword(const std::string& password) {
    password_ = password;
    have_password_ = true;
  }
  bool have_password() const { return have_password_; }
  // Whether the script answers the logon (else the person does).
  bool AnswersLogon() const;
  // The user name the logon will use, when vscc knows it.
  const std::string& user() const { return user_; }
  const std::string& server() const { return server_; }
  const std::string& port() const { return port_; }

  // Adds an answer: a dialog line "dialog ID BUTTON id=value ..." or a
  // message box line "msgbox "TITLE" ANSWER", without "any".
  void Answer(const std::string& line);
  // An answer for the next call only, in order: the questions of that call
  // take these lines first, one each, before any answer of Answer.
  void AnswerNextCall(const std::string& line);
  // A yes/no question: `yes` says what the flags answered (1 yes, 0 no,
  // -1 none). Without a flag and without a person it is answered No, and
  // reported with `hint` (the flag that says Yes).
  void AnswerQuestion(const std::string& title, int yes, const std::string& hint);

  // Writes the script and points $VELTRANE_UI at it. False with `error`.
  bool Activate(std::string* error);

  // The record lines written since the last call, parsed; each line is also
  // appended to the user's own $VELTRANE_UI_RECORD when one was set.
  std::vector<UiEvent> TakeEvents();
  // Prints what the events tell a person who did not see them.
  void Report(const std::vector<UiEvent>& events, Console* console) const;
  // Whether a person answered any of `events`: a dialog or box shown on the
  // terminal or in a window because the script did not answer it.
  bool PersonAnswered(const std::vector<UiEvent>& events) const;
  // Whether the provider told of a refused logon ("Invalid Logon"), or of a
  // server that took no connection ("Unable to connect to server").
  static bool LogonRefused(const std::vector<UiEvent>& events);
  static bool ConnectFailed(const std::vector<UiEvent>& events);
  // The value of the logon dialog's `control` (kLogonUser, kLogonServer,
  // kLogonPort): the one vscc gives, else the stored one the dialog showed
  // in `events`; empty when neither tells.
  std::string LogonValue(const std::vector<UiEvent>& events, int control) const;
  // A dialog of `id` that nobody answered or a person cancelled.
  static bool Cancelled(const std::vector<UiEvent>& events, int id);

 private:
  std::string ScriptText() const;
  bool PersonAnswered(const UiEvent& event) const;

  std::string fallback_ = "none";  // "none", "tty" or "gui"
  std::string user_script_;        // the text of --ui script:FILE
  std::string user_script_name_;
  bool person_ = false;
  bool terminal_ = false;
  std::string user_, server_, port_, password_;
  bool have_password_ = false;
  std::vector<std::string> lines_;
  std::vector<std::string> next_call_lines_;  // written by the next Activate only
  // Overwrite questions of the last activated call that vscc answered for
  // the user in order: Report does not repeat them.
  size_t answered_in_order_ = 0;
  std::map<std::string, std::string> defaulted_;  // question title -> hint
  std::set<std::string> answered_titles_;         // boxes the script answers
  std::set<int> answered_dialogs_;                // dialogs it answers, beside the logon
  std::string user_record_;                       // the user's $VELTRANE_UI_RECORD
  bool user_record_failed_ = false;               // a write to it failed, and was told
  std::unique_ptr<ScratchFile> record_;
  // Every script of this run: each stays open, so that no later script can
  // get an earlier one's name, which the seam would take for the same script.
  std::vector<std::unique_ptr<ScratchFile>> scripts_;
  size_t record_offset_ = 0;
};

}  // namespace vscc

#endif  // TW_TOOLS_VSCC_HOST_UI_H_
