#include "ui/tree.h"

#include <set>

#include "platform/list_text.h"

namespace tw {

namespace {

// The items from the root down to `node`.
std::vector<const TreeItem*> Lineage(const TreeNode* node) {
  std::vector<const TreeItem*> items;
  for (; node != nullptr; node = node->parent()) items.push_back(&node->item());
  return std::vector<const TreeItem*>(items.rbegin(), items.rend());
}

template <typename Field>
std::string JoinLineage(const TreeNode* node, Field field) {
  std::vector<std::string> names;
  for (const TreeItem* item : Lineage(node)) names.push_back(field(*item));
  return JoinList(names, '\\');
}

}  // namespace

TreeModel::TreeModel(TreeItem root, TreeSource* source)
    : root_(new TreeNode(std::move(root), nullptr)), source_(source) {}

bool TreeModel::Open(TreeNode* node) {
  if (node->listed_) return true;
  std::vector<TreeItem> children;
  if (source_ != nullptr && !source_->ListChildren(node->item_, &children)) return false;
  std::set<std::string> present;
  for (const auto& child : node->children_) present.insert(child->item_.id);
  for (TreeItem& child : children) {
    if (!child.id.empty() && !present.insert(child.id).second) continue;
    node->children_.push_back(std::unique_ptr<TreeNode>(new TreeNode(std::move(child), node)));
  }
  node->listed_ = true;
  return true;
}

TreeNode* TreeModel::Find(const std::string& path, std::string* error) {
  if (path.empty()) return nullptr;
  const std::vector<std::string> elements = SplitList(path, '\\');
  TreeNode* node = root_.get();
  const TreeItem& root = node->item();
  if (elements[0] != root.ShownText() && elements[0] != root.name) {
    *error = "the path '" + path + "' does not start at the root '" + root.ShownText() + "'";
    return nullptr;
  }
  for (size_t k = 1; k < elements.size(); ++k) {
    const std::string& wanted = elements[k];
    if (!Open(node)) {
      *error = "the items below '" + TextPath(node) + "' cannot be listed";
      return nullptr;
    }
    TreeNode* next = nullptr;
    for (const auto& child : node->children_) {
      if (!wanted.empty() && child->item_.ShownText() == wanted) {
        next = child.get();
        break;
      }
    }
    if (next == nullptr) {
      *error = "no item '" + wanted + "' below '" + TextPath(node) + "'";
      return nullptr;
    }
    node = next;
  }
  return node;
}

std::string TreeModel::TextPath(const TreeNode* node) {
  return JoinLineage(node, [](const TreeItem& item) { return item.ShownText(); });
}

std::string TreeModel::NamePath(const TreeNode* node) {
  return JoinLineage(node, [](const TreeItem& item) { return item.name; });
}

std::string TreeModel::IdPath(const TreeNode* node) {
  return JoinLineage(node, [](const TreeItem& item) { return item.id; });
}

}  // namespace tw
