// The per-host provider context and the per-process shared session slot.
//
// A host calls SccInitialize once for each place where it wants source
// control and gets a ProviderContext back; all contexts of one process share
// one SharedSessionSlot, a named shared block ("_TW_SCC_SHARED_CONTEXT_<pid>")
// that holds the process's one ClientSession and the count of live contexts,
// so that they share one session and one server connection.
//
// Threads: a context is used by one host caller at a time and is not locked.
// The slot's fields are read and written only between Lock and Unlock; a
// server-using export holds the slot's lock for its whole span.
#ifndef TW_PROVIDER_CONTEXT_H_
#define TW_PROVIDER_CONTEXT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/shared_block.h"
#include "provider/msscci.h"

namespace tw {

class ClientSession;

// The slot's record: a pointer-sized session field, then the 32-bit count of
// live contexts, the 32-bit busy depth and the 32-bit deferred-work marks.
// Only this process reads the pointer.
//
// The record owns the session it points to: one session per process, shared
// by every context's handle to the slot, so the owner is the record and not
// any one handle. It changes hands only through ResetSession, which destroys
// the session it replaces; nobody else deletes a session.
//
// The busy depth counts the exports of this process that are using the
// session (entered with Enter, left with Leave, always under the lock). The
// lock is held for an export's whole span, so a depth above zero seen under
// the lock means an export of this very thread is still running below: the
// host called the module again from one of its callbacks (text-out, a
// dialog, a populate-list callback). While the depth is above zero the
// session is never destroyed or replaced: ResetSession refuses, and what an
// Uninitialize would do to the session waits until the outermost export
// leaves.
class SharedSessionSlot {
 public:
  // Opens or creates this process's slot; with `open_only`, only opens it
  // when some context of this process holds it. Check IsValid().
  explicit SharedSessionSlot(bool open_only = false);
  ~SharedSessionSlot() = default;

  SharedSessionSlot(const SharedSessionSlot&) = delete;
  SharedSessionSlot& operator=(const SharedSessionSlot&) = delete;

  bool IsValid() const { return block_.IsValid(); }
  // True when another context of this process had created the slot.
  bool ExistedBefore() const { return block_.ExistedBefore(); }

  // Waits without limit for the slot's mutex; false when the slot has no view.
  bool Lock();
  void Unlock();

  // Valid only between Lock and Unlock. The session stays owned by the
  // record; the pointer is good until the next ResetSession of any handle.
  ClientSession* session() const;
  // Destroys the session the record holds, if any, and stores `session` (or
  // none) in its place. Valid only between Lock and Unlock. Refused (false,
  // nothing changed, `session` dropped) while an export is busy.
  bool ResetSession(std::unique_ptr<ClientSession> session = nullptr);
  // Forgets the record's session without destroying it and clears the busy
  // depth and marks; only for a fresh record, whose fields hold nothing yet.
  void ClearSessionField();
  uint32_t count() const;
  void set_count(uint32_t count);

  // The busy depth (see above). Enter and Leave pair up, under the lock;
  // the Leave that ends the outermost export does the deferred work.
  uint32_t busy() const;
  void Enter();
  void Leave();
  // Whether an export entered through this handle (its context) is running.
  bool busy_here() const { return busy_here_ > 0; }
  // For Uninitialize while an export is busy: what the count's fall asks of
  // the session is done when the outermost export leaves.
  void DeferCountChange();
  // What the count asks of the session: none left ends it; one left forgets
  // the logon state.
  void ApplyCount();

  // The slot's name for a process id.
  static std::string NameFor(int pid);
  static constexpr uint32_t kSize = sizeof(void*) + 3 * sizeof(uint32_t);

 private:
  uint32_t Field(size_t index) const;
  void SetField(size_t index, uint32_t value);

  SharedBlock block_;
  unsigned char* data_ = nullptr;  // set while locked
  uint32_t busy_here_ = 0;         // exports entered through this handle
};

// Holds a slot's lock for a scope.
class SlotLock {
 public:
  explicit SlotLock(SharedSessionSlot* slot) : slot_(slot), locked_(slot && slot->Lock()) {}
  ~SlotLock() {
    if (locked_) slot_->Unlock();
  }
  SlotLock(const SlotLock&) = delete;
  SlotLock& operator=(const SlotLock&) = delete;
  bool locked() const { return locked_; }

 private:
  SharedSessionSlot* const slot_;
  const bool locked_;
};

struct ProviderContext {
  std::unique_ptr<SharedSessionSlot> slot;
  std::string caller_name;  // "VsScc" switches on the solution-file handling
  bool logged_on = false;
  HWND host_window = nullptr;
  std::string user_name;
  std::string aux_project_path;
  std::string local_project_path;
  std::string project_root;
  std::string bound_aux_path;
  std::string project_leaf_name;
  std::string project_name;
  LPTEXTOUTPROC text_out = nullptr;
  bool bound_by_dialog = false;
  bool project_open = false;
  std::vector<std::string> add_exclusions;
};

// Turns the host's opaque pointer back into a context; null stays null.
inline ProviderContext* ContextFrom(LPVOID pv) {
  return static_cast<ProviderContext*>(pv);
}

}  // namespace tw

#endif  // TW_PROVIDER_CONTEXT_H_
