#include "messaging/message_table.h"

#include <utility>

namespace tw {

void CRLMSGmessageTable::AddEntry(const std::string& entry) {
  entries_.try_emplace(entry);
}

void CRLMSGmessageTable::SetMessage(const std::string& entry, MessagePtr message) {
  entries_[entry] = std::move(message);
}

MessagePtr CRLMSGmessageTable::GetMessage(const std::string& entry) const {
  auto it = entries_.find(entry);
  return it == entries_.end() ? MessagePtr() : it->second;
}

bool CRLMSGmessageTable::RemoveEntry(const std::string& entry) {
  return entries_.erase(entry) != 0;
}

bool CRLMSGmessageTable::WriteText(ByteSink* sink) const {
  if (sink == nullptr) return false;
  auto put = [sink](const std::string& text) { return sink->Write(text.data(), text.size()); };
  if (!put("<t>" + name_ + "</t>\n")) return false;
  for (const auto& [entry, message] : entries_) {
    if (!put("\t<n>" + entry + "</n>\n")) return false;
    if (!message) continue;
    // The size comes before the elements, so they are gathered first.
    std::string elements;
    StringSink gather(&elements);
    uint64_t size = 0;
    message->WriteFieldElements(&gather, &size);
    if (!put("\t\t<m s=" + std::to_string(size) + ">") || !put(elements) || !put("\t\t</m>\n")) {
      return false;
    }
  }
  return true;
}

std::string CRLMSGmessageTable::ToText() const {
  std::string text;
  StringSink sink(&text);
  WriteText(&sink);
  return text;
}

}  // namespace tw
