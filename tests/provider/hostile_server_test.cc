// The provider against a server that misbehaves on purpose, as a host meets
// it: the built module loaded with dlopen and driven through its exports
// against a fake server of the tests' own (tests/support/fake_server.h) and
// a real TWPMSvr. A reply about other Documents than those asked for, names
// holding line breaks, a reply that trickles in just fast enough never to
// stall, and another user racing for the scratch files' names must neither
// write a wrong file, nor mislead the user, nor hold the host for ever.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "messaging/field_ids.h"
#include "platform/list_text.h"
#include "protocol/document_command.h"
#include "provider/msscci.h"
#include "settings/property_file_client.h"
#include "tests/support/fake_server.h"
#include "tests/support/property_server.h"
#include "tests/support/scc_host.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"
#include "transport/message_channel.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using test::FakeServer;
using test::LoopbackPeer;
using test::SccHost;

constexpr char kMismatchNotice[] =
    "Veltrane: The server's reply names other Documents than those asked for; no file was "
    "written.";

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// Swaps the first two elements of the list in `field` (a string or a file
// list alike).
void SwapFirstTwo(CRLMSGmessage* message, uint32_t field) {
  uint32_t type = 0;
  std::string text;
  message->GetRawField(field, &type, &text);
  std::vector<std::string> list = SplitList(text, kListSeparator);
  if (list.size() >= 2) std::swap(list[0], list[1]);
  const std::string swapped = JoinList(list, kListSeparator);
  message->SetRawField(field, type, swapped.data(), swapped.size());
}

class HostileServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELTRANE_UI_RECORD", record_.c_str(), 1);
    const std::string script = env_.Path("script.txt");
    test::WriteFile(script, "dialog 101 1 1001=alice 1002=\"alice pw\" 1000=127.0.0.1 1003=" +
                                std::to_string(server_.port()) + "\n");
    setenv("VELTRANE_UI", ("script:" + script).c_str(), 1);
    ASSERT_TRUE(property_server_.Start());
    host_ = std::make_unique<SccHost>();
    ASSERT_TRUE(host_->ok()) << host_->error();
    SccHost::ClearNotices();
    fs::create_directories(work_);
  }
  void TearDown() override {
    if (context_ != nullptr) {
      EXPECT_EQ(SCC_OK, host_->uninitialize(context_));
    }
    for (const auto& entry : test::ReadUiRecord(record_)) {
      EXPECT_FALSE(entry.unexpected) << "unexpected " << entry.kind << " " << entry.title;
    }
    unsetenv("VELTRANE_UI_RECORD");
  }

  // Logs on and opens the fake server's Production, bound to work_.
  void OpenProject() {
    context_ = host_->Initialize();
    ASSERT_NE(nullptr, context_);
    ASSERT_EQ(SCC_OK, host_->Open(context_, {test::kFakeProductionId, work_, "\\Hostile"}));
  }

  // Sets a module setting of this process (the module reads the per-process
  // store of the process it is loaded in).
  static void SetModuleSetting(const std::string& key, int value) {
    PropertyFileClient settings("", kStoreScratch);
    ASSERT_TRUE(settings.WriteString(nullptr, key, std::to_string(value), false));
  }

  std::string Work(const std::string& name) const { return work_ + "/" + name; }

  test::TestEnv env_;
  const std::string record_ = env_.Path("record.jsonl");
  const std::string work_ = env_.Path("work");
  test::PropertyServer property_server_;
  // Ends a trickle the server's thread may still be sending.
  std::atomic<bool> stop_trickle_{false};
  FakeServer server_{env_.Path("server")};
  std::unique_ptr<SccHost> host_;
  LPVOID context_ = nullptr;
};

// A reply that carries the two files asked for under each other's
// identifiers, one about a Document nobody asked for, or one whose lists do
// not add up: nothing is written, and the user is told why. An honest reply
// then brings both.
TEST_F(HostileServerTest, FetchReplyNotAnsweringTheRequestWritesNothing) {
  server_.AddDocument("a.txt", "contents of a");
  server_.AddDocument("b.txt", "contents of b");
  const std::string stranger = server_.AddDocument("c.txt", "contents of c");
  OpenProject();
  const std::vector<std::string> files = {Work("a.txt"), Work("b.txt")};

  const std::vector<std::function<void(CRLMSGmessage*)>> tampers = {
      // Both files, each under the other's identifier.
      [](CRLMSGmessage* reply) {
        SwapFirstTwo(reply, fetch::kReplyDocumentIds);
        SwapFirstTwo(reply, fetch::kReplyFiles);
      },
      // The identifiers in another order than asked.
      [](CRLMSGmessage* reply) { SwapFirstTwo(reply, fetch::kReplyDocumentIds); },
      // One Document less.
      [](CRLMSGmessage* reply) {
        std::string ids;
        reply->GetString(fetch::kReplyDocumentIds, &ids);
        reply->SetString(fetch::kReplyDocumentIds, ids.substr(0, ids.find('?')));
      },
      // Another Document in place of the second.
      [&](CRLMSGmessage* reply) {
        std::string ids;
        reply->GetString(fetch::kReplyDocumentIds, &ids);
        reply->SetString(fetch::kReplyDocumentIds, ids.substr(0, ids.find('?') + 1) + stranger);
      },
      // A list beside the identifiers that is one short.
      [](CRLMSGmessage* reply) { reply->SetIntList(fetch::kReplyVersions, {1}); },
      // A per-Document result that says the second did not come.
      [](CRLMSGmessage* reply) {
        reply->SetIntList(fetch::kReplyResults, {0, 216});
      },
  };
  for (size_t i = 0; i < tampers.size(); ++i) {
    SCOPED_TRACE(i);
    server_.SetFetchHook([&](LoopbackPeer::Connection&, const CRLMSGmessage&, CRLMSGmessage* r) {
      tampers[i](r);
      return true;
    });
    SccHost::ClearNotices();
    EXPECT_NE(SCC_OK, host_->Get(context_, files));
    EXPECT_FALSE(fs::exists(files[0]));
    EXPECT_FALSE(fs::exists(files[1]));
    EXPECT_TRUE(SccHost::SawNotice(kMismatchNotice));
    EXPECT_TRUE(FilesIn(env_.Path("tmp")).empty()) << "a scratch file was left behind";
  }

  server_.SetFetchHook(nullptr);
  EXPECT_EQ(SCC_OK, host_->Get(context_, files));
  EXPECT_EQ(test::ReadFile(files[0]), "contents of a");
  EXPECT_EQ(test::ReadFile(files[1]), "contents of b");
}

