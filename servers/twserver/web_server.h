// The HTTP(S) listener of the web view (web_view.h), run inside
// `TWServer serve` beside the Veltrane port.
//
// One thread accepts; each connection has a thread of its own that reads a
// request, has the WebView answer it and sends the answer (a download
// streamed from its file in pieces, never held whole), then waits for the
// next one on the same connection. A watchdog thread ends connections past
// their deadline by shutting their socket down, which wakes a read or write
// blocked in the connection's thread.
//
// Limits, as on the Veltrane port: at most max_connections connections; the
// next one takes the place of the oldest idle connection of the address
// with the most connections, else of its oldest one answering a client not
// logged on (a logon the throttle holds back, a page the client does not
// take), or is closed at once when every connection is answering a
// logged-on user; a
// request head of at most max_head_bytes
// with at most max_header_count fields (431 beyond), a body of at most
// max_body_bytes (413; only the logon form has one); a request must arrive
// whole within request_timeout of the connection's start or of the answer
// before (the idle time of a kept-alive connection included), and an answer
// that takes no bytes for kSendStallSeconds ends its connection.
//
// Threads: Start and Stop from one thread; `mutex_` guards the connection
// list.
#ifndef TW_SERVERS_TWSERVER_WEB_SERVER_H_
#define TW_SERVERS_TWSERVER_WEB_SERVER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "servers/twserver/web_view.h"

namespace tw::twserver {

struct WebServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 0;      // 0: a free port the system picks
  std::string cert_file;  // both given: HTTPS
  std::string key_file;
  size_t max_connections = 64;
  int request_timeout_seconds = 30;
  size_t max_head_bytes = 8192;
  size_t max_header_count = 64;
  size_t max_body_bytes = 4096;
};

// Reads "ADDR:PORT", "[ADDR6]:PORT" or "PORT" (loopback). False for another
// form or a port outside 1-65535 (0 allowed: a free one).
bool ParseHttpEndpoint(const std::string& text, std::string* address, uint16_t* port);

class WebServer {
 public:
  WebServer(WebView& view, WebServerOptions options, std::function<void(const std::string&)> log);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Listens and starts serving; `url` gets "http(s)://ADDR:PORT/". False
  // with `error` when it cannot listen or the certificate does not load.
  bool Start(std::string* url, std::string* error);
  // Closes the listener and every connection and joins the threads.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tw::twserver

#endif  // TW_SERVERS_TWSERVER_WEB_SERVER_H_
