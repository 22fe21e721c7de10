// PropertyTree: an in-memory tree of named text values, shaped like a
// property store. A node has a name, may hold a value (an empty value is
// still a value) and keeps its children in the order they were added; no
// two children of one node share a name. Names and values are arbitrary
// bytes.
//
// A path names a node by the names from the root joined with "/"; a single
// leading "/" is ignored, and empty names are allowed ("a//b"). A name that
// itself holds "/" can be reached through the Node operations only.
//
// The text form has one line per node that holds a value, in tree order
// (a node before its children, children in the order added):
//   <escaped name>/<escaped name>/...=<escaped value>\n
// with names escaped as property-store names and values as property-store
// values (settings/property_escape.h), so neither "=" nor "/" in a name nor a
// line break in a value ever appears raw. Messages travel through this form
// and so do the server's name tables ("NameTable/Count",
// "NameTable/Row<i>/<Column>").
//
// Not thread-safe: one owner at a time.
#ifndef TW_SETTINGS_PROPERTY_TREE_H_
#define TW_SETTINGS_PROPERTY_TREE_H_

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

class PropertyTree {
 public:
  // A path of the text form, or of the path operations, may have at most
  // this many names; deeper text is rejected.
  static constexpr size_t kMaxDepth = 64;

  class Node {
   public:
    explicit Node(std::string name) : name_(std::move(name)) {}
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    Node(Node&&) = default;
    Node& operator=(Node&&) = default;

    const std::string& name() const { return name_; }
    bool has_value() const { return value_.has_value(); }
    // The value, or the empty string when the node holds none.
    const std::string& value() const;
    void SetValue(std::string value) { value_ = std::move(value); }

    size_t child_count() const { return children_.size(); }
    const Node& child(size_t index) const { return *children_[index]; }
    Node& child(size_t index) { return *children_[index]; }
    // The child of that name, or null.
    const Node* FindChild(std::string_view name) const;
    Node* FindChild(std::string_view name);
    // The child of that name, appended when there is none yet.
    Node& AddChild(std::string_view name);
    // Removes the child of that name with its subtree; false if none.
    bool RemoveChild(std::string_view name);

   private:
    std::string name_;
    std::optional<std::string> value_;
    std::vector<std::unique_ptr<Node>> children_;        // in order added
    std::map<std::string, Node*, std::less<>> by_name_;  // into children_
  };

  PropertyTree() : root_(std::string()) {}
  PropertyTree(PropertyTree&&) = default;
  PropertyTree& operator=(PropertyTree&&) = default;

  // The root has no name and no path; a value set on it is not part of the
  // text form.
  Node& root() { return root_; }
  const Node& root() const { return root_; }

  // Sets the value at `path`, creating the nodes on the way. False (tree
  // unchanged) when the path is deeper than kMaxDepth.
  bool SetValue(std::string_view path, std::string value);
  // The value at `path`; false (`*value` untouched) when there is no such
  // node or it holds no value.
  bool GetValue(std::string_view path, std::string* value) const;
  // The node at `path`, or null.
  const Node* Find(std::string_view path) const;
  Node* Find(std::string_view path);
  // Removes the node at `path` with its subtree; false if none.
  bool Remove(std::string_view path);
  void Clear();

  // The text form.
  std::string ToText() const;
  // Replaces the tree by the one `text` describes. False, with the tree
  // unchanged, when the text is malformed: a line without "=" or without its
  // final line feed, an unknown escape or raw reserved character, a path
  // deeper than kMaxDepth, or one path given twice.
  bool Parse(std::string_view text);

 private:
  Node root_;
};

}  // namespace tw

#endif  // TW_SETTINGS_PROPERTY_TREE_H_
