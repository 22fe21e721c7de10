#include "servers/twserver/web_view.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <thread>

#include "crypto/crypto.h"
#include "servers/twserver/names.h"
#include "servers/twserver/read_gate.h"
#include "servers/twserver/web_text.h"

namespace tw::twserver {

namespace {

constexpr std::chrono::milliseconds kPauseSlice{50};
// Search results shown at most.
constexpr size_t kMaxSearchResults = 500;

// Shows every <time> in the viewer's time zone; the page reads well without.
constexpr char kTimeScript[] =
    "document.querySelectorAll('time[datetime]').forEach(function (t) {\n"
    "  var d = new Date(t.getAttribute('datetime'));\n"
    "  if (!isNaN(d.getTime())) t.textContent = d.toLocaleString();\n"
    "});\n";

constexpr char kStyle[] =
    "body{font-family:system-ui,sans-serif;margin:0;color:#222;background:#fafafa}"
    "header{background:#2b4a6f;color:#fff;padding:.5em 1em;display:flex;flex-wrap:wrap;"
    "gap:.5em 1.5em;align-items:center}"
    "header a{color:#fff}header form{display:inline;margin:0}"
    "main{padding:1em;max-width:70em}"
    "table{border-collapse:collapse;width:100%}"
    "th,td{text-align:left;padding:.3em .6em;border-bottom:1px solid #ddd;vertical-align:top}"
    "th.n,td.n{text-align:right;white-space:nowrap}"
    ".scroll{overflow-x:auto}"
    ".error{color:#a00}"
    "input,button{font-size:1em}";

std::string Page(const std::string& title, const std::string& user, const std::string& content) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>" +
      HtmlEscape(title) + "</title><style>" + kStyle +
      "</style><script src=\"/static/time.js\" defer></script></head><body>";
  if (!user.empty()) {
    page +=
        "<header><a href=\"/tree/\">Tree</a><a href=\"/locks\">Locks</a>"
        "<form method=\"get\" action=\"/search\"><input name=\"q\" placeholder=\"Search names\" "
        "aria-label=\"Search names\"> <button>Search</button></form>"
        "<span>" +
        HtmlEscape(user) +
        "</span><form method=\"post\" action=\"/logout\"><button id=\"logout\">Log out"
        "</button></form></header>";
  }
  page += "<main><h1>" + HtmlEscape(title) + "</h1>" + content + "</main></body></html>\n";
  return page;
}

WebResponse Html(int status, const std::string& page) {
  WebResponse response;
  response.status = status;
  response.headers.emplace_back("Content-Type", "text/html; charset=utf-8");
  response.body = page;
  return response;
}

// A method the page does not take; `allowed` lists those it takes.
WebResponse NotAllowed(const std::string& user, const std::string& allowed) {
  WebResponse response = Html(405, Page("Method not allowed", user, ""));
  response.headers.emplace_back("Allow", allowed);
  return response;
}

WebResponse Redirect(const std::string& location) {
  WebResponse response;
  response.status = 303;
  response.headers.emplace_back("Location", location);
  return response;
}

std::string TimeElement(const std::string& stamp) {
  const std::string iso = IsoStamp(stamp);
  if (iso.empty()) return HtmlEscape(stamp);
  std::string shown = iso.substr(0, 10) + " " + iso.substr(11, 8) + " UTC";
  return "<time datetime=\"" + iso + "\">" + shown + "</time>";
}

// "/prefix/a/b" with each element encoded.
std::string Link(const std::string& prefix, const std::vector<std::string>& elements) {
  std::string out = prefix;
  for (size_t i = 0; i < elements.size(); ++i) {
    out += (i ? "/" : "") + PercentEncode(elements[i]);
  }
  return out;
}

std::string LogonForm(const std::string& next, const std::string& message) {
  std::string form;
  if (!message.empty()) form += "<p class=\"error\" id=\"message\">" + HtmlEscape(message) + "</p>";
  form +=
      "<form method=\"post\" action=\"/logon\">"
      "<p><label>User <input name=\"user\" id=\"user\" autocomplete=\"username\" required>"
      "</label></p><p><label>Password <input name=\"password\" id=\"password\" "
      "type=\"password\" autocomplete=\"current-password\"></label></p>"
      "<input type=\"hidden\" name=\"next\" value=\"" +
      HtmlEscape(next) + "\"><p><button id=\"logon\">Log on</button></p></form>";
  return form;
}

// Only a path of this site is followed after a logon.
std::string SafeNext(const std::string& next) {
  if (next.size() < 1 || next[0] != '/' ||
      (next.size() > 1 && (next[1] == '/' || next[1] == '\\'))) {
    return "/tree/";
  }
  for (char c : next) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return "/tree/";
  }
  return next;
}

