// CRLMSGmessageTable: a named collection of named entries, each holding at
// most one message, and its diagnostic text:
//
//   "<t>" name "</t>\n"
//   per entry in name order: "\t<n>" entry "</n>\n"
//     and when it holds a message: "\t\t<m s=" size ">" field elements "\t\t</m>\n"
//
// where the field elements are those of CRLMSGmessage::WriteFieldElements
// and size is their byte count.
//
// Not thread-safe: one owner at a time. The table holds one reference to
// each message it keeps.
#ifndef TW_MESSAGING_MESSAGE_TABLE_H_
#define TW_MESSAGING_MESSAGE_TABLE_H_

#include <cstddef>
#include <map>
#include <string>
#include <utility>

#include "messaging/message.h"

namespace tw {

class CRLMSGmessageTable {
 public:
  explicit CRLMSGmessageTable(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  // Adds an entry without a message; an existing entry keeps its message.
  void AddEntry(const std::string& entry);
  // Puts `message` (or nothing, for null) into the entry, adding the entry
  // when needed and releasing any message it held.
  void SetMessage(const std::string& entry, MessagePtr message);
  // The entry's message; null when the entry is missing or empty.
  MessagePtr GetMessage(const std::string& entry) const;
  bool RemoveEntry(const std::string& entry);
  size_t size() const { return entries_.size(); }

  // Writes the text to `sink`; false when the sink fails.
  bool WriteText(ByteSink* sink) const;
  std::string ToText() const;

 private:
  std::string name_;
  std::map<std::string, MessagePtr> entries_;  // in name order
};

}  // namespace tw

#endif  // TW_MESSAGING_MESSAGE_TABLE_H_
