#include "protocol/name_table.h"

#include "platform/decimal.h"
#include "settings/property_tree.h"

namespace tw {

namespace {

constexpr char kTableNode[] = "NameTable";
constexpr char kCountNode[] = "Count";
constexpr char kRowPrefix[] = "Row";

const std::string& EmptyText() {
  static const std::string* const empty = new std::string;
  return *empty;
}

// A count of decimal digits only; false when it is not one or does not fit.
bool ParseCount(const std::string& text, size_t* count) {
  uint64_t value = 0;
  if (!ParseDigits(text, 999999999, &value)) return false;
  *count = static_cast<size_t>(value);
  return true;
}

bool Fail(NameTable* table, std::string* error, std::string why) {
  table->Clear();
  if (error != nullptr) *error = std::move(why);
  return false;
}

}  // namespace

bool NameTable::Parse(std::string_view text, NameTable* table, std::string* error) {
  table->Clear();
  if (text.empty()) return true;
  PropertyTree tree;
  if (!tree.Parse(text)) return Fail(table, error, "the name table is not a property tree");
  const PropertyTree::Node* node = tree.root().FindChild(kTableNode);
  if (node == nullptr) return Fail(table, error, "the name table has no NameTable node");
  const PropertyTree::Node* count_node = node->FindChild(kCountNode);
  if (count_node == nullptr || !count_node->has_value()) {
    return Fail(table, error, "the name table has no count");
  }
  size_t count = 0;
  if (!ParseCount(count_node->value(), &count)) {
    return Fail(table, error, "the name table's count is not a number: " + count_node->value());
  }
  // Every row is a child of NameTable beside the count, so a count beyond
  // that cannot be met; checked before anything is reserved for it.
  if (count > node->child_count() - 1) {
    return Fail(table, error,
                "the name table's count " + count_node->value() + " exceeds the rows present");
  }
  std::vector<Row> rows;
  rows.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const std::string row_name = kRowPrefix + std::to_string(i);
    const PropertyTree::Node* row_node = node->FindChild(row_name);
    if (row_node == nullptr) return Fail(table, error, "the name table lacks " + row_name);
    Row row;
    row.reserve(row_node->child_count());
    for (size_t c = 0; c < row_node->child_count(); ++c) {
      const PropertyTree::Node& column = row_node->child(c);
      if (column.has_value()) row.emplace_back(column.name(), column.value());
    }
    // Every column of a row has its line, an empty value included: a row
    // with none is no row the text form can carry.
    if (row.empty()) return Fail(table, error, "the name table's " + row_name + " has no columns");
    rows.push_back(std::move(row));
  }
  table->rows_ = std::move(rows);
  return true;
}

std::string NameTable::ToText() const {
  PropertyTree tree;
  PropertyTree::Node& node = tree.root().AddChild(kTableNode);
  node.AddChild(kCountNode).SetValue(std::to_string(rows_.size()));
  for (size_t i = 0; i < rows_.size(); ++i) {
    PropertyTree::Node& row_node = node.AddChild(kRowPrefix + std::to_string(i));
    for (const auto& [column, value] : rows_[i]) row_node.AddChild(column).SetValue(value);
  }
  return tree.ToText();
}

const std::string& NameTable::Get(size_t index, std::string_view column) const {
  if (index >= rows_.size()) return EmptyText();
  // A duplicate column read back from a tree cannot occur; from AddRow the
  // later value counts, as in the text form.
  const Row& row = rows_[index];
  for (auto it = row.rbegin(); it != row.rend(); ++it) {
    if (it->first == column) return it->second;
  }
  return EmptyText();
}

bool NameTable::Has(size_t index, std::string_view column) const {
  if (index >= rows_.size()) return false;
  for (const auto& entry : rows_[index]) {
    if (entry.first == column) return true;
  }
  return false;
}

void NameTable::AddRow(Row row) {
  rows_.push_back(std::move(row));
}

}  // namespace tw
