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
  EXPECT_EQ("", EscapePropertyName(""));
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

TEST(PropertyEscape, LenientDecodingKeepsWhatItDoesNotKnow) {
  EXPECT_EQ("!9x!", UnescapePropertyValue("!9x!"));
  // "=" and " " pairs belong to names only.
  EXPECT_EQ("!E!_", UnescapePropertyValue("!E!_"));
  EXPECT_EQ("= ", UnescapePropertyName("!E!_"));
  EXPECT_EQ("!'", UnescapePropertyValue("!!1"));
}

TEST(PropertyEscape, StrictDecodingRefusesWhatEscapingNeverWrites) {
  std::string out = "untouched";
  for (const char* bad : {"!", "a!", "!9", "!e", "a b", "a=b", "a/b", "a\nb", "a\rb", "<", "&"}) {
    EXPECT_FALSE(ParseEscapedPropertyName(bad, &out)) << bad;
  }
  for (const char* bad : {"!", "!9", "!E", "!_", "a/b", "a\nb", "a\rb", "'", "\""}) {
    EXPECT_FALSE(ParseEscapedPropertyValue(bad, &out)) << bad;
  }
  EXPECT_EQ("untouched", out);
  ASSERT_TRUE(ParseEscapedPropertyValue("a=b c", &out));
  EXPECT_EQ("a=b c", out);
}

TEST(PropertyTree, PathsLookupAndInsertionOrder) {
  PropertyTree tree;
  ASSERT_TRUE(tree.SetValue("NameTable/Count", "2"));
  ASSERT_TRUE(tree.SetValue("/NameTable/Row1/Name", "b"));  // a leading "/" is ignored
  ASSERT_TRUE(tree.SetValue("NameTable/Row0/Name", "a"));
  ASSERT_TRUE(tree.SetValue("NameTable/Row0/Id", ""));
  ASSERT_TRUE(tree.SetValue("NameTable/Count", "3"));  // replaces, keeps its place

  std::string value = "x";
  EXPECT_TRUE(tree.GetValue("NameTable/Row0/Id", &value));
  EXPECT_EQ("", value);
  EXPECT_FALSE(tree.GetValue("NameTable", &value));  // a node without a value
  EXPECT_FALSE(tree.GetValue("NameTable/Row2/Name", &value));
  EXPECT_EQ("", value);

  const PropertyTree::Node* table = tree.Find("NameTable");
  ASSERT_NE(nullptr, table);
  ASSERT_EQ(3u, table->child_count());
  EXPECT_EQ("Count", table->child(0).name());
  EXPECT_EQ("Row1", table->child(1).name());
  EXPECT_EQ("Row0", table->child(2).name());
  EXPECT_EQ(
      "NameTable/Count=3\nNameTable/Row1/Name=b\nNameTable/Row0/Name=a\n"
      "NameTable/Row0/Id=\n",
      tree.ToText());

  EXPECT_TRUE(tree.Remove("NameTable/Row1"));
  EXPECT_FALSE(tree.Remove("NameTable/Row1"));
  EXPECT_EQ(nullptr, tree.Find("NameTable/Row1/Name"));
  EXPECT_EQ(2u, table->child_count());
  tree.Clear();
  EXPECT_EQ("", tree.ToText());
}

TEST(PropertyTree, TextRoundTripsHostileNamesAndValues) {
  const std::vector<std::string> hostile = {"",
                                            "\n",
                                            "/",
                                            "=",
                                            "!",
                                            "&",
                                            " ",
                                            "a b=c/d\n",
                                            "!0!E",
                                            "\r\n",
                                            "<f>",
                                            "\xC3\xA9t\xC3\xA9",
                                            std::string("\0x\0", 3),
                                            "'\"",
                                            AllBytes()};
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

TEST(PropertyTree, EmptyNamesKeepTheirPlaceInPaths) {
  PropertyTree tree;
  tree.root().AddChild("").AddChild("").SetValue("deep");
  tree.root().AddChild("a").AddChild("").SetValue("");
  EXPECT_EQ("/=deep\na/=\n", tree.ToText());
  PropertyTree back;
  ASSERT_TRUE(back.Parse(tree.ToText()));
  std::string value;
  ASSERT_TRUE(back.GetValue("a/", &value));
  EXPECT_EQ("", value);
  EXPECT_EQ(tree.ToText(), back.ToText());
}

TEST(PropertyTree, MalformedTextIsRefusedAndTheTreeKept) {
  PropertyTree tree;
  ASSERT_TRUE(tree.Parse("Keep=1\n"));
  std::string deep;
  for (size_t i = 0; i <= PropertyTree::kMaxDepth; ++i) deep += "d/";
  const std::vector<std::string> bad = {
      "a=1",           // no final line feed
      "a=1\nb",        // cut off
      "a\n",           // no "="
      "\n",            // empty line
      "a b=1\n",       // raw blank in a name
      "a=1\r\n",       // raw carriage return in a value
      "a=x/y\n",       // raw slash in a value
      "a!9=1\n",       // unknown escape
      "a=1!\n",        // cut-off escape
      "a=!E\n",        // a name's escape inside a value
      "a=1\na=2\n",    // one path twice
      deep + "x=1\n",  // deeper than allowed
  };
  for (const std::string& text : bad) {
    EXPECT_FALSE(tree.Parse(text)) << text;
    EXPECT_EQ("Keep=1\n", tree.ToText());
  }
  // A value may hold "=" and blanks raw; a parent may follow its children.
  ASSERT_TRUE(tree.Parse("a/b==x y\na=2\n"));
  EXPECT_EQ("a=2\na/b==x y\n", tree.ToText());
  ASSERT_TRUE(tree.Parse(""));
  EXPECT_EQ(0u, tree.root().child_count());
}

TEST(PropertyTree, PathOperationsRefuseTooDeepPaths) {
  PropertyTree tree;
  std::string path = "x";
  for (size_t i = 1; i < PropertyTree::kMaxDepth; ++i) path += "/x";
  EXPECT_TRUE(tree.SetValue(path, "ok"));
  EXPECT_FALSE(tree.SetValue(path + "/x", "no"));
  EXPECT_EQ(nullptr, tree.Find(path + "/x"));
  PropertyTree back;
  EXPECT_TRUE(back.Parse(tree.ToText()));
}

}  // namespace
}  // namespace tw
