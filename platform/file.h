// The file object through which file contents are read for sending and
// written on receipt, and through which a received file gets the
// modification time the server reports.
//
// Not thread-safe: one owner at a time.
#ifndef TW_PLATFORM_FILE_H_
#define TW_PLATFORM_FILE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/date_time.h"

namespace tw {

class FileObject {
 public:
  // kAppend with kWrite: every write goes to the end of the file, even when
  // another process appends to it meanwhile.
  enum Access : uint32_t { kRead = 1, kWrite = 2, kAppend = 4 };
  // Share mode: others may read the file while it is open.
  static constexpr uint32_t kShareRead = 1;
  enum Disposition : uint32_t {
    kCreateNew = 1,     // fails when the file exists (O_CREAT | O_EXCL | O_NOFOLLOW)
    kCreateAlways = 2,  // creates or truncates
    kOpenExisting = 3,  // fails when the file is missing
    kOpenAlways = 4,    // opens or creates
    kTruncateExisting = 5,
    // As kCreateNew, but readable and writable by the owner only (0600): a
    // scratch file in a shared temporary folder that will hold the user's
    // data.
    kCreateNewPrivate = 6,
  };
  enum Origin : uint32_t { kBegin = 0, kCurrent = 1, kEnd = 2 };

  virtual ~FileObject() = default;
  // Opens `path`; share mode and flags are kept for the Windows layer and
  // ignored here. Returns false when the file cannot be opened or is no
  // regular file (a folder, a pipe or a device, which might never end or
  // block the opener).
  virtual bool Open(const std::string& path, uint32_t access, uint32_t share_mode,
                    uint32_t disposition, uint32_t flags) = 0;
  // One read; false, with the end-of-file flag set, when it fails or reads
  // no bytes. `read_count` may be null.
  virtual bool Read(void* buffer, uint32_t count, uint32_t* read_count) = 0;
  virtual bool Write(const void* buffer, uint32_t count, uint32_t* written_count) = 0;
  // The byte value, or -1.
  virtual int ReadByte() = 0;
  virtual int WriteByte(int value) = 0;
  // New position, or -1.
  virtual int64_t Seek(int64_t offset, uint32_t origin) = 0;
  virtual int64_t Tell() = 0;
  // Size in bytes without moving the position, or -1.
  virtual int64_t Size() = 0;
  // Sets the last-write time from a UTC time value; false only when no file
  // is open (a failing time update is ignored).
  virtual bool SetModifiedTime(const DateTime& time) = 0;
  virtual bool IsEndOfFile() const = 0;
  virtual void Close() = 0;
  // Starts writing what was written so far to the disk and returns without
  // waiting, so that a sync once the file is complete finds little left to
  // do. Does nothing where the system has no such call. Where it flushes
  // the file on a thread of its own meanwhile (the local file object on
  // Linux), Close, Open and the destructor wait for that flush to end.
  virtual void StartWriteback() {}
  // Whether the disk refused what StartWriteback handed it. From then on
  // every Write fails; it stays true after Close, until the next Open.
  virtual bool WritebackFailed() const { return false; }
};

std::unique_ptr<FileObject> NewLocalFile();

// The bytes an unprivileged writer may still put on the file system that
// holds `folder`, and the file system's size; false when that cannot be
// told.
bool DiskSpace(const std::string& folder, uint64_t* available, uint64_t* total);

}  // namespace tw

#endif  // TW_PLATFORM_FILE_H_
