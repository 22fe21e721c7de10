// The reference server as tests meet it: a real `TWServer serve` process on
// a free loopback port with its repository in the test's folder, and a small
// client that speaks the wire through a MessageChannel (PRELOGON and LOGON
// with real RSA and the logon digest, then requests and replies under the
// announced cipher).
//
// The client writes the field numbers of its requests itself, independently
// of protocol/: a wrong constant there would otherwise pass unnoticed, since
// the server and the tests would agree on it.
//
// Threads: a TestServer belongs to the test's main thread; a WireClient to
// one thread at a time.
#ifndef TW_TESTS_SUPPORT_WIRE_CLIENT_H_
#define TW_TESTS_SUPPORT_WIRE_CLIENT_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "messaging/message.h"
#include "transport/message_channel.h"

namespace tw::test {

class TestServer {
 public:
  // The repository goes to `dir` (which must not exist yet).
  explicit TestServer(std::string dir);
  // Stops a running server.
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  // `TWServer init` with extra options ("--selector", "9", ...).
  bool Init(const std::vector<std::string>& options = {});
  // `TWServer user add` with the password on standard input.
  bool AddUser(const std::string& name, const std::string& password);
  // `TWServer serve --port 0` with extra options; waits for its "listening
  // on" line.
  bool Start(const std::vector<std::string>& options = {});
  // SIGTERM and wait; the exit status.
  int Stop();

  // Runs TWServer with `args`; its exit status, standard output in `*out`.
  int Run(const std::vector<std::string>& args, const std::string& input, std::string* out);

  const std::string& dir() const { return dir_; }
  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  // What the server wrote to standard error (its log).
  std::string Log() const;

 private:
  const std::string dir_;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

class WireClient {
 public:
  // Connects to 127.0.0.1:`port`, from the local address `from` when it is
  // given (any of 127.0.0.0/8 on loopback: a server sees each as a client
  // address of its own); false when it cannot.
  bool Connect(uint16_t port, const std::string& from = std::string());

  // A request as the client's connection sends it: the routing fields (0 =
  // 1, 2 = 3, 3 = 17), the command and, when not negative, the sub-command
  // in field 100.
  static MessagePtr Request(const std::string& command, int sub = -1);

  // Sends `request` and waits (up to `timeout_ms`) for the next message.
  // Null when sending failed or nothing came.
  MessagePtr Call(const CRLMSGmessage& request, int timeout_ms = 120000);

  // PRELOGON, then LOGON; the LOGONR error code (-1 when a step got no
  // reply or the key exchange failed). On success the channel is switched
  // to the announced cipher.
  int Logon(const std::string& user, const std::string& password);

  MessageChannel& channel() { return *channel_; }
  // After a successful logon: the channel cipher; the PRELOGON values.
  const ChannelCipher& cipher() const { return cipher_; }
  int lock_policy() const { return lock_policy_; }

 private:
  std::unique_ptr<MessageChannel> channel_;
  ChannelCipher cipher_;
  int lock_policy_ = 0;
};

// A plain TCP connection to 127.0.0.1:`port` from the local address `from`
// (empty: any), that speaks nothing; its descriptor, or -1. Without `wait`
// the descriptor is non-blocking and returned while the connection may
// still be on its way (a server whose backlog is full holds no one up).
int ConnectFrom(uint16_t port, const std::string& from, bool wait = true);

// Rows of a name table (GETNAMELIST field 102), column name → value. Empty
// (and a test failure added) when the text is not a well-formed table.
std::vector<std::map<std::string, std::string>> ParseNameTable(const std::string& text);

// Elements of a list field, empty ones kept.
std::vector<std::string> SplitField(const CRLMSGmessage& message, uint32_t id,
                                    char separator = '?');

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_WIRE_CLIENT_H_
