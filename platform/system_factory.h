// CRLsystemFactory: the one process-wide object through which the system
// reaches the operating system outside the network: well-known folders,
// scratch file names, the user name, program launching, the update queue,
// the diagnostic output, and the creators of identifiers and file objects.
//
// Created on first use by GetSystemFactory() and never destroyed before the
// process ends. The operations keep no state of their own and may be called
// from any thread.
#ifndef TW_PLATFORM_SYSTEM_FACTORY_H_
#define TW_PLATFORM_SYSTEM_FACTORY_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/guid.h"

namespace tw {

class CRLsystemFactory {
 public:
  virtual ~CRLsystemFactory() = default;

  // A unique scratch file name "<tmp>/CRLxxxxxx". The placeholder file is
  // created with mkstemp and, unless `keep` is set, removed again at once:
  // whoever creates the file later opens it with O_CREAT | O_EXCL |
  // O_NOFOLLOW. Empty on failure.
  virtual std::string TempFileName(bool keep) = 0;

  // The module directory: $VELTRANE_MODULE_DIR, else the folder of the
  // loaded libTWSccApi.so, else the folder of the running program.
  virtual std::string ModuleDirectory() = 0;
  // The folder holding global.dat and update.ini: $VELTRANE_GLOBAL_DIR, else
  // the module directory.
  virtual std::string GlobalDirectory() = 0;
  // The per-user application data folder: $XDG_CONFIG_HOME (else
  // $HOME/.config) followed by "/Halvorn".
  virtual std::string AppDataDirectory() = 0;
  virtual std::string UserName() = 0;

  // Diagnostic output (one record; see debug_output.h).
  virtual void Log(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;

  // Program launching. Nothing goes through a shell: the parameter string is
  // split by the Windows command-line rules. Each returns true when the
  // program was started (and, with `wait`, has ended).
  virtual bool Open(const std::string& file, const std::string& directory) = 0;
  virtual bool Run(const std::string& file, const std::string& parameters, bool wait) = 0;
  virtual bool Edit(const std::string& file, const std::string& parameters, bool wait) = 0;
  virtual bool RunOnUserDesktop(const std::string& program, const std::string& arguments) = 0;

  // The update queue in update.ini of the global directory.
  virtual bool QueueFileUpdate(const std::string& name, const std::string& source) = 0;
  virtual bool QueueRun(const std::string& name) = 0;
  virtual bool UnqueueFileUpdate(const std::string& name) = 0;
  virtual bool StartUpdater() = 0;

  // Identifier creators.
  virtual Guid NewIdentifier() = 0;
  virtual bool IdentifierFromText(const std::string& text, Guid* out) = 0;

  // A new local file object, not yet open.
  virtual std::unique_ptr<CRLfile> NewFile() = 0;
};

// The process-wide factory, created on first call.
CRLsystemFactory& GetSystemFactory();

// Splits a parameter string into arguments by the Windows command-line
// rules: blanks separate, double quotes group, 2n backslashes before a quote
// give n backslashes and a quote that groups, 2n+1 give n and a literal
// quote; backslashes elsewhere are literal.
std::vector<std::string> SplitCommandLine(const std::string& parameters);

}  // namespace tw

#endif  // TW_PLATFORM_SYSTEM_FACTORY_H_
