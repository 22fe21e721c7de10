// The recipient table: how a process finds the mailslot of a named local
// recipient (the property file server registers as
// "Veltrane:APPpropertyFileServer").
//
// A recipient publishes its mailslot name in the file
// <runtime>/recipients/<encoded recipient name>, written atomically (a
// temporary file renamed into place), and removes it when it unregisters. A
// lookup counts the recipient as registered only while that mailslot has a
// live reader, so an entry left by a crashed process is never followed.
//
// Windows form (platform/win32/recipient_table.cc): a named shared block per
// recipient, held by the registering process.
//
// Threads: the functions keep no state; a RecipientRegistration belongs to
// one thread at a time.
#ifndef TW_PLATFORM_RECIPIENT_TABLE_H_
#define TW_PLATFORM_RECIPIENT_TABLE_H_

#include <string>

namespace tw {

// Publishes `mailslot` as the mailslot of `recipient`, replacing any earlier
// entry. False with *error when the entry cannot be written.
bool RegisterRecipient(const std::string& recipient, const std::string& mailslot,
                       std::string* error);

// Removes the entry of `recipient` if it still names `mailslot` (a newer
// registration by someone else stays).
void UnregisterRecipient(const std::string& recipient, const std::string& mailslot);

// The mailslot name of a registered recipient whose reader is alive; false
// when there is no entry, the entry is malformed or its reader is gone.
bool LookupRecipient(const std::string& recipient, std::string* mailslot);

// Keeps a registration for its own lifetime.
class RecipientRegistration {
 public:
  RecipientRegistration() = default;
  ~RecipientRegistration() { Unregister(); }
  RecipientRegistration(const RecipientRegistration&) = delete;
  RecipientRegistration& operator=(const RecipientRegistration&) = delete;

  bool Register(const std::string& recipient, const std::string& mailslot, std::string* error);
  void Unregister();

 private:
  std::string recipient_;
  std::string mailslot_;
};

}  // namespace tw

#endif  // TW_PLATFORM_RECIPIENT_TABLE_H_
