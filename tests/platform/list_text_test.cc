#include "platform/list_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tw {
namespace {

using List = std::vector<std::string>;

// Parallel lists keep their positions only if no element is ever dropped:
// empty ones count, at either end and between separators.
TEST(ListText, SplitKeepsEveryElementInItsPlace) {
  EXPECT_EQ(List({""}), SplitList("", '?'));
  EXPECT_EQ(List({"a"}), SplitList("a", '?'));
  EXPECT_EQ(List({"", ""}), SplitList("?", '?'));
  EXPECT_EQ(List({"a", "", "b", ""}), SplitList("a??b?", '?'));
  EXPECT_EQ(List({"", "usr", "bin"}), SplitList(":usr:bin", ':'));
  // A separator of several characters, and one that overlaps itself.
  EXPECT_EQ(List({"a", "b"}), SplitList("a<>b", "<>"));
  EXPECT_EQ(List({"", "?"}), SplitList("???", "??"));
  // No separator: the text whole.
  EXPECT_EQ(List({"a?b"}), SplitList("a?b", ""));
}

TEST(ListText, JoinIsTheInverseOfSplit) {
  for (const std::string text : {"", "?", "a", "a??b?", "?x?"}) {
    EXPECT_EQ(text, JoinList(SplitList(text, '?'), '?')) << text;
  }
  EXPECT_EQ("", JoinList({}, '?'));
  EXPECT_EQ("a;;;;b", JoinList({"a", "", "b"}, ";;"));
}

}  // namespace
}  // namespace tw
