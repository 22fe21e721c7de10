// Moving a received file into its place on Windows: MoveFileExW, which
// copies across volumes itself; see platform/file_move.h.
#include "platform/file_move.h"

#include "platform/win32/win32_util.h"

namespace tw {

bool MoveFileReplacing(const std::string& from, const std::string& to, std::string* error) {
  const std::wstring source = win32::Wide(from);
  const std::wstring target = win32::Wide(to);
  // A read-only file in the way refuses to be replaced: it loses the
  // attribute first, and gets it back when the move fails after all.
  const DWORD old_attributes = GetFileAttributesW(target.c_str());
  const bool was_read_only = old_attributes != INVALID_FILE_ATTRIBUTES &&
                             (old_attributes & FILE_ATTRIBUTE_READONLY) &&
                             !(old_attributes & FILE_ATTRIBUTE_DIRECTORY);
  if (was_read_only) {
    SetFileAttributesW(target.c_str(), old_attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  }
  if (MoveFileExW(source.c_str(), target.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  const DWORD code = GetLastError();
  if (was_read_only) SetFileAttributesW(target.c_str(), old_attributes);
  if (error != nullptr) *error = win32::ErrorText("cannot move " + from + " to", to, code);
  return false;
}

}  // namespace tw
