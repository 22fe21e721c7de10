// GUID layout and text forms against known vectors, and the handle table.
#include "platform/guid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

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

  const Guid before = g;
  for (const char* bad :
       {"00112233-4455-6677-8899-aabbccddeef", "0011223g-4455-6677-8899-aabbccddeeff",
        "00112233-4455-6677-8899-aabbccddeeff0"}) {
    EXPECT_FALSE(Guid::FromText(bad, &g)) << bad;
  }
  EXPECT_EQ(before, g);
}

TEST(Guid, NewIdentifiersAreRandomVersionFourAndRoundTrip) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const Guid g = Guid::New();
    const std::string text = g.ToText();
    EXPECT_EQ('4', text[14]);  // version nibble of Data3, printed as a number
    Guid back;
    ASSERT_TRUE(Guid::FromText(text, &back));
    EXPECT_EQ(g, back);
    seen.insert(text);
  }
  EXPECT_EQ(1000u, seen.size());
}

TEST(HandleTable, StaleHandlesResolveToNothingAndAreNeverReused) {
  int a = 0;
  HandleTable& table = HandleTable::Instance();
  const uint32_t ha = table.Add(&a);
  EXPECT_NE(0u, ha);
  EXPECT_EQ(&a, table.Resolve(ha));
  table.Remove(ha);
  EXPECT_EQ(nullptr, table.Resolve(ha));
  EXPECT_EQ(nullptr, table.Resolve(0));
  const uint32_t hb = table.Add(&a);
  EXPECT_NE(ha, hb);
  table.Remove(hb);
}

}  // namespace
}  // namespace tw
