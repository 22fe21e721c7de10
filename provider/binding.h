// Project binding: which Production a host's project is bound to, and the
// working folder recorded for it. The exports SccOpenProject,
// SccCloseProject and SccGetProjPath live in provider/binding.cc; these are
// the pieces the other exports and the tests of this folder use.
//
// Binding strings are in wire form: the project name is the "\"-joined path
// of Production identifiers from the root, the auxiliary project path the
// "\"-joined path of display names. Neither may hold ":".
//
// Threads: called on the host's thread that runs the export.
#ifndef TW_PROVIDER_BINDING_H_
#define TW_PROVIDER_BINDING_H_

#include <string>

namespace tw {

// The folder below `folder` (itself first) that holds "<base>.sln" as a
// file: `folder` itself, else its sub-folder named `base` when that holds
// it, else the first answer of the same search in each sub-folder, in the
// order the file system lists them. `depth` counts the levels gone down;
// a `limit` of 0 searches without limit. Symbolic links to folders are not
// followed, so a link cycle cannot keep the search going. "" when nothing
// is found or `base` is empty or holds a "/".
std::string FindSolutionFolder(const std::string& folder, const std::string& base, int depth,
                               int limit);

// The last component of a project name, once every "/" has been turned
// into "\" and trailing separators dropped: the bound Production's
// identifier.
std::string ProjectLeafName(const std::string& project_name);

// Records in user.dat, below "UserProperties"/"WorkingDirectories", that
// the Production `production_id` is worked on in `local_folder`. False when
// the write could not be sent.
bool RecordWorkingDirectory(const std::string& production_id, const std::string& local_folder);

}  // namespace tw

#endif  // TW_PROVIDER_BINDING_H_
