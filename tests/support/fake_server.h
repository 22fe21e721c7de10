// A Veltrane server of the tests' own making, for the provider and vscc
// against a server that misbehaves on purpose. Built on a loopback peer, it
// talks in clear text (it announces selector 0 and no compression), logs
// anybody on, answers every Production lookup with one Production, and knows
// the Documents the test gives it: their information, their names and their
// contents. A fetch is answered as a server answers it, after the test's
// hook has had its way with the reply (swapped identifiers, a trickle, ...).
//
// Threads: the peer's thread answers; the test's thread adds Documents and
// sets the hook. Both go through one mutex.
#ifndef TW_TESTS_SUPPORT_FAKE_SERVER_H_
#define TW_TESTS_SUPPORT_FAKE_SERVER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "messaging/message.h"
#include "tests/support/loopback_peer.h"

namespace tw::test {

// The identifier of the fake server's one Production (the root too).
constexpr char kFakeProductionId[] = "0000000000000001";
// The server stamp of every Document.
constexpr char kFakeStamp[] = "2024:01:02:03:04:05:000";

class FakeServer {
 public:
  // What a test makes of a fetch: `reply` is the answer as a server builds
  // it (identifiers, versions, names, stamps, full paths, results, the
  // files, their count). The hook may change it and return true to have it
  // sent, or send something itself through `connection` and return false.
  using FetchHook = std::function<bool(LoopbackPeer::Connection& connection,
                                       const CRLMSGmessage& request, CRLMSGmessage* reply)>;

  // The Documents' contents are kept in `folder` (created when missing).
  explicit FakeServer(std::string folder);
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  uint16_t port() const { return peer_.port(); }
  // A Document of the one Production named `name` (relative, wire form)
  // holding `contents`; returns its identifier.
  std::string AddDocument(const std::string& name, const std::string& contents);
  void SetFetchHook(FetchHook hook);
  // Fetch requests answered so far.
  int fetches() const { return fetches_.load(); }

 private:
  struct Document {
    std::string name;
    std::string id;
    std::string content_path;
  };

  void Handle(LoopbackPeer::Connection& connection, MessagePtr request);
  // Whether a Production lookup names one of the Documents.
  bool NamesDocument(const CRLMSGmessage& request);
  void AnswerDocumentInfo(const CRLMSGmessage& request, CRLMSGmessage* reply);
  void AnswerNameList(CRLMSGmessage* reply);
  // False when the reply is not to be sent (the hook sent its own).
  bool AnswerFetch(LoopbackPeer::Connection& connection, const CRLMSGmessage& request,
                   CRLMSGmessage* reply);

  const std::string folder_;
  std::mutex mutex_;
  std::vector<Document> documents_;  // guarded by mutex_
  FetchHook hook_;                   // guarded by mutex_
  std::atomic<int> fetches_{0};
  LoopbackPeer peer_;  // last: it answers as soon as it is built
};

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_FAKE_SERVER_H_
