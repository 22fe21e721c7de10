// The fixture of the provider's tests: the built module loaded with dlopen
// (SccHost) and driven through its exports against a real TWServer (users
// "alice" and "bob", passwords "<name> pw") and TWPMSvr, each test in its
// private folder. The dialogs are answered from script files (VELTRANE_UI)
// and what they showed is read back from the record (VELTRANE_UI_RECORD);
// TearDown fails the test on any dialog or box the script did not expect.
// A second user on a second host is a helper process with its own module
// instance (tests/provider/host_helper.cc).
//
// Used by the test's thread only.
#ifndef TW_TESTS_SUPPORT_PROVIDER_FIXTURE_H_
#define TW_TESTS_SUPPORT_PROVIDER_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "provider/msscci.h"
#include "tests/support/property_server.h"
#include "tests/support/scc_host.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"
#include "tests/support/wire_client.h"

namespace tw::test {

// Whether any write bit of the file's mode is set.
bool IsWritable(const std::string& path);
// Changes a working file as an editor would: write permission forced, new
// contents, and a modification time seconds after the one it had, so that
// it differs from every recorded one even to the whole second.
void Edit(const std::string& path, const std::string& contents);
// Writes a file, creating its folders.
void MakeFile(const std::string& path, const std::string& contents);
// `text` split at every `separator` (n separators give n + 1 parts).
std::vector<std::string> Split(const std::string& text, char separator);

class ProviderFixture : public ::testing::Test {
 protected:
  using Binding = SccHost::Binding;

  void SetUp() override;
  void TearDown() override;

  // Makes the module answer its dialogs from these script lines from now on
  // (a new file each time: the module keeps a script while its name stays).
  void Script(const std::string& lines);
  // The script line of the logon dialog for `user`.
  std::string Logon(const std::string& user) const;

  LPVOID NewContext(const char* caller = "TestHost");
  void Release(LPVOID context);

  // A new Production below the root, by the add dialog; logs on first when
  // `logon` names a user.
  Binding CreateProduction(LPVOID context, const std::string& name, const std::string& local,
                           const std::string& logon = "");

  // Lines of the server's log holding `pattern`.
  int LogCount(const std::string& pattern) const;
  // The server handles one connection's requests in turn and logs each
  // after its reply has left: once the reply to one more request is here,
  // every command sent before it is in the log.
  void SyncLog(LPVOID context, const std::string& file);

  std::vector<UiRecordEntry> Record() const { return ReadUiRecord(record_); }

  // The words SccQueryInfo gives.
  std::vector<LONG> Status(LPVOID context, const std::vector<std::string>& files);

  // Runs the second host: logs on as `user` and runs `command` on `files`,
  // answering with `more_script` after the logon. Its output lines; the
  // notices the module gave it are in helper_notices_ afterwards.
  std::vector<std::string> Helper(const std::string& user, const Binding& binding,
                                  const std::string& command, const std::vector<std::string>& files,
                                  const std::string& more_script = "");

  TestEnv env_;
  const std::string record_ = env_.Path("record.jsonl");
  PropertyServer property_server_;
  TestServer server_{env_.Path("repo")};
  std::unique_ptr<SccHost> host_;
  std::vector<LPVOID> contexts_;
  int scripts_ = 0;
  int helpers_ = 0;
  std::string helper_notices_;
};

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_PROVIDER_FIXTURE_H_
