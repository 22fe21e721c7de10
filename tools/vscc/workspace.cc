#include "tools/vscc/workspace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "platform/file_replace.h"
#include "platform/native_text.h"
#include "platform/small_file.h"

namespace vscc {

namespace fs = std::filesystem;

namespace {

// A .vscc larger than this is not one of ours.
constexpr std::uintmax_t kMaxWorkspaceFileBytes = 64 * 1024;

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string FormatWorkspace(const Workspace& w) {
  std::string text = "# vscc working folder: the Production this folder is bound to\n";
  text += "project=" + w.project_name + "\n";
  text += "aux=" + w.aux_path + "\n";
  text += "local=" + w.local_path + "\n";
  if (!w.user.empty()) text += "user=" + w.user + "\n";
  if (!w.server.empty()) text += "server=" + w.server + "\n";
  if (!w.port.empty()) text += "port=" + w.port + "\n";
  return text;
}

bool ParseWorkspace(const std::string& text, Workspace* w, std::string* error) {
  Workspace parsed;
  bool have_project = false, have_aux = false;
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      *error = "line " + std::to_string(number) + " is not key=value";
      return false;
    }
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "project") {
      parsed.project_name = value;
      have_project = true;
    } else if (key == "aux") {
      parsed.aux_path = value;
      have_aux = true;
    } else if (key == "local") {
      parsed.local_path = value;
    } else if (key == "user") {
      parsed.user = value;
    } else if (key == "server") {
      parsed.server = value;
    } else if (key == "port") {
      parsed.port = value;
    }
  }
  if (!have_project || parsed.project_name.empty() || !have_aux || parsed.aux_path.empty()) {
    *error = "it names no project or no auxiliary path";
    return false;
  }
  parsed.root = w->root;
  *w = parsed;
  return true;
}

bool FindWorkspace(const std::string& start, Workspace* w, std::string* error) {
  error->clear();
  fs::path folder = tw::FsPath(start).lexically_normal();
  while (true) {
    const fs::path candidate = folder / kWorkspaceFile;
    std::error_code ec;
    const fs::file_status st = fs::status(candidate, ec);
    if (fs::exists(st)) {
      if (!fs::is_regular_file(st)) {
        *error = tw::FsText(candidate) + " is not a vscc working-folder file";
        return false;
      }
      std::string text, why;
      if (!tw::ReadSmallFile(tw::FsText(candidate), kMaxWorkspaceFileBytes, &text, &why)) {
        *error = "cannot read " + tw::FsText(candidate) + ": " + why;
        return false;
      }
      w->root = tw::FsText(folder);
      if (!ParseWorkspace(text, w, &why)) {
        *error = tw::FsText(candidate) + ": " + why;
        return false;
      }
      return true;
    }
    if (!folder.has_relative_path()) return false;  // the root of the file system
    folder = folder.parent_path();
  }
}

bool SaveWorkspace(const Workspace& w, std::string* error) {
  for (const std::string* value :
       {&w.project_name, &w.aux_path, &w.local_path, &w.user, &w.server, &w.port}) {
    if (value->find_first_of("\r\n") != std::string::npos) {
      *error = "a binding value holds a line break: '" + *value + "'";
      return false;
    }
  }
  const std::string path = w.root + "/" + kWorkspaceFile;
  // Replaced whole through a new file beside it: whatever lies under a
  // temporary name (a leftover, or a link to some other file) is never
  // written through, and an existing binding is overwritten in one step.
  return tw::ReplaceFileWhole(path, FormatWorkspace(w), -1, error) == 0;
}

bool IsBindingFileName(const std::string& name) {
  // The binding file and what a write of it leaves (".vscc.tw-..."); a
  // user's own ".vsccrc" or ".vscc-notes" is a file like any other.
  return name == kWorkspaceFile || name.rfind(std::string(kWorkspaceFile) + ".", 0) == 0;
}

std::string AbsoluteFrom(const std::string& base, const std::string& path) {
  fs::path p = tw::FsPath(path);
  if (p.is_relative()) p = tw::FsPath(base) / p;
  p = p.lexically_normal();
  // "a/b/" -> "a/b"; a root ("/", "C:\\") keeps its separator.
  if (p.has_relative_path() && !p.has_filename()) p = p.parent_path();
  return tw::FsText(p);
}

namespace {

// '/' everywhere, and the system's own separator ('\\' on Windows).
bool IsSeparator(char c) {
  return c == '/' || c == fs::path::preferred_separator;
}

}  // namespace

bool IsInside(const std::string& path, const std::string& folder) {
  // A root ("/", "C:\\") ends in its separator; any other folder does not.
  if (!folder.empty() && IsSeparator(folder.back())) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0;
  }
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          IsSeparator(path[folder.size()]));
}

std::string RelativeTo(const std::string& path, const std::string& base) {
  if (path == base) return ".";
  if (!IsInside(path, base)) return path;
  return path.substr(!base.empty() && IsSeparator(base.back()) ? base.size() : base.size() + 1);
}

bool IsProviderTemporary(const std::string& name) {
  return EndsWith(name, ".[Tip]") || EndsWith(name, ".[Local]");
}

std::vector<std::string> FilesBelow(
    const std::string& folder,
    const std::function<bool(const std::string& path, bool folder)>& skip) {
  std::vector<std::string> files;
  std::error_code ec;
  fs::recursive_directory_iterator it(tw::FsPath(folder),
                                      fs::directory_options::skip_permission_denied, ec);
  for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    const std::string name = tw::FsText(entry.path().filename());
    std::error_code kind_error;
    if (entry.is_symlink(kind_error)) continue;
    if (entry.is_directory(kind_error)) {
      if (fs::exists(entry.path() / kWorkspaceFile, kind_error) ||
          (skip && skip(tw::FsText(entry.path().lexically_normal()), true))) {
        it.disable_recursion_pending();
      }
      continue;
    }
    if (!entry.is_regular_file(kind_error)) continue;
    if (IsBindingFileName(name) || IsProviderTemporary(name)) continue;
    const std::string path = tw::FsText(entry.path().lexically_normal());
    if (skip && skip(path, false)) continue;
    files.push_back(path);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace vscc
