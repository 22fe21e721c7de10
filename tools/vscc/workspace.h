// The working folder of vscc: a local folder bound to a Production, marked
// by the file ".vscc" at its top, found from any folder below it the way a
// version-control client finds its own marker folder. The file keeps what
// the provider handed back at binding (the two binding strings and the local
// folder) and what the user told vscc to log on with (user, server, port);
// never a password.
//
// The file is text, one "key=value" per line, "#" starting a comment line:
//   project=<project name: Production identifiers joined with "\">
//   aux=<auxiliary project path: display names joined with "\">
//   local=<the local folder at binding>
//   user=, server=, port=   (optional)
// Unknown keys are kept out of the way (ignored), so that a later vscc may
// add some.
//
// Also here: the walk that turns folder arguments into files and the paths
// shown to the user. Pure file-system helpers; no state; thread-safe.
#ifndef TW_TOOLS_VSCC_WORKSPACE_H_
#define TW_TOOLS_VSCC_WORKSPACE_H_

#include <functional>
#include <string>
#include <vector>

namespace vscc {

constexpr char kWorkspaceFile[] = ".vscc";
// The ignore file of a working folder (see ignore.h), beside its binding
// file.
constexpr char kIgnoreFile[] = ".vsccignore";

// Whether a file named `name` is vscc's binding file or one left by a
// write of it (".vscc", ".vscc.*"): never a Document's.
bool IsBindingFileName(const std::string& name);

struct Workspace {
  std::string root;  // the folder that holds .vscc (absolute, no trailing "/")
  std::string project_name;
  std::string aux_path;
  std::string local_path;  // as recorded at binding
  std::string user;
  std::string server;
  std::string port;
};

// The text of a .vscc file, and back. ParseWorkspace fails (with `error`)
// when the project name or the auxiliary path is missing or a line is not
// "key=value".
std::string FormatWorkspace(const Workspace& workspace);
bool ParseWorkspace(const std::string& text, Workspace* workspace, std::string* error);

// Looks for .vscc in `start` and its parents. True with `workspace` filled
// (root set to the folder found); false with `error` empty when there is
// none, or set when one was found but cannot be read.
bool FindWorkspace(const std::string& start, Workspace* workspace, std::string* error);

// Writes `workspace` to <root>/.vscc (a new file replaces an old one
// atomically). False with `error` set on failure.
bool SaveWorkspace(const Workspace& workspace, std::string* error);

// `path` made absolute against `base` and normalised lexically ("." and
// ".." elements resolved, no trailing "/"); symbolic links are not followed.
std::string AbsoluteFrom(const std::string& base, const std::string& path);

// True when `path` is `folder` or lies below it (both absolute, normalised).
bool IsInside(const std::string& path, const std::string& folder);

// `path` relative to `base` when it lies below it ("." for base itself),
// else `path` unchanged.
std::string RelativeTo(const std::string& path, const std::string& base);

// The regular files below `folder`, recursively, sorted: symbolic links are
// not followed, the .vscc file (and a ".vscc.*" left by a write) is left out, as are the provider's
// temporary files ("*.[Tip]", "*.[Local]") and every folder that holds a .vscc of its own (another
// working folder).
// `skip`, when given, is asked about every file and folder (its absolute
// path, and whether it is a folder); what it skips is left out, a folder
// with all it holds.
std::vector<std::string> FilesBelow(
    const std::string& folder,
    const std::function<bool(const std::string& path, bool folder)>& skip = nullptr);

// Whether the provider's temporary copies are named so.
bool IsProviderTemporary(const std::string& name);

}  // namespace vscc

#endif  // TW_TOOLS_VSCC_WORKSPACE_H_
