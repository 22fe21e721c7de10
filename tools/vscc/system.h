// vscc's operating-system seam: loading the module, the scratch files that
// hold the dialog scripts and the record, the terminal, the environment and
// starting the diff program. system.cc is the POSIX form; win32/system.cc,
// the Windows form, replaces it in the Windows build. Everything else of
// vscc is shared by both.
//
// Threads: used by the main thread only.
#ifndef TW_TOOLS_VSCC_SYSTEM_H_
#define TW_TOOLS_VSCC_SYSTEM_H_

#include <memory>
#include <string>
#include <vector>

namespace vscc {

// The module's path when it lies beside the vscc executable.
std::string ModuleBesideExecutable();
// Loads the module at `path`; nullptr with `error` set when it cannot.
void* OpenModule(const std::string& path, std::string* error);
// The exported function `name` of a module OpenModule gave, or nullptr.
void* ModuleSymbol(void* module, const char* name);

// A file that holds a script or the record, private to this user and gone
// when the object is: POSIX, a memory file named by /proc/self/fd/N or a
// 0600 file in a private temporary folder; Windows, a new file in the
// user's temporary folder, removed when the object goes.
class ScratchFile {
 public:
  static std::unique_ptr<ScratchFile> Create(const char* name, std::string* error);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Replaces the whole contents with `text`.
  bool Write(const std::string& text);
  // What the file holds from `offset` on.
  std::string ReadFrom(size_t offset) const;
  // The name the module opens it by.
  const std::string& path() const { return path_; }

 private:
  ScratchFile() = default;
  struct Handle;
  std::unique_ptr<Handle> handle_;
  std::string path_;
  std::string folder_;
};

// Writes all of `text` to descriptor `fd` (1 or 2); false when the reader
// has gone. The text is narrow in the process's encoding: on Windows a
// console is given it as the ANSI code page says (not the console's own
// code page), anything else the bytes as they are.
bool WriteOutput(int fd, const std::string& text);

// Whether descriptor `fd` (0, 1 or 2) is a terminal, and its width.
bool IsTerminal(int fd);
int TerminalWidth(int fd);
// Whether colour sequences written to `fd` (1 or 2) show as colour: POSIX,
// whether it is a terminal; Windows, whether it is a console that takes
// them (its virtual-terminal processing, turned on here when it can be).
bool TerminalShowsColour(int fd);
// Whether this process has a terminal a person could answer on (POSIX: a
// controlling terminal; Windows: a console).
bool HaveTerminal();
// Asks for a secret on the terminal with echo off; false when there is no
// terminal or the input ended.
bool PromptSecret(const std::string& prompt, std::string* answer);

// The environment the module reads (it runs in this process).
void SetEnvironment(const char* name, const std::string& value);
void UnsetEnvironment(const char* name);

// A reader that goes away (vscc status | head) must not end vscc in the
// middle of an operation on the server.
void IgnoreBrokenPipe();

// Ctrl-C, a hang-up or a termination request ends vscc as it would, but
// first removes the scratch files the provider was receiving into in this
// process (platform/system_factory.h), so that an interrupted get leaves no
// partial file behind. Windows: nothing to remove, nothing changes.
void RemoveScratchFilesOnInterrupt();

// The editor a text is written in when neither $VISUAL nor $EDITOR names
// one: POSIX, vi; Windows, Notepad.
const char* DefaultEditor();

// Runs `argv` (argv[0] found on the PATH) with the caller's output and
// waits for it: its exit status, or -1 with `error` set when it could not
// be started.
int RunProgram(const std::vector<std::string>& argv, std::string* error);

}  // namespace vscc

#endif  // TW_TOOLS_VSCC_SYSTEM_H_
