// The name table of GETNAMELIST: the writer and the parser agree, rows keep
// the server's order, and garbage fails cleanly.
#include "protocol/name_table.h"

#include <gtest/gtest.h>

#include <string>

namespace tw {
namespace {

TEST(NameTableTest, TextFormOfAProductionList) {
  NameTable table;
  table.AddRow({{kColumnId, "5f0c2a9e81d34b77"}, {kColumnName, "Games"}});
  EXPECT_EQ(table.ToText(),
            "NameTable/Count=1\nNameTable/Row0/Id=5f0c2a9e81d34b77\nNameTable/Row0/Name=Games\n");
  NameTable empty;
  EXPECT_EQ(empty.ToText(), "NameTable/Count=0\n");
}

TEST(NameTableTest, EveryKindRoundTripsInServerOrder) {
  const NameTable::Row rows[] = {
      {{kColumnName, "src\\main.c"}, {kColumnId, "00000000000000a1"}},
      {{kColumnUser, "bob smith"},
       {kColumnExclusive, "1"},
       {kColumnDeferred, "0"},
       {kColumnRank, "0"}},
      {{kColumnVersion, "12"},
       {kColumnStamp, "2005:03:07:14:05:09:120"},
       {kColumnComment, "line one\nline=two & <three>/!"},
       {kColumnVersionUser, ""}},
  };
  NameTable written;
  for (const auto& row : rows) written.AddRow(row);
  written.AddRow({{kColumnId, "b"}, {kColumnName, "Zeta"}});
  written.AddRow({{kColumnId, "a"}, {kColumnName, "Alpha"}});

  NameTable read;
  std::string error;
  ASSERT_TRUE(NameTable::Parse(written.ToText(), &read, &error)) << error;
  ASSERT_EQ(read.row_count(), 5u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(read.row(i), rows[i]);
  EXPECT_EQ(read.Get(2, kColumnComment), "line one\nline=two & <three>/!");
  EXPECT_TRUE(read.Has(2, kColumnVersionUser));
  EXPECT_EQ(read.Get(3, kColumnName), "Zeta");  // not sorted
  EXPECT_EQ(read.Get(4, kColumnName), "Alpha");
  EXPECT_EQ(read.Get(0, "Missing"), "");
  EXPECT_FALSE(read.Has(0, "Missing"));
  EXPECT_EQ(read.Get(99, kColumnId), "");
}

TEST(NameTableTest, GarbageFailsAndLeavesNoRows) {
  const char* const bad[] = {
      "NameTable/Count=2\nNameTable/Row0/Id=a\n",                       // count > rows
      "NameTable/Count=4000000000\nNameTable/Row0/Id=a\n",              // huge count
      "NameTable/Count=2\nNameTable/Row0/Id=a\nNameTable/Row2/Id=c\n",  // Row1 missing
      "NameTable/Count=-1\n",
      "NameTable/Count= 1\nNameTable/Row0/Id=a\n",
      "NameTable/Count=x\n",
      "NameTable/Row0/Id=a\n",  // no count
      "Other/Count=0\n",
      "NameTable/Count=0",                                              // no final line feed
      "NameTable/Count\n",                                              // no "="
      "NameTable/Row0/Id=a\nNameTable/Row0/Id=b\nNameTable/Count=1\n",  // a path twice
      "NameTable/Count=1\nNameTable/Row0/Sub/Id=a\n",  // a row without a column of its own
  };
  for (const char* text : bad) {
    NameTable table;
    table.AddRow({{kColumnId, "stale"}});
    std::string error;
    EXPECT_FALSE(NameTable::Parse(text, &table, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
    EXPECT_EQ(table.row_count(), 0u) << text;
  }
}

TEST(NameTableTest, TolerableShapes) {
  NameTable table;
  EXPECT_TRUE(NameTable::Parse("", &table));  // a reply without the field
  EXPECT_EQ(table.row_count(), 0u);
  // Rows beyond the count are ignored; a row may list its columns in any
  // order or lack one.
  ASSERT_TRUE(NameTable::Parse(
      "NameTable/Row1/Id=b\nNameTable/Row0/Name=first\nNameTable/Count=1\n", &table));
  ASSERT_EQ(table.row_count(), 1u);
  EXPECT_EQ(table.Get(0, kColumnName), "first");
  EXPECT_FALSE(table.Has(0, kColumnId));
}

}  // namespace
}  // namespace tw
