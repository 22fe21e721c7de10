// The status window (template 112): a modeless window over the host's
// window that shows one line of text ("Logging on...") while an operation
// runs, through the user-interface seam. Without a person it shows nothing;
// the scripted form records it; the terminal form prints the text.
//
// Used on the host's thread that runs the export.
#ifndef TW_DIALOGS_STATUS_WINDOW_H_
#define TW_DIALOGS_STATUS_WINDOW_H_

#include <memory>
#include <string>

namespace tw {

class UserInterface;

class StatusWindow {
 public:
  // Shows the window with `text` over `owner` (may be null).
  StatusWindow(void* owner, const std::string& text);
  // Closes it unless Close was called.
  ~StatusWindow();
  StatusWindow(const StatusWindow&) = delete;
  StatusWindow& operator=(const StatusWindow&) = delete;

  // Replaces the text; harmless after Close.
  void SetText(const std::string& text);
  // Closes the window; later calls do nothing.
  void Close();

 private:
  void* const owner_;
  // The implementation that showed the window closes it, even if the host
  // chose another one meanwhile.
  std::shared_ptr<UserInterface> ui_;
};

}  // namespace tw

#endif  // TW_DIALOGS_STATUS_WINDOW_H_
