// A scratch file's identity on Windows: the volume's serial number, the
// file index, the size and the last write time of the file itself (a
// reparse point is not followed, and is not a scratch file). Stateless; any
// thread.
#include "messaging/scratch_files.h"
#include "platform/win32/win32_util.h"

namespace tw {

bool ScratchFiles::ReadIdentity(const std::string& path, Identity* identity) {
  win32::ScopedHandle file(CreateFileW(win32::Wide(path).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) return false;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
    return false;
  }
  identity->device = info.dwVolumeSerialNumber;
  identity->inode = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  identity->size = static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  // FILETIME counts 100 ns steps.
  identity->changed_ns =
      static_cast<int64_t>((uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                           info.ftLastWriteTime.dwLowDateTime) *
      100;
  return true;
}

}  // namespace tw