// Splits "/a/b/" after `prefix` into decoded elements. False for a
// malformed escape, an empty element other than a trailing one, or an
// element holding a separator.
bool SplitElements(const std::string& path, size_t prefix, std::vector<std::string>* out) {
  std::string rest = path.substr(prefix);
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.empty()) return true;
  size_t start = 0;
  for (;;) {
    const size_t end = rest.find('/', start);
    std::string element;
    if (!PercentDecode(rest.substr(start, end - start), false, &element) || element.empty() ||
        element.find_first_of(std::string("\\/\0", 3)) != std::string::npos) {
      return false;
    }
    out->push_back(std::move(element));
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string QueryValue(const std::string& query, const std::string& name) {
  std::map<std::string, std::string> values;
  if (!ParseForm(query, &values)) return std::string();
  auto found = values.find(name);
  return found == values.end() ? std::string() : found->second;
}

std::string LockText(const LockEntry& lock) {
  std::string text = HtmlEscape(lock.user) + " (" + (lock.exclusive ? "exclusive" : "shared");
  if (lock.deferred) text += ", rank " + std::to_string(lock.rank);
  return text + ")";
}

std::string LocksCell(const std::vector<LockEntry>& locks, bool deferred) {
  std::string out;
  for (const LockEntry& lock : locks) {
    if (lock.deferred != deferred) continue;
    out += (out.empty() ? "" : "<br>") + LockText(lock);
  }
  return out;
}

std::string LowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A request a page of another site started: the browser says so, or its
// Origin is not this host (an opaque "null" origin included). Clients that
// send neither header are no browser acting for someone else.
bool FromAnotherSite(const WebRequest& request) {
  const std::string site = LowerCase(request.fetch_site);
  if (!site.empty() && site != "same-origin" && site != "none") return true;
  if (request.origin.empty()) return false;
  const size_t scheme = request.origin.find("://");
  return scheme == std::string::npos ||
         LowerCase(request.origin.substr(scheme + 3)) != LowerCase(request.host);
}

// Every refused logon is told the same, whichever part was wrong.
constexpr char kRefused[] = "Wrong user name or password.";

}  // namespace

WebView::WebView(Storage& storage, LogonThrottle& throttle, const std::atomic<bool>& stopping,
                 std::chrono::milliseconds read_budget, LogLine log)
    : storage_(storage),
      throttle_(throttle),
      stopping_(stopping),
      read_budget_(read_budget),
      log_(std::move(log)) {}

WebResponse WebView::Handle(const WebRequest& request, int* refusals) {
  const size_t mark = request.target.find('?');
  const std::string path = request.target.substr(0, mark);
  const std::string query =
      mark == std::string::npos ? std::string() : request.target.substr(mark + 1);
  if (path == "/static/time.js" && request.method == "GET") {
    WebResponse response;
    response.headers.emplace_back("Content-Type", "text/javascript; charset=utf-8");
    response.body = kTimeScript;
    return response;
  }
  if (request.method == "POST" && FromAnotherSite(request)) {
    log_("web request from another site refused: POST " + Printable(path.substr(0, 300)) +
         " from " + request.peer_address + ", origin " + Printable(request.origin.substr(0, 300)));
    return Html(403, Page("Refused", "",
                          "<p>This form was sent from another site. <a href=\"/logon\">Log on"
                          "</a> here.</p>"));
  }
  if (path == "/logon") {
    if (request.method == "POST") return Logon(request, refusals);
    if (request.method != "GET") return NotAllowed("", "GET, POST");
    return Html(200, Page("Log on", "", LogonForm(SafeNext(QueryValue(query, "next")), "")));
  }
  if (path == "/logout" && request.method == "POST") return Logout(request);
  WebResponse failure;
  const std::string user = SessionUser(CookieValue(request.cookie, kSessionCookie), &failure);
  if (failure.status != 200) return failure;
  if (user.empty()) {
    if (request.method != "GET") return Html(403, Page("Log on first", "", ""));
    return Redirect("/logon?next=" + PercentEncode(request.target));
  }
  if (request.method != "GET" || path == "/logout") {
    WebResponse response = NotAllowed(user, path == "/logout" ? "POST" : "GET");
    response.user = user;
    return response;
  }
  ReadScope scope(user, false, read_budget_);
  WebResponse response = Route(user, path, query);
  response.user = user;
  return response;
}

