// CRLsystemFactory: the one process-wide object through which the system
// reaches the operating system outside the network: well-known folders,
// scratch file names, the user name, program launching, the update queue,
// the diagnostic output, and the creators of identifiers and file objects.
//
// Created on first use by GetSystemFactory() (thread-safe) and never
// destroyed before the process ends. The operations keep no state of their
// own and may be called from any thread; the update-queue operations are
// serialised by one process-wide lock around update.ini.
//
// The factory is the seam between the system and the operating system for
// files, mailslots and program launching: everything above the platform
// makes its file objects and mailslots through it and starts programs
// through it. Tests install a factory of their own (usually a
// SystemFactoryWrapper that overrides a few creators) to inject faults:
// a file that fails on its third read, a disk that fills, a mailslot that
// drops a message.
#ifndef TW_PLATFORM_SYSTEM_FACTORY_H_
#define TW_PLATFORM_SYSTEM_FACTORY_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/guid.h"
#include "platform/mailslot.h"

namespace tw {

class CRLsystemFactory {
 public:
  virtual ~CRLsystemFactory() = default;

  // A unique scratch file name "<tmp>/CRL<ns>-<pid>-<start>-xxxxxx": the
  // name carries its owner, this process (its pid namespace, id and start
  // time), so that a later run can remove what a process that is gone left
  // behind (RemoveAbandonedTempFiles). With `keep` the file is created
  // (owner-only, by mkstemp) and kept. Without it nothing is created: the
  // name is a fresh random one that nothing in the folder bears now, known
  // to this process alone until whoever creates the file later opens it
  // with O_CREAT | O_EXCL | O_NOFOLLOW - never a name made and freed again,
  // which another user sharing the folder could see come free and take
  // first. Empty on failure. (Windows: "<temp>\CRLxxxx.tmp", no owner.)
  virtual std::string TempFileName(bool keep) = 0;

  // The module directory: $VELTRANE_MODULE_DIR, else the folder of the
  // shared object this code is linked into (libTWSccApi.so), else, when it
  // is linked into a program, the folder of the program's executable.
  // Without a trailing "/"; empty when none can be found.
  virtual std::string ModuleDirectory() = 0;
  // The folder holding global.dat and update.ini: $VELTRANE_GLOBAL_DIR, else
  // the module directory.
  virtual std::string GlobalDirectory() = 0;
  // The per-user application data folder: $XDG_CONFIG_HOME (else
  // $HOME/.config) followed by "/Halvorn".
  virtual std::string AppDataDirectory() = 0;
  // The name of the effective user; $USER when the user database has none.
  virtual std::string UserName() = 0;

