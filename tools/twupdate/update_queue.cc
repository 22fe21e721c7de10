// Reading update.ini on POSIX systems, through wxFileConfig as the module
// writes it (platform/system_factory.cc): the same quoting of values and the
// same "%XX" form of names in keys.
#include "tools/twupdate/update_queue.h"

#include <fcntl.h>
#include <unistd.h>
#include <wx/fileconf.h>
#include <wx/log.h>

#include <cerrno>
#include <mutex>

#include "platform/errno_text.h"
#include "platform/system_factory.h"
#include "platform/wx_lock.h"

namespace tw {
namespace {

// The entries of one section, in the order of the file.
std::vector<std::pair<std::string, std::string>> Section(wxFileConfig* config,
                                                         const char* section) {
  std::vector<std::pair<std::string, std::string>> entries;
  config->SetPath(wxString("/") + section);
  wxString key;
  long cookie = 0;
  for (bool more = config->GetFirstEntry(key, cookie); more;
       more = config->GetNextEntry(key, cookie)) {
    entries.emplace_back(UpdateNameFromKey(key.utf8_string()), config->Read(key).utf8_string());
  }
  return entries;
}

}  // namespace

bool ReadUpdateQueue(const std::string& path, UpdateQueue* queue, std::string* error) {
  // wxFileConfig takes a file it cannot read for an empty one: an update
  // that cannot be read must not look like an empty queue.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "Cannot read " + path + ": " + ErrnoReason(errno);
    return false;
  }
  ::close(fd);
  std::lock_guard<std::mutex> wx_lock(WxStateLock());
  wxLogNull quiet;
  wxFileConfig config(wxEmptyString, wxEmptyString, wxString::FromUTF8(path), wxEmptyString,
                      wxCONFIG_USE_LOCAL_FILE | wxCONFIG_USE_RELATIVE_PATH);
  *queue = UpdateQueue();
  for (auto& [name, source] : Section(&config, "UpdateFiles")) {
    if (source == kWithdrawnEntry) {
      queue->withdrawn.push_back(name);
    } else {
      queue->files.push_back({name, source});
    }
  }
  for (auto& [name, value] : Section(&config, "Run")) {
    (value == "1" ? queue->runs : queue->not_run).push_back(name);
  }
  return true;
}

}  // namespace tw
