// The check-out and check-in option dialogs (templates 116 and 119), through
// which the host's advanced options for those two commands are chosen.
#ifndef TW_DIALOGS_OPTION_DIALOGS_H_
#define TW_DIALOGS_OPTION_DIALOGS_H_

namespace tw {

struct CheckoutOptions {
  bool exclusive = true;    // lock exclusively (else shared)
  bool synchronize = true;  // replace the local copy with the current version
  int lock_policy = 0;      // the server's: 0 none, 1 exclusive, 2 shared demanded
};

struct CheckinOptions {
  bool retain_lock = false;       // keep the Document checked out
  bool work_in_progress = false;  // check in as a work in progress
};

// Shows the dialog with the given choices. On OK stores the choices read
// back and returns true; on Cancel changes nothing and returns false.
bool ShowCheckoutOptionsDialog(void* owner, CheckoutOptions* options);
bool ShowCheckinOptionsDialog(void* owner, CheckinOptions* options);

}  // namespace tw

#endif  // TW_DIALOGS_OPTION_DIALOGS_H_
