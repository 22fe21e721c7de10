// The update queue as the module writes it into update.ini: one
// [UpdateFiles] entry per file of the installation to replace (name = the
// new file; "NULL" when the entry was withdrawn), and [Run] entries naming
// programs to start once every file is in place (value "1").
//
// Plain data and one stateless reader; any thread.
#ifndef TW_TOOLS_TWUPDATE_UPDATE_QUEUE_H_
#define TW_TOOLS_TWUPDATE_UPDATE_QUEUE_H_

#include <cstddef>
#include <string>
#include <vector>

namespace tw {

struct UpdateQueue {
  struct File {
    std::string name;    // the file to replace
    std::string source;  // the new file
  };
  // In the order of the file's lines, on every system; withdrawn entries
  // are not among them.
  std::vector<File> files;
  // Names whose entry holds "NULL".
  std::vector<std::string> withdrawn;
  // [Run] names with the value "1", in the same order.
  std::vector<std::string> runs;
  // [Run] names with any other value, which are not started.
  std::vector<std::string> not_run;
};

// The value of a withdrawn [UpdateFiles] entry.
constexpr char kWithdrawnEntry[] = "NULL";

// The largest update.ini read: a queue the module wrote is far smaller.
constexpr size_t kMaxUpdateQueueBytes = 4 << 20;

// Reads the queue from the update.ini at `path` (names as the module stored
// them: on POSIX systems the keys of UpdateKeyFromName, decoded here; on
// Windows the names themselves). The file is read once; `text` receives the
// bytes the queue was taken from, so that a caller can tell later whether
// the file changed since. False, with *error saying why, when the file
// cannot be read or is larger than kMaxUpdateQueueBytes.
bool ReadUpdateQueue(const std::string& path, UpdateQueue* queue, std::string* text,
                     std::string* error);

}  // namespace tw

#endif  // TW_TOOLS_TWUPDATE_UPDATE_QUEUE_H_