  // Diagnostic output: formats with the printf rules into 4096 bytes (longer
  // texts are cut) and writes one record (see debug_output.h).
  virtual void Log(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;

  // Program launching. Nothing goes through a shell: a parameter string is
  // split by SplitCommandLine. A file name without "/" is taken from the
  // current directory when it exists there, else looked up on $PATH. An
  // executable file is started itself; any other existing file or folder is
  // handed to `xdg-open` (the parameters are then dropped, as a document
  // takes none). A program not waited for is started detached (own session,
  // no zombie left behind). Each returns true when the program was started
  // (and, with `wait`, has ended, whatever its exit status); false for an
  // empty or unknown file name or a failed start.

  // Opens `file` (no parameters) with `directory` as the working directory
  // (empty: the caller's; a relative file name is taken from it), not
  // waiting.
  virtual bool Open(const std::string& file, const std::string& directory) = 0;
  virtual bool Run(const std::string& file, const std::string& parameters, bool wait) = 0;
  // Starts the user's editor (UserEditorCommand: $VISUAL or else $EDITOR,
  // which may carry options) with `file` and then the parameters as
  // arguments. False when neither names one.
  virtual bool Edit(const std::string& file, const std::string& parameters, bool wait) = 0;
  // Starts `program` with `arguments` detached in "/" for the user's desktop
  // session. Returns true whether or not the program started.
  virtual bool RunOnUserDesktop(const std::string& program, const std::string& arguments) = 0;

  // The update queue in update.ini of the global directory, written through
  // wxFileConfig. A name is stored as the key UpdateKeyFromName(name). Each
  // returns false when the file cannot be read or written (or the name is
  // empty, or the source not UTF-8), never throws.
  // [UpdateFiles] name=source.
  virtual bool QueueFileUpdate(const std::string& name, const std::string& source) = 0;
  // [Run] name=1.
  virtual bool QueueRun(const std::string& name) = 0;
  // [UpdateFiles] name=NULL: the entry stays, withdrawn.
  virtual bool UnqueueFileUpdate(const std::string& name) = 0;
  // Runs TWUpdate of the module directory with the path of update.ini as its
  // one argument, not waiting.
  virtual bool StartUpdater() = 0;
  // The path of update.ini; empty when there is no global directory.
  virtual std::string UpdateFilePath() = 0;

  // Identifier creators. IdentifierFromText returns false and leaves *out
  // untouched when the text is not an identifier.
  virtual Guid NewIdentifier() = 0;
  virtual bool IdentifierFromText(const std::string& text, Guid* out) = 0;

  // A new local file object, not yet open.
  virtual std::unique_ptr<FileObject> NewFile() = 0;
  // New mailslot objects, not yet open (platform/mailslot.h).
  virtual std::unique_ptr<MailslotReader> NewMailslotReader() = 0;
  virtual std::unique_ptr<MailslotWriter> NewMailslotWriter() = 0;
};

// Forwards every operation to another factory; a factory that changes a few
// operations derives from it and overrides only those.
class SystemFactoryWrapper : public CRLsystemFactory {
 public:
  // `target` must outlive the wrapper.
  explicit SystemFactoryWrapper(CRLsystemFactory* target) : target_(target) {}
  CRLsystemFactory* target() const { return target_; }

  std::string TempFileName(bool keep) override { return target_->TempFileName(keep); }
  std::string ModuleDirectory() override { return target_->ModuleDirectory(); }
  std::string GlobalDirectory() override { return target_->GlobalDirectory(); }
  std::string AppDataDirectory() override { return target_->AppDataDirectory(); }
  std::string UserName() override { return target_->UserName(); }
  __attribute__((format(printf, 2, 3))) void Log(const char* format, ...) override;
  bool Open(const std::string& file, const std::string& directory) override {
    return target_->Open(file, directory);
  }
  bool Run(const std::string& file, const std::string& parameters, bool wait) override {
    return target_->Run(file, parameters, wait);
  }
  bool Edit(const std::string& file, const std::string& parameters, bool wait) override {
    return target_->Edit(file, parameters, wait);
  }
  bool RunOnUserDesktop(const std::string& program, const std::string& arguments) override {
    return target_->RunOnUserDesktop(program, arguments);
  }
  bool QueueFileUpdate(const std::string& name, const std::string& source) override {
    return target_->QueueFileUpdate(name, source);
  }
  bool QueueRun(const std::string& name) override { return target_->QueueRun(name); }
  bool UnqueueFileUpdate(const std::string& name) override {
    return target_->UnqueueFileUpdate(name);
  }
  bool StartUpdater() override { return target_->StartUpdater(); }
  std::string UpdateFilePath() override { return target_->UpdateFilePath(); }
  Guid NewIdentifier() override { return target_->NewIdentifier(); }
  bool IdentifierFromText(const std::string& text, Guid* out) override {
    return target_->IdentifierFromText(text, out);
  }
  std::unique_ptr<FileObject> NewFile() override { return target_->NewFile(); }
  std::unique_ptr<MailslotReader> NewMailslotReader() override {
    return target_->NewMailslotReader();
  }
  std::unique_ptr<MailslotWriter> NewMailslotWriter() override {
    return target_->NewMailslotWriter();
  }

