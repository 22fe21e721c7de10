#include "servers/twserver/web_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <exception>
#include <fstream>
#include <map>
#include <utility>
#include <vector>

#include "servers/twserver/names.h"
#include "servers/twserver/serve.h"
#include "servers/twserver/web_text.h"

namespace tw::twserver {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

using WebClock = std::chrono::steady_clock;

// Requests answered on one connection before it is closed.
constexpr int kMaxRequestsPerConnection = 1000;
// What is read away of an unanswered request before its connection closes.
constexpr int kDrainSeconds = 5;
constexpr size_t kMaxDrainBytes = 256 << 10;
// What a connection is doing (Connection::activity).
constexpr int kIdle = 0;
constexpr int kAnonymous = 1;
constexpr int kAnswering = 2;

// Bytes of a download read and sent at once.
constexpr size_t kPieceBytes = 64 << 10;

constexpr char kSecurityPolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; script-src 'self'; form-action 'self'; "
    "frame-ancestors 'none'; base-uri 'none'";

int64_t Millis(WebClock::time_point at) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

}  // namespace

bool ParseHttpEndpoint(const std::string& text, std::string* address, uint16_t* port) {
  std::string host = "127.0.0.1";
  std::string digits = text;
  const size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    digits = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
    if (host.empty()) return false;
  }
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const int value = std::stoi(digits);
  if (value > 65535) return false;
  boost::system::error_code ec;
  asio::ip::make_address(host, ec);
  if (ec) return false;
  *address = host;
  *port = static_cast<uint16_t>(value);
  return true;
}

struct WebServer::Impl {
  struct Connection {
    std::thread thread;
    std::string address;   // the client's, set before the thread starts
    int fd = -1;           // guarded by Impl::mutex; -1 once the thread closes it
    bool evicted = false;  // guarded by Impl::mutex: closed to make room
    std::atomic<int64_t> deadline_ms{0};
    // What the connection does: kIdle while it waits for a request (or
    // reads one), kAnonymous while it answers one without a session (a
    // logon checked or held back, a logon page the client does not take),
    // kAnswering while it answers a logged-on user.
    std::atomic<int> activity{kIdle};
    std::atomic<bool> abandoned{false};  // closed to make room: a held-back logon stops
    std::atomic<bool> done{false};
    std::atomic<bool> timed_out{false};
  };

  Impl(WebView& view_in, WebServerOptions options_in,
       std::function<void(const std::string&)> log_in)
      : view(view_in), options(std::move(options_in)), log(std::move(log_in)) {}

  WebView& view;
  const WebServerOptions options;
  const std::function<void(const std::string&)> log;
  asio::io_context io;
  std::unique_ptr<asio::ssl::context> tls;  // set when serving HTTPS
  tcp::acceptor acceptor{io};
  int wake_pipe[2] = {-1, -1};
  std::thread accepting;
  std::thread watchdog;
  std::atomic<bool> stopping{false};
  std::atomic<uint64_t> count{0};

  std::mutex mutex;
  std::condition_variable wake;                        // signalled under mutex
  std::list<std::unique_ptr<Connection>> connections;  // guarded by mutex

