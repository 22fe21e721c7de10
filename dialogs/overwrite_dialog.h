// The overwrite question (template 110, "Veltrane"): asked by get, check-out
// and undo check-out before a local file that differs from the server's
// version would be replaced. Its Merge button runs the interactive merge
// while the question stays open; the merge decides whether the question
// then closes with Merge (its result was kept) or stays open for another
// answer.
//
// Used on the host's thread that runs the export.
#ifndef TW_DIALOGS_OVERWRITE_DIALOG_H_
#define TW_DIALOGS_OVERWRITE_DIALOG_H_

#include <functional>
#include <string>

namespace tw {

enum OverwriteAnswer : int {
  kOverwriteYes = 1000,
  kOverwriteYesToAll = 1001,
  kOverwriteNo = 1002,
  kOverwriteNoToAll = 1003,
  kOverwriteMerge = 1032,
  kOverwriteCancel = 2
};

// Control ids of template 110 besides its buttons.
enum OverwriteControl : int {
  kOverwriteTemplate = 110,
  kOverwriteQuestionLabel = 1025,
};

struct OverwriteQuestion {
  std::string path;             // the file as the host named it
  std::string status_name;      // LocalStatusName() of session/state_cache.h
  std::string current_project;  // the session's current project
  std::string document_id;
  // The interactive merge, run while the question stays open: true when the question must
  // close with 1032 (the merge result was kept), false to keep it open. Null: no merge
  // program can be run (the question stays open).
  std::function<bool(void* owner)> merge;
};

// "'<path>' is '<status>'. ... Overwrite this file?", the question's text.
std::string OverwriteQuestionText(const std::string& path, const std::string& status_name);

// Asks the question; returns an OverwriteAnswer. Merge is enabled only when
// the current project and the Document identifier are both non-empty.
// Nobody answering counts as Cancel.
int AskOverwrite(void* owner, const OverwriteQuestion& question);

}  // namespace tw

#endif  // TW_DIALOGS_OVERWRITE_DIALOG_H_