 private:
  CRLsystemFactory* const target_;
};

// The process-wide factory: the installed one, else the system's own
// (created on first call).
CRLsystemFactory& GetSystemFactory();
// The system's own factory, whatever is installed.
CRLsystemFactory& GetDefaultSystemFactory();
// Makes `factory` the process-wide factory (null: the system's own again)
// and returns the one installed before (null when it was the system's own).
// The caller keeps `factory` alive until it is replaced, and installs and
// removes it while no other thread of the system runs (a test's set-up and
// tear-down).
CRLsystemFactory* InstallSystemFactory(CRLsystemFactory* factory);

#ifndef _WIN32
// The folder of the file this code was loaded from: the shared object that
// holds it, else the program. Unlike ModuleDirectory it ignores
// $VELTRANE_MODULE_DIR, which names where the module's companions are, not
// where its own code lies.
std::string CodeDirectory();
#endif

// The user's home folder: $HOME, else the one the user database gives (on
// Windows: %USERPROFILE%); without a trailing separator, "" when none is
// known.
std::string UserHomeDirectory();

// Whether `path` is a name TempFileName gives (in the scratch folder, with
// an owner and six characters) of a regular file of this user that exists.
// A received file is taken or removed only when it passes: a peer that
// names any other path in a file field never gets it moved or deleted.
bool IsTempFileName(const std::string& path);

// Removes the scratch files of this user whose owner (the process their
// name carries, in this pid namespace) is gone: what an interrupted receive
// left behind. A file another live process owns is never touched, nor one
// of another pid namespace, a link, another user's file or any other name.
// Returns how many were removed. (Windows: the names carry no owner;
// nothing is removed.)
size_t RemoveAbandonedTempFiles();

// For a program about to end on a signal: RemoveOwnTempFiles removes every
// scratch file this process owns, whatever state it is in. It only makes
// async-signal-safe calls, on what PrepareOwnTempFileRemoval (called once
// before, outside the handler) set aside; unprepared, it does nothing.
// (Windows: nothing to do.)
void PrepareOwnTempFileRemoval();
void RemoveOwnTempFiles();

// Splits a parameter string into arguments by the Windows command-line
// rules: blanks separate, double quotes group, 2n backslashes before a quote
// give n backslashes and a quote that groups, 2n+1 give n and a literal
// quote; backslashes elsewhere are literal. Inside quotes a doubled quote
// gives one literal quote. Blanks are spaces and tabs; a pair of quotes with
// nothing between gives an empty argument.
std::vector<std::string> SplitCommandLine(const std::string& parameters);

// The editor the user chose: $VISUAL, else $EDITOR, split by
// SplitCommandLine into the program and its options. A variable that is
// unset or blank is passed over; empty when neither names an editor.
std::vector<std::string> UserEditorCommand();

// One argument written so that SplitCommandLine gives it back unchanged.
std::string QuoteCommandLineArgument(const std::string& argument);

// The key under which update.ini stores a file name. wxFileConfig reads
// "/" in a key as a group separator, so "/" is written as "%2F"; "%" as
// "%25", control characters, a leading "!" (reserved by wxFileConfig) and,
// in a name that is not valid UTF-8, every byte above 0x7F are written as
// "%XX" too. Every other character stays as it is (wxFileConfig adds its
// own backslash quoting for blanks and the like, which it removes again on
// reading). A name without those characters is stored as given.
std::string UpdateKeyFromName(const std::string& name);
// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or
// values past Unicode).
bool IsValidUtf8(const std::string& text);
// The reader's side: the file name a key stands for ("%XX" decoded; a "%"
// not followed by two hex digits stays as it is).
std::string UpdateNameFromKey(const std::string& key);

}  // namespace tw

#endif  // TW_PLATFORM_SYSTEM_FACTORY_H_
