#include "platform/list_text.h"

namespace tw {

std::vector<std::string> SplitList(std::string_view text, std::string_view separator) {
  std::vector<std::string> elements;
  if (separator.empty()) {
    elements.emplace_back(text);
    return elements;
  }
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      elements.emplace_back(text.substr(start));
      return elements;
    }
    elements.emplace_back(text.substr(start, end - start));
    start = end + separator.size();
  }
}

std::string JoinList(const std::vector<std::string>& elements, std::string_view separator) {
  std::string text;
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) text += separator;
    text += elements[i];
  }
  return text;
}

}  // namespace tw
