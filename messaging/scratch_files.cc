// The scratch file set; a file's identity is read in scratch_identity.cc,
// one form per system.
#include "messaging/scratch_files.h"

#include <utility>

#include "platform/debug_output.h"
#include "platform/file_attributes.h"

namespace tw {

ScratchFiles::~ScratchFiles() {
  RemoveAll();
}

void ScratchFiles::AddFile(const std::string& path, const Identity& closed, std::string sha256) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[path] = Entry{closed, std::move(sha256), std::string(), Identity()};
}

void ScratchFiles::AddMembers(const std::string& path, const std::string& members,
                              const Identity& closed) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = files_.find(path);
  if (found == files_.end()) return;
  found->second.members = members;
  found->second.members_identity = closed;
}

bool ScratchFiles::MembersOwn(const Entry& entry) {
  Identity now;
  return !entry.members.empty() && ReadIdentity(entry.members, &now) &&
         now == entry.members_identity;
}

void ScratchFiles::RemoveMembers(Entry* entry) {
  if (MembersOwn(*entry) && !RemoveLocalFile(entry->members)) {
    DebugLog("ScratchFiles: cannot remove \"%s\"", entry->members.c_str());
  }
  entry->members.clear();
}

void ScratchFiles::AddField(uint32_t field, std::vector<std::string> paths) {
  std::lock_guard<std::mutex> lock(mutex_);
  fields_[field] = std::move(paths);
}

bool ScratchFiles::HasField(uint32_t field) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fields_.count(field) != 0;
}

bool ScratchFiles::OfField(uint32_t field, std::vector<std::string>* paths) const {
  paths->clear();
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = fields_.find(field);
  if (found == fields_.end()) return false;
  for (const std::string& path : found->second) {
    if (files_.count(path) == 0) {
      paths->clear();
      return false;
    }
  }
  *paths = found->second;
  return true;
}

bool ScratchFiles::IsOwnLocked(const std::string& path) const {
  auto found = files_.find(path);
  if (found == files_.end()) return false;
  Identity now;
  return ReadIdentity(path, &now) && now == found->second.identity;
}

bool ScratchFiles::IsOwn(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return IsOwnLocked(path);
}

bool ScratchFiles::Take(const std::string& path, std::string* sha256, std::string* members) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!IsOwnLocked(path)) return false;
  auto found = files_.find(path);
  if (sha256 != nullptr) *sha256 = std::move(found->second.sha256);
  if (members != nullptr) {
    members->clear();
    if (MembersOwn(found->second)) *members = std::move(found->second.members);
  } else {
    RemoveMembers(&found->second);
  }
  files_.erase(found);
  return true;
}

void ScratchFiles::RemoveLocked(const std::string& path) {
  // Only the file we closed: something else put in its place stays.
  if (IsOwnLocked(path) && !RemoveLocalFile(path)) {
    DebugLog("ScratchFiles: cannot remove \"%s\"", path.c_str());
  }
  auto found = files_.find(path);
  if (found != files_.end()) RemoveMembers(&found->second);
  files_.erase(path);
}

void ScratchFiles::Remove(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (files_.count(path) != 0) RemoveLocked(path);
}

void ScratchFiles::RemoveAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  while (!files_.empty()) RemoveLocked(files_.begin()->first);
}

size_t ScratchFiles::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return files_.size();
}

}  // namespace tw
