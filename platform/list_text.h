// Lists held in one string: elements joined with a separator. The wire's
// list fields use "?" unless a command names another; stored settings and
// search paths have their own. Splitting keeps empty elements, so that
// parallel lists keep their positions: a text with n separators gives n + 1
// elements, and the empty text one empty element.
//
// Threads: no state.
#ifndef TW_PLATFORM_LIST_TEXT_H_
#define TW_PLATFORM_LIST_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

namespace tw {

// An empty separator gives the text whole.
std::vector<std::string> SplitList(std::string_view text, std::string_view separator);
inline std::vector<std::string> SplitList(std::string_view text, char separator) {
  return SplitList(text, std::string_view(&separator, 1));
}
std::string JoinList(const std::vector<std::string>& elements, std::string_view separator);
inline std::string JoinList(const std::vector<std::string>& elements, char separator) {
  return JoinList(elements, std::string_view(&separator, 1));
}

}  // namespace tw

#endif  // TW_PLATFORM_LIST_TEXT_H_