  void Accept() {
    while (!stopping.load()) {
      pollfd fds[2] = {{acceptor.native_handle(), POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents != 0) break;
      tcp::socket socket(io);
      boost::system::error_code ec;
      acceptor.accept(socket, ec);
      if (ec) {
        if (ec != asio::error::would_block && ec != asio::error::try_again) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        continue;
      }
      const uint64_t number = ++count;
      const tcp::endpoint peer = socket.remote_endpoint(ec);
      const std::string address = ec ? std::string("?") : peer.address().to_string();
      std::lock_guard<std::mutex> lock(mutex);
      Reap();
      if (stopping.load()) break;
      if (!MakeRoom(number)) {
        log("web connection " + std::to_string(number) + " from " + address + " refused: " +
            std::to_string(connections.size()) + " connections are open, the limit, all answering");
        continue;  // the socket closes
      }
      auto connection = std::make_unique<Connection>();
      Connection* raw = connection.get();
      raw->address = address;
      raw->fd = socket.native_handle();
      raw->deadline_ms.store(
          Millis(WebClock::now() + std::chrono::seconds(options.request_timeout_seconds)));
      connections.push_back(std::move(connection));
      try {
        raw->thread = std::thread([this, raw, number, s = std::move(socket)]() mutable {
          Serve(raw, number, std::move(s));
        });
      } catch (const std::exception& e) {
        connections.pop_back();
        log("web connection " + std::to_string(number) + " refused: " + e.what());
      }
    }
  }

  // Makes room for one more connection when every place is taken, so that
  // clients that hold connections without asking (a head sent a byte at a
  // time, idle kept-alive connections) or with requests that need no logon
  // (logons the throttle holds back, answers left untaken) churn through
  // their own places: the oldest idle connection of the address with the
  // most connections is closed, else its oldest one answering a client not
  // logged on. False when every connection is answering a logged-on user
  // (under mutex).
  bool MakeRoom(uint64_t number) {
    std::map<std::string, size_t> by_address;
    size_t open = 0;
    for (const auto& connection : connections) {
      if (connection->evicted) continue;
      ++open;
      ++by_address[connection->address];
    }
    if (open < options.max_connections) return true;
    return Evict(number, kIdle, by_address) || Evict(number, kAnonymous, by_address);
  }

  // Closes the oldest connection doing `activity` of the address with the
  // most connections among those that have one (under mutex).
  bool Evict(uint64_t number, int activity, std::map<std::string, size_t>& by_address) {
    const auto fits = [&](const Connection& connection) {
      return !connection.evicted && connection.fd >= 0 && connection.activity.load() == activity;
    };
    size_t most = 0;
    std::string busiest;
    for (const auto& connection : connections) {
      if (fits(*connection) && by_address[connection->address] > most) {
        most = by_address[connection->address];
        busiest = connection->address;
      }
    }
    for (auto& connection : connections) {
      if (!fits(*connection) || connection->address != busiest) continue;
      connection->evicted = true;
      connection->abandoned.store(true);
      ::shutdown(connection->fd, SHUT_RDWR);
      log("web connection " + std::to_string(number) + " takes the place of " +
          (activity == kIdle ? "an idle one" : "one answering a client not logged on") + " from " +
          busiest + ", the address with the most connections (" + std::to_string(most) + ")");
      return true;
    }
    return false;
  }

  // Joins the threads of connections that ended (under mutex).
  void Reap() {
    for (auto it = connections.begin(); it != connections.end();) {
      if ((*it)->done.load()) {
        (*it)->thread.join();
        it = connections.erase(it);
      } else {
        ++it;
      }
    }
  }

  void Watch() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping.load()) {
      wake.wait_for(lock, std::chrono::milliseconds(250));
      const int64_t now = Millis(WebClock::now());
      for (auto& connection : connections) {
        if (connection->fd >= 0 && (stopping.load() || now > connection->deadline_ms.load())) {
          if (!stopping.load()) connection->timed_out.store(true);
          ::shutdown(connection->fd, SHUT_RDWR);
        }
      }
      Reap();
    }
  }

  void Serve(Connection* connection, uint64_t number, tcp::socket socket) {
    const std::string name = "web connection " + std::to_string(number);
    boost::system::error_code ec;
    const std::string& address = connection->address;
    std::string end = "closed";
    try {
      if (tls) {
        asio::ssl::stream<tcp::socket&> stream(socket, *tls);
        stream.handshake(asio::ssl::stream_base::server, ec);
        if (ec) {
          end = "TLS handshake failed: " + ec.message();
        } else {
          end = Converse(connection, stream, address, true);
          // The close waits for the client's close_notify, which a client
          // may never send: no longer than a plain connection's drain.
          Refresh(connection, kDrainSeconds);
          stream.shutdown(ec);
        }
      } else {
        end = Converse(connection, socket, address, false);
        // The rest of a refused request is read away before the close, so
        // that the client gets the answer rather than a reset.
        Refresh(connection, kDrainSeconds);
        socket.shutdown(tcp::socket::shutdown_send, ec);
        char sink[4096];
        for (size_t drained = 0; !ec && drained < kMaxDrainBytes;) {
          drained += socket.read_some(asio::buffer(sink), ec);
        }
      }
    } catch (const std::exception& e) {
      end = std::string("ended by an unexpected exception: ") + e.what();
    } catch (...) {
      end = "ended by an unexpected exception";
    }
    if (connection->timed_out.load()) end += " (past its time limit)";
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (connection->evicted) end += " (closed to make room for another)";
    }
    log(name + " from " + address + ": " + Printable(end));
    {
      std::lock_guard<std::mutex> lock(mutex);
      connection->fd = -1;
      socket.close(ec);
      // Its place is free once the client sees the close.
      connection->done.store(true);
    }
  }

  void Refresh(Connection* connection, int seconds) {
    connection->deadline_ms.store(Millis(WebClock::now() + std::chrono::seconds(seconds)));
  }

  template <class Stream>
  std::string Converse(Connection* connection, Stream& stream, const std::string& address,
                       bool secure) {
    beast::flat_buffer buffer(options.max_head_bytes + options.max_body_bytes);
    int refusals = 0;
    for (int served = 0; served < kMaxRequestsPerConnection && !stopping.load(); ++served) {
      Refresh(connection, options.request_timeout_seconds);
      http::request_parser<http::string_body> parser;
      parser.header_limit(static_cast<std::uint32_t>(options.max_head_bytes));
      parser.body_limit(options.max_body_bytes);
      boost::system::error_code ec;
      http::read_header(stream, buffer, parser, ec);
      if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
        SendPlain(stream, http::status::request_header_fields_too_large, "Request head too large");
        return "request head over the limit";
      }
      if (ec == http::error::body_limit) {
        SendPlain(stream, http::status::payload_too_large, "Request body too large");
        return "request body over the limit";
      }
      if (ec && ec.category() == make_error_code(http::error::bad_target).category() &&
          ec != http::error::end_of_stream && ec != http::error::partial_message) {
        SendPlain(stream, http::status::bad_request, "Malformed request");
        return "malformed request: " + ec.message();
      }
      if (ec) {
        return served == 0 && ec != http::error::end_of_stream ? "unreadable: " + ec.message()
                                                               : "closed by the client";
      }
      size_t fields = 0;
      for (auto it = parser.get().begin(); it != parser.get().end(); ++it) ++fields;
      if (fields > options.max_header_count) {
        SendPlain(stream, http::status::request_header_fields_too_large, "Too many header fields");
        return "too many header fields";
      }
      if (!parser.is_done()) http::read(stream, buffer, parser, ec);
      if (ec == http::error::body_limit || ec == http::error::buffer_overflow) {
        SendPlain(stream, http::status::payload_too_large, "Request body too large");
        return "request body over the limit";
      }
      if (ec) return "unreadable: " + ec.message();
      const auto& message = parser.get();
      WebRequest request;
      request.method = std::string(message.method_string());
      request.target = std::string(message.target());
      request.cookie = std::string(message[http::field::cookie]);
      request.range = std::string(message[http::field::range]);
      request.body = message.body();
      request.host = std::string(message[http::field::host]);
      request.origin = std::string(message[http::field::origin]);
      request.fetch_site = std::string(message["Sec-Fetch-Site"]);
      request.peer_address = address;
      request.secure = secure;
      const auto start = WebClock::now();
      request.abandoned = &connection->abandoned;
      const bool logon = request.method == "POST" &&
                         request.target.substr(0, request.target.find('?')) == "/logon";
      connection->activity.store(
          logon || CookieValue(request.cookie, kSessionCookie).empty() ? kAnonymous : kAnswering);
      // A throttled logon or a long read is the server's time, not the
      // client's: the answer's own limit starts now.
      Refresh(connection, kSendStallSeconds);
      WebResponse response = view.Handle(request, &refusals);
      const bool keep = message.keep_alive() && served + 1 < kMaxRequestsPerConnection;
      if (response.user.empty()) connection->activity.store(kAnonymous);
      Refresh(connection, kSendStallSeconds);
      const bool sent = response.file.empty()
                            ? SendPage(stream, response, keep, ec)
                            : SendFile(connection, stream, response, request.range, keep, ec);
      log("web " + address + " user=" + Printable(response.user) + " " + request.method + " " +
          Printable(request.target.substr(0, 300)) + " status=" + std::to_string(response.status) +
          " ms=" +
          std::to_string(
              std::chrono::duration_cast<std::chrono::milliseconds>(WebClock::now() - start)
                  .count()));
      connection->activity.store(kIdle);
      if (!sent) return "the answer could not be sent: " + ec.message();
      if (!keep) return "closed after the answer";
    }
    return "closed";
  }

  template <class Message>
  static void CommonHeaders(Message& message, bool keep) {
    message.set(http::field::server, "TWServer");
    message.set(http::field::cache_control, "no-store");
    message.set("Content-Security-Policy", kSecurityPolicy);
    message.set("X-Content-Type-Options", "nosniff");
    // Paths of the repository never leave for another site; the pages' own
    // forms still carry their Origin, which the logon and logout check
    // (with "no-referrer" a browser sends "null" instead).
    message.set("Referrer-Policy", "same-origin");
    message.keep_alive(keep);
  }

  template <class Stream>
  static void SendPlain(Stream& stream, http::status status, const std::string& text) {
    http::response<http::string_body> message(status, 11);
    CommonHeaders(message, false);
    message.set(http::field::content_type, "text/plain; charset=utf-8");
    message.body() = text + "\n";
    message.prepare_payload();
    boost::system::error_code ec;
    http::write(stream, message, ec);
  }

  template <class Stream>
  static bool SendPage(Stream& stream, WebResponse& response, bool keep,
                       boost::system::error_code& ec) {
    http::response<http::string_body> message(static_cast<http::status>(response.status), 11);
    CommonHeaders(message, keep);
    for (const auto& header : response.headers) message.insert(header.first, header.second);
    message.body() = std::move(response.body);
    message.prepare_payload();
    http::write(stream, message, ec);
    return !ec;
  }

  template <class Stream>
  bool SendFile(Connection* connection, Stream& stream, WebResponse& response,
                const std::string& range_header, bool keep, boost::system::error_code& ec) {
    std::ifstream file(response.file, std::ios::binary);
    const uint64_t size = response.file_length;
    ByteRange range{0, size};
    const RangeResult ranged = ParseRange(range_header, size, &range);
    if (!file || ranged == RangeResult::kUnsatisfiable) {
      WebResponse refusal;
      refusal.status = file ? 416 : 500;
      if (file) refusal.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
      refusal.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
      refusal.body = file ? "Range not satisfiable\n" : "The content cannot be read\n";
      response.status = refusal.status;
      return SendPage(stream, refusal, keep, ec);
    }
    http::response<http::buffer_body> message(
        ranged == RangeResult::kPartial ? http::status::partial_content : http::status::ok, 11);
    response.status = ranged == RangeResult::kPartial ? 206 : 200;
    CommonHeaders(message, keep);
    for (const auto& header : response.headers) message.insert(header.first, header.second);
    if (ranged == RangeResult::kPartial) {
      message.set(http::field::content_range, "bytes " + std::to_string(range.first) + "-" +
                                                  std::to_string(range.first + range.length - 1) +
                                                  "/" + std::to_string(size));
    }
    message.content_length(range.length);
    message.body().data = nullptr;
    message.body().more = true;
    http::response_serializer<http::buffer_body> serializer(message);
    http::write_header(stream, serializer, ec);
    if (ec) return false;
    file.seekg(static_cast<std::streamoff>(range.first));
    std::vector<char> piece(kPieceBytes);
    uint64_t left = range.length;
    while (left > 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left, piece.size()));
      file.read(piece.data(), static_cast<std::streamsize>(want));
      if (static_cast<size_t>(file.gcount()) != want) {
        ec = asio::error::eof;
        return false;  // the content shrank: the client sees a short body
      }
      left -= want;
      message.body().data = piece.data();
      message.body().size = want;
      message.body().more = left > 0;
      http::write(stream, serializer, ec);
      if (ec == http::error::need_buffer) ec = {};
      if (ec) return false;
      Refresh(connection, kSendStallSeconds);
    }
    if (!serializer.is_done()) {
      message.body().data = nullptr;
      message.body().size = 0;
      message.body().more = false;
      http::write(stream, serializer, ec);
    }
    return !ec;
  }
};

