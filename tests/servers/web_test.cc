// The web view of `TWServer serve --http`: a real server on a repository
// that real clients filled over the Veltrane port, and requests over
// loopback with a small HTTP client.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "servers/twserver/web_text.h"
#include "servers/twserver/web_view.h"
#include "settings/property_escape.h"
#include "tests/support/serve_fixture.h"

namespace tw {
namespace {

using test::Error;
using test::Join;
using test::WireClient;

struct HttpReply {
  int status = 0;                              // 0: no answer (the connection closed first)
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? std::string() : it->second;
  }
};

// Reads everything until the server closes (every request asks it to).
std::string ReadAll(int fd) {
  std::string data;
  char buffer[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 120000) <= 0) break;
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
  }
  return data;
}

HttpReply ParseReply(const std::string& data) {
  HttpReply reply;
  const size_t head_end = data.find("\r\n\r\n");
  if (data.compare(0, 9, "HTTP/1.1 ") != 0 || head_end == std::string::npos) return reply;
  reply.status = std::stoi(data.substr(9, 3));
  size_t line = data.find("\r\n") + 2;
  while (line < head_end) {
    const size_t end = data.find("\r\n", line);
    const std::string text = data.substr(line, end - line);
    const size_t colon = text.find(':');
    std::string name = text.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value = text.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.erase(0, 1);
    if (reply.headers.count(name)) value = reply.headers[name] + "\n" + value;
    reply.headers[name] = value;
    line = end + 2;
  }
  reply.body = data.substr(head_end + 4);
  return reply;
}

