#include "servers/twserver/serve.h"

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <fstream>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "messaging/message_writer.h"
#include "messaging/stream_format.h"
#include "platform/json_text.h"
#include "servers/twserver/commands.h"
#include "servers/twserver/content_gc.h"
#include "servers/twserver/logon_keys.h"
#include "servers/twserver/logon_throttle.h"
#include "servers/twserver/names.h"
#include "servers/twserver/web_server.h"
#include "servers/twserver/web_view.h"
#include "transport/message_channel.h"
#include "transport/socket.h"

namespace tw::twserver {

namespace {

constexpr int kListenBacklog = 128;
// Reads of unreadable bytes a logged-on connection may send before it is
// dropped (each is logged).
constexpr int kMaxBrokenReads = 16;
// How much of an upload is written before it is handed to the disk.
constexpr uint64_t kUploadWritebackBytes = uint64_t{8} << 20;

}  // namespace

std::string LogStamp() {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  const int millis = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return stamp;
}

namespace {

// Lines of the server's log, whole and in order, from every thread: to a
// file, which Reopen opens anew after an administrator moved it away, or to
// the error stream. As text, each line is the time and the text; as JSON,
// one object per line with "time" first, then "message" or the fields of a
// command.
class ServerLog {
 public:
  // Appends to the file `path` (empty: writes to `err`), as JSON objects
  // with `json`. False with `error` when the file cannot be opened.
  bool Open(const std::string& path, bool json, std::ostream& err, std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    json_ = json;
    path_ = path;
    stream_ = &err;
    if (path.empty()) return true;
    file_.open(path, std::ios::app);
    if (!file_) {
      *error = "cannot open the log file " + path;
      return false;
    }
    stream_ = &file_;
    return true;
  }

  void Line(const std::string& text) { Entry(text, "\"message\":" + JsonQuote(text)); }

  // One entry: `text` in a text log, the JSON members `members` (without
  // braces) in a JSON log.
  void Entry(const std::string& text, const std::string& members) {
    const std::string stamp = LogStamp();
    std::lock_guard<std::mutex> lock(mutex_);
    if (json_) {
      *stream_ << "{\"time\":" << JsonQuote(stamp) << "," << members << "}\n" << std::flush;
    } else {
      *stream_ << stamp << " " << text << "\n" << std::flush;
    }
  }

  bool json() const { return json_; }

  // Opens the log file again under its name, so that a rotated log goes on
  // in a new file; the old one stays in use when that fails, and the line
  // telling so goes there.
  void Reopen() {
    std::string outcome;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (path_.empty()) {
        outcome = "no log file to reopen (the log goes to standard error)";
      } else {
        std::ofstream fresh(path_, std::ios::app);
        if (fresh) {
          file_ = std::move(fresh);
          outcome = "log reopened";
        } else {
          outcome = "cannot reopen the log file " + path_ + "; the log goes on in the old one";
        }
      }
    }
    Line(outcome + " on signal " + std::to_string(SIGHUP));
  }

 private:
  std::mutex mutex_;
  bool json_ = false;               // set before the threads start
  std::string path_;                // guarded by mutex_
  std::ofstream file_;              // guarded by mutex_
  std::ostream* stream_ = nullptr;  // guarded by mutex_: file_ or the error stream
};

// One client connection and the thread that serves it.
struct Connection {
  uint64_t number = 0;
  std::string peer;
  std::string address;  // the peer's address without the port
  std::chrono::steady_clock::time_point opened;
  // Set at the start; moved out (under the server's lock) and destroyed by
  // the connection's own thread when it ends, so Stop never reaches a
  // channel that is gone.
  std::unique_ptr<MessageChannel> channel;
  std::thread thread;
  std::atomic<bool> done{false};
  // Set by the maintenance thread before it interrupts a stalled reply.
  std::atomic<bool> stalled{false};
  // Set (under the server's lock, which guards `pending` and `evicted_why`
  // too) when the connection is closed to make room for a newer one.
  std::atomic<bool> evicted{false};
  // Set by the connection's thread while it answers a request: a logon at
  // work is not pushed out for a newer connection while others idle.
  std::atomic<bool> handling{false};
  bool pending = false;     // counted among those not logged on
  std::string evicted_why;  // for the log

