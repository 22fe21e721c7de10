// The property-store escaping and the property tree with its text form:
// exact round trips of hostile names and values, and refusal of malformed
// text.
#include "settings/property_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "settings/property_escape.h"

namespace tw {
namespace {

std::string AllBytes() {
  std::string s;
  for (int b = 0; b < 256; ++b) s += static_cast<char>(b);
  return s;
}

TEST(PropertyEscape, NamesAlsoEscapeEqualsAndBlank) {
  const std::string text = "a!b'c\"d\re\nf&g<h>i/j=k l";
  EXPECT_EQ("a!0b!1c!2d!3e!4f!5g!6h!7i!8j!Ek!_l", EscapePropertyName(text));
  EXPECT_EQ("a!0b!1c!2d!3e!4f!5g!6h!7i!8j=k l", EscapePropertyValue(text));
  // Lenient decoding keeps what it does not know; "=" and " " belong to names.
  EXPECT_EQ("!9x!", UnescapePropertyValue("!9x!"));
  EXPECT_EQ("!E!_", UnescapePropertyValue("!E!_"));
}

TEST(PropertyEscape, EveryByteRoundTrips) {
  const std::string all = AllBytes() + "!!0!E!_" + AllBytes();
  std::string out;
  EXPECT_EQ(all, UnescapePropertyName(EscapePropertyName(all)));
  EXPECT_EQ(all, UnescapePropertyValue(EscapePropertyValue(all)));
  ASSERT_TRUE(ParseEscapedPropertyName(EscapePropertyName(all), &out));
  EXPECT_EQ(all, out);
  ASSERT_TRUE(ParseEscapedPropertyValue(EscapePropertyValue(all), &out));
  EXPECT_EQ(all, out);
}

TEST(PropertyEscape, StrictDecodingRefusesWhatEscapingNeverWrites) {
  std::string out = "untouched";
  for (const char* bad : {"a!", "!9", "a b", "a=b", "a/b"}) {
    EXPECT_FALSE(ParseEscapedPropertyName(bad, &out)) << bad;
  }
  for (const char* bad : {"!E", "a\nb", "'"})
    EXPECT_FALSE(ParseEscapedPropertyValue(bad, &out)) << bad;
  EXPECT_EQ("untouched", out);
  ASSERT_TRUE(ParseEscapedPropertyValue("a=b c", &out));
  EXPECT_EQ("a=b c", out);
}

TEST(PropertyTree, PathsLookupAndInsertionOrder) {
  PropertyTree tree;
  ASSERT_TRUE(tree.SetValue("NameTable/Count", "2"));
  ASSERT_TRUE(tree.SetValue("/NameTable/Row1/Name", "b"));  // a leading "/" is ignored
  ASSERT_TRUE(tree.SetValue("NameTable/Row0/Id", ""));
  ASSERT_TRUE(tree.SetValue("NameTable/Count", "3"));  // replaces, keeps its place
  std::string value = "x";
  EXPECT_TRUE(tree.GetValue("NameTable/Row0/Id", &value));
  EXPECT_EQ("", value);
  EXPECT_FALSE(tree.GetValue("NameTable", &value));  // a node without a value
  EXPECT_EQ("NameTable/Count=3\nNameTable/Row1/Name=b\nNameTable/Row0/Id=\n", tree.ToText());
  EXPECT_TRUE(tree.Remove("NameTable/Row1"));
  EXPECT_EQ(nullptr, tree.Find("NameTable/Row1/Name"));
  EXPECT_EQ(2u, tree.Find("NameTable")->child_count());
}

TEST(PropertyTree, TextRoundTripsHostileNamesAndValues) {
  const std::vector<std::string> hostile = {
      "", "\n", "/", "=", "a b=c/d\n", "!0!E", "\r\n", std::string("\0x\0", 3), AllBytes()};
  PropertyTree tree;
  for (size_t i = 0; i < hostile.size(); ++i) {
    PropertyTree::Node& node = tree.root().AddChild(hostile[i]);
    node.SetValue(hostile[(i + 1) % hostile.size()]);
    node.AddChild(hostile[(i + 3) % hostile.size()]).SetValue(hostile[i]);
  }
  const std::string text = tree.ToText();
  // Each node with a value is exactly one line.
  EXPECT_EQ(2 * hostile.size(), static_cast<size_t>(std::count(text.begin(), text.end(), '\n')));

  PropertyTree back;
  ASSERT_TRUE(back.Parse(text));
  ASSERT_EQ(hostile.size(), back.root().child_count());
  for (size_t i = 0; i < hostile.size(); ++i) {
    const PropertyTree::Node& node = back.root().child(i);
    EXPECT_EQ(hostile[i], node.name());
    EXPECT_EQ(hostile[(i + 1) % hostile.size()], node.value());
    ASSERT_EQ(1u, node.child_count());
    EXPECT_EQ(hostile[(i + 3) % hostile.size()], node.child(0).name());
    EXPECT_EQ(hostile[i], node.child(0).value());
  }
  EXPECT_EQ(text, back.ToText());
}

TEST(PropertyTree, MalformedOrTooDeepTextIsRefusedAndTheTreeKept) {
  PropertyTree tree;
  ASSERT_TRUE(tree.Parse("Keep=1\n"));
  std::string deep = "x";
  for (size_t i = 1; i < PropertyTree::kMaxDepth; ++i) deep += "/x";
  for (const std::string& text :
       {std::string("a=1"), std::string("a\n"), std::string("a b=1\n"), std::string("a=x/y\n"),
        std::string("a=1\na=2\n"), deep + "/x=1\n"}) {
    EXPECT_FALSE(tree.Parse(text)) << text;
    EXPECT_EQ("Keep=1\n", tree.ToText());
  }
  // A value may hold "=" and blanks raw; a parent may follow its children.
  ASSERT_TRUE(tree.Parse("a/b==x y\na=2\n"));
  EXPECT_EQ("a=2\na/b==x y\n", tree.ToText());
  EXPECT_TRUE(tree.SetValue(deep, "ok"));
  EXPECT_FALSE(tree.SetValue(deep + "/x", "no"));
}

}  // namespace
}  // namespace tw
