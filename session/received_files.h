// ReceivedFiles: the scratch files that one reply brought. The message
// reader writes every file of a reply into a scratch file it creates itself
// and hands the set of those files over with the reply
// (messaging/scratch_files.h); from then on they belong to the Reply of
// that round trip (session/client_session.h). A command takes the ones it
// moves into place, and whatever is left is removed with the Reply, before
// the command returns.
//
// Only the reader's own files count, by identity: a path that a reply names
// in a text field - even a text field with the id of a file list, even one
// shaped like a scratch name - is neither taken nor removed.
//
// Used on the session's calling thread only.
#ifndef TW_SESSION_RECEIVED_FILES_H_
#define TW_SESSION_RECEIVED_FILES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "messaging/message.h"
#include "messaging/scratch_files.h"

namespace tw {

class ReceivedFiles {
 public:
  ReceivedFiles() = default;
  // Takes over the scratch files of `reply` (the reply no longer holds them).
  explicit ReceivedFiles(CRLMSGmessage* reply);
  // Removes the files not taken.
  ~ReceivedFiles();
  ReceivedFiles(ReceivedFiles&& other) noexcept;
  ReceivedFiles& operator=(ReceivedFiles&& other) noexcept;
  ReceivedFiles(const ReceivedFiles&) = delete;
  ReceivedFiles& operator=(const ReceivedFiles&) = delete;

  // The received files of file-list field `field`, in order. False when the
  // field did not arrive as a file list (a text-typed field is refused) or a
  // file it names did not arrive whole.
  bool OfField(uint32_t field, std::vector<std::string>* paths) const;
  // Whether `path` is a received file not yet taken, still the very file
  // the reader wrote.
  bool IsOwn(const std::string& path) const;
  // `path` is to be moved away: false, with nothing changed, when it is not
  // IsOwn; otherwise it is never removed from here.
  bool Take(const std::string& path);
  // Removes `path` now when it is a received file not taken.
  void Remove(const std::string& path);
  // Removes the files not taken now.
  void RemoveAll();
  // Files not taken.
  size_t size() const { return files_ ? files_->size() : 0; }

 private:
  ScratchFilesRef files_;
};

}  // namespace tw

#endif  // TW_SESSION_RECEIVED_FILES_H_
