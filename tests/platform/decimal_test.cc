// The strict decimal reading that ports, process ids and limits go through:
// what it refuses matters more than what it takes.
#include "platform/decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace tw {
namespace {

TEST(ParseDecimal, TakesANumberWithBlanksAroundAndNothingElse) {
  int64_t value = 7;
  EXPECT_TRUE(ParseDecimal(" \t-42 ", -100, 100, &value));
  EXPECT_EQ(value, -42);
  EXPECT_TRUE(ParseDecimal("+9223372036854775807", 0, std::numeric_limits<int64_t>::max(), &value));
  EXPECT_EQ(value, std::numeric_limits<int64_t>::max());
  EXPECT_TRUE(ParseDecimal("-9223372036854775808", std::numeric_limits<int64_t>::min(), 0, &value));
  EXPECT_EQ(value, std::numeric_limits<int64_t>::min());

  value = 7;
  for (const char* text : {"", " ", "-", "12a", "1 2", "0x10", "1.0", "9223372036854775808",
                           "-9223372036854775809", "99999999999999999999999999999999"}) {
    EXPECT_FALSE(ParseDecimal(text, std::numeric_limits<int64_t>::min(),
                              std::numeric_limits<int64_t>::max(), &value))
        << text;
  }
  EXPECT_FALSE(ParseDecimal("101", -100, 100, &value));
  EXPECT_EQ(value, 7);
}

TEST(ParseDigits, TakesBareDigitsUpToTheLimit) {
  uint64_t value = 7;
  EXPECT_TRUE(ParseDigits("4294967295", UINT32_MAX, &value));
  EXPECT_EQ(value, UINT32_MAX);
  value = 7;
  EXPECT_TRUE(ParseDigits("0000000001", UINT32_MAX, &value));
  EXPECT_EQ(value, 1u);
  value = 7;
  // Eleven digits for a ten-digit limit, even when they are leading zeros.
  for (const char* text : {"", " 1", "1 ", "+1", "-0", "4294967296", "12a", "00000000001"}) {
    EXPECT_FALSE(ParseDigits(text, UINT32_MAX, &value)) << text;
  }
  EXPECT_EQ(value, 7u);
}

TEST(ParsePort, RefusesWhatDoesNotFitSixteenBits) {
  uint16_t port = 1;
  EXPECT_TRUE(ParsePort("65535", &port));
  EXPECT_EQ(port, 65535);
  EXPECT_TRUE(ParsePort(" 0 ", &port));
  EXPECT_EQ(port, 0);
  port = 1;
  // 65536 and 69536 would wrap to 0 and 4000.
  for (const char* text : {"65536", "69536", "-1", "4900x"}) {
    EXPECT_FALSE(ParsePort(text, &port)) << text;
  }
  EXPECT_EQ(port, 1);
}

}  // namespace
}  // namespace tw
