#include "dialogs/overwrite_dialog.h"

#include "ui/user_interface.h"

namespace tw {

std::string OverwriteQuestionText(const std::string& path, const std::string& status_name) {
  return "'" + path + "' is '" + status_name +
         "'.\n\nContinuing will overwrite any changes made to the file.\n\nOverwrite this file?";
}

int AskOverwrite(void* owner, const OverwriteQuestion& question) {
  DialogRequest request;
  request.owner = owner;
  request.template_id = kOverwriteTemplate;
  request.title = "Veltrane";
  request.texts = {
      {kOverwriteYes, "&Yes"},
      {kOverwriteYesToAll, "Yes To &All"},
      {kOverwriteNo, "&No"},
      {kOverwriteNoToAll, "N&o To All"},
      {kOverwriteMerge, "Merge"},
      {kOverwriteCancel, "&Cancel"},
      {kOverwriteQuestionLabel, OverwriteQuestionText(question.path, question.status_name)}};
  request.buttons = {kOverwriteYes,     kOverwriteYesToAll, kOverwriteNo,
                     kOverwriteNoToAll, kOverwriteMerge,    kOverwriteCancel};
  // An answer given by just confirming never overwrites anything.
  request.default_button = kOverwriteNo;
  request.enabled[kOverwriteMerge] =
      !question.current_project.empty() && !question.document_id.empty();
  request.on_button = [&question](OpenDialog& dialog, int button) {
    if (button != kOverwriteMerge) return ButtonOutcome::kClose;
    if (!question.merge) return ButtonOutcome::kKeepOpen;
    return question.merge(dialog.window()) ? ButtonOutcome::kClose : ButtonOutcome::kKeepOpen;
  };
  return ShowDialog(request).button;
}

}  // namespace tw
