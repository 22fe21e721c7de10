// Directory junctions: a folder that the file system redirects to another
// folder. Here a junction is a symbolic link to the target's full path. The
// mount-point reparse buffer a Windows file system takes for the same
// junction is kept as a pure function with its exact byte layout, so that
// both forms name the target the same way.
//
// Mount-point reparse buffer (little-endian), L the byte length of the
// substitute name in UTF-16:
//   offset  width  field
//   0       4      reparse tag 0xA0000003 (mount point)
//   4       2      reparse data length, L + 12
//   6       2      reserved, 0
//   8       2      substitute name offset, 0
//   10      2      substitute name length, L
//   12      2      print name offset, L + 2
//   14      2      print name length, 0
//   16      L + 4  "\??\" and the full target path in UTF-16, then two zero
//                  characters (the name's end and the empty print name)
// The whole buffer is L + 20 bytes.
//
// A JunctionHelper keeps the text of its last error and is used by one
// thread at a time; the free functions are thread-safe.
#ifndef TW_PLATFORM_JUNCTION_H_
#define TW_PLATFORM_JUNCTION_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tw {

constexpr uint32_t kMountPointReparseTag = 0xA0000003;
// The largest reparse buffer a file system accepts.
constexpr size_t kMaxReparseBufferSize = 16 * 1024;

constexpr int kJunctionOk = 0;
constexpr int kJunctionBadName = 2;
constexpr int kJunctionFailed = -1;

// "\??\" and `full_target` (a full Windows path); one trailing "\" is
// dropped unless a ":" comes before it, so that a drive root keeps it.
std::string MountPointSubstituteName(const std::string& full_target);

// The reparse buffer for a junction to `full_target` (UTF-8). False, with
// *buffer untouched, when the name is not UTF-8 or the buffer would exceed
// kMaxReparseBufferSize.
bool MountPointReparseBuffer(const std::string& full_target, std::vector<uint8_t>* buffer);

// Whether a file system of this statfs type can hold symbolic links: every
// one but the FAT family (msdos, vfat, exFAT).
bool FileSystemSupportsLinks(int64_t statfs_type);

class JunctionHelper {
 public:
  JunctionHelper() = default;
  virtual ~JunctionHelper() = default;

  JunctionHelper(const JunctionHelper&) = delete;
  JunctionHelper& operator=(const JunctionHelper&) = delete;

  // Whether the file system holding `path` (or, when it does not exist yet,
  // its nearest existing parent folder) can hold links. False when that
  // cannot be found out.
  virtual bool SupportsLinks(const std::string& path);

  // Makes `link` (which must not exist) a junction to the folder `target`,
  // named by its full path; a target that does not exist yet is linked all
  // the same (the junction leads there once the folder is made).
  // kJunctionOk; kJunctionBadName when `target` is empty, its full path
  // cannot be found, or it exists and is no folder;
  // kJunctionFailed when the file system of the target or of the link holds
  // no links ("Selected volume does not support links", nothing created) or
  // the link cannot be created ("Error creating <link>: ..."). A failure
  // leaves nothing at `link`, and leaves alone whatever was there.
  int CreateJunction(const std::string& link, const std::string& target);

  // Removes the junction `link`, never what it points to (an empty folder
  // goes too). False with "Failed to remove link <link>: ..." otherwise.
  bool RemoveJunction(const std::string& link);

  // "<prefix><system message>\n" of the last failure.
  const std::string& LastError() const { return last_error_; }

 private:
  void SetSystemError(const std::string& prefix, int code);

  std::string last_error_;
};

}  // namespace tw

#endif  // TW_PLATFORM_JUNCTION_H_