WebResponse WebView::Route(const std::string& user, const std::string& path,
                           const std::string& query) {
  if (path == "/") return Redirect("/tree/");
  if (path == "/locks") return Locks(user, query);
  if (path == "/search") return Search(user, query);
  struct Prefix {
    const char* text;
    int kind;
  };
  for (const Prefix& prefix : {Prefix{"/tree/", 0}, Prefix{"/doc/", 1}, Prefix{"/get/", 2}}) {
    const std::string text = prefix.text;
    if (path.compare(0, text.size(), text) != 0) continue;
    std::vector<std::string> elements;
    if (!SplitElements(path, text.size(), &elements)) {
      return Html(400, Page("Bad path", user, "<p>The address names no valid path.</p>"));
    }
    if (prefix.kind == 0) return Tree(user, elements);
    if (elements.empty()) return Redirect("/tree/");
    if (prefix.kind == 1) return DocumentPage(user, elements);
    return Download(elements, query);
  }
  if (path == "/tree") return Redirect("/tree/");
  return Html(404, Page("Not found", user, "<p>There is no such page.</p>"));
}

WebResponse WebView::Logon(const WebRequest& request, int* refusals) {
  std::map<std::string, std::string> form;
  if (!ParseForm(request.body, &form)) return Html(400, Page("Bad form", "", ""));
  const std::string name = form["user"];
  std::string password = form["password"];
  const std::string next = SafeNext(form["next"]);
  // Names the rules refuse share one record, as on the Veltrane port.
  const std::string throttled = IsValidUserName(name) ? name : std::string("\x01");
  Pause(throttle_.WaitFor(throttled, request.peer_address, std::chrono::steady_clock::now()),
        request.abandoned);
  if (request.abandoned != nullptr && request.abandoned->load()) {
    return Html(503, Page("Busy", "", ""));
  }
  int checked = kLogonRefused;
  std::string digest = LogonDigest(name, password);
  CRLDATcrypto::Wipe(&password);
  {
    ReadScope scope(std::string(), true, read_budget_);
    checked = IsValidUserName(name) ? storage_.CheckLogon(name, digest) : kLogonRefused;
  }
  const std::string token = checked == kOk ? NewSession(name, digest) : std::string();
  CRLDATcrypto::Wipe(&digest);
  if (checked != kOk && checked != kLogonRefused) return Failed(checked, "the logon");
  if (checked == kLogonRefused) {
    const LogonThrottle::Refusal refusal = throttle_.Refused(
        throttled, request.peer_address, ++*refusals, std::chrono::steady_clock::now());
    log_("web logon refused for " + Printable(name.substr(0, kMaxNameBytes)) + " from " +
         request.peer_address + "; answered after " + std::to_string(refusal.delay.count()) +
         " ms");
    Pause(refusal.delay, request.abandoned);
    return Html(401, Page("Log on", "", LogonForm(next, kRefused)));
  }
  throttle_.Succeeded(throttled, request.peer_address, std::chrono::steady_clock::now());
  if (token.empty()) return Html(500, Page("No session", "", "<p>No random bytes.</p>"));
  WebResponse response = Redirect(next);
  response.user = name;
  response.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=" + token +
                                                  "; HttpOnly; SameSite=Strict; Path=/" +
                                                  (request.secure ? "; Secure" : ""));
  return response;
}

WebResponse WebView::Logout(const WebRequest& request) {
  const std::string token = CookieValue(request.cookie, kSessionCookie);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(token);
  }
  WebResponse response = Redirect("/logon");
  response.headers.emplace_back("Set-Cookie",
                                std::string(kSessionCookie) +
                                    "=; Max-Age=0; HttpOnly; SameSite=Strict; Path=/" +
                                    (request.secure ? "; Secure" : ""));
  return response;
}

std::string WebView::SessionUser(const std::string& token, WebResponse* failure) {
  if (token.empty()) return std::string();
  Session session;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = sessions_.find(token);
    if (found == sessions_.end()) return std::string();
    if (found->second.expires <= std::chrono::steady_clock::now()) {
      sessions_.erase(found);
      return std::string();
    }
    session = found->second;
  }
  int checked = kLogonRefused;
  {
    // The user's own read, not a logon's: the place kept for logons stays
    // free for them however busy the pages are.
    ReadScope scope(session.user, false, read_budget_);
    checked = storage_.CheckLogon(session.user, session.digest);
  }
  CRLDATcrypto::Wipe(&session.digest);
  if (checked == kLogonRefused) {
    log_("web session of " + Printable(session.user) +
         " ended: the user was removed or his password changed");
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(token);
    return std::string();
  }
  if (checked != kOk) {
    *failure = Failed(checked, "a session's check");
    return std::string();
  }
  return session.user;
}

