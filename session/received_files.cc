#include "session/received_files.h"

#include <utility>

namespace tw {

ReceivedFiles::ReceivedFiles(CRLMSGmessage* reply) {
  if (reply == nullptr) return;
  files_ = reply->scratch_files();
  reply->SetScratchFiles(nullptr);
}

ReceivedFiles::~ReceivedFiles() {
  RemoveAll();
}

ReceivedFiles::ReceivedFiles(ReceivedFiles&& other) noexcept
    : files_(std::exchange(other.files_, nullptr)) {}

ReceivedFiles& ReceivedFiles::operator=(ReceivedFiles&& other) noexcept {
  if (this != &other) {
    RemoveAll();
    files_ = std::exchange(other.files_, nullptr);
  }
  return *this;
}

bool ReceivedFiles::OfField(uint32_t field, std::vector<std::string>* paths) const {
  paths->clear();
  return files_ != nullptr && files_->OfField(field, paths);
}

bool ReceivedFiles::IsOwn(const std::string& path) const {
  return files_ != nullptr && files_->IsOwn(path);
}

bool ReceivedFiles::Take(const std::string& path) {
  return files_ != nullptr && files_->Take(path);
}

void ReceivedFiles::Remove(const std::string& path) {
  if (files_ != nullptr) files_->Remove(path);
}

void ReceivedFiles::RemoveAll() {
  if (files_ != nullptr) files_->RemoveAll();
}

}  // namespace tw
