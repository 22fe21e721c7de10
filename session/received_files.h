// ReceivedFiles: the scratch files that one reply brought. The message
// reader writes every file of a reply into a scratch file of its own and
// puts those paths into the reply's file-list field; from then on they
// belong to the session. The session keeps the files of its latest reply
// here: a command takes the ones it moves into place, and whatever is left
// is removed when the next request is sent or the session ends.
//
// Only paths of the reader's making count (IsTempFileName): a path that a
// reply names in a string field of its own is neither taken nor removed.
//
// Used on the session's calling thread only.
#ifndef TW_SESSION_RECEIVED_FILES_H_
#define TW_SESSION_RECEIVED_FILES_H_

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "messaging/message.h"

namespace tw {

class ReceivedFiles {
 public:
  ReceivedFiles() = default;
  // Collects the received files named by every string field of `reply`.
  explicit ReceivedFiles(const CRLMSGmessage& reply);
  // Removes the files not taken.
  ~ReceivedFiles();
  ReceivedFiles(ReceivedFiles&& other) noexcept;
  ReceivedFiles& operator=(ReceivedFiles&& other) noexcept;
  ReceivedFiles(const ReceivedFiles&) = delete;
  ReceivedFiles& operator=(const ReceivedFiles&) = delete;

  // The received files of `field` of `reply`, in order. False when the
  // field names a path that is not one of them.
  bool OfField(const CRLMSGmessage& reply, uint32_t field, std::vector<std::string>* paths) const;
  // `path` was moved away; it is not removed.
  void Taken(const std::string& path) { paths_.erase(path); }
  // Removes the received file `path` now (one that could not be placed).
  void Remove(const std::string& path);
  // Removes the files not taken now.
  void RemoveAll();

 private:
  std::set<std::string> paths_;
};

}  // namespace tw

#endif  // TW_SESSION_RECEIVED_FILES_H_