std::string WebView::NewSession(const std::string& user, const std::string& digest) {
  unsigned char bytes[32];
  if (CRLDATcrypto::RandomBytes(bytes, sizeof bytes) != 0) return std::string();
  const std::string token = CRLDATcrypto::HexEncode(bytes, sizeof bytes);
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  size_t own = 0;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (it->second.expires <= now) {
      it = sessions_.erase(it);
    } else {
      own += it->second.user == user ? 1 : 0;
      ++it;
    }
  }
  const auto older = [](auto& a, auto& b) { return a.second.expires < b.second.expires; };
  if (own >= kMaxSessionsPerUser) {
    auto oldest = sessions_.end();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
      if (it->second.user == user && (oldest == sessions_.end() || older(*it, *oldest))) {
        oldest = it;
      }
    }
    sessions_.erase(oldest);
  } else if (sessions_.size() >= kMaxSessions) {
    sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(), older));
  }
  sessions_[token] = Session{user, digest, now + std::chrono::hours(kSessionHours)};
  return token;
}

void WebView::Pause(std::chrono::milliseconds delay, const std::atomic<bool>* abandoned) const {
  const auto until = std::chrono::steady_clock::now() + delay;
  while (!stopping_.load() && (abandoned == nullptr || !abandoned->load())) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) break;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(until - now, kPauseSlice));
  }
}

std::string WebView::StoragePath(const std::vector<std::string>& elements) {
  std::string path;
  for (const std::string& element : elements) path += "\\" + element;
  return path;
}

WebResponse WebView::Failed(int result, const std::string& what) {
  if (result == kPathNotFound || result == kUnknownId || result == kInvalidPath ||
      result == kInvalidDocumentName) {
    return Html(404, Page("Not found", "", "<p>There is no such Production or Document.</p>"));
  }
  if (result == kOverLimit) {
    return Html(503, Page("Busy", "", "<p>The repository is busy; try again.</p>"));
  }
  log_("web view: " + what + " failed with " + std::to_string(result) + ": " +
       Printable(storage_.FailureText()));
  return Html(500, Page("Failure", "", "<p>The repository could not be read.</p>"));
}

WebResponse WebView::Tree(const std::string& user, const std::vector<std::string>& productions) {
  RepositorySettings settings;
  std::string id;
  int result = storage_.GetSettings(&settings);
  if (result == kOk) result = storage_.LookupProduction(StoragePath(productions), &id);
  std::vector<ProductionEntry> children;
  if (result == kOk) result = storage_.ListChildProductions(id, &children);
  NameTable documents;
  if (result == kOk) result = storage_.GetNameTable(2, id, false, &documents);
  if (result != kOk) return Failed(result, "the tree");

  std::string content =
      "<p id=\"crumbs\"><a href=\"/tree/\">" + HtmlEscape(settings.root_name) + "</a>";
  for (size_t i = 0; i < productions.size(); ++i) {
    const std::vector<std::string> upto(productions.begin(), productions.begin() + i + 1);
    content +=
        " \\ <a href=\"" + Link("/tree/", upto) + "/\">" + HtmlEscape(productions[i]) + "</a>";
  }
  content += "</p>";
  content += "<h2>Productions</h2>";
  if (children.empty()) content += "<p>None.</p>";
  content += "<ul id=\"productions\">";
  for (const ProductionEntry& child : children) {
    std::vector<std::string> below = productions;
    below.push_back(child.name);
    content +=
        "<li><a href=\"" + Link("/tree/", below) + "/\">" + HtmlEscape(child.name) + "</a></li>";
  }
  content += "</ul><h2>Documents</h2>";
  const auto column = [&](const char* name) {
    auto it = std::find(documents.columns.begin(), documents.columns.end(), name);
    return static_cast<size_t>(it - documents.columns.begin());
  };
  const size_t name_column = column("Name");
  const size_t id_column = column("Id");
  if (documents.rows.empty()) content += "<p>None.</p>";
  content +=
      "<div class=\"scroll\"><table id=\"documents\"><tr><th>Name</th><th class=\"n\">Version</th>"
      "<th class=\"n\">Size</th><th>Last change</th><th>Locks</th><th>Queue</th><th></th></tr>";
  for (const auto& row : documents.rows) {
    if (name_column >= row.size() || id_column >= row.size()) continue;
    std::vector<VersionInfo> versions;
    std::vector<LockEntry> locks;
    result = storage_.ListVersions(row[id_column], &versions);
    if (result == kOk) result = storage_.ListLocks(row[id_column], &locks);
    if (result != kOk) return Failed(result, "the tree's Documents");
    std::vector<std::string> elements = productions;
    elements.push_back(row[name_column]);
    content += "<tr><td><a href=\"" + Link("/doc/", elements) + "\">" +
               HtmlEscape(row[name_column]) + "</a></td>";
    if (versions.empty()) {
      content += "<td></td><td></td><td></td>";
    } else {
      const VersionInfo& last = versions.front();
      content += "<td class=\"n\">" + std::to_string(last.version) + "</td><td class=\"n\">" +
                 std::to_string(last.content.size) + "</td><td>" + TimeElement(last.stamp) + " " +
                 HtmlEscape(last.user) + "</td>";
    }
    content += "<td>" + LocksCell(locks, false) + "</td><td>" + LocksCell(locks, true) +
               "</td><td><a href=\"" + Link("/get/", elements) + "\">Download</a></td></tr>";
  }
  content += "</table></div>";
  const std::string title = productions.empty() ? settings.root_name : productions.back();
  return Html(200, Page(title, user, content));
}

