#include "settings/property_tree.h"

#include <utility>

#include "settings/property_escape.h"

namespace tw {

namespace {

// Splits a path at every "/"; false when it has more than `max` names.
bool SplitNames(std::string_view path, size_t max, std::vector<std::string_view>* names) {
  names->clear();
  for (;;) {
    if (names->size() == max) return false;
    const size_t slash = path.find('/');
    names->push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) return true;
    path.remove_prefix(slash + 1);
  }
}

// The path operations ignore one leading "/".
bool SplitPath(std::string_view path, size_t max, std::vector<std::string_view>* names) {
  if (!path.empty() && path.front() == '/') path.remove_prefix(1);
  return SplitNames(path, max, names);
}

// Appends the lines of the subtree below `node`, whose own path is `path`
// (null for the root, which has none).
void AppendText(const PropertyTree::Node& node, const std::string* path, std::string* out) {
  for (size_t i = 0; i < node.child_count(); ++i) {
    const PropertyTree::Node& child = node.child(i);
    std::string child_path;
    if (path != nullptr) {
      child_path = *path;
      child_path += '/';
    }
    child_path += EscapePropertyName(child.name());
    if (child.has_value()) {
      *out += child_path;
      *out += '=';
      *out += EscapePropertyValue(child.value());
      *out += '\n';
    }
    AppendText(child, &child_path, out);
  }
}

}  // namespace

const std::string& PropertyTree::Node::value() const {
  static const std::string kNone;
  return value_ ? *value_ : kNone;
}

const PropertyTree::Node* PropertyTree::Node::FindChild(std::string_view name) const {
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second;
}

PropertyTree::Node* PropertyTree::Node::FindChild(std::string_view name) {
  auto it = by_name_.find(name);
  return it == by_name_.end() ? nullptr : it->second;
}

PropertyTree::Node& PropertyTree::Node::AddChild(std::string_view name) {
  if (Node* existing = FindChild(name)) return *existing;
  children_.push_back(std::make_unique<Node>(std::string(name)));
  Node* added = children_.back().get();
  by_name_.emplace(added->name(), added);
  return *added;
}

bool PropertyTree::Node::RemoveChild(std::string_view name) {
  auto it = by_name_.find(name);
  if (it == by_name_.end()) return false;
  const Node* doomed = it->second;
  by_name_.erase(it);
  for (auto child = children_.begin(); child != children_.end(); ++child) {
    if (child->get() == doomed) {
      children_.erase(child);
      break;
    }
  }
  return true;
}

bool PropertyTree::SetValue(std::string_view path, std::string value) {
  std::vector<std::string_view> names;
  if (!SplitPath(path, kMaxDepth, &names)) return false;
  Node* node = &root_;
  for (std::string_view name : names) node = &node->AddChild(name);
  node->SetValue(std::move(value));
  return true;
}

bool PropertyTree::GetValue(std::string_view path, std::string* value) const {
  const Node* node = Find(path);
  if (node == nullptr || !node->has_value()) return false;
  *value = node->value();
  return true;
}

const PropertyTree::Node* PropertyTree::Find(std::string_view path) const {
  std::vector<std::string_view> names;
  if (!SplitPath(path, kMaxDepth, &names)) return nullptr;
  const Node* node = &root_;
  for (std::string_view name : names) {
    node = node->FindChild(name);
    if (node == nullptr) return nullptr;
  }
  return node;
}

PropertyTree::Node* PropertyTree::Find(std::string_view path) {
  return const_cast<Node*>(static_cast<const PropertyTree*>(this)->Find(path));
}

bool PropertyTree::Remove(std::string_view path) {
  std::vector<std::string_view> names;
  if (!SplitPath(path, kMaxDepth, &names)) return false;
  Node* parent = &root_;
  for (size_t i = 0; i + 1 < names.size(); ++i) {
    parent = parent->FindChild(names[i]);
    if (parent == nullptr) return false;
  }
  return parent->RemoveChild(names.back());
}

void PropertyTree::Clear() {
  root_ = Node(std::string());
}

std::string PropertyTree::ToText() const {
  std::string out;
  AppendText(root_, nullptr, &out);
  return out;
}

bool PropertyTree::Parse(std::string_view text) {
  PropertyTree parsed;
  std::vector<std::string_view> names;
  std::string name;
  std::string value;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return false;  // cut off
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);

    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return false;
    // The text form writes paths exactly: a leading "/" is an empty name.
    if (!SplitNames(line.substr(0, equals), kMaxDepth, &names)) return false;
    Node* node = &parsed.root_;
    for (std::string_view escaped : names) {
      if (!ParseEscapedPropertyName(escaped, &name)) return false;
      node = &node->AddChild(name);
    }
    if (node->has_value()) return false;  // the same path twice
    if (!ParseEscapedPropertyValue(line.substr(equals + 1), &value)) return false;
    node->SetValue(std::move(value));
  }
  *this = std::move(parsed);
  return true;
}

}  // namespace tw