  // Used by the connection's own thread only (also in the reader's
  // admission check and the buffer check, which run inside Receive).
  bool logged_on = false;
  std::string refusal;                    // why the channel was refused
  const CRLMSGmessage* upload = nullptr;  // the message whose files arrive
  uint64_t upload_reserved = 0;           // what its files announced so far
  size_t buffered = 0;                    // bytes held for incomplete messages
};

class Server {
 public:
  Server(Storage& storage, const ServeOptions& options, ServerLog& log)
      : storage_(storage),
        options_(options),
        log_(log),
        keys_(KeyOptions(options)),
        throttle_(ThrottleOptions(options)),
        pending_limit_(options.max_unauthenticated > 0
                           ? options.max_unauthenticated
                           : std::max<size_t>(options.max_connections / 2, 1)),
        per_address_limit_(std::max<size_t>(options.max_unauthenticated_per_address, 1)) {}

  // The logon throttle, shared with the web view's logon.
  LogonThrottle& throttle() { return throttle_; }

  // Makes the first logon key. False, with `error`, when none can be made.
  bool StartKeys(std::string* error) { return keys_.Start(error); }

  // Accepts clients on `listener` until Stop; then waits for every
  // connection's thread.
  void Run(CIOSocket* listener) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      listener_ = listener;
    }
    std::thread maintenance([this] { Maintain(); });
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
    {
      std::lock_guard<std::mutex> lock(maintenance_mutex_);
      stopping_.store(true);
      maintenance_wake_.notify_all();
    }
    maintenance.join();
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
    {
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
    std::lock_guard<std::mutex> lock(maintenance_mutex_);
    maintenance_wake_.notify_all();
  }

 private:
  static LogonKeys::Options KeyOptions(const ServeOptions& options) {
    LogonKeys::Options keys;
    keys.rotation = std::chrono::seconds(std::max(1, options.key_rotation_seconds));
    return keys;
  }

  static LogonThrottle::Options ThrottleOptions(const ServeOptions& options) {
    LogonThrottle::Options throttle;
    throttle.base = std::chrono::milliseconds(std::max(0, options.logon_delay_ms));
    throttle.cap =
        std::chrono::milliseconds(std::max(options.logon_delay_ms, options.logon_delay_max_ms));
    return throttle;
  }