WebServer::WebServer(WebView& view, WebServerOptions options,
                     std::function<void(const std::string&)> log)
    : impl_(std::make_unique<Impl>(view, std::move(options), std::move(log))) {}

WebServer::~WebServer() {
  Stop();
}

bool WebServer::Start(std::string* url, std::string* error) {
  Impl& s = *impl_;
  boost::system::error_code ec;
  const bool secure = !s.options.cert_file.empty() || !s.options.key_file.empty();
  if (secure) {
    if (s.options.cert_file.empty() || s.options.key_file.empty()) {
      *error = "HTTPS needs both a certificate and a key";
      return false;
    }
    s.tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
    s.tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1);
    s.tls->use_certificate_chain_file(s.options.cert_file, ec);
    if (!ec) s.tls->use_private_key_file(s.options.key_file, asio::ssl::context::pem, ec);
    if (ec) {
      *error = "cannot load the HTTPS certificate or key: " + ec.message();
      return false;
    }
  }
  const tcp::endpoint endpoint(asio::ip::make_address(s.options.address, ec), s.options.port);
  if (!ec) s.acceptor.open(endpoint.protocol(), ec);
  if (!ec) s.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) s.acceptor.bind(endpoint, ec);
  if (!ec) s.acceptor.listen(128, ec);
  if (!ec) s.acceptor.non_blocking(true, ec);
  if (ec || pipe2(s.wake_pipe, O_CLOEXEC) != 0) {
    *error = "cannot listen for the web view on " + s.options.address + ":" +
             std::to_string(s.options.port) + (ec ? ": " + ec.message() : std::string());
    return false;
  }
  const tcp::endpoint bound = s.acceptor.local_endpoint(ec);
  const std::string host = bound.address().is_v6() ? "[" + bound.address().to_string() + "]"
                                                   : bound.address().to_string();
  *url = std::string(secure ? "https" : "http") + "://" + host + ":" +
         std::to_string(bound.port()) + "/";
  s.accepting = std::thread([&s] { s.Accept(); });
  s.watchdog = std::thread([&s] { s.Watch(); });
  return true;
}

void WebServer::Stop() {
  Impl& s = *impl_;
  if (!s.accepting.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.stopping.store(true);
    for (auto& connection : s.connections) {
      if (connection->fd >= 0) ::shutdown(connection->fd, SHUT_RDWR);
    }
    s.wake.notify_all();
  }
  const char byte = 0;
  if (write(s.wake_pipe[1], &byte, 1) < 0) {
    // The pipe cannot be full: nothing else writes to it.
  }
  s.accepting.join();
  s.watchdog.join();
  std::list<std::unique_ptr<Impl::Connection>> all;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    all.swap(s.connections);
  }
  for (auto& connection : all) connection->thread.join();
  boost::system::error_code ec;
  s.acceptor.close(ec);
  close(s.wake_pipe[0]);
  close(s.wake_pipe[1]);
}

}  // namespace tw::twserver
