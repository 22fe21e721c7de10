// Tree views of the user-interface seam. A dialog that shows a tree hands
// the seam its root item and a TreeSource; every form shows the same
// TreeModel, which asks the source for an item's children the first time
// the item is opened, exactly as a person opening it would cause. So the
// scripted, terminal and windowed forms all walk the real source (the
// server's Production tree), and each opened item is listed once per
// dialog.
//
// Paths: an item's text path is the texts the tree shows from the root
// down, joined with "\" ("/" alone is the root of a tree whose root shows
// "/"; "/\Games\Level1" an item two levels below). Find also accepts the
// root's display name as the first element ("\Games" when that name is
// empty, "Veltrane\Games" when it is "Veltrane").
//
// Threads: a model belongs to the dialog that shows it and is used on that
// dialog's thread only; its source is called on that thread.
#ifndef TW_UI_TREE_H_
#define TW_UI_TREE_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tw {

// One item: the record it carries and what the tree shows.
struct TreeItem {
  std::string id;    // the identifier the item carries
  std::string name;  // its display name, as paths name it
  std::string text;  // what the tree shows; empty: the display name

  const std::string& ShownText() const { return text.empty() ? name : text; }
};

// Where a tree's children come from; implemented by the dialog (over the
// session), called by the model.
class TreeSource {
 public:
  virtual ~TreeSource() = default;
  // Replaces `*children` by the children of `parent` in the order the tree
  // shows them. False when they cannot be listed now.
  virtual bool ListChildren(const TreeItem& parent, std::vector<TreeItem>* children) = 0;
};

class TreeNode {
 public:
  const TreeItem& item() const { return item_; }
  TreeNode* parent() const { return parent_; }
  // Whether the children have been listed (the item was opened).
  bool listed() const { return listed_; }
  const std::vector<std::unique_ptr<TreeNode>>& children() const { return children_; }

 private:
  friend class TreeModel;
  TreeNode(TreeItem item, TreeNode* parent) : item_(std::move(item)), parent_(parent) {}

  TreeItem item_;
  TreeNode* const parent_;
  bool listed_ = false;
  std::vector<std::unique_ptr<TreeNode>> children_;
};

class TreeModel {
 public:
  // `source` is not owned and must outlive the model; null: no item has
  // children.
  TreeModel(TreeItem root, TreeSource* source);
  TreeModel(const TreeModel&) = delete;
  TreeModel& operator=(const TreeModel&) = delete;

  TreeNode* root() { return root_.get(); }

  // Opens `node`: lists its children unless they are listed already. A
  // child whose (non-empty) identifier is already under `node` is not
  // added again. False when the source could not list them; nothing is
  // remembered then, so opening the item again asks again.
  bool Open(TreeNode* node);

  // The selected item, or null.
  TreeNode* selected() const { return selected_; }
  void Select(TreeNode* node) { selected_ = node; }

  // Resolves `path` (see above) as a person would reach the item: opening
  // the root and every item on the way, but not the item itself. Null for
  // the empty path (nothing) and, with `*error` set, for a path that names
  // no item.
  TreeNode* Find(const std::string& path, std::string* error);

  // Joined with "\", root first: the texts shown, the display names, the
  // identifiers of `node` and the items above it.
  static std::string TextPath(const TreeNode* node);
  static std::string NamePath(const TreeNode* node);
  static std::string IdPath(const TreeNode* node);

 private:
  std::unique_ptr<TreeNode> root_;
  TreeSource* const source_;
  TreeNode* selected_ = nullptr;
};

}  // namespace tw

#endif  // TW_UI_TREE_H_
