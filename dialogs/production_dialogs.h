// The add dialog (template 103, "Add to Veltrane Production") and the bind
// dialog (template 109, "Bind Veltrane Production to local project"),
// through which the user picks the parent of a new Production or the
// Production to bind a local folder to. Both show the session's Production
// tree: the root item "/" carries the root Production's identifier and
// display name, and an item's children are listed from the server
// (GETNAMELIST, kind 1) when it is first opened (ProductionTreeSource).
//
// Validation belongs to the dialogs and keeps them open: a message box
// (title "Halvorn Veltrane", exclamation icon) says what is missing, and
// the user tries again.
//
// Used on the host's thread that runs the export, while it holds the
// shared session slot.
#ifndef TW_DIALOGS_PRODUCTION_DIALOGS_H_
#define TW_DIALOGS_PRODUCTION_DIALOGS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "ui/tree.h"

namespace tw {

class ClientSession;

// Control ids of templates 103 and 109.
enum ProductionDialogControl : int {
  kAddTemplate = 103,
  kAddTree = 1004,
  kAddName = 1005,       // edit: the new Production's name
  kAddPathLabel = 1008,  // the display-name path of the selected parent
  kAddNameLabel = 1016,  // "&Production:"
  kBindTemplate = 109,
  kBindBrowse = 1009,
  kBindFolder = 1020,  // edit: the local folder
  kBindTree = 1022,
  kBindPathLabel = 1023,  // the display-name path of the selected Production
};

// The longest name or folder the dialogs hand back, in bytes.
constexpr size_t kMaxDialogTextLength = 260;

struct AddDialogValues {
  // in: the proposed name; out: the new Production's name (cut to 260)
  std::string name;
  // out: the selected item's identifier
  std::string parent_id;
  // out: its identifier path, root first, the item last, joined with "\"
  std::string parent_id_path;
  // out: its display-name path, root first, the item last, joined with "\"
  std::string parent_display_path;
};
// Dialog 103 over the session's Production tree; true when closed with OK.
bool RunAddDialog(void* owner, ClientSession* session, AddDialogValues* values);

struct BindDialogValues {
  // in: initial; out: the chosen folder (cut to 260)
  std::string local_folder;
  // out: the selected Production's identifier
  std::string id;
  // out: its parent's identifier path, root first, joined with "\"
  std::string parent_id_path;
  // out: its display-name path, root first, the item last, joined with "\"
  std::string display_path;
};
// Dialog 109; true when closed with OK.
bool RunBindDialog(void* owner, ClientSession* session, BindDialogValues* values);

// The same dialogs over any tree: `root` is the root item (shown as "/"),
// `source` lists children (not owned; may be null: no children). The
// values are changed only when the dialog closes with OK.
bool ShowAddDialog(void* owner, const TreeItem& root, TreeSource* source, AddDialogValues* values);
bool ShowBindDialog(void* owner, const TreeItem& root, TreeSource* source,
                    BindDialogValues* values);

// The session's Production tree: the root item and, for an item, its child
// Productions as the server lists them (identifier and display name).
class ProductionTreeSource : public TreeSource {
 public:
  // `session` may be null (no children); it must outlive the source.
  explicit ProductionTreeSource(ClientSession* session) : session_(session) {}

  // "/" with the session's root identifier and root display name.
  TreeItem Root() const;
  // False when the session is absent, the request fails or the reply is
  // no name table; rows without an identifier are kept (the dialogs refuse
  // to hand such an item back).
  bool ListChildren(const TreeItem& parent, std::vector<TreeItem>* children) override;

 private:
  ClientSession* const session_;
};

// A local working folder the bind dialog accepts: an absolute path whose
// components are not empty and contain none of : * ? " < > |. On Windows
// it starts with a drive letter, a colon and a backslash, or with a
// backslash, and its separators are backslashes.
bool IsValidWorkingFolder(const std::string& folder);

// `text` cut to kMaxDialogTextLength bytes, never inside a UTF-8 sequence.
std::string CutDialogText(const std::string& text);

}  // namespace tw

#endif  // TW_DIALOGS_PRODUCTION_DIALOGS_H_
