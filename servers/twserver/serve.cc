#include "servers/twserver/serve.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "servers/twserver/commands.h"
#include "servers/twserver/names.h"
#include "servers/twserver/repository.h"
#include "crypto/crypto.h"
#include "transport/message_channel.h"
#include "transport/socket.h"

namespace tw::twserver {

namespace {

constexpr int kListenBacklog = 128;

// Lines of the server's log, whole and in order, from every thread.
class ServerLog {
 public:
  explicit ServerLog(std::ostream& stream) : stream_(stream) {}

  void Line(const std::string& text) {
    const auto now = std::chrono::system_clock::now();
    const time_t seconds = std::chrono::system_clock::to_time_t(now);
    const int millis = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    std::lock_guard<std::mutex> lock(mutex_);
    stream_ << stamp << " " << text << "\n" << std::flush;
  }

 private:
  std::mutex mutex_;
  std::ostream& stream_;  // guarded by mutex_
};

// One client connection and the thread that serves it.
struct Connection {
  uint64_t number = 0;
  std::string peer;
  // Set at the start; moved out (under the server's lock) and destroyed by
  // the connection's own thread when it ends, so Stop never reaches a
  // channel that is gone.
  std::unique_ptr<MessageChannel> channel;
  std::thread thread;
  std::atomic<bool> done{false};
};

class Server {
 public:
  Server(Storage& storage, std::string private_key, std::string public_key,
         std::string received_folder, ServerLog& log)
      : storage_(storage),
        private_key_(std::move(private_key)),
        public_key_(std::move(public_key)),
        received_folder_(std::move(received_folder)),
        log_(log) {}
  ~Server() { CRLDATcrypto::Wipe(&private_key_); }

  // Accepts clients on `listener` until Stop; then waits for every
  // connection's thread.
  void Run(CIOSocket* listener) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      listener_ = listener;
    }
    while (!stopping_.load()) {
      const int waited = listener->WaitReadable(-1);
      if (waited == kSocketInterrupted) break;
      std::unique_ptr<CIOSocket> socket;
      const int accepted = listener->Accept(&socket, 1);
      if (accepted == kSocketInterrupted) break;
      if (accepted != kSocketOk) {
        // Out of descriptors or a client gone before it was taken: do not
        // spin on a listener that stays readable.
        if (accepted == kSocketError) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      ReapFinished();
      Start(std::move(socket));
    }
    std::list<std::unique_ptr<Connection>> all;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      all.swap(connections_);
      listener_ = nullptr;
    }
    for (auto& connection : all) connection->thread.join();
  }

  // Ends Run: no more clients, every connection interrupted (a transfer in
  // progress stops, its partial files are dropped). Any thread.
  void Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_.store(true);
    if (listener_ != nullptr) listener_->Interrupt();
    for (auto& connection : connections_) {
      if (connection->channel) {
        connection->channel->stop_flag().store(true);
        connection->channel->Interrupt();
      }
    }
  }

 private:
  void Start(std::unique_ptr<CIOSocket> socket) {
    auto connection = std::make_unique<Connection>();
    CIOAddress peer;
    connection->peer =
        socket->PeerAddress(&peer) == kSocketOk ? peer.EndpointText() : std::string("?");
    connection->channel = std::make_unique<MessageChannel>(std::move(socket));
    Connection* raw = connection.get();
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_.load()) return;  // the channel closes with `connection`
    raw->number = ++connection_count_;
    connections_.push_back(std::move(connection));
    try {
      raw->thread = std::thread([this, raw] { Serve(raw); });
    } catch (const std::exception& e) {
      // No thread to be had: the client is turned away, the server goes on.
      connections_.pop_back();
      log_.Line("connection " + std::to_string(raw->number) + " refused: " + e.what());
    }
  }

  // Joins the threads of connections that ended.
  void ReapFinished() {
    std::list<std::unique_ptr<Connection>> finished;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->done.load()) {
          finished.push_back(std::move(*it));
          it = connections_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (auto& connection : finished) connection->thread.join();
  }

  // The connection's thread: converses until the client goes or the server
  // stops, then closes the channel and marks the connection done.
  void Serve(Connection* connection) {
    const std::string name = "connection " + std::to_string(connection->number);
    try {
      Converse(connection, name);
    } catch (const std::exception& e) {
      log_.Line(name + " ended by an unexpected exception: " + Printable(e.what()));
    } catch (...) {
      log_.Line(name + " ended by an unexpected exception");
    }
    std::unique_ptr<MessageChannel> closing;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing = std::move(connection->channel);
    }
    closing.reset();  // closes the socket; drops half-received files
    connection->done.store(true);
  }

  void Converse(Connection* connection, const std::string& name) {
    MessageChannel* channel = connection->channel.get();
    log_.Line(name + " opened from " + connection->peer);
    CommandHandler handler(storage_, private_key_, public_key_, received_folder_, &stopping_);
    std::string end = "closed by the client";
    uint64_t commands = 0;
    for (;;) {
      MessagePtr request;
      const int got = channel->Receive(&request, -1);
      if (got == kChannelBroken) {
        log_.Line(name + ": unreadable bytes dropped: " + Printable(channel->error()));
        continue;
      }
      if (got != kChannelMessage) {
        if (got == kChannelInterrupted) end = "closed as the server stops";
        break;
      }
      const auto start = std::chrono::steady_clock::now();
      CommandOutcome outcome = handler.Handle(*request);
      RemoveReceivedFiles(received_folder_, *request);
      const std::string command = request->GetCommand();
      request.reset();
      const bool sent = channel->Send(*outcome.reply);
      if (sent && outcome.switch_cipher) {
        channel->SetReceiveKey(outcome.cipher.key);
        channel->SetSendCipher(std::move(outcome.cipher));
      }
      ++commands;
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
      std::string line = name + " user=" + Printable(handler.user()) +
                         " command=" + Printable(command) +
                         " sub=" + std::to_string(outcome.sub_command) +
                         " result=" + std::to_string(outcome.error) + " ms=" + std::to_string(ms);
      if (!outcome.failure.empty()) line += " failure=" + Printable(outcome.failure);
      if (!sent) line += " reply not sent: " + Printable(channel->error());
      log_.Line(line);
      if (!sent) {
        end = "closed: the reply could not be sent";
        break;
      }
    }
    log_.Line(name + " " + end + " (peer " + connection->peer + ", user " +
              Printable(handler.user()) + ", " + std::to_string(commands) + " commands)");
  }

  Storage& storage_;
  std::string private_key_;
  const std::string public_key_;
  const std::string received_folder_;
  ServerLog& log_;
  std::atomic<bool> stopping_{false};

  std::mutex mutex_;
  CIOSocket* listener_ = nullptr;                      // guarded by mutex_
  std::list<std::unique_ptr<Connection>> connections_;  // guarded by mutex_
  uint64_t connection_count_ = 0;                       // guarded by mutex_
};

}  // namespace