  void Start(std::unique_ptr<CIOSocket> socket) {
    auto connection = std::make_unique<Connection>();
    NetAddress peer;
    const bool known = socket->PeerAddress(&peer) == kSocketOk;
    connection->peer = known ? peer.EndpointText() : std::string("?");
    connection->address = known ? peer.AddressText() : std::string("?");
    connection->opened = std::chrono::steady_clock::now();
    Connection* raw = connection.get();
    MessageReaderOptions reader;
    reader.admit_file = [this, raw](const CRLMSGmessage& message, uint64_t total) {
      return AdmitFile(raw, message, total);
    };
    // An upload is synced before it becomes a content: its bytes go to the
    // disk while the rest arrives, not all at the end.
    if (storage_.Contents().durable()) reader.writeback_bytes = kUploadWritebackBytes;
    // Contents are named by their digest: made as the bytes come, not by
    // reading every upload again once it is complete.
    reader.digest_files = true;
    // A content's chunks are sent again as they came, not compressed anew
    // for every get.
    reader.keep_file_members = [this](uint64_t rest) { return AdmitMembers(rest); };
    connection->channel = std::make_unique<MessageChannel>(std::move(socket), std::move(reader));
    connection->channel->SetMessageLimit(options_.prelogon_message_bytes);
    connection->channel->SetBufferCheck(
        [this, raw](size_t buffered) { return CheckBuffered(raw, buffered); });
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_.load()) return;  // the channel closes with `connection`
    raw->number = ++connection_count_;
    if (!MakeRoom(raw->address)) {
      // Closed at once, so that the client learns it, and the descriptors
      // stay for those already served.
      log_.Line("connection " + std::to_string(raw->number) + " from " + raw->peer +
                " refused: " + std::to_string(connections_.size() - evicting_) +
                " connections are open, the limit, all logged on");
      return;
    }
    connections_.push_back(std::move(connection));
    try {
      raw->thread = std::thread([this, raw] { Serve(raw); });
    } catch (const std::exception& e) {
      // No thread to be had: the client is turned away, the server goes on.
      connections_.pop_back();
      log_.Line("connection " + std::to_string(raw->number) + " refused: " + e.what());
      return;
    }
    raw->pending = true;
    ++pending_total_;
    ++pending_by_address_[raw->address];
  }

  // Makes room for one more connection not logged on, from `address`, by
  // closing the oldest idle one not logged on (one that is not answering a
  // request just now) of the same address past its limit, and of the
  // address with the most such connections past the share of all. When
  // every place is taken, such a connection of the busiest address goes
  // even when it is answering a request. False when every place is taken
  // by logged-on connections (under mutex_).
  bool MakeRoom(const std::string& address) {
    const auto mine = pending_by_address_.find(address);
    if (mine != pending_by_address_.end() && mine->second >= per_address_limit_) {
      Evict(address, false,
            "its address " + address + " has " + std::to_string(mine->second) +
                " connections not logged on, the limit per address");
    }
    if (pending_total_ >= pending_limit_) {
      Evict(BusiestAddress(), false,
            std::to_string(pending_total_) +
                " connections are not logged on, the limit, and its address has the most of them");
    }
    if (connections_.size() - evicting_ < options_.max_connections) return true;
    const std::string why = std::to_string(connections_.size() - evicting_) +
                            " connections are open, the limit, and its address has the most of "
                            "those not logged on";
    const std::string busiest = BusiestAddress();
    return Evict(busiest, false, why) || Evict(busiest, true, why);
  }

  // The address with the most connections not logged on; of several, the
  // one whose such connection is oldest (under mutex_).
  std::string BusiestAddress() const {
    size_t most = 0;
    for (const auto& entry : pending_by_address_) most = std::max(most, entry.second);
    for (const auto& connection : connections_) {
      if (connection->pending && pending_by_address_.at(connection->address) == most) {
        return connection->address;
      }
    }
    return std::string();
  }

  // Closes the oldest connection of `address` not logged on, an idle one
  // unless `even_busy` (under mutex_): its thread sees the channel
  // interrupted and ends, telling `why`. False when there is none.
  bool Evict(const std::string& address, bool even_busy, const std::string& why) {
    for (auto& connection : connections_) {
      if (!connection->pending || connection->address != address) continue;
      if (!even_busy && connection->handling.load()) continue;
      Unpend(connection.get());
      connection->evicted_why = why;
      connection->evicted.store(true);
      ++evicting_;
      if (connection->channel) {
        connection->channel->stop_flag().store(true);
        connection->channel->Interrupt();
      }
      return true;
    }
    return false;
  }

  // Takes a connection out of the count of those not logged on (under
  // mutex_).
  void Unpend(Connection* connection) {
    if (!connection->pending) return;
    connection->pending = false;
    --pending_total_;
    auto it = pending_by_address_.find(connection->address);
    if (it != pending_by_address_.end() && --it->second == 0) pending_by_address_.erase(it);
  }

  // The reader's admission check of a received file (the connection's
  // thread, inside Receive).
  bool AdmitFile(Connection* connection, const CRLMSGmessage& message, uint64_t total) {
    if (!connection->logged_on) {
      connection->refusal = "a file before logon";
      return false;
    }
    if (&message != connection->upload || total < connection->upload_reserved) {
      // A new message: the files of the one before have all arrived and
      // lie on the disk, whose free space already counts them.
      ReleaseUpload(connection);
      connection->upload = &message;
    }
    std::lock_guard<std::mutex> lock(upload_mutex_);
    uint64_t allowed = options_.upload_limit_bytes;
    if (allowed == 0) {
      uint64_t free = 0;
      if (!FreeDiskBytes(&free)) {
        connection->refusal = "the free disk space cannot be read";
        return false;
      }
      const uint64_t others = uploads_reserved_ - connection->upload_reserved;
      const uint64_t taken = options_.disk_reserve_bytes + others;
      allowed = free > taken ? free - taken : 0;
    }
    if (total > allowed) {
      connection->refusal = "a request announcing " + std::to_string(total) +
                            " bytes of files, over the " + std::to_string(allowed) + " allowed";
      return false;
    }
    uploads_reserved_ += total - connection->upload_reserved;
    connection->upload_reserved = total;
    return true;
  }

  // The reader's check before it keeps the members of a received file:
  // they may take at most `rest` more bytes (each member is shorter than
  // its chunk), which must leave the disk's reserve and every upload
  // admitted, this one whole, their room.
  bool AdmitMembers(uint64_t rest) {
    uint64_t free = 0;
    if (!FreeDiskBytes(&free)) return false;
    std::lock_guard<std::mutex> lock(upload_mutex_);
    const uint64_t taken = options_.disk_reserve_bytes + uploads_reserved_;
    return free > taken && free - taken > rest;
  }

  // The bytes free on the content store's disk for this process's user.
  bool FreeDiskBytes(uint64_t* free) const {
    struct statvfs fs;
    if (statvfs(storage_.Contents().root().c_str(), &fs) != 0) return false;
    *free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    return true;
  }

  void ReleaseUpload(Connection* connection) {
    std::lock_guard<std::mutex> lock(upload_mutex_);
    uploads_reserved_ -= connection->upload_reserved;
    connection->upload_reserved = 0;
    connection->upload = nullptr;
  }

  // Sends a reply. On a compressing channel the contents it sends go with
  // the gzip members their bytes came as when they were uploaded, so that a
  // get does not compress them again.
  bool SendReply(MessageChannel* channel, const CRLMSGmessage& reply) {
    if (!channel->compresses()) return channel->Send(reply);
    MessageObject object;
    // One that cannot be written fails as Send reports it.
    if (!WriteMessageObject(reply, nullptr, &object)) return channel->Send(reply);
    for (OutgoingFile& file : object.files) {
      file.members_path = storage_.Contents().MembersForPath(file.local_path);
    }
    return channel->SendObject(std::move(object));
  }

  // The channel's buffer check: the bytes of incomplete messages of all
  // connections stay within the budget. A connection holding little is
  // never refused, so that small requests always pass. What those hold
  // lies outside the budget: at 256 KiB a full house of 1024 connections
  // adds at most 256 MiB, the default budget itself, where 1 MiB would
  // have let them hold four times the budget. So do the read buffer and the
  // frames opened at once of a logged-on connection busy sending (up to
  // twice the worker count of frame pieces, and the kept member of each,
  // given back when it goes quiet).
  bool CheckBuffered(Connection* connection, size_t buffered) {
    constexpr size_t kAlwaysAllowed = size_t{256} << 10;
    const size_t before = connection->buffered;
    connection->buffered = buffered;
    const size_t total = buffered_total_.fetch_add(buffered - before) + (buffered - before);
    if (buffered <= kAlwaysAllowed || total <= options_.message_memory_bytes) return true;
    connection->refusal = "incomplete messages of " + std::to_string(total) +
                          " bytes in all, over the budget of " +
                          std::to_string(options_.message_memory_bytes);
    return false;
  }

  // Joins the threads of connections that ended.
  void ReapFinished() {
    std::list<std::unique_ptr<Connection>> finished;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->done.load()) {
          if ((*it)->evicted.load()) --evicting_;
          finished.push_back(std::move(*it));
          it = connections_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (auto& connection : finished) connection->thread.join();
  }

  // Rotates the logon keys, ends connections whose reply stalls and
  // collects unreferenced contents now and then, until the server stops.
  void Maintain() {
    using Clock = std::chrono::steady_clock;
    auto next_collection = Clock::now() + std::chrono::seconds(options_.gc_interval_seconds);
    std::unique_lock<std::mutex> lock(maintenance_mutex_);
    for (;;) {
      maintenance_wake_.wait_for(lock, std::chrono::seconds(1));
      if (stopping_.load()) break;
      lock.unlock();
      const auto now = Clock::now();
      keys_.Rotate(now);
      EndStalledSends(now);
      if (options_.gc_interval_seconds > 0 && now >= next_collection) {
        Collect();
        next_collection = Clock::now() + std::chrono::seconds(options_.gc_interval_seconds);
      }
      lock.lock();
    }
  }

  void EndStalledSends(std::chrono::steady_clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& connection : connections_) {
      MessageChannel* channel = connection->channel.get();
      if (channel != nullptr && channel->sending() &&
          now - channel->last_send_progress() > std::chrono::seconds(kSendStallSeconds) &&
          !connection->stalled.exchange(true)) {
        channel->Interrupt();
      }
    }
  }

  void Collect() {
    CollectionReport report;
    const int result = CollectContents(storage_, kDefaultContentMinAgeSeconds, &report, &stopping_);
    std::string line = "content collection: " + std::to_string(report.removed) + " of " +
                       std::to_string(report.examined) + " contents removed (" +
                       std::to_string(report.bytes) + " bytes), " +
                       std::to_string(report.temporaries) + " stale temporary files, " +
                       std::to_string(report.abandoned) + " files of abandoned uploads";
    if (result != kOk) line += "; failed: " + Printable(storage_.FailureText());
    log_.Line(line);
  }

  // The log's entry for one command: who, what, on which paths, how it
  // ended. `unsent` says why the reply could not be sent (empty: it was).
  void LogCommand(const Connection& connection, const std::string& name, const std::string& user,
                  const std::string& command, const CommandOutcome& outcome, int64_t ms,
                  const std::string& unsent) {
    if (log_.json()) {
      std::string members =
          "\"connection\":" + std::to_string(connection.number) + ",\"user\":" + JsonQuote(user) +
          ",\"command\":" + JsonQuote(command) + ",\"sub\":" + std::to_string(outcome.sub_command) +
          ",\"result\":" + std::to_string(outcome.error) + ",\"ms\":" + std::to_string(ms);
      const auto list = [&](const char* key, const std::vector<std::string>& items) {
        if (items.empty()) return;
        members += std::string(",\"") + key + "\":[";
        for (size_t i = 0; i < items.size(); ++i) members += (i ? "," : "") + JsonQuote(items[i]);
        members += "]";
      };
      list("paths", outcome.paths);
      list("ids", outcome.ids);
      if (outcome.more > 0) members += ",\"more\":" + std::to_string(outcome.more);
      if (!outcome.failure.empty()) members += ",\"failure\":" + JsonQuote(outcome.failure);
      if (!outcome.note.empty()) members += ",\"note\":" + JsonQuote(outcome.note);
      if (!unsent.empty()) members += ",\"unsent\":" + JsonQuote(unsent);
      log_.Entry(std::string(), members);
      return;
    }
    std::string line = name + " user=" + Printable(user) + " command=" + Printable(command) +
                       " sub=" + std::to_string(outcome.sub_command) +
                       " result=" + std::to_string(outcome.error) + " ms=" + std::to_string(ms);
    // Each path quoted: names may hold blanks and quotes.
    if (!outcome.paths.empty()) {
      line += " paths=";
      for (size_t i = 0; i < outcome.paths.size(); ++i) {
        std::string quoted;
        for (char c : Printable(outcome.paths[i]))
          quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
        line += (i ? ",\"" : "\"") + quoted + "\"";
      }
    }
    if (!outcome.ids.empty()) {
      line += " ids=";
      for (size_t i = 0; i < outcome.ids.size(); ++i)
        line += (i ? "," : "") + Printable(outcome.ids[i]);
    }
    if (outcome.more > 0) line += " more=" + std::to_string(outcome.more);
    if (!outcome.failure.empty()) line += " failure=" + Printable(outcome.failure);
    if (!outcome.note.empty()) line += " note=" + outcome.note;
    if (!unsent.empty()) line += " reply not sent: " + Printable(unsent);
    log_.Line(line);
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
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Unpend(connection);
    }
    ReleaseUpload(connection);
    buffered_total_.fetch_sub(connection->buffered);
    connection->buffered = 0;
    connection->done.store(true);
  }

  void Converse(Connection* connection, const std::string& name) {
    using Clock = std::chrono::steady_clock;
    MessageChannel* channel = connection->channel.get();
    log_.Line(name + " opened from " + connection->peer);
    HandlerLimits limits;
    limits.max_items = options_.max_items;
    limits.read_budget = std::chrono::milliseconds(options_.read_budget_ms);
    CommandHandler handler(storage_, keys_, throttle_, &stopping_, limits, connection->address);
    std::string end = "closed by the client";
    uint64_t commands = 0;
    int broken_reads = 0;
    Clock::time_point last_reply = connection->opened;
    for (;;) {
      // Before logon the deadline counts from the connection's start; after
      // it, from the last bytes either way.
      const Clock::time_point deadline =
          connection->logged_on
              ? std::max(channel->last_receive(), last_reply) +
                    std::chrono::seconds(options_.idle_timeout_seconds)
              : connection->opened + std::chrono::seconds(options_.logon_timeout_seconds);
      const int64_t left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        end = connection->logged_on
                  ? "closed: idle for " + std::to_string(options_.idle_timeout_seconds) + " s"
                  : "closed: no logon within " + std::to_string(options_.logon_timeout_seconds) +
                        " s";
        break;
      }
      MessagePtr request;
      const int got = channel->Receive(&request, static_cast<int>(std::min<int64_t>(left, 60000)));
      if (got == kChannelTimedOut) continue;
      if (got == kChannelBroken) {
        // A client talks the protocol or is dropped: before logon at once,
        // after it once its bytes keep failing, so that nobody can fill the
        // log with complaints about them.
        if (!connection->logged_on || ++broken_reads >= kMaxBrokenReads) {
          end = "dropped: unreadable bytes: " + Printable(channel->error());
          break;
        }
        log_.Line(name + ": unreadable bytes dropped: " + Printable(channel->error()));
        continue;
      }
      if (got == kChannelRefused) {
        end = "dropped: " +
              Printable(connection->refusal.empty() ? channel->error() : connection->refusal);
        break;
      }
      if (got != kChannelMessage) {
        if (got == kChannelInterrupted) end = "closed as the server stops";
        break;
      }
      const auto start = Clock::now();
      connection->handling.store(true);
      CommandOutcome outcome = handler.Handle(*request);
      RemoveReceivedFiles(*request);
      // Its files are stored or gone: the disk's free space tells the rest,
      // and the reservation must not hold up other uploads while this
      // connection idles.
      if (connection->upload == request.get()) ReleaseUpload(connection);
      const std::string command = request->GetCommand();
      request.reset();
      if (handler.logged_on() && !connection->logged_on) {
        // No longer among those a newer connection may push out: the
        // client goes on as soon as it has the reply.
        std::lock_guard<std::mutex> lock(mutex_);
        Unpend(connection);
      }
      const bool sent = SendReply(channel, *outcome.reply);
      connection->handling.store(false);
      last_reply = Clock::now();
      if (sent && outcome.switch_cipher) {
        channel->SetReceiveKey(outcome.cipher.key);
        channel->SetSendCipher(std::move(outcome.cipher));
      }
      if (handler.logged_on() && !connection->logged_on) {
        connection->logged_on = true;
        channel->SetMessageLimit(kMaxObjectLength);
      }
      ++commands;
      const auto ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(last_reply - start).count();
      LogCommand(*connection, name, handler.user(), command, outcome, ms,
                 sent ? std::string() : channel->error());
      if (!sent) {
        end = connection->stalled.load() ? "closed: the client took no reply bytes for " +
                                               std::to_string(kSendStallSeconds) + " s"
                                         : "closed: the reply could not be sent";
        break;
      }
      if (connection->logged_on && !handler.logged_on()) {
        // The user was removed or the password changed: the session ends
        // with its connection, as every session does, so that the client
        // logs on anew (and is refused) instead of living on a channel
        // that only answers "not logged on".
        end = "closed: the logon ended";
        break;
      }
    }
    if (connection->evicted.load()) {
      std::lock_guard<std::mutex> lock(mutex_);
      end = "closed to make room for a newer connection, not logged on after " +
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                                                 connection->opened)
                               .count()) +
            " ms: " + connection->evicted_why;
    }
    log_.Line(name + " " + end + " (peer " + connection->peer + ", user " +
              Printable(handler.user()) + ", " + std::to_string(commands) + " commands)");
  }

  Storage& storage_;
  const ServeOptions options_;
  ServerLog& log_;
  LogonKeys keys_;
  LogonThrottle throttle_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> buffered_total_{0};

  const size_t pending_limit_;      // connections not logged on
  const size_t per_address_limit_;  // the same from one address

  std::mutex mutex_;
  CIOSocket* listener_ = nullptr;                       // guarded by mutex_
  std::list<std::unique_ptr<Connection>> connections_;  // guarded by mutex_
  uint64_t connection_count_ = 0;                       // guarded by mutex_
  size_t evicting_ = 0;       // guarded by mutex_: evicted, their threads not yet reaped
  size_t pending_total_ = 0;  // guarded by mutex_
  std::unordered_map<std::string, size_t> pending_by_address_;  // guarded by mutex_

  std::mutex upload_mutex_;
  uint64_t uploads_reserved_ = 0;  // guarded by upload_mutex_

  std::mutex maintenance_mutex_;
  std::condition_variable maintenance_wake_;  // signalled under maintenance_mutex_
};