class WebTest : public test::ServeFixture {
 protected:
  void StartWeb(std::vector<std::string> options = {}, const std::string& scheme = "http") {
    options.insert(options.end(), {"--http", "0"});
    if (std::find(options.begin(), options.end(), "--logon-delay") == options.end()) {
      options.insert(options.end(), {"--logon-delay", "300"});
    }
    StartServer(options);
    const std::string prefix = "web view on " + scheme + "://127.0.0.1:";
    for (int i = 0; i < 6000 && web_port_ == 0; ++i) {
      const std::string out = test::ReadFile(server_->dir() + ".serve.out");
      const size_t at = out.find(prefix);
      if (at != std::string::npos && out.find("/\n", at) != std::string::npos) {
        web_port_ = static_cast<uint16_t>(std::stoi(out.substr(at + prefix.size())));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    ASSERT_NE(0, web_port_) << test::ReadFile(server_->dir() + ".serve.out");
  }

  // Sends `raw` on a new connection and reads the answer.
  std::string Exchange(const std::string& raw) {
    const int fd = test::ConnectFrom(web_port_, "");
    EXPECT_GE(fd, 0);
    if (fd < 0) return std::string();
    size_t sent = 0;
    while (sent < raw.size()) {
      const ssize_t n = send(fd, raw.data() + sent, raw.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    std::string data = ReadAll(fd);
    close(fd);
    return data;
  }

  HttpReply Request(const std::string& method, const std::string& target,
                    const std::string& cookie = "", const std::string& body = "",
                    const std::string& extra = "") {
    std::string raw =
        method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n";
    if (!cookie.empty()) raw += "Cookie: " + cookie + "\r\n";
    if (method == "POST") {
      raw += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
             std::to_string(body.size()) + "\r\n";
    }
    raw += extra + "\r\n" + body;
    return ParseReply(Exchange(raw));
  }

  // Logs on; the cookie to send ("twsession=...").
  std::string LogOn(const std::string& user = "alice", const std::string& password = "secret") {
    const HttpReply reply = Request("POST", "/logon", "",
                                    "user=" + twserver::PercentEncode(user) + "&password=" +
                                        twserver::PercentEncode(password) + "&next=%2Ftree%2F");
    EXPECT_EQ(303, reply.status) << reply.body;
    const std::string set = reply.Header("set-cookie");
    return set.substr(0, set.find(';'));
  }

  MessagePtr Call(WireClient& c, const MessagePtr& request) {
    MessagePtr reply = c.Call(*request);
    EXPECT_TRUE(reply) << request->GetCommand();
    return reply;
  }

  std::string NewProduction(WireClient& c, const std::string& parent, const std::string& name) {
    MessagePtr r = WireClient::Request("PRODUCTIONCMD", 4);
    r->SetString(101, parent);
    r->SetString(102, name);
    MessagePtr reply = Call(c, r);
    EXPECT_EQ(0, Error(reply));
    std::string id;
    if (reply) reply->GetString(103, &id);
    return id;
  }

  // Adds one Document; its identifier.
  std::string Add(WireClient& c, const std::string& production, const std::string& name,
                  const std::string& content, const std::string& comment) {
    const std::string path = LocalFile(content);
    MessagePtr r = AddRequest(production, {name}, {path}, EscapePropertyValue(comment));
    r->SetString(109, path);
    MessagePtr reply = Call(c, r);
    EXPECT_EQ(0, Error(reply));
    std::string id;
    if (reply) reply->GetString(103, &id);
    return id;
  }

  void Lock(WireClient& c, const std::string& id, bool deferred) {
    MessagePtr r = WireClient::Request("ACQUIRELOCK");
    r->SetString(100, id);
    r->SetInt(101, 1);
    r->SetInt(102, 0);
    r->SetInt(103, 72);  // exclusive
    r->SetBoolList(104, {deferred});
    EXPECT_EQ(0, Error(Call(c, r)));
  }

  void CheckIn(WireClient& c, const std::string& id, const std::string& content,
               const std::string& comment) {
    const std::string path = LocalFile(content);
    MessagePtr r = WireClient::Request("DOCUMENTCMD", 2);
    r->SetString(101, id);
    r->SetRawField(102, FIELD_FILELIST, path.data(), path.size());
    r->SetInt(103, 0);
    r->SetString(104, path);
    r->SetString(105, EscapePropertyValue(comment));
    r->SetIntList(106, {0});
    EXPECT_EQ(0, Error(Call(c, r)));
  }

  uint16_t web_port_ = 0;
};

// Every byte value, many times over: more than one piece of a download.
std::string BinaryContent() {
  std::string content;
  for (int i = 0; i < 300000; ++i) content += static_cast<char>((i * 7 + i / 256) & 0xFF);
  return content;
}

TEST_F(WebTest, NoPageWithoutALogon) {
  StartWeb();
  for (const char* target : {"/", "/tree/", "/tree/Art/", "/doc/Art/a.txt", "/get/a.txt?v=1",
                             "/locks?user=alice", "/search?q=a"}) {
    const HttpReply reply = Request("GET", target);
    EXPECT_EQ(303, reply.status) << target;
    EXPECT_EQ("/logon?next=" + twserver::PercentEncode(target), reply.Header("location"));
    EXPECT_EQ(std::string::npos, reply.body.find("<table")) << target;
  }
  // A made-up session is no session.
  EXPECT_EQ(303, Request("GET", "/tree/", "twsession=" + std::string(64, 'A')).status);
  EXPECT_EQ(403, Request("POST", "/tree/", "", "x=1").status);
  const HttpReply form = Request("GET", "/logon?next=%2Flocks");
  EXPECT_EQ(200, form.status);
  EXPECT_NE(std::string::npos, form.body.find("name=\"next\" value=\"/locks\""));
  EXPECT_NE(std::string::npos, form.body.find("name=\"viewport\""));
  // A logon never sends the browser to another site.
  const HttpReply away =
      Request("POST", "/logon", "", "user=alice&password=secret&next=%2F%2Fevil.example%2F");
  EXPECT_EQ(303, away.status);
  EXPECT_EQ("/tree/", away.Header("location"));
}

TEST_F(WebTest, LogonSessionAndLogout) {
  StartWeb();
  const auto start = std::chrono::steady_clock::now();
  const HttpReply wrong = Request("POST", "/logon", "", "user=alice&password=wrong&next=%2F");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(401, wrong.status);
  EXPECT_EQ("", wrong.Header("set-cookie"));
  EXPECT_NE(std::string::npos, wrong.body.find("Wrong user name or password."));
  // The refusal waits the logon delay as on the Veltrane port.
  EXPECT_GE(took, std::chrono::milliseconds(300));
  // A name the repository does not know, or one the name rules refuse, is
  // answered no sooner than a wrong password.
  for (const char* unknown : {"user=nobody&password=secret", "user=%3Cbad%3E&password=x"}) {
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(401, Request("POST", "/logon", "", unknown).status);
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(300)) << unknown;
  }

  const HttpReply right = Request("POST", "/logon", "", "user=bob&password=hunter2&next=%2Flocks");
  ASSERT_EQ(303, right.status);
  EXPECT_EQ("/locks", right.Header("location"));
  const std::string set = right.Header("set-cookie");
  EXPECT_NE(std::string::npos, set.find("; HttpOnly"));
  EXPECT_NE(std::string::npos, set.find("; SameSite=Strict"));
  EXPECT_NE(std::string::npos, set.find("; Path=/"));
  EXPECT_EQ(std::string::npos, set.find("Secure"));  // plain HTTP
  const std::string cookie = set.substr(0, set.find(';'));
  EXPECT_EQ(64 + 10u, cookie.size());

  const HttpReply tree = Request("GET", "/tree/", cookie);
  EXPECT_EQ(200, tree.status);
  EXPECT_NE(std::string::npos, tree.body.find("Veltrane"));
  EXPECT_NE(std::string::npos, tree.Header("content-security-policy").find("default-src 'none'"));

  EXPECT_EQ(303, Request("POST", "/logout", cookie).status);
  EXPECT_EQ(303, Request("GET", "/tree/", cookie).status);
}

TEST_F(WebTest, SessionsEndWithTheirUsersPassword) {
  StartWeb();
  ASSERT_TRUE(server_->AddUser("carol", "first"));
  const std::string bob = LogOn("bob", "hunter2");
  const std::string carol = LogOn("carol", "first");
  EXPECT_EQ(200, Request("GET", "/tree/", bob).status);
  std::string out;
  ASSERT_EQ(0,
            server_->Run({"user", "passwd", "--data", server_->dir(), "bob"}, "changed\n", &out));
  ASSERT_EQ(0, server_->Run({"user", "remove", "--data", server_->dir(), "carol"}, "", &out));
  EXPECT_EQ(303, Request("GET", "/tree/", bob).status);
  EXPECT_EQ(303, Request("GET", "/tree/", carol).status);
  EXPECT_EQ(200, Request("GET", "/tree/", LogOn("bob", "changed")).status);
}

TEST_F(WebTest, OneUsersLogonsPushOutOnlyHisOwnSessions) {
  StartWeb();
  const std::string alice = LogOn();
  std::vector<std::string> bobs;
  for (size_t i = 0; i <= twserver::kMaxSessionsPerUser; ++i)
    bobs.push_back(LogOn("bob", "hunter2"));
  EXPECT_EQ(303, Request("GET", "/tree/", bobs.front()).status);
  EXPECT_EQ(200, Request("GET", "/tree/", bobs[1]).status);
  EXPECT_EQ(200, Request("GET", "/tree/", bobs.back()).status);
  EXPECT_EQ(200, Request("GET", "/tree/", alice).status);
}

TEST_F(WebTest, FormsFromAnotherSiteAreRefused) {
  StartWeb();
  const std::string cookie = LogOn();
  const std::string form = "user=bob&password=hunter2";
  // A page elsewhere that posts the logon form would put the browser into
  // the other site's chosen session; one that posts the logout would end
  // the user's.
  for (const std::string& extra :
       {std::string("Origin: http://evil.example\r\n"), std::string("Origin: null\r\n"),
        std::string("Origin: http://localhost.evil.example\r\n"),
        std::string("Sec-Fetch-Site: cross-site\r\n"),
        std::string("Sec-Fetch-Site: same-site\r\nOrigin: http://localhost\r\n")}) {
    const HttpReply logon = Request("POST", "/logon", "", form, extra);
    EXPECT_EQ(403, logon.status) << extra;
    EXPECT_EQ("", logon.Header("set-cookie")) << extra;
    const HttpReply logout = Request("POST", "/logout", cookie, "", extra);
    EXPECT_EQ(403, logout.status) << extra;
    EXPECT_EQ("", logout.Header("set-cookie")) << extra;
  }
  // Pages keep their Origin on their own forms (a browser sends "null"
  // under "no-referrer") and give no address away to other sites.
  const HttpReply tree = Request("GET", "/tree/", cookie);
  EXPECT_EQ(200, tree.status);
  EXPECT_EQ("same-origin", tree.Header("referrer-policy"));
  // The browser's own forms say they come from this host.
  const std::string same = "Origin: http://LOCALHOST\r\nSec-Fetch-Site: same-origin\r\n";
  EXPECT_EQ(303, Request("POST", "/logon", "", form, same).status);
  EXPECT_EQ(303, Request("POST", "/logout", cookie, "", same).status);
  EXPECT_EQ(303, Request("GET", "/tree/", cookie).status);
}

TEST_F(WebTest, HostileNamesAreEscapedAndPathsEncoded) {
  StartWeb();
  // A user whose name is markup checks a Document in with a comment that
  // is markup too; names hold what the name rules allow.
  const std::string hostile = "<script>alert(1)</script>";
  ASSERT_TRUE(server_->AddUser(hostile, "pw"));
  auto writer = Client(hostile, "pw");
  const std::string root = Root(*writer);
  const std::string art = NewProduction(*writer, root, "Art & 'Sound' #1 100%");
  const std::string name = "a b#%\xC3\xA9&'.txt";
  const std::string id = Add(*writer, art, name, "hello", hostile + " & \"quoted\"");
  ASSERT_FALSE(id.empty());

  const std::string cookie = LogOn();
  const std::string encoded_art = "Art%20%26%20%27Sound%27%20%231%20100%25";
  const std::string encoded_name = "a%20b%23%25%C3%A9%26%27.txt";
  const HttpReply top = Request("GET", "/tree/", cookie);
  ASSERT_EQ(200, top.status);
  EXPECT_NE(std::string::npos, top.body.find("href=\"/tree/" + encoded_art + "/\""));
  EXPECT_NE(std::string::npos, top.body.find("Art &amp; &#39;Sound&#39; #1 100%"));

  const HttpReply tree = Request("GET", "/tree/" + encoded_art + "/", cookie);
  ASSERT_EQ(200, tree.status) << tree.body;
  EXPECT_NE(std::string::npos, tree.body.find("href=\"/doc/" + encoded_art + "/" + encoded_name));
  EXPECT_NE(std::string::npos, tree.body.find("a b#%\xC3\xA9&amp;&#39;.txt"));
  EXPECT_NE(std::string::npos, tree.body.find("&lt;script&gt;alert(1)&lt;/script&gt;"));

  const HttpReply page = Request("GET", "/doc/" + encoded_art + "/" + encoded_name, cookie);
  ASSERT_EQ(200, page.status) << page.body;
  EXPECT_NE(std::string::npos,
            page.body.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;quoted&quot;"));
  EXPECT_NE(std::string::npos, page.body.find("<time datetime=\""));
  for (const HttpReply* reply : {&top, &tree, &page}) {
    EXPECT_EQ(std::string::npos, reply->body.find("<script>alert")) << reply->body;
  }
  // Percent-encoding is read strictly; a separator inside an element is no path.
  EXPECT_EQ(400, Request("GET", "/doc/" + encoded_art + "/a%2", cookie).status);
  EXPECT_EQ(400, Request("GET", "/doc/" + encoded_art + "/a%zz", cookie).status);
  EXPECT_EQ(400, Request("GET", "/doc/Art%2Fx/a.txt", cookie).status);
  EXPECT_EQ(400, Request("GET", "/doc/Art%5Cx/a.txt", cookie).status);
  EXPECT_EQ(404, Request("GET", "/doc/" + encoded_art + "/missing.txt", cookie).status);
  EXPECT_EQ(404, Request("GET", "/tree/Nowhere/", cookie).status);
  EXPECT_EQ(404, Request("GET", "/nothing", cookie).status);

  // The search finds it by part of its name, in any letter case.
  const HttpReply found = Request("GET", "/search?q=B%23%25%C3%A9", cookie);
  ASSERT_EQ(200, found.status);
  EXPECT_NE(std::string::npos, found.body.find("href=\"/doc/" + encoded_art + "/" + encoded_name));
  const HttpReply none = Request("GET", "/search?q=zzz", cookie);
  EXPECT_NE(std::string::npos, none.body.find("Nothing found."));
}

TEST_F(WebTest, DownloadsAreTheCheckedInBytes) {
  StartWeb();
  auto alice = Client();
  const std::string root = Root(*alice);
  const std::string first = BinaryContent();
  const std::string second = "second version\n";
  const std::string id = Add(*alice, root, "model one.bin", first, "first");
  Lock(*alice, id, false);
  CheckIn(*alice, id, second, "second");
  Add(*alice, root, "notes.txt", "text", "");

  const std::string cookie = LogOn("bob", "hunter2");
  const HttpReply v1 = Request("GET", "/get/model%20one.bin?v=1", cookie);
  ASSERT_EQ(200, v1.status);
  EXPECT_TRUE(v1.body == first) << v1.body.size();
  EXPECT_EQ(std::to_string(first.size()), v1.Header("content-length"));
  EXPECT_EQ("application/octet-stream", v1.Header("content-type"));
  EXPECT_EQ("attachment; filename=\"model one.bin\"; filename*=UTF-8''model%20one.bin",
            v1.Header("content-disposition"));
  EXPECT_EQ("bytes", v1.Header("accept-ranges"));
  // Never shown as a page of this site, nor inside another's.
  EXPECT_EQ("nosniff", v1.Header("x-content-type-options"));
  EXPECT_NE(std::string::npos, v1.Header("content-security-policy").find("frame-ancestors 'none'"));
  const HttpReply current = Request("GET", "/get/model%20one.bin", cookie);
  EXPECT_EQ(second, current.body);
  EXPECT_EQ(second, Request("GET", "/get/model%20one.bin?v=2", cookie).body);
  EXPECT_EQ(404, Request("GET", "/get/model%20one.bin?v=3", cookie).status);
  EXPECT_EQ(400, Request("GET", "/get/model%20one.bin?v=x", cookie).status);
  EXPECT_EQ("text/plain; charset=utf-8",
            Request("GET", "/get/notes.txt", cookie).Header("content-type"));

  const HttpReply part =
      Request("GET", "/get/model%20one.bin?v=1", cookie, "", "Range: bytes=70000-70099\r\n");
  EXPECT_EQ(206, part.status);
  EXPECT_EQ(first.substr(70000, 100), part.body);
  EXPECT_EQ("bytes 70000-70099/" + std::to_string(first.size()), part.Header("content-range"));
  const HttpReply tail =
      Request("GET", "/get/model%20one.bin?v=1", cookie, "", "Range: bytes=-5\r\n");
  EXPECT_EQ(206, tail.status);
  EXPECT_EQ(first.substr(first.size() - 5), tail.body);
  const HttpReply past =
      Request("GET", "/get/model%20one.bin?v=1", cookie, "", "Range: bytes=999999999-\r\n");
  EXPECT_EQ(416, past.status);
  EXPECT_EQ("bytes */" + std::to_string(first.size()), past.Header("content-range"));

  // The history lists both versions, newest first, with links to each.
  const HttpReply history = Request("GET", "/doc/model%20one.bin", cookie);
  ASSERT_EQ(200, history.status);
  const size_t v2 = history.body.find("/get/model%20one.bin?v=2");
  const size_t v1_link = history.body.find("/get/model%20one.bin?v=1");
  EXPECT_NE(std::string::npos, v2);
  EXPECT_LT(v2, v1_link);
  EXPECT_NE(std::string::npos, history.body.find("alice (exclusive) held"));
}

TEST_F(WebTest, DownloadsAtTheEdges) {
  StartWeb();
  auto alice = Client();
  const std::string root = Root(*alice);
  Add(*alice, root, "ten.bin", "0123456789", "");
  Add(*alice, root, "empty.bin", "", "");
  Add(*alice, root, "lost.bin", "content the store loses", "");
  const std::string cookie = LogOn();
  const auto ranged = [&](const std::string& target, const std::string& range) {
    return Request("GET", target, cookie, "", "Range: " + range + "\r\n");
  };
  // A range no byte satisfies is refused; one that cannot be read, or
  // several, get the whole body, as a server that knows no ranges sends it.
  EXPECT_EQ(416, ranged("/get/ten.bin", "bytes=-0").status);
  EXPECT_EQ(416, ranged("/get/ten.bin", "bytes=10-20").status);
  for (const std::string& whole : {std::string("bytes=5-2"), std::string("bytes=0-0,2-3"),
                                   std::string("bytes=") + std::string(3000, ','),
                                   std::string("bytes=--1"), std::string("lines=1-2")}) {
    const HttpReply reply = ranged("/get/ten.bin", whole);
    EXPECT_EQ(200, reply.status) << whole;
    EXPECT_EQ("0123456789", reply.body) << whole;
  }
  const HttpReply last = ranged("/get/ten.bin", "bytes=9-99");
  EXPECT_EQ(206, last.status);
  EXPECT_EQ("9", last.body);
  EXPECT_EQ("bytes 9-9/10", last.Header("content-range"));
  const HttpReply empty = Request("GET", "/get/empty.bin", cookie);
  EXPECT_EQ(200, empty.status);
  EXPECT_EQ("0", empty.Header("content-length"));
  EXPECT_EQ(416, ranged("/get/empty.bin", "bytes=0-").status);
  EXPECT_EQ("bytes */0", ranged("/get/empty.bin", "bytes=-1").Header("content-range"));
  // A version whose content the store lost is a failure the log names, not
  // a short or empty download.
  int removed = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(server_->dir())) {
    if (entry.is_regular_file() &&
        test::ReadFile(entry.path().string()) == "content the store loses") {
      std::filesystem::remove(entry.path());
      ++removed;
    }
  }
  ASSERT_EQ(1, removed);
  const HttpReply lost = Request("GET", "/get/lost.bin", cookie);
  EXPECT_EQ(500, lost.status);
  EXPECT_EQ("", lost.Header("content-disposition"));
  EXPECT_NE(std::string::npos, server_->Log().find("is missing from the store"));
  EXPECT_EQ("0123456789", Request("GET", "/get/ten.bin", cookie).body);
}

TEST_F(WebTest, LocksPageFiltersByUser) {
  StartWeb();
  auto alice = Client();
  auto bob = Client("bob", "hunter2");
  const std::string root = Root(*alice);
  const std::string one = Add(*alice, root, "one.psd", "1", "");
  const std::string two = Add(*alice, root, "two.psd", "2", "");
  Lock(*alice, one, false);
  Lock(*bob, one, true);
  Lock(*bob, two, false);

  const std::string cookie = LogOn();
  const HttpReply all = Request("GET", "/locks", cookie);
  ASSERT_EQ(200, all.status);
  EXPECT_NE(std::string::npos, all.body.find("alice (exclusive)"));
  EXPECT_NE(std::string::npos, all.body.find("bob (exclusive, rank 1)"));
  EXPECT_NE(std::string::npos, all.body.find("two.psd"));
  const HttpReply alices = Request("GET", "/locks?user=alice", cookie);
  EXPECT_NE(std::string::npos, alices.body.find("one.psd"));
  EXPECT_EQ(std::string::npos, alices.body.find("two.psd"));
  EXPECT_EQ(std::string::npos, alices.body.find("bob (exclusive"));
  const HttpReply tree = Request("GET", "/tree/", cookie);
  EXPECT_NE(std::string::npos, tree.body.find("bob (exclusive, rank 1)"));
}

TEST_F(WebTest, RequestsOverTheLimitsAreRefused) {
  StartWeb();
  const std::string big_head =
      "GET /logon HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(20000, 'a') + "\r\n\r\n";
  EXPECT_EQ(431, ParseReply(Exchange(big_head)).status);
  std::string many = "GET /logon HTTP/1.1\r\nHost: x\r\n";
  for (int i = 0; i < 100; ++i) many += "X-" + std::to_string(i) + ": 1\r\n";
  EXPECT_EQ(431, ParseReply(Exchange(many + "\r\n")).status);
  const std::string body(10000, 'a');
  EXPECT_EQ(413, Request("POST", "/logon", "", body).status);
  const HttpReply put = Request("PUT", "/logon");
  EXPECT_EQ(405, put.status);
  EXPECT_EQ("GET, POST", put.Header("allow"));
  const std::string cookie = LogOn();
  EXPECT_EQ("GET", Request("DELETE", "/tree/", cookie).Header("allow"));
  EXPECT_EQ("POST", Request("GET", "/logout", cookie).Header("allow"));
  // A request the parser cannot read is answered, not dropped.
  for (const std::string& malformed :
       {std::string("GARBAGE\r\n\r\n"), std::string("GET /logon HTTP/9.9\r\n\r\n"),
        std::string("GET /logon HTTP/1.1\r\nBad Name: x\r\n\r\n"),
        std::string("POST /logon HTTP/1.1\r\nContent-Length: 4\r\nTransfer-Encoding: "
                    "chunked\r\n\r\n0\r\n\r\n")}) {
    EXPECT_EQ(400, ParseReply(Exchange(malformed)).status) << malformed;
  }
}

// Sends `raw` on a new connection from `from` without reading; the
// descriptor.
int SendFrom(uint16_t port, const std::string& from, const std::string& raw) {
  const int fd = test::ConnectFrom(port, from);
  EXPECT_GE(fd, 0);
  if (fd >= 0) {
    EXPECT_EQ(static_cast<ssize_t>(raw.size()), send(fd, raw.data(), raw.size(), 0));
  }
  return fd;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(WebTest, ConnectionsAnsweringAtTheCapKeepTheirPlaces) {
  StartWeb({"--http-max-connections", "2"});
  auto alice = Client();
  Add(*alice, Root(*alice), "big.bin", std::string(size_t{48} << 20, 'x'), "");
  const std::string cookie = LogOn();
  // Two downloads their clients do not take hold every place while they
  // are answered: a third connection is closed unanswered, and once they
  // end, served.
  const std::string get = "GET /get/big.bin HTTP/1.1\r\nHost: x\r\nCookie: " + cookie + "\r\n\r\n";
  const int first = SendFrom(web_port_, "", get);
  const int second = SendFrom(web_port_, "", get);
  char head[12];
  EXPECT_EQ(12, recv(first, head, sizeof head, MSG_WAITALL));
  EXPECT_EQ(12, recv(second, head, sizeof head, MSG_WAITALL));
  EXPECT_EQ(0, Request("GET", "/logon").status);
  close(first);
  close(second);
  HttpReply later;
  for (int i = 0; i < 600 && later.status != 200; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    later = Request("GET", "/logon");
  }
  EXPECT_EQ(200, later.status);
  // The stop ends a connection that idles.
  const int idle = test::ConnectFrom(web_port_, "");
  ASSERT_GE(idle, 0);
  EXPECT_EQ(0, server_->Stop()) << server_->Log();
  EXPECT_EQ("", ReadAll(idle));
  close(idle);
  server_.reset();
}

TEST_F(WebTest, LogonsHeldBackAtTheCapGiveWay) {
  StartWeb({"--http-max-connections", "3", "--logon-delay", "60000", "--logon-delay-max", "60000"});
  // Wrong logons from one address, each held back a minute, take every
  // place: the next client takes the place of the oldest, which stops
  // waiting at once.
  std::vector<int> guesses;
  for (const char* name : {"alice", "bob__", "carol"}) {
    guesses.push_back(SendFrom(web_port_, "127.0.0.2",
                               "POST /logon HTTP/1.1\r\nHost: x\r\nContent-Length: 25\r\n\r\n"
                               "password=wrong&user=" +
                                   std::string(name)));
  }
  for (int i = 0; i < 1200 && Count(server_->Log(), "web logon refused") < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(3u, Count(server_->Log(), "web logon refused")) << server_->Log();
  EXPECT_EQ(200, Request("GET", "/logon").status);
  EXPECT_EQ("", ReadAll(guesses[0]));
  bool ended = false;
  for (int i = 0; i < 600 && !ended; ++i) {
    ended = server_->Log().find("web connection 1 from 127.0.0.2: ") != std::string::npos;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(ended) << server_->Log();
  for (int fd : guesses) close(fd);
}

TEST_F(WebTest, AnswersLeftUntakenAtTheCapGiveWay) {
  StartWeb({"--http-max-connections", "2"});
  // Without a logon, requests sent one after the other on two connections
  // whose answers are never taken keep the server writing to them: the
  // next client still takes the place of one.
  const std::string ask =
      "GET /logon?next=/" + std::string(6000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n";
  std::vector<int> stuck;
  size_t sent = 0;
  for (int i = 0; i < 2; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000002);
    sockaddr_in to = from;
    to.sin_addr.s_addr = htonl(0x7F000001);
    to.sin_port = htons(web_port_);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from));
    ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to));
    stuck.push_back(fd);
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  while (std::chrono::steady_clock::now() < until) {
    for (int fd : stuck) {
      if (send(fd, ask.data(), ask.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
          static_cast<ssize_t>(ask.size())) {
        ++sent;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // The server stops answering once the answers fill what the sockets hold.
  size_t answered = 0;
  for (int i = 0; i < 120; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const size_t now = Count(server_->Log(), "web 127.0.0.2 user= GET");
    if (now == answered) break;
    answered = now;
  }
  ASSERT_LT(answered, sent);
  EXPECT_EQ(200, Request("GET", "/logon").status) << server_->Log().substr(0, 3000);
  for (int fd : stuck) close(fd);
}

TEST_F(WebTest, SlowClientsAtTheCapShutOutNobody) {
  StartWeb({"--http-max-connections", "3"});
  // One address holds every place with heads that never end (a byte now
  // and then would do the same): another address is still served, the
  // slow address's own new request too, and the Veltrane port is untouched.
  std::vector<int> slow;
  for (int i = 0; i < 3; ++i) slow.push_back(SendFrom(web_port_, "127.0.0.2", "GET /logon HT"));
  EXPECT_EQ(200, Request("GET", "/logon").status) << server_->Log();
  const int again = SendFrom(web_port_, "127.0.0.2",
                             "GET /logon HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(200, ParseReply(ReadAll(again)).status);
  close(again);
  EXPECT_NE(nullptr, Client());
  // The oldest slow connection was the one closed.
  EXPECT_EQ("", ReadAll(slow[0]));
  for (int fd : slow) close(fd);
}

// A request over TLS, the certificate taken as it is.
std::string ExchangeTls(uint16_t port, const std::string& raw) {
  namespace asio = boost::asio;
  asio::io_context io;
  asio::ssl::context context(asio::ssl::context::tls_client);
  context.set_verify_mode(asio::ssl::verify_none);
  asio::ssl::stream<asio::ip::tcp::socket> stream(io, context);
  boost::system::error_code ec;
  stream.next_layer().connect({asio::ip::make_address("127.0.0.1"), port}, ec);
  if (!ec) stream.handshake(asio::ssl::stream_base::client, ec);
  if (!ec) asio::write(stream, asio::buffer(raw), ec);
  std::string data;
  char buffer[16384];
  while (!ec) data.append(buffer, stream.read_some(asio::buffer(buffer), ec));
  return data;
}

TEST_F(WebTest, HttpsSessionsAreSecure) {
  const std::string key = env_.Path("key.pem");
  const std::string cert = env_.Path("cert.pem");
  const std::string make =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost "
      "-keyout '" +
      key + "' -out '" + cert + "' >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "openssl cannot make a certificate here";
  StartWeb({"--http-cert", cert, "--http-key", key}, "https");
  const HttpReply logon = ParseReply(
      ExchangeTls(web_port_,
                  "POST /logon HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: "
                  "26\r\n\r\nuser=alice&password=secret"));
  ASSERT_EQ(303, logon.status);
  const std::string set = logon.Header("set-cookie");
  EXPECT_NE(std::string::npos, set.find("; Secure"));
  const HttpReply tree = ParseReply(
      ExchangeTls(web_port_, "GET /tree/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\nCookie: " +
                                 set.substr(0, set.find(';')) + "\r\n\r\n"));
  EXPECT_EQ(200, tree.status);
  // A client that takes its answer and never closes is not kept waiting
  // for long (TLS's close waits for the client's own close).
  {
    namespace asio = boost::asio;
    asio::io_context io;
    asio::ssl::context context(asio::ssl::context::tls_client);
    context.set_verify_mode(asio::ssl::verify_none);
    asio::ssl::stream<asio::ip::tcp::socket> stream(io, context);
    boost::system::error_code ec;
    stream.next_layer().connect({asio::ip::make_address("127.0.0.1"), web_port_}, ec);
    if (!ec) stream.handshake(asio::ssl::stream_base::client, ec);
    const std::string raw = "GET /logon HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    if (!ec) asio::write(stream, asio::buffer(raw), ec);
    std::string data;
    char buffer[16384];
    while (!ec) data.append(buffer, stream.read_some(asio::buffer(buffer), ec));
    EXPECT_EQ(200, ParseReply(data).status);
    const auto start = std::chrono::steady_clock::now();
    pollfd p{stream.next_layer().native_handle(), POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 90000));
    EXPECT_EQ(0, recv(p.fd, buffer, sizeof buffer, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
  }
  // Plain HTTP on the HTTPS port gets no page.
  EXPECT_EQ(0, Request("GET", "/logon").status);
}

TEST_F(WebTest, ServeRefusesBadWebOptions) {
  server_ = std::make_unique<test::TestServer>(env_.Path("repo"));
  ASSERT_TRUE(server_->Init());
  std::string out;
  EXPECT_NE(0, server_->Run({"serve", "--data", server_->dir(), "--port", "0", "--http", "x:y"}, "",
                            &out));
  EXPECT_NE(0, server_->Run({"serve", "--data", server_->dir(), "--port", "0", "--http", "0",
                             "--http-cert", env_.Path("none.pem")},
                            "", &out));
  EXPECT_NE(
      0, server_->Run({"serve", "--data", server_->dir(), "--port", "0", "--http", "0",
                       "--http-cert", env_.Path("none.pem"), "--http-key", env_.Path("none.key")},
                      "", &out));
  server_.reset();
}

// The texts that make pages and headers.
TEST(WebTextTest, EscapesEncodesAndReadsRanges) {
  using namespace twserver;
  EXPECT_EQ("&lt;a href=&quot;x&quot;&gt;&amp;&#39;", HtmlEscape("<a href=\"x\">&'"));
  EXPECT_EQ("a%20b%23%3F%25%2F%C3%A9-._~", PercentEncode("a b#?%/\xC3\xA9-._~"));
  std::string decoded;
  EXPECT_TRUE(PercentDecode("a%20b%2f+", false, &decoded));
  EXPECT_EQ("a b/+", decoded);
  EXPECT_TRUE(PercentDecode("a+b", true, &decoded));
  EXPECT_EQ("a b", decoded);
  for (const char* bad : {"%", "%2", "%g0", "a%0"}) {
    EXPECT_FALSE(PercentDecode(bad, false, &decoded)) << bad;
  }
  EXPECT_EQ("attachment; filename=\"__\"; filename*=UTF-8''%C3%A9",
            AttachmentDisposition("\xC3\xA9"));
  // Nothing of a name ends the header or its quoted file name.
  EXPECT_EQ("attachment; filename=\"a___b__\"; filename*=UTF-8''a%0D%0A%22b%5C%00",
            AttachmentDisposition(std::string("a\r\n\"b\\\0", 7)));
  EXPECT_EQ("image/png", ContentTypeFor("A.PNG"));
  EXPECT_EQ("application/octet-stream", ContentTypeFor("archive.xyz"));
  EXPECT_EQ("2024-05-01T12:00:09Z", IsoStamp("2024:05:01:12:00:09:123"));
  EXPECT_EQ("", IsoStamp("yesterday"));

  ByteRange range;
  EXPECT_EQ(RangeResult::kPartial, ParseRange("bytes=0-0", 10, &range));
  EXPECT_EQ(0u, range.first);
  EXPECT_EQ(1u, range.length);
  EXPECT_EQ(RangeResult::kPartial, ParseRange("bytes=5-100", 10, &range));
  EXPECT_EQ(5u, range.length);
  EXPECT_EQ(RangeResult::kPartial, ParseRange("bytes=-100", 10, &range));
  EXPECT_EQ(0u, range.first);
  EXPECT_EQ(RangeResult::kUnsatisfiable, ParseRange("bytes=10-", 10, &range));
  EXPECT_EQ(RangeResult::kUnsatisfiable, ParseRange("bytes=-1", 0, &range));
  for (const char* whole : {"", "items=0-1", "bytes=0-1,3-4", "bytes=5-2", "bytes=x-1",
                            "bytes=99999999999999999999-"}) {
    EXPECT_EQ(RangeResult::kWhole, ParseRange(whole, 10, &range)) << whole;
  }
  EXPECT_EQ("v2", CookieValue("a=1; twsession=v2;b=3", "twsession"));
  EXPECT_EQ("", CookieValue("xtwsession=1", "twsession"));
}

}  // namespace
}  // namespace tw
