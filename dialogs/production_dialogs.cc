#include "dialogs/production_dialogs.h"

#include <cctype>
#include <utility>

#include "platform/debug_output.h"
#include "platform/path.h"
#include "protocol/name_table.h"
#include "session/client_session.h"
#include "session/production_requests.h"
#include "ui/user_interface.h"

namespace tw {

namespace {

constexpr char kMessageTitle[] = "Halvorn Veltrane";
constexpr char kSelectProduction[] = "Please select a Production.";
constexpr char kSelectNonRoot[] = "Please select a Production (other than the root Production).";
constexpr char kMakeSelection[] = "Please make a selection.";
constexpr char kInvalidFolder[] = "Invalid working folder";
constexpr char kBrowseTitle[] = "Please select a working local folder...";

ButtonOutcome Refuse(OpenDialog& dialog, const char* text) {
  dialog.MessageBox(kMessageTitle, text, MessageBoxButtons::kOk, MessageBoxIcon::kExclamation);
  return ButtonOutcome::kKeepOpen;
}

TreeControl Tree(const TreeItem& root, TreeSource* source) {
  TreeControl tree;
  tree.root = root;
  tree.root.text = "/";
  tree.source = source;
  return tree;
}

// Selecting an item shows its display-name path in the label beside the
// tree.
std::function<void(OpenDialog&, int)> ShowSelectedPath(int label) {
  return [label](OpenDialog& dialog, int tree) {
    const TreeNode* node = dialog.tree(tree)->selected();
    dialog.SetText(label, node == nullptr ? std::string() : TreeModel::NamePath(node));
  };
}

}  // namespace

std::string CutDialogText(const std::string& text) {
  if (text.size() <= kMaxDialogTextLength) return text;
  size_t cut = kMaxDialogTextLength;
  // Back to the lead byte of a sequence that the cut would split.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

bool IsValidWorkingFolder(const std::string& folder) {
#ifdef _WIN32
  // A drive letter, a colon and a backslash, or a folder from the root of
  // the current drive; the components are separated by backslashes.
  const char separator = kNativeSeparator;
  size_t start;
  if (folder.size() >= 3 && std::isalpha(static_cast<unsigned char>(folder[0])) &&
      folder[1] == ':' && folder[2] == separator) {
    start = 3;
  } else if (!folder.empty() && folder[0] == separator) {
    start = 1;
  } else {
    return false;
  }
#else
  const char separator = kNativeSeparator;
  if (folder.empty() || folder[0] != separator) return false;
  size_t start = 1;
#endif
  while (true) {
    const size_t end = folder.find(separator, start);
    const std::string component = folder.substr(start, end - start);
    if (component.empty()) return false;
    if (component.find_first_of(std::string(":*?\"<>|\0", 8)) != std::string::npos) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

bool ShowAddDialog(void* owner, const TreeItem& root, TreeSource* source, AddDialogValues* values) {
  DialogRequest request;
  request.owner = owner;
  request.template_id = kAddTemplate;
  request.title = "Add to Veltrane Production";
  request.texts = {{kIdOk, "OK"},
                   {kIdCancel, "Cancel"},
                   {kAddNameLabel, "&Production:"},
                   {kAddName, values->name},
                   {kAddPathLabel, ""}};
  request.labels = {{kAddName, "&Production:"}, {kAddTree, "Parent Production:"}};
  request.values = {{kAddName, values->name}};
  request.buttons = {kIdOk, kIdCancel};
  request.trees[kAddTree] = Tree(root, source);
  request.on_select = ShowSelectedPath(kAddPathLabel);

  AddDialogValues chosen;
  request.on_button = [&chosen](OpenDialog& dialog, int button) {
    if (button != kIdOk) return ButtonOutcome::kClose;
    const TreeNode* node = dialog.tree(kAddTree)->selected();
    if (node == nullptr) return Refuse(dialog, kSelectProduction);
    chosen.name = CutDialogText(dialog.Value(kAddName));
    chosen.parent_display_path = TreeModel::NamePath(node);
    chosen.parent_id_path = TreeModel::IdPath(node);
    chosen.parent_id = node->item().id;
    if (chosen.parent_id.empty()) return Refuse(dialog, kMakeSelection);
    return ButtonOutcome::kClose;
  };
  if (ShowDialog(request).button != kIdOk) return false;
  *values = std::move(chosen);
  return true;
}

bool ShowBindDialog(void* owner, const TreeItem& root, TreeSource* source,
                    BindDialogValues* values) {
  DialogRequest request;
  request.owner = owner;
  request.template_id = kBindTemplate;
  request.title = "Bind Veltrane Production to local project";
  request.texts = {{kIdOk, "OK"},
                   {kIdCancel, "Cancel"},
                   {kBindFolder, values->local_folder},
                   {kBindBrowse, "&Browse..."},
                   {kBindPathLabel, ""}};
  // The two captions have no control ids of their own.
  request.labels = {{kBindFolder, "Local &folder of project to bind:"},
                    {kBindTree, "Veltrane Production to bind:"}};
  request.values = {{kBindFolder, values->local_folder}};
  request.buttons = {kIdOk, kIdCancel, kBindBrowse};
  request.trees[kBindTree] = Tree(root, source);
  request.on_select = ShowSelectedPath(kBindPathLabel);

  BindDialogValues chosen;
  request.on_button = [&chosen](OpenDialog& dialog, int button) {
    if (button == kBindBrowse) {
      std::string folder = dialog.Value(kBindFolder);
      if (dialog.ChooseFolder(kBrowseTitle, &folder)) dialog.SetValue(kBindFolder, folder);
      return ButtonOutcome::kKeepOpen;
    }
    if (button != kIdOk) return ButtonOutcome::kClose;
    const TreeNode* node = dialog.tree(kBindTree)->selected();
    if (node == nullptr || node->parent() == nullptr) return Refuse(dialog, kSelectNonRoot);
    chosen.local_folder = CutDialogText(dialog.Value(kBindFolder));
    if (!IsValidWorkingFolder(chosen.local_folder)) return Refuse(dialog, kInvalidFolder);
    chosen.display_path = TreeModel::NamePath(node);
    chosen.parent_id_path = TreeModel::IdPath(node->parent());
    chosen.id = node->item().id;
    if (chosen.id.empty() || chosen.display_path.empty()) return Refuse(dialog, kMakeSelection);
    return ButtonOutcome::kClose;
  };
  if (ShowDialog(request).button != kIdOk) return false;
  *values = std::move(chosen);
  return true;
}

TreeItem ProductionTreeSource::Root() const {
  TreeItem root;
  root.text = "/";
  if (session_ != nullptr) {
    root.id = session_->root_id();
    root.name = session_->root_name();
  }
  return root;
}

bool ProductionTreeSource::ListChildren(const TreeItem& parent, std::vector<TreeItem>* children) {
  children->clear();
  if (session_ == nullptr) return false;
  std::string text;
  const int result = GetNameList(session_, session_->current_project(), parent.id,
                                 kNameListProductions, false, &text);
  if (result != kSessionOk) {
    DebugLog("Production tree: the children of '%s' cannot be listed (%d)", parent.id.c_str(),
             result);
    return false;
  }
  NameTable table;
  std::string error;
  if (!NameTable::Parse(text, &table, &error)) {
    DebugLog("Production tree: the server's list for '%s' is no name table: %s", parent.id.c_str(),
             error.c_str());
    return false;
  }
  for (size_t row = 0; row < table.row_count(); ++row) {
    TreeItem item;
    item.id = table.Get(row, kColumnId);
    item.name = table.Get(row, kColumnName);
    children->push_back(std::move(item));
  }
  return true;
}

bool RunAddDialog(void* owner, ClientSession* session, AddDialogValues* values) {
  ProductionTreeSource source(session);
  return ShowAddDialog(owner, source.Root(), &source, values);
}

bool RunBindDialog(void* owner, ClientSession* session, BindDialogValues* values) {
  ProductionTreeSource source(session);
  return ShowBindDialog(owner, source.Root(), &source, values);
}

}  // namespace tw