WebResponse WebView::DocumentPage(const std::string& user,
                                  const std::vector<std::string>& elements) {
  std::string id;
  int result = storage_.FindDocument(StoragePath(elements), &id);
  std::vector<VersionInfo> versions;
  std::vector<LockEntry> locks;
  if (result == kOk) result = storage_.ListVersions(id, &versions);
  if (result == kOk) result = storage_.ListLocks(id, &locks);
  if (result != kOk) return Failed(result, "a Document");
  const std::vector<std::string> productions(elements.begin(), elements.end() - 1);
  std::string content = "<p id=\"crumbs\"><a href=\"" + Link("/tree/", productions) +
                        (productions.empty() ? "" : "/") + "\">Back to the Production</a></p>";
  content += "<h2>Locks</h2>";
  if (locks.empty()) content += "<p>None.</p>";
  content += "<ul id=\"locks\">";
  for (const LockEntry& lock : locks) {
    content += "<li>" + LockText(lock) + (lock.deferred ? " waiting" : " held") + "</li>";
  }
  content +=
      "</ul><h2>History</h2><div class=\"scroll\"><table id=\"history\"><tr><th "
      "class=\"n\">Version</th>"
      "<th>Date</th><th>User</th><th class=\"n\">Size</th><th>Comment</th><th></th></tr>";
  for (const VersionInfo& version : versions) {
    content += "<tr><td class=\"n\">" + std::to_string(version.version) + "</td><td>" +
               TimeElement(version.stamp) + "</td><td>" + HtmlEscape(version.user) +
               "</td><td class=\"n\">" + std::to_string(version.content.size) + "</td><td>" +
               HtmlEscape(version.comment) +
               (version.work_in_progress ? " <em>(work in progress)</em>" : "") +
               "</td><td><a href=\"" + Link("/get/", elements) +
               "?v=" + std::to_string(version.version) + "\">Download</a></td></tr>";
  }
  content += "</table></div>";
  return Html(200, Page(elements.back(), user, content));
}

WebResponse WebView::Download(const std::vector<std::string>& elements, const std::string& query) {
  const std::string wanted = QueryValue(query, "v");
  int number = 0;
  if (!wanted.empty()) {
    if (wanted.size() > 9 || wanted.find_first_not_of("0123456789") != std::string::npos) {
      return Html(400, Page("Bad version", "", ""));
    }
    number = std::stoi(wanted);
  }
  std::string id;
  int result = storage_.FindDocument(StoragePath(elements), &id);
  std::vector<VersionInfo> versions;
  if (result == kOk) result = storage_.ListVersions(id, &versions);
  if (result != kOk) return Failed(result, "a download");
  auto found = std::find_if(versions.begin(), versions.end(), [&](const VersionInfo& v) {
    return number == 0 || v.version == number;
  });
  if (found == versions.end()) {
    return Html(404, Page("Not found", "", "<p>There is no such version.</p>"));
  }
  WebResponse response;
  response.file = storage_.Contents().PathOf(found->content.sha256);
  struct stat info {};
  if (response.file.empty() || stat(response.file.c_str(), &info) != 0 ||
      static_cast<uint64_t>(info.st_size) != found->content.size) {
    log_("web view: the content of " + Printable(StoragePath(elements)) + " version " +
         std::to_string(found->version) + " is missing from the store");
    return Html(500, Page("Failure", "", "<p>The version's content is missing.</p>"));
  }
  response.file_length = found->content.size;
  response.headers.emplace_back("Content-Type", ContentTypeFor(elements.back()));
  response.headers.emplace_back("Content-Disposition", AttachmentDisposition(elements.back()));
  response.headers.emplace_back("Accept-Ranges", "bytes");
  // The range is the server's to read: web_server.h applies it.
  return response;
}

