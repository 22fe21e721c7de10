#include "platform/decimal.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace tw {

int DecimalToInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulate the magnitude in 64 bits and stop growing once it is past the
  // largest magnitude an int can take, so no digit count can overflow.
  const int64_t limit = negative ? -static_cast<int64_t>(INT_MIN) : INT_MAX;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude <= limit) magnitude = magnitude * 10 + (text[i] - '0');
  }
  if (magnitude > limit) magnitude = limit;
  return static_cast<int>(negative ? -magnitude : magnitude);
}

bool ParseDecimal(std::string_view text, int64_t min, int64_t max, int64_t* value) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  // The magnitude stops growing once it is past every int64 bound, so no
  // digit count can overflow; such a value is out of any range.
  constexpr uint64_t kCap = uint64_t{1} << 63;
  uint64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    magnitude = magnitude > kCap / 10 ? kCap + 1 : magnitude * 10 + digit;
  }
  if (magnitude > kCap || (!negative && magnitude == kCap)) return false;
  const int64_t result =
      negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  if (result < min || result > max) return false;
  *value = result;
  return true;
}

bool ParseDigits(std::string_view text, uint64_t max, uint64_t* value) {
  size_t max_digits = 1;
  for (uint64_t rest = max; rest >= 10; rest /= 10) ++max_digits;
  if (text.size() > max_digits) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  int64_t parsed = 0;
  const int64_t cap = static_cast<int64_t>(std::min<uint64_t>(max, INT64_MAX));
  if (!ParseDecimal(text, 0, cap, &parsed)) return false;
  *value = static_cast<uint64_t>(parsed);
  return true;
}

bool ParsePort(std::string_view text, uint16_t* port) {
  int64_t value = 0;
  if (!ParseDecimal(text, 0, 65535, &value)) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace tw