// A name a server chose that holds a line break is one line of the notice
// that lists the files fetched, never two names.
TEST_F(HostileServerTest, NameWithALineBreakStaysOneLineOfTheNotice) {
  server_.AddDocument("two\nlines.txt", "x");
  server_.AddDocument("plain.txt", "y");
  OpenProject();
  ASSERT_EQ(SCC_OK, host_->Get(context_, {Work("two\nlines.txt"), Work("plain.txt")}));
  EXPECT_TRUE(SccHost::SawNotice("Veltrane: Succeeded getting file\ntwo^Jlines.txt\nplain.txt"));
}

// A reply that trickles in a little faster than the stall limit demands
// would take a minute: the get is given up at the request's deadline, the
// connection with it, and nothing of the file is left anywhere.
TEST_F(HostileServerTest, TricklingReplyIsGivenUpAtTheRequestDeadline) {
  SetModuleSetting("CULMSGSCPserverInterface/StallLimit", 1);
  SetModuleSetting("CRLMSGsynchronousMessage/RequestDeadline", 3);
  server_.AddDocument("big.bin", std::string(300000, 'b'));
  server_.SetFetchHook([this](LoopbackPeer::Connection& c, const CRLMSGmessage&, CRLMSGmessage* r) {
    const std::string bytes = test::FramesOf(*r, ChannelCipher());
    // 256 bytes every 50 ms: five times what the stall limit asks for.
    for (size_t at = 0; at < bytes.size() && !stop_trickle_.load(); at += 256) {
      const size_t n = std::min<size_t>(256, bytes.size() - at);
      if (c.channel()->socket()->Send(bytes.data() + at, n) != kSocketOk) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  });
  OpenProject();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(SCC_OK, host_->Get(context_, {Work("big.bin")}));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  stop_trickle_ = true;
  // The whole reply would take a minute; the deadline is 3 s.
  EXPECT_LT(elapsed, std::chrono::seconds(30));
  EXPECT_FALSE(fs::exists(Work("big.bin")));
  for (int i = 0; i < 500 && !FilesIn(env_.Path("tmp")).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(FilesIn(env_.Path("tmp")).empty()) << "a scratch file was left behind";
}

// Another user who shares the scratch folder watches it and takes every
// scratch name that comes free. The reply's file comes a moment after the
// reply itself, as it may from any server: the get still succeeds, since a
// scratch name is never free between its making and its use.
TEST_F(HostileServerTest, AnotherUserTakingFreedScratchNamesCannotSpoilAGet) {
  const std::string scratch = env_.Path("tmp");
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, scratch.c_str(), IN_DELETE), 0);
  std::atomic<bool> stop{false};
  std::thread squatter([&] {
    alignas(inotify_event) char buffer[4096];
    while (!stop.load()) {
      const ssize_t n = read(watch, buffer, sizeof buffer);
      if (n <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        const std::string name = event->len > 0 ? event->name : "";
        if (name.rfind("CRL", 0) == 0) {
          const int fd = ::open((scratch + "/" + name).c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
          if (fd >= 0) ::close(fd);
        }
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  });

  server_.AddDocument("doc.txt", "the server's version");
  server_.SetFetchHook([](LoopbackPeer::Connection& c, const CRLMSGmessage&, CRLMSGmessage* r) {
    // The reply's own frame first, its file's frames a moment later.
    const std::string bytes = test::FramesOf(*r, ChannelCipher());
    const uint8_t* header = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t first = 16 + ((size_t{header[12]} << 24) | (size_t{header[13]} << 16) |
                               (size_t{header[14]} << 8) | header[15]);
    c.SendRaw(bytes.substr(0, first));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    c.SendRaw(bytes.substr(first));
    return false;
  });
  OpenProject();
  const SCCRTN result = host_->Get(context_, {Work("doc.txt")});
  stop = true;
  squatter.join();
  ::close(watch);
  EXPECT_EQ(SCC_OK, result);
  EXPECT_EQ(test::ReadFile(Work("doc.txt")), "the server's version");
  for (const std::string& name : FilesIn(scratch)) ::unlink((scratch + "/" + name).c_str());
}

}  // namespace
}  // namespace tw
