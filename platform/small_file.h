// Small text files read whole and records appended to a file: the user
// interface's script (read once, at most a bounded size) and its record of
// what each dialog showed (one line per write, appended even while another
// process appends to the same file).
//
// Stateless; any thread.
#ifndef TW_PLATFORM_SMALL_FILE_H_
#define TW_PLATFORM_SMALL_FILE_H_

#include <cstddef>
#include <string>

namespace tw {

// Reads the regular file `path` whole into `contents`. False, with
// `contents` empty and the reason in `error`, when it cannot be opened, is
// no regular file or holds more than `max_bytes`.
bool ReadSmallFile(const std::string& path, size_t max_bytes, std::string* contents,
                   std::string* error);

// Appends `text` to `path` (created when missing) in one write. False, with
// the reason in `error`, when it cannot be opened, is no regular file or the
// write falls short. With `follow_links` false a link in the file's place (a
// symbolic link; on Windows a junction or other reparse point too) is refused
// as well, so the text goes only where the name itself says: for files a
// program keeps beside others' files, such as a log.
bool AppendToFile(const std::string& path, const std::string& text, std::string* error,
                  bool follow_links = true);

}  // namespace tw

#endif  // TW_PLATFORM_SMALL_FILE_H_
