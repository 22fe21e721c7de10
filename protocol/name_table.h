// NameTable: the rows that "GETNAMELIST" returns (reply field 102), in the
// server's order. On the wire the table is a property tree in its text form
// (settings/property_tree.h):
//   NameTable/Count=<n>
//   NameTable/Row0/<Column>=<value>
//   ...
//   NameTable/Row<n-1>/<Column>=<value>
// The columns by kind of list:
//   1 child Productions:  Id, Name
//   2 Documents:          Name (relative, wire form), Id
//   3 lock rows:          User, Exclusive, Deferred, Rank
//   4 versions:           Version, P41 (server stamp), P46 (comment),
//                         P49 (user)
// The provider parses it; the reference server writes it with the same
// class, so both sides agree on one layout.
//
// A value; no thread rules of its own.
#ifndef TW_PROTOCOL_NAME_TABLE_H_
#define TW_PROTOCOL_NAME_TABLE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tw {

// The kinds of "GETNAMELIST" (request field 101).
enum NameListKind : int {
  kNameListProductions = 1,
  kNameListDocuments = 2,
  kNameListLocks = 3,
  kNameListVersions = 4,
};

// Column names.
constexpr char kColumnId[] = "Id";
constexpr char kColumnName[] = "Name";
constexpr char kColumnUser[] = "User";
constexpr char kColumnExclusive[] = "Exclusive";
constexpr char kColumnDeferred[] = "Deferred";
constexpr char kColumnRank[] = "Rank";
constexpr char kColumnVersion[] = "Version";
constexpr char kColumnStamp[] = "P41";
constexpr char kColumnComment[] = "P46";
constexpr char kColumnVersionUser[] = "P49";

class NameTable {
 public:
  // One row: its columns as (name, value) in the order given.
  using Row = std::vector<std::pair<std::string, std::string>>;

  // Replaces `*table` by the table `text` describes. The empty text (a
  // reply without the field) is a table of no rows. False, with `*table`
  // emptied and `*error` (when not null) saying why, when the text is no
  // property tree, has no "NameTable/Count", a count that is not a decimal
  // number, or a count larger than the rows present, or misses one of rows
  // 0 to count - 1. Rows beyond the count are ignored, and so are nodes
  // below a column.
  static bool Parse(std::string_view text, NameTable* table, std::string* error = nullptr);

  // The text form: "NameTable/Count" and then every row's columns in order.
  std::string ToText() const;

  size_t row_count() const { return rows_.size(); }
  const Row& row(size_t index) const { return rows_[index]; }
  // The value of `column` in row `index`; empty when the row or the column
  // does not exist.
  const std::string& Get(size_t index, std::string_view column) const;
  bool Has(size_t index, std::string_view column) const;

  // Appends a row (the writer's side). Column names must be non-empty and
  // distinct within the row; a later duplicate replaces the earlier value.
  void AddRow(Row row);
  void Clear() { rows_.clear(); }

 private:
  std::vector<Row> rows_;
};

}  // namespace tw

#endif  // TW_PROTOCOL_NAME_TABLE_H_