// Raises the descriptor limit as far as allowed and derives the default
// connection cap from it: each connection takes a socket, an event
// descriptor and now and then a received file, beside the database's own.
size_t DefaultMaxConnections() {
  constexpr size_t kPerConnection = 4;
  constexpr size_t kReserved = 64;
  constexpr size_t kMost = 1024;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 200;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 65536);
    if (raised.rlim_cur > limit.rlim_cur && setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return kMost;
  const size_t descriptors = static_cast<size_t>(limit.rlim_cur);
  if (descriptors <= kReserved + kPerConnection) return 1;
  return std::min(kMost, (descriptors - kReserved) / kPerConnection);
}

}  // namespace

static int ServeUntilStopped(const ServeOptions& options, Storage& storage, std::ostream& out,
                             std::ostream& err, std::string* error) {
  // The stop signals and SIGHUP (reopen the log) are taken by one thread
  // with sigwait; every other thread, started after this, has them blocked.
  // A vanished peer must not kill the process (sockets send with
  // MSG_NOSIGNAL; the log may be a pipe).
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  ServeOptions limits = options;
  if (limits.max_connections == 0) limits.max_connections = DefaultMaxConnections();

  // Received files land where the message reader makes temporary files:
  // in this server's own upload folder inside the content store, so storing
  // them never crosses a file system, and what a crash leaves there is
  // removed by the next server or collection. Uploads that servers which
  // died left behind go now.
  const int abandoned = storage.Contents().RemoveAbandonedUploads();
  UploadFolder uploads;
  if (!storage.Contents().OpenUploadFolder(&uploads, error)) return 1;
  std::string temp = uploads.path();
  if (char* absolute = realpath(temp.c_str(), nullptr)) {
    temp = absolute;
    free(absolute);
  }
  setenv("TMPDIR", temp.c_str(), 1);

  ServerLog log;
  if (!log.Open(options.log_file, options.log_json, err, error)) return 1;

  const NetAddress address = CreateAddress(options.listen_address, options.port);
  std::unique_ptr<CIOSocket> listener = CreateSocket();
  Server server(storage, limits, log);
  if (!server.StartKeys(error)) return 1;
  if (!address.IsValid() ||
      listener->ListenOn(address, kListenBacklog, kSocketStream) != kSocketOk) {
    *error = "cannot listen on " + options.listen_address + ":" + std::to_string(options.port);
    return 1;
  }
  NetAddress bound;
  listener->LocalAddress(&bound);
  out << "listening on " << bound.EndpointText() << std::endl;
  log.Line("listening on " + bound.EndpointText() + ", repository " + options.data_dir +
           ", at most " + std::to_string(limits.max_connections) + " connections; " +
           std::to_string(abandoned) + " files of abandoned uploads removed");

  // The web view answers from its own threads; it stops after the Veltrane
  // port, before the storage goes.
  std::atomic<bool> web_stopping{false};
  std::unique_ptr<WebView> web_view;
  std::unique_ptr<WebServer> web;
  if (!options.http_address.empty()) {
    web_view = std::make_unique<WebView>(storage, server.throttle(), web_stopping,
                                         std::chrono::milliseconds(options.read_budget_ms),
                                         [&log](const std::string& line) { log.Line(line); });
    WebServerOptions web_options;
    web_options.address = options.http_address;
    web_options.port = options.http_port;
    web_options.cert_file = options.http_cert_file;
    web_options.key_file = options.http_key_file;
    web_options.max_connections = std::max<size_t>(options.http_max_connections, 1);
    web = std::make_unique<WebServer>(*web_view, web_options,
                                      [&log](const std::string& line) { log.Line(line); });
    std::string url;
    if (!web->Start(&url, error)) return 1;
    out << "web view on " << url << std::endl;
    log.Line("web view on " + url);
  }

  std::atomic<int> stop_signal{0};
  std::thread signals([&] {
    int signal_number = 0;
    while (sigwait(&stop_signals, &signal_number) == 0) {
      if (signal_number != SIGHUP) {
        stop_signal.store(signal_number);
        break;
      }
      log.Reopen();
    }
    server.Stop();
  });
  server.Run(listener.get());
  if (web) {
    web_stopping.store(true);
    web->Stop();
  }
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
