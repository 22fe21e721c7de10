// The property file server's loop: reads requests from its mailslot, hands
// them to the RequestHandler (requests.h) and delivers the replies.
//
// A reply never waits for a client: it is written without waiting for room
// in the client's reply mailslot, and when that client's queue is full it
// is kept (in order, behind the client's earlier ones) and written again
// as the loop goes round. A kept reply that a client has not made room for
// within kReplyKeepMs (its own wait for a reply is over by then), or one
// beyond kMaxKeptReplies for that client, is dropped and logged. A client
// whose queue stays full is tried again after a back-off that doubles from
// kFirstRetryMs up to kMaxRetryMs (and starts afresh once a reply gets
// through), and the loop looks at kept replies only when the earliest
// retry is due: a stalled client costs one failed write per back-off step,
// however many requests the others send. So a client that stops reading
// holds up nobody but itself.
//
// Threads: everything runs on the one thread that calls Run(); the only
// other input is the stop flag, set from a signal handler.
#ifndef TW_SERVERS_TWPMSVR_SERVER_H_
#define TW_SERVERS_TWPMSVR_SERVER_H_

#include <csignal>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "platform/mailslot.h"
#include "servers/twpmsvr/requests.h"

namespace tw::pmsvr {

struct ServerOptions {
  // Exit after this long with no registered client (and no request).
  uint32_t idle_ms = 300000;
  // How long an "[SD]" store without an owning process outlives its last
  // request (requests.h).
  int64_t unowned_scratch_ms = RequestHandler::kUnownedScratchMs;
};

// How long a reply waits for room in its client's mailslot, at most.
constexpr int64_t kReplyKeepMs = 10000;
// Replies kept for one client at most, and bytes for all clients.
constexpr size_t kMaxKeptReplies = 64;
constexpr size_t kMaxKeptBytes = 32u << 20;
// The back-off between tries of one client's kept replies.
constexpr int64_t kFirstRetryMs = 5;
constexpr int64_t kMaxRetryMs = 320;

class Server {
 public:
  explicit Server(ServerOptions options) : options_(options) {}
  // The server of a runtime folder holds an exclusive flock on
  // <runtime>/.twpmsvr.lock, which holds its pid as decimal text.
  // Serves until `stop` is set or the idle time has passed; returns the exit
  // status: 0 after a clean stop, 1 when the server could not start, 2 when
  // another server already runs for this runtime folder.
  int Run(volatile std::sig_atomic_t* stop);

 private:
  struct Kept {
    std::string text;
    int64_t since_ms;
  };
  struct Client {
    std::unique_ptr<MailslotWriter> writer;
    std::deque<Kept> kept;
    int64_t retry_at_ms = 0;  // while replies are kept
    int64_t backoff_ms = 0;
  };

  // Writes a reply, or keeps it when the client's queue is full.
  void Reply(const std::string& reply_name, const std::string& text);
  // Writes the kept replies of the clients whose retry is due, those that
  // now fit; drops those kept too long. Nothing when no retry is due.
  void WriteKept(int64_t now_ms, bool all = false);
  // Milliseconds until the earliest retry, at most `cap`.
  uint32_t UntilRetry(int64_t now_ms, uint32_t cap) const;
  void Forget(const std::string& reply_name);

  ServerOptions options_;
  std::unique_ptr<MailslotReader> reader_;
  std::map<std::string, Client> clients_;  // reply writers by reply name
  size_t keeping_ = 0;                     // clients with kept replies
  size_t kept_bytes_ = 0;                  // of all kept replies
  int64_t next_retry_ms_ = 0;              // earliest retry_at_ms while keeping_ > 0
};

}  // namespace tw::pmsvr

#endif  // TW_SERVERS_TWPMSVR_SERVER_H_
