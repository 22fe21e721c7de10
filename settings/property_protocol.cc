// The request/reply texts of the property store protocol.
#include "settings/property_protocol.h"

#include "settings/property_escape.h"

namespace tw {

std::string BuildPropertyRequest(std::string_view code, std::string_view store,
                                 std::string_view arg1, std::string_view arg2) {
  std::string out;
  out.reserve(code.size() + store.size() + arg1.size() + arg2.size() + 3);
  out.append(code).append("\n").append(store).append("\n");
  out.append(arg1).append("\n").append(arg2);
  return out;
}

bool ParsePropertyRequest(std::string_view text, PropertyRequest* out) {
  std::string_view parts[4];
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t end = text.find('\n', start);
    if (end == std::string_view::npos) return false;
    parts[i] = text.substr(start, end - start);
    start = end + 1;
  }
  parts[3] = text.substr(start);
  if (parts[3].find('\n') != std::string_view::npos) return false;
  out->code.assign(parts[0]);
  out->store.assign(parts[1]);
  out->arg1.assign(parts[2]);
  out->arg2.assign(parts[3]);
  return true;
}

std::string BuildPropertyReply(bool ok, std::string_view result) {
  if (!ok) return kReplyFailed;
  std::string out(kReplyOk);
  out.append("\n").append(result);
  return out;
}

bool ParsePropertyReply(std::string_view text, std::string* result) {
  const size_t zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  const size_t end = text.find('\n');
  const std::string_view status = text.substr(0, end);
  if (status != kReplyOk) return false;
  if (end == std::string_view::npos) {
    result->clear();
  } else {
    // The result is the second field: up to the next line break, if any.
    std::string_view rest = text.substr(end + 1);
    result->assign(rest.substr(0, rest.find('\n')));
  }
  return true;
}

void AppendPropertyPathNames(std::string_view path, bool at_start,
                             std::vector<std::string>* names) {
  if (at_start && !path.empty() && path.front() == '/') path.remove_prefix(1);
  size_t start = 0;
  while (true) {
    const size_t end = path.find('/', start);
    if (end == std::string_view::npos) {
      names->emplace_back(path.substr(start));
      return;
    }
    names->emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
}

std::string EncodePropertyNames(const std::vector<std::string>& names,
                                const std::function<std::string(std::string_view)>& encode_name) {
  std::string out;
  for (const std::string& name : names) {
    const std::string encoded = encode_name(name);
    if (!out.empty()) out.push_back('/');
    out.append(encoded);
  }
  return out;
}

std::string EncodePropertyPath(std::string_view path,
                               const std::function<std::string(std::string_view)>& encode_name) {
  std::vector<std::string> names;
  AppendPropertyPathNames(path, true, &names);
  return EncodePropertyNames(names, encode_name);
}

bool IsValidEncodedPath(std::string_view path) {
  size_t segments = 0;
  size_t start = 0;
  std::string scratch;
  while (true) {
    const size_t end = path.find('/', start);
    const std::string_view segment =
        path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (++segments > kMaxPathSegments) return false;
    if (!ParseEscapedPropertyName(segment, &scratch)) return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

}  // namespace tw
