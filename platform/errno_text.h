// Error numbers as text: the one place where an errno value becomes the
// text of a failure, for every layer and program.
//
// Pure functions; thread-safe (strerror_r, never strerror).
#ifndef TW_PLATFORM_ERRNO_TEXT_H_
#define TW_PLATFORM_ERRNO_TEXT_H_

#include <string>
#include <string_view>

namespace tw {

// The system's reason for `err` ("No such file or directory").
std::string ErrnoReason(int err);
// "<what> <path>: <reason>".
std::string ErrnoText(std::string_view what, std::string_view path, int err);

}  // namespace tw

#endif  // TW_PLATFORM_ERRNO_TEXT_H_
