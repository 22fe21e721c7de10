#include "tests/support/wire_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "crypto/crypto.h"
#include "messaging/field_ids.h"
#include "platform/decimal.h"
#include "platform/list_text.h"
#include "protocol/name_table.h"
#include "tests/support/test_env.h"
#include "transport/socket.h"

namespace tw::test {

namespace {

// One client key pair per test process: the server does not care whether
// a client's key is fresh, and generating one per connection would make the
// tests with many clients wait for key generation.
void ClientKeys(std::string* private_key, std::string* public_key) {
  static std::once_flag once;
  static std::string priv, pub;
  std::call_once(once, [] { CRLDATcrypto::GenerateKeyPair(1024, &priv, &pub); });
  *private_key = priv;
  *public_key = pub;
}

}  // namespace

TestServer::TestServer(std::string dir) : dir_(std::move(dir)) {}

TestServer::~TestServer() {
  if (pid_ > 0) Stop();
}

int TestServer::Run(const std::vector<std::string>& args, const std::string& input,
                    std::string* out) {
  const std::string in_path = dir_ + ".stdin";
  const std::string out_path = dir_ + ".stdout";
  WriteFile(in_path, input);
  const pid_t pid = SpawnRedirected("TWServer", args, in_path, out_path, "");
  const int status = pid > 0 ? WaitExit(pid) : -1;
  if (out != nullptr) *out = ReadFile(out_path);
  unlink(in_path.c_str());
  unlink(out_path.c_str());
  return status;
}

bool TestServer::Init(const std::vector<std::string>& options) {
  std::vector<std::string> args{"init", "--data", dir_};
  args.insert(args.end(), options.begin(), options.end());
  return Run(args, "", nullptr) == 0;
}

bool TestServer::AddUser(const std::string& name, const std::string& password) {
  return Run({"user", "add", "--data", dir_, name}, password + "\n", nullptr) == 0;
}

bool TestServer::Start(const std::vector<std::string>& options) {
  const std::string out_path = dir_ + ".serve.out";
  std::vector<std::string> args{"serve", "--data", dir_, "--port", "0"};
  args.insert(args.end(), options.begin(), options.end());
  pid_ = SpawnRedirected("TWServer", args, "", out_path, dir_ + ".serve.log");
  if (pid_ <= 0) return false;
  const std::string prefix = "listening on ";
  for (int i = 0; i < 6000; ++i) {  // a minute at most, for sanitizer builds
    const std::string out = ReadFile(out_path);
    const size_t end = out.find('\n');
    if (end != std::string::npos && out.compare(0, prefix.size(), prefix) == 0) {
      const size_t colon = out.rfind(':', end);
      return ParsePort(out.substr(colon + 1, end - colon - 1), &port_);
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid_, SIGKILL);
  WaitExit(pid_);
  pid_ = -1;
  return false;
}

int TestServer::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  const int status = WaitExit(pid_);
  pid_ = -1;
  return status;
}

std::string TestServer::Log() const {
  return ReadFile(dir_ + ".serve.log");
}

int ConnectFrom(uint16_t port, const std::string& from, bool wait) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if ((!from.empty() && (inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
                         bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)) ||
      (connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0 &&
       (wait || errno != EINPROGRESS))) {
    close(fd);
    return -1;
  }
  return fd;
}

bool WireClient::Connect(uint16_t port, const std::string& from) {
  std::unique_ptr<CIOSocket> socket;
  if (from.empty()) {
    socket = CreateSocket();
    if (socket->Connect(CreateAddress(127, 0, 0, 1, port), kSocketStream) != kSocketOk) {
      return false;
    }
  } else {
    socket = AdoptConnectedSocket(ConnectFrom(port, from));
    if (!socket) return false;
  }
  channel_ = std::make_unique<MessageChannel>(std::move(socket));
  return true;
}

MessagePtr WireClient::Request(const std::string& command, int sub) {
  MessagePtr request = NewMessage();
  request->SetString(COMMAND, command);
  request->SetInt(TARGETRECIPIENT, 1);
  request->SetInt(SOURCERECIPIENT, 3);
  request->SetInt(PROXYFORRECIPIENT, 17);
  if (sub >= 0) request->SetInt(100, sub);
  return request;
}

MessagePtr WireClient::Call(const CRLMSGmessage& request, int timeout_ms) {
  if (!channel_ || !channel_->Send(request)) return nullptr;
  MessagePtr reply;
  if (channel_->Receive(&reply, timeout_ms) != kChannelMessage) return nullptr;
  return reply;
}

int WireClient::Logon(const std::string& user, const std::string& password) {
  MessagePtr prelogon = Request("PRELOGON");
  for (uint32_t id : {100u, 101u, 102u}) prelogon->SetInt(id, 0);
  MessagePtr reply = Call(*prelogon);
  if (!reply || reply->GetErrorCode() != 0) return -1;
  std::string server_key;
  int selector = 0, compression = 0;
  reply->GetString(100, &server_key);
  reply->GetInt(101, &selector);
  reply->GetInt(102, &compression);
  reply->GetInt(103, &lock_policy_);

  std::string private_key, public_key, digest, sealed;
  ClientKeys(&private_key, &public_key);
  CRLDATcrypto::DigestToHex(digest, kDigestMd5, password + user);
  if (!CRLDATcrypto::RsaEncryptToHex(server_key, digest.data(), digest.size(), &sealed)) return -1;
  MessagePtr logon = Request("LOGON");
  logon->SetString(100, user);
  logon->SetString(101, sealed);
  logon->SetString(102, public_key);
  reply = Call(*logon);
  if (!reply) return -1;
  if (reply->GetErrorCode() != 0) return reply->GetErrorCode();
  std::string sealed_key;
  SecureBytes key;
  reply->GetString(102, &sealed_key);
  if (!CRLDATcrypto::RsaDecryptFromHex(private_key, sealed_key, &key)) return -1;
  cipher_.key.assign(reinterpret_cast<const char*>(key.data()), key.size());
  cipher_.selector = static_cast<uint32_t>(selector);
  cipher_.compress = compression != 0 || selector != 0;
  channel_->SetSendCipher(cipher_);
  channel_->SetReceiveKey(cipher_.key);
  return 0;
}

std::vector<std::map<std::string, std::string>> ParseNameTable(const std::string& text) {
  NameTable table;
  std::string error;
  if (!NameTable::Parse(text, &table, &error)) {
    ADD_FAILURE() << "not a name table (" << error << "): " << text;
    return {};
  }
  std::vector<std::map<std::string, std::string>> rows;
  for (size_t i = 0; i < table.row_count(); ++i) {
    rows.emplace_back(table.row(i).begin(), table.row(i).end());
  }
  return rows;
}

std::vector<std::string> SplitField(const CRLMSGmessage& message, uint32_t id, char separator) {
  std::string text;
  message.GetString(id, &text);
  return SplitList(text, separator);
}

}  // namespace tw::test
