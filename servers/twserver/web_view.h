// The web view of a repository: read-only pages of its Productions,
// Documents, versions, locks and queues, a search by name, downloads of
// every version, and the logon that guards them.
//
// WebView turns one parsed request into one response; the connections,
// limits and TLS are web_server.h's. Every page but the logon form and its
// script needs a session: a random token in a cookie (HttpOnly,
// SameSite=Strict, Secure over TLS) that names a row of the session table,
// which ends at logout, kSessionHours after the logon, or at the first
// request after its user was removed or given another password (each
// request checks the logon's digest again). One user holds at most
// kMaxSessionsPerUser of them, so that nobody who can log on pushes the
// others' sessions out of the table. Requests that
// change something (logon, logout) are POSTs, and the cookie is never sent
// with a request another site starts, so no other site can act with it.
// A POST whose Origin is another site's, or that the browser calls
// cross-site, is refused as well: without the cookie a logout would still
// clear it, and a logon would put the browser into someone else's session.
//
// A logon is checked as the Veltrane port checks one (the user's digest in
// the repository) and throttled by the same LogonThrottle, so guessing over
// either port counts against the same records.
//
// Dates are printed in UTC inside <time datetime="...">; a small script, if
// the browser runs it, shows them in the viewer's own time zone.
//
// Threads: one WebView serves every connection's thread; `mutex_` guards the
// session table.
#ifndef TW_SERVERS_TWSERVER_WEB_VIEW_H_
#define TW_SERVERS_TWSERVER_WEB_VIEW_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "servers/twserver/logon_throttle.h"
#include "servers/twserver/storage.h"

namespace tw::twserver {

constexpr int kSessionHours = 8;
// Sessions kept at once; a new logon beyond it ends the oldest one.
constexpr size_t kMaxSessions = 10000;
// Sessions of one user; a new logon beyond it ends his oldest one.
constexpr size_t kMaxSessionsPerUser = 16;
// The cookie that carries the session token.
constexpr char kSessionCookie[] = "twsession";

struct WebRequest {
  std::string method;      // "GET", "POST", ...
  std::string target;      // as the request line gives it: path and query
  std::string cookie;      // the Cookie header
  std::string range;       // the Range header
  std::string body;        // the form of a POST
  std::string host;        // the Host header
  std::string origin;      // the Origin header
  std::string fetch_site;  // the Sec-Fetch-Site header
  std::string peer_address;
  bool secure = false;  // arrived over TLS
  // Set when the connection is closed under the request: a logon held back
  // by the throttle stops waiting.
  const std::atomic<bool>* abandoned = nullptr;
};

struct WebResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // beside the common ones
  std::string body;
  // Non-empty: the body is `file_length` bytes of this file from
  // `file_offset`, streamed.
  std::string file;
  uint64_t file_offset = 0;
  uint64_t file_length = 0;
  std::string user;  // who asked (for the log)
};

class WebView {
 public:
  using LogLine = std::function<void(const std::string&)>;

  // `stopping` ends the waits of throttled logons; `read_budget` is each
  // request's reading time (read_gate.h).
  WebView(Storage& storage, LogonThrottle& throttle, const std::atomic<bool>& stopping,
          std::chrono::milliseconds read_budget, LogLine log);

  // Answers `request`. `refusals` counts the refused logons of the
  // connection (the throttle's delay grows with them).
  WebResponse Handle(const WebRequest& request, int* refusals);

 private:
  struct Session {
    std::string user;
    std::string digest;  // the logon's: the session ends with its password
    std::chrono::steady_clock::time_point expires;
  };

  WebResponse Logon(const WebRequest& request, int* refusals);
  WebResponse Logout(const WebRequest& request);
  WebResponse Route(const std::string& user, const std::string& path, const std::string& query);
  WebResponse Tree(const std::string& user, const std::vector<std::string>& productions);
  WebResponse DocumentPage(const std::string& user, const std::vector<std::string>& elements);
  WebResponse Download(const std::vector<std::string>& elements, const std::string& query);
  WebResponse Locks(const std::string& user, const std::string& query);
  WebResponse Search(const std::string& user, const std::string& query);
  // A page for a storage result other than kOk.
  WebResponse Failed(int result, const std::string& what);
  // A Document's path for the storage: "\" before each element.
  static std::string StoragePath(const std::vector<std::string>& elements);
  void Pause(std::chrono::milliseconds delay, const std::atomic<bool>* abandoned) const;

  // The user of the session `token` names while his password is the one
  // he logged on with; empty when there is none (then `failure` may hold
  // the page for a repository that cannot be read).
  std::string SessionUser(const std::string& token, WebResponse* failure);
  std::string NewSession(const std::string& user, const std::string& digest);

  Storage& storage_;
  LogonThrottle& throttle_;
  const std::atomic<bool>& stopping_;
  const std::chrono::milliseconds read_budget_;
  const LogLine log_;

  std::mutex mutex_;
  std::unordered_map<std::string, Session> sessions_;  // guarded by mutex_; by token
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_WEB_VIEW_H_