static int ServeUntilStopped(const ServeOptions& options, Storage& storage, std::ostream& out,
                             std::ostream& err, std::string* error) {
  // The stop signals are taken by one thread with sigwait; every other
  // thread, started after this, has them blocked. A vanished peer must not
  // kill the process (sockets send with MSG_NOSIGNAL; the log may be a pipe).
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string private_key, public_key;
  if (!ReadServerKey(options.data_dir, &private_key, &public_key, error)) return 1;

  // Received files land where the message reader makes temporary files:
  // inside the content store, so storing them never crosses a file system,
  // and leftovers of a crash are swept with the store's own.
  std::string temp = storage.Contents().TempFolder();
  if (char* absolute = realpath(temp.c_str(), nullptr)) {
    temp = absolute;
    free(absolute);
  }
  setenv("TMPDIR", temp.c_str(), 1);

  std::ofstream log_file;
  if (!options.log_file.empty()) {
    log_file.open(options.log_file, std::ios::app);
    if (!log_file) {
      CRLDATcrypto::Wipe(&private_key);
      *error = "cannot open the log file " + options.log_file;
      return 1;
    }
  }
  ServerLog log(options.log_file.empty() ? err : log_file);

  const CIOAddress address = CreateAddress(options.listen_address, options.port);
  std::unique_ptr<CIOSocket> listener = CreateSocket();
  if (!address.IsValid() || listener->ListenOn(address, kListenBacklog, kSocketStream) != kSocketOk) {
    CRLDATcrypto::Wipe(&private_key);
    *error = "cannot listen on " + options.listen_address + ":" + std::to_string(options.port);
    return 1;
  }
  CIOAddress bound;
  listener->LocalAddress(&bound);
  out << "listening on " << bound.EndpointText() << std::endl;
  log.Line("listening on " + bound.EndpointText() + ", repository " + options.data_dir);

  Server server(storage, std::move(private_key), std::move(public_key), temp, log);
  std::atomic<int> stop_signal{0};
  std::thread signals([&] {
    int signal_number = 0;
    if (sigwait(&stop_signals, &signal_number) == 0) stop_signal.store(signal_number);
    server.Stop();
  });
  server.Run(listener.get());
  if (stop_signal.load() == 0) pthread_kill(signals.native_handle(), SIGTERM);
  signals.join();
  listener->Close();
  log.Line(std::string("stopped") +
           (stop_signal.load() != 0 ? " on signal " + std::to_string(stop_signal.load()) : ""));
  return 0;
}

int RunServer(const ServeOptions& options, Storage& storage, std::ostream& out, std::ostream& err,
              std::string* error) {
  try {
    return ServeUntilStopped(options, storage, out, err, error);
  } catch (const std::exception& e) {
    *error = std::string("the server failed: ") + e.what();
  } catch (...) {
    *error = "the server failed";
  }
  return 1;
}

}  // namespace tw::twserver
