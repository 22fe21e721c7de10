// Replacing a small file whole on Windows: the new contents go into a new
// file beside the old one, are flushed to the disk, and MoveFileExW puts
// them in its place; see platform/file_replace.h. The permission bits of
// the POSIX form have no counterpart here: the new file takes its folder's
// security, as any file the user creates.
#include "platform/file_replace.h"

#include <algorithm>

#include "platform/guid.h"
#include "platform/win32/win32_util.h"

namespace tw {

int ReplaceFileWhole(const std::string& path, const std::string& contents, int mode,
                     std::string* error) {
  (void)mode;
  const std::string temp = path + "." + Guid::New().ToHexName() + ".tmp";
  const std::wstring wide_temp = win32::Wide(temp);
  auto fail = [&](const char* step, const std::string& name, DWORD code) {
    if (error != nullptr) *error = win32::ErrorText(step, name, code);
    return static_cast<int>(code != 0 ? code : ERROR_GEN_FAILURE);
  };
  HANDLE file = CreateFileW(wide_temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail("cannot create", temp, GetLastError());
  size_t done = 0;
  DWORD code = 0;
  while (done < contents.size() && code == 0) {
    const DWORD piece = static_cast<DWORD>(std::min<size_t>(contents.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file, contents.data() + done, piece, &written, nullptr) || written == 0) {
      code = GetLastError();
      break;
    }
    done += written;
  }
  if (code == 0 && !FlushFileBuffers(file)) code = GetLastError();
  CloseHandle(file);
  if (code != 0) {
    DeleteFileW(wide_temp.c_str());
    return fail("cannot write", temp, code);
  }
  if (!MoveFileExW(wide_temp.c_str(), win32::Wide(path).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    code = GetLastError();
    DeleteFileW(wide_temp.c_str());
    return fail("cannot replace", path, code);
  }
  return 0;
}

}  // namespace tw