WebResponse WebView::Locks(const std::string& user, const std::string& query) {
  const std::string holder = QueryValue(query, "user");
  std::vector<DocumentLocks> all;
  std::vector<std::string> users;
  RepositorySettings settings;
  int result = storage_.ListAllLocks(&all);
  if (result == kOk) result = storage_.ListUsers(&users);
  if (result == kOk) result = storage_.GetSettings(&settings);
  if (result != kOk) return Failed(result, "the locks");
  std::sort(all.begin(), all.end(), [](const DocumentLocks& a, const DocumentLocks& b) {
    return FoldName(a.full_path) < FoldName(b.full_path);
  });
  std::string content =
      "<form method=\"get\" action=\"/locks\"><label>User <select name=\"user\" id=\"holder\">"
      "<option value=\"\">everyone</option>";
  for (const std::string& name : users) {
    content += "<option value=\"" + HtmlEscape(name) + "\"" + (name == holder ? " selected" : "") +
               ">" + HtmlEscape(name) + "</option>";
  }
  content +=
      "</select></label> <button>Show</button></form><div class=\"scroll\"><table id=\"all-locks\">"
      "<tr><th>Document</th><th>Held</th><th>Queue</th></tr>";
  for (const DocumentLocks& document : all) {
    std::vector<LockEntry> locks;
    for (const LockEntry& lock : document.locks) {
      if (holder.empty() || lock.user == holder) locks.push_back(lock);
    }
    if (locks.empty()) continue;
    // The full path starts with the root's display name.
    std::vector<std::string> elements = SplitPath(document.full_path);
    if (!elements.empty()) elements.erase(elements.begin());
    content += "<tr><td><a href=\"" + Link("/doc/", elements) + "\">" +
               HtmlEscape(document.full_path) + "</a></td><td>" + LocksCell(locks, false) +
               "</td><td>" + LocksCell(locks, true) + "</td></tr>";
  }
  content += "</table></div>";
  return Html(200, Page("Locks and queues", user, content));
}

WebResponse WebView::Search(const std::string& user, const std::string& query) {
  const std::string wanted = QueryValue(query, "q");
  std::string content = "<form method=\"get\" action=\"/search\"><input name=\"q\" value=\"" +
                        HtmlEscape(wanted) +
                        "\" aria-label=\"Name\"> <button>Search</button></form>";
  if (!wanted.empty()) {
    std::string root;
    int result = storage_.LookupProduction("", &root);
    NameTable documents;
    if (result == kOk) result = storage_.GetNameTable(2, root, true, &documents);
    if (result != kOk) return Failed(result, "a search");
    const auto it = std::find(documents.columns.begin(), documents.columns.end(), "Name");
    const size_t name_column = static_cast<size_t>(it - documents.columns.begin());
    const std::string folded = FoldName(wanted);
    size_t shown = 0;
    content += "<ul id=\"results\">";
    for (const auto& row : documents.rows) {
      if (name_column >= row.size()) continue;
      const std::vector<std::string> elements = SplitPath(row[name_column]);
      if (elements.empty() || FoldName(elements.back()).find(folded) == std::string::npos) {
        continue;
      }
      if (++shown > kMaxSearchResults) {
        content += "<li>More than " + std::to_string(kMaxSearchResults) +
                   " found; narrow the search.</li>";
        break;
      }
      content += "<li><a href=\"" + Link("/doc/", elements) + "\">" + HtmlEscape(row[name_column]) +
                 "</a></li>";
    }
    content += "</ul>";
    if (shown == 0) content += "<p>Nothing found.</p>";
  }
  return Html(200, Page("Search", user, content));
}

}  // namespace tw::twserver
