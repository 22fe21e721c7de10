// GUID layout and text forms against known vectors, the hex dump, and the
// handle table.
#include "platform/guid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/debug_output.h"
#include "platform/handle_table.h"

namespace tw {
namespace {

TEST(Guid, TextAndMemoryLayoutFollowWindows) {
  Guid g;
  ASSERT_TRUE(Guid::FromText("00112233-4455-6677-8899-AABBCCDDEEFF", &g));
  const uint8_t expected[16] = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  EXPECT_EQ(0, memcmp(expected, g.bytes.data(), 16));
  EXPECT_EQ("00112233-4455-6677-8899-aabbccddeeff", g.ToText());
  EXPECT_EQ("33221100554477668899AABBCCDDEEFF", g.ToHexName());
  EXPECT_EQ(g, Guid::FromBytes(expected));
}

TEST(Guid, RejectsMalformedText) {
  Guid g = Guid::New();
  const Guid before = g;
  for (const char* bad :
       {"", "00112233-4455-6677-8899-aabbccddeef", "00112233-4455-6677-8899_aabbccddeeff",
        "0011223g-4455-6677-8899-aabbccddeeff", "00112233-4455-6677-8899-aabbccddeeff0"}) {
    EXPECT_FALSE(Guid::FromText(bad, &g)) << bad;
  }
  EXPECT_EQ(before, g);
  EXPECT_FALSE(Guid::FromText("00112233-4455-6677-8899-aabbccddeeff", nullptr));
}

TEST(Guid, NewIdentifiersAreRandomVersionFourAndRoundTrip) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    Guid g = Guid::New();
    std::string text = g.ToText();
    EXPECT_EQ('4', text[14]);  // version nibble of Data3, printed as a number
    Guid back;
    ASSERT_TRUE(Guid::FromText(text, &back));
    EXPECT_EQ(g, back);
    seen.insert(text);
  }
  EXPECT_EQ(1000u, seen.size());
}

TEST(HexDump, EmptyInputGivesEmptyText) {
  EXPECT_EQ("", HexDump("", 0, 80));
}

TEST(HexDump, ShortLineIsPaddedAndNonPrintablesAreDots) {
  const unsigned char bytes[5] = {'A', 0x00, 'z', 0x7f, ' '};
  std::string expected = "41 00 7A 7F 20 ";
  expected += std::string(11 * 3, ' ');
  expected += " - A.z. \n";
  EXPECT_EQ(expected, HexDump(bytes, 5, 49));
}

TEST(HexDump, FullLinesBreakAtWidth) {
  std::string data(27, 'x');
  std::string dump = HexDump(data.data(), data.size(), 80);  // 26 per line
  size_t first_line = dump.find('\n');
  ASSERT_NE(std::string::npos, first_line);
  EXPECT_EQ(26u * 3 + 3 + 26, first_line);
  EXPECT_EQ(2, std::count(dump.begin(), dump.end(), '\n'));
}

TEST(HandleTable, HandlesResolveUntilRemovedAndAreNeverReused) {
  int a = 0, b = 0;
  HandleTable& table = HandleTable::Instance();
  uint32_t ha = table.Add(&a);
  uint32_t hb = table.Add(&b);
  EXPECT_NE(0u, ha);
  EXPECT_NE(ha, hb);
  EXPECT_EQ(&a, table.Resolve(ha));
  EXPECT_EQ(&b, table.Resolve(hb));
  table.Remove(ha);
  EXPECT_EQ(nullptr, table.Resolve(ha));
  EXPECT_EQ(nullptr, table.Resolve(0));
  uint32_t hc = table.Add(&a);
  EXPECT_NE(ha, hc);
  table.Remove(hb);
  table.Remove(hc);
}

}  // namespace
}  // namespace tw
