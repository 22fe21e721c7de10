// ClientSession: the provider's one logged-on conversation with the Veltrane
// server per process, shared by every provider context of the process
// through the shared session slot.
//
// Threads: used only under the shared slot's mutex, by the export that holds
// it.
#ifndef TW_SESSION_CLIENT_SESSION_H_
#define TW_SESSION_CLIENT_SESSION_H_

#include <string>

namespace tw {

class ClientSession {
 public:
  ClientSession() = default;
  virtual ~ClientSession() = default;

  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;

  // The Production binding the current export works on; every export copies
  // its context's project name here.
  void SetCurrentProject(const std::string& project) { current_project_ = project; }
  const std::string& current_project() const { return current_project_; }

  bool logged_on() const { return logged_on_; }
  void set_logged_on(bool value) { logged_on_ = value; }

  // Called when one context of two remains: the remaining context logs on
  // again before it uses the session.
  virtual void ForgetLogonState();

 private:
  std::string current_project_;
  bool logged_on_ = false;
};

}  // namespace tw

#endif  // TW_SESSION_CLIENT_SESSION_H_
