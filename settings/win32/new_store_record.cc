// Records of store files that a property client has just made, on Windows:
// a record is "<runtime>\new-stores\<volume>-<file index>" holding the
// file's creation time (a later file that reuses the index was created
// later). The server's descriptors are C runtime ones; their handles give
// the file's identity. See settings/new_store_record.h.
//
// Threads: no state; any thread.
#include "settings/new_store_record.h"

#include <io.h>

#include <cstdint>

#include "platform/file_replace.h"
#include "platform/runtime_dir.h"
#include "platform/win32/win32_util.h"

namespace tw {
namespace {

constexpr char kNewStoreFolder[] = "new-stores";

struct FileIdentity {
  std::string name;     // "<volume>-<index>"
  std::string created;  // the creation time, in 100 ns steps
};

bool IdentityOf(HANDLE handle, FileIdentity* out) {
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return false;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  const uint64_t index = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  const uint64_t created =
      (uint64_t{info.ftCreationTime.dwHighDateTime} << 32) | info.ftCreationTime.dwLowDateTime;
  out->name = std::to_string(info.dwVolumeSerialNumber) + "-" + std::to_string(index);
  out->created = std::to_string(created);
  return true;
}

bool IdentityOfDescriptor(int fd, FileIdentity* out) {
  return IdentityOf(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), out);
}

std::string RecordPath(const std::string& runtime_dir, const FileIdentity& id) {
  return runtime_dir + "\\" + kNewStoreFolder + "\\" + id.name;
}

}  // namespace

bool RecordNewStoreFile(const std::string& path) {
  FileIdentity id;
  {
    win32::ScopedHandle file(CreateFileW(win32::Wide(path).c_str(), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                         nullptr));
    if (!file.valid() || !IdentityOf(file.get(), &id)) return false;
  }
  std::string folder, error;
  if (!RuntimeSubdirectory(kNewStoreFolder, true, &folder, &error)) return false;
  // Whole or not at all: the server never reads half a record.
  return ReplaceFileWhole(folder + "\\" + id.name, id.created, 0600, nullptr) == 0;
}

bool HasNewStoreRecord(const std::string& runtime_dir, int fd) {
  FileIdentity id;
  if (runtime_dir.empty() || !IdentityOfDescriptor(fd, &id)) return false;
  const std::string record = RecordPath(runtime_dir, id);
  char text[64];
  DWORD got = 0;
  bool read = false;
  {
    win32::ScopedHandle in(CreateFileW(win32::Wide(record).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
    if (!in.valid()) return false;
    read = ReadFile(in.get(), text, sizeof text, &got, nullptr) != FALSE;
  }
  const bool same = read && got > 0 && std::string(text, got) == id.created;
  if (!same) DeleteFileW(win32::Wide(record).c_str());
  return same;
}

void DropNewStoreRecord(const std::string& runtime_dir, int fd) {
  FileIdentity id;
  if (runtime_dir.empty() || !IdentityOfDescriptor(fd, &id)) return;
  DeleteFileW(win32::Wide(RecordPath(runtime_dir, id)).c_str());
}

void SweepNewStoreRecords(const std::string& runtime_dir, long max_age_s) {
  const std::string folder = runtime_dir + "\\" + kNewStoreFolder;
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(win32::Wide(folder + "\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return;
  FILETIME now_time;
  GetSystemTimeAsFileTime(&now_time);
  const uint64_t now = (uint64_t{now_time.dwHighDateTime} << 32) | now_time.dwLowDateTime;
  do {
    if (entry.cFileName[0] == L'.' || (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    const uint64_t written = (uint64_t{entry.ftLastWriteTime.dwHighDateTime} << 32) |
                             entry.ftLastWriteTime.dwLowDateTime;
    if (now > written && (now - written) / 10000000 > uint64_t(max_age_s)) {
      // The found name as it is: one the code page lacks would not survive
      // a round trip through narrow text.
      DeleteFileW((win32::Wide(folder) + L"\\" + entry.cFileName).c_str());
    }
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

}  // namespace tw
