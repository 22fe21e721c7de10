// Reading update.ini on Windows with the profile functions the module
// writes it with (platform/win32/system_factory.cc): names are the keys
// themselves.
#include "tools/twupdate/update_queue.h"

#include <utility>

#include "platform/win32/win32_util.h"

namespace tw {
namespace {

// A section larger than this is no queue the module wrote.
constexpr DWORD kMaxSectionChars = 4 * 1024 * 1024;

// The "key=value" entries of one section, in the order of the file. False
// when the section does not fit the limit.
bool Section(const std::wstring& file, const wchar_t* section,
             std::vector<std::pair<std::string, std::string>>* entries) {
  std::wstring buffer(64 * 1024, L'\0');
  for (;;) {
    const DWORD n = GetPrivateProfileSectionW(section, &buffer[0],
                                              static_cast<DWORD>(buffer.size()), file.c_str());
    // The buffer was too small when the count is its size less two.
    if (n + 2 < buffer.size()) {
      buffer.resize(n);
      break;
    }
    if (buffer.size() >= kMaxSectionChars) return false;
    buffer.assign(buffer.size() * 2, L'\0');
  }
  size_t start = 0;
  while (start < buffer.size()) {
    size_t end = buffer.find(L'\0', start);
    if (end == std::wstring::npos) end = buffer.size();
    const std::wstring line = buffer.substr(start, end - start);
    start = end + 1;
    const size_t equals = line.find(L'=');
    if (line.empty() || equals == 0) continue;
    if (equals == std::wstring::npos) {
      entries->emplace_back(win32::Narrow(line), std::string());
    } else {
      entries->emplace_back(win32::Narrow(line.substr(0, equals)),
                            win32::Narrow(line.substr(equals + 1)));
    }
  }
  return true;
}

}  // namespace

bool ReadUpdateQueue(const std::string& path, UpdateQueue* queue, std::string* error) {
  const std::wstring file = win32::Wide(path);
  // The profile functions take a file they cannot read for an empty one: an
  // update that cannot be read must not look like an empty queue.
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = "Cannot read " + path + ": " + win32::SystemMessage(GetLastError());
    return false;
  }
  CloseHandle(handle);
  std::vector<std::pair<std::string, std::string>> files;
  std::vector<std::pair<std::string, std::string>> runs;
  if (!Section(file, L"UpdateFiles", &files) || !Section(file, L"Run", &runs)) {
    *error = "Cannot read " + path + ": a section is too large";
    return false;
  }
  *queue = UpdateQueue();
  for (auto& [name, source] : files) {
    if (source == kWithdrawnEntry) {
      queue->withdrawn.push_back(name);
    } else {
      queue->files.push_back({name, source});
    }
  }
  for (auto& [name, value] : runs) {
    (value == "1" ? queue->runs : queue->not_run).push_back(name);
  }
  return true;
}

}  // namespace tw
