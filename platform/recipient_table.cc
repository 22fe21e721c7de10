#include "platform/recipient_table.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include "platform/mailslot.h"
#include "platform/runtime_dir.h"

namespace tw {

namespace {

// An entry holds one mailslot name and a line feed; anything longer is not
// one of ours.
constexpr size_t kMaxEntry = 4096;

bool EntryPath(const std::string& recipient, bool create, std::string* path, std::string* error) {
  if (recipient.empty()) {
    *error = "A recipient needs a name";
    return false;
  }
  std::string dir;
  if (!RuntimeSubdirectory(kRecipientFolder, create, &dir, error)) return false;
  *path = dir + "/" + EncodeFileName(recipient);
  return true;
}

bool ReadEntry(const std::string& path, std::string* mailslot) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  char buffer[kMaxEntry + 1];
  size_t length = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer + length, sizeof buffer - length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    length += static_cast<size_t>(n);
    if (length == sizeof buffer) break;
  }
  ::close(fd);
  if (length == 0 || length > kMaxEntry || buffer[length - 1] != '\n') return false;
  std::string name(buffer, length - 1);
  if (name.empty() || name.find('\0') != std::string::npos ||
      name.find('\n') != std::string::npos) {
    return false;
  }
  *mailslot = name;
  return true;
}

}  // namespace

bool RegisterRecipient(const std::string& recipient, const std::string& mailslot,
                       std::string* error) {
  if (mailslot.empty() || mailslot.size() >= kMaxEntry ||
      mailslot.find('\n') != std::string::npos || mailslot.find('\0') != std::string::npos) {
    *error = "Not a mailslot name that can be registered";
    return false;
  }
  std::string path;
  if (!EntryPath(recipient, true, &path, error)) return false;
  // Encoded names never start with ".", so the temporary name cannot meet an
  // entry.
  const size_t slash = path.rfind('/');
  std::string temp = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX";
  const int fd = ::mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) {
    *error = ErrnoText("Cannot create", temp, errno);
    return false;
  }
  const std::string contents = mailslot + "\n";
  size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const int write_errno = errno;
  ::close(fd);
  if (done != contents.size()) {
    *error = ErrnoText("Cannot write", temp, write_errno);
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    *error = ErrnoText("Cannot publish", path, errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

void UnregisterRecipient(const std::string& recipient, const std::string& mailslot) {
  std::string path, error, current;
  if (!EntryPath(recipient, false, &path, &error)) return;
  if (ReadEntry(path, &current) && current == mailslot) ::unlink(path.c_str());
}

bool LookupRecipient(const std::string& recipient, std::string* mailslot) {
  std::string path, error, name;
  if (!EntryPath(recipient, false, &path, &error)) return false;
  if (!ReadEntry(path, &name) || !MailslotIsAlive(name)) return false;
  *mailslot = name;
  return true;
}

bool RecipientRegistration::Register(const std::string& recipient, const std::string& mailslot,
                                     std::string* error) {
  Unregister();
  if (!RegisterRecipient(recipient, mailslot, error)) return false;
  recipient_ = recipient;
  mailslot_ = mailslot;
  return true;
}

void RecipientRegistration::Unregister() {
  if (recipient_.empty()) return;
  UnregisterRecipient(recipient_, mailslot_);
  recipient_.clear();
  mailslot_.clear();
}

}  // namespace tw
