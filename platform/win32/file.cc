// The file object on Windows: a CreateFileW handle, read and written with
// ReadFile and WriteFile, positioned with SetFilePointerEx, stamped with
// SetFileTime; see platform/file.h.
#include "platform/file.h"

#include "platform/win32/win32_util.h"

namespace tw {
namespace {

class LocalFile : public FileObject {
 public:
  ~LocalFile() override { Close(); }
  bool Open(const std::string& path, uint32_t access, uint32_t share_mode, uint32_t disposition,
            uint32_t flags) override;
  bool Read(void* buffer, uint32_t count, uint32_t* read_count) override;
  bool Write(const void* buffer, uint32_t count, uint32_t* written_count) override;
  int ReadByte() override;
  int WriteByte(int value) override;
  int64_t Seek(int64_t offset, uint32_t origin) override;
  int64_t Tell() override { return Seek(0, kCurrent); }
  int64_t Size() override;
  bool SetModifiedTime(const DateTime& time) override;
  bool IsEndOfFile() const override { return end_of_file_; }
  void Close() override;

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool end_of_file_ = false;
};

bool LocalFile::Open(const std::string& path, uint32_t access, uint32_t share_mode,
                     uint32_t disposition, uint32_t flags) {
  Close();
  end_of_file_ = false;
  DWORD desired = 0;
  if (access & kRead) desired |= GENERIC_READ;
  if (access & kWrite) {
    // Appending: FILE_APPEND_DATA without FILE_WRITE_DATA puts every write
    // at the end, whoever else appends meanwhile.
    desired |= (access & kAppend) ? (FILE_APPEND_DATA | SYNCHRONIZE) : GENERIC_WRITE;
  }
  DWORD how;
  switch (disposition) {
    case kCreateNew:
    case kCreateNewPrivate:  // the user's profile folders are private already
      how = CREATE_NEW;
      break;
    case kCreateAlways:
      how = CREATE_ALWAYS;
      break;
    case kOpenExisting:
      how = OPEN_EXISTING;
      break;
    case kOpenAlways:
      how = OPEN_ALWAYS;
      break;
    case kTruncateExisting:
      how = TRUNCATE_EXISTING;
      break;
    default:
      return false;
  }
  const DWORD attributes = flags != 0 ? flags : FILE_ATTRIBUTE_NORMAL;
  handle_ = CreateFileW(win32::Wide(path).c_str(), desired, share_mode, nullptr, how, attributes,
                        nullptr);
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  // Only a regular file: a pipe or a device might never end. (A folder does
  // not open without FILE_FLAG_BACKUP_SEMANTICS.)
  if (GetFileType(handle_) != FILE_TYPE_DISK) {
    Close();
    return false;
  }
  return true;
}

bool LocalFile::Read(void* buffer, uint32_t count, uint32_t* read_count) {
  if (read_count != nullptr) *read_count = 0;
  DWORD n = 0;
  if (handle_ == INVALID_HANDLE_VALUE || !ReadFile(handle_, buffer, count, &n, nullptr) || n == 0) {
    end_of_file_ = true;
    return false;
  }
  if (read_count != nullptr) *read_count = n;
  return true;
}

bool LocalFile::Write(const void* buffer, uint32_t count, uint32_t* written_count) {
  if (written_count != nullptr) *written_count = 0;
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  const bool ok = WriteFile(handle_, buffer, count, &n, nullptr) != FALSE;
  if (written_count != nullptr) *written_count = n;
  return ok && n == count;
}

int LocalFile::ReadByte() {
  unsigned char byte = 0;
  uint32_t n = 0;
  if (!Read(&byte, 1, &n) || n != 1) return -1;
  return byte;
}

int LocalFile::WriteByte(int value) {
  const unsigned char byte = static_cast<unsigned char>(value);
  uint32_t n = 0;
  if (!Write(&byte, 1, &n) || n != 1) return -1;
  return byte;
}

int64_t LocalFile::Seek(int64_t offset, uint32_t origin) {
  if (handle_ == INVALID_HANDLE_VALUE) return -1;
  DWORD method;
  switch (origin) {
    case kBegin:
      method = FILE_BEGIN;
      break;
    case kCurrent:
      method = FILE_CURRENT;
      break;
    case kEnd:
      method = FILE_END;
      break;
    default:
      return -1;
  }
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  if (!SetFilePointerEx(handle_, distance, &position, method)) return -1;
  return position.QuadPart;
}

int64_t LocalFile::Size() {
  const int64_t position = Tell();
  if (position < 0) return -1;
  const int64_t end = Seek(0, kEnd);
  if (Seek(position, kBegin) != position) return -1;
  return end;
}

bool LocalFile::SetModifiedTime(const DateTime& time) {
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  if (!time.IsValid()) return true;
  // The time value's fields as UTC, the last-write time only; a failing
  // update is ignored.
  const FILETIME written = win32::FileTimeFromUnixMs(time.Milliseconds());
  SetFileTime(handle_, nullptr, nullptr, &written);
  return true;
}

void LocalFile::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

}  // namespace

std::unique_ptr<FileObject> NewLocalFile() {
  return std::make_unique<LocalFile>();
}

bool DiskSpace(const std::string& folder, uint64_t* available, uint64_t* total) {
  ULARGE_INTEGER free_to_caller;
  ULARGE_INTEGER size;
  if (!GetDiskFreeSpaceExW(win32::Wide(folder).c_str(), &free_to_caller, &size, nullptr))
    return false;
  *available = free_to_caller.QuadPart;
  *total = size.QuadPart;
  return true;
}

}  // namespace tw
