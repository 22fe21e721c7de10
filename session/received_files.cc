#include "session/received_files.h"

#include <unistd.h>

#include <utility>

#include "messaging/field_ids.h"
#include "messaging/list_text.h"
#include "platform/system_factory.h"

namespace tw {

ReceivedFiles::ReceivedFiles(const CRLMSGmessage& reply) {
  std::vector<uint32_t> ids;
  reply.GetFieldIds(&ids);
  for (uint32_t id : ids) {
    std::string text;
    if (reply.GetString(id, &text) != kFieldOk || text.empty()) continue;
    for (std::string& path : SplitList(text, kListSeparator)) {
      if (IsTempFileName(path)) paths_.insert(std::move(path));
    }
  }
}

ReceivedFiles::~ReceivedFiles() {
  RemoveAll();
}

ReceivedFiles::ReceivedFiles(ReceivedFiles&& other) noexcept
    : paths_(std::exchange(other.paths_, {})) {}

ReceivedFiles& ReceivedFiles::operator=(ReceivedFiles&& other) noexcept {
  if (this != &other) {
    RemoveAll();
    paths_ = std::exchange(other.paths_, {});
  }
  return *this;
}

bool ReceivedFiles::OfField(const CRLMSGmessage& reply, uint32_t field,
                            std::vector<std::string>* paths) const {
  paths->clear();
  std::string text;
  if (reply.GetString(field, &text) != kFieldOk || text.empty()) return true;
  for (std::string& path : SplitList(text, kListSeparator)) {
    if (paths_.count(path) == 0) {
      paths->clear();
      return false;
    }
    paths->push_back(std::move(path));
  }
  return true;
}

void ReceivedFiles::Remove(const std::string& path) {
  if (paths_.erase(path) != 0) ::unlink(path.c_str());
}

void ReceivedFiles::RemoveAll() {
  for (const std::string& path : paths_) ::unlink(path.c_str());
  paths_.clear();
}

}  // namespace tw
