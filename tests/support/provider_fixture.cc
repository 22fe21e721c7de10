#include "tests/support/provider_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <thread>

namespace tw::test {

namespace fs = std::filesystem;

bool IsWritable(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) != 0;
}

void Edit(const std::string& path, const std::string& contents) {
  struct stat st {};
  const time_t before = stat(path.c_str(), &st) == 0 ? st.st_mtime : time(nullptr);
  chmod(path.c_str(), 0644);
  WriteFile(path, contents);
  const struct timespec times[2] = {{before + 7, 0}, {before + 7, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void MakeFile(const std::string& path, const std::string& contents) {
  fs::create_directories(fs::path(path).parent_path());
  WriteFile(path, contents);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

void ProviderFixture::SetUp() {
  setenv("VELTRANE_UI_RECORD", record_.c_str(), 1);
  Script("");
  ASSERT_TRUE(property_server_.Start());
  ASSERT_TRUE(server_.Init());
  ASSERT_TRUE(server_.AddUser("alice", "alice pw"));
  ASSERT_TRUE(server_.AddUser("bob", "bob pw"));
  ASSERT_TRUE(server_.Start());
  host_ = std::make_unique<SccHost>();
  ASSERT_TRUE(host_->ok()) << host_->error();
  SccHost::ClearNotices();
}

void ProviderFixture::TearDown() {
  if (host_ && host_->ok()) {
    for (LPVOID context : contexts_) EXPECT_EQ(SCC_OK, host_->uninitialize(context));
  }
  for (const auto& entry : ReadUiRecord(record_)) {
    EXPECT_FALSE(entry.unexpected)
        << "unexpected " << entry.kind << " " << entry.id << " " << entry.title;
  }
}

void ProviderFixture::Script(const std::string& lines) {
  const std::string path = env_.Path("script" + std::to_string(++scripts_) + ".txt");
  WriteFile(path, lines);
  setenv("VELTRANE_UI", ("script:" + path).c_str(), 1);
}

std::string ProviderFixture::Logon(const std::string& user) const {
  return "dialog 101 1 1001=" + user + " 1002=\"" + user +
         " pw\" 1000=127.0.0.1 1003=" + std::to_string(server_.port()) + "\n";
}

LPVOID ProviderFixture::NewContext(const char* caller) {
  LPVOID context = host_->Initialize(caller);
  EXPECT_NE(nullptr, context);
  contexts_.push_back(context);
  return context;
}

void ProviderFixture::Release(LPVOID context) {
  contexts_.erase(std::remove(contexts_.begin(), contexts_.end(), context), contexts_.end());
  EXPECT_EQ(SCC_OK, host_->uninitialize(context));
}

ProviderFixture::Binding ProviderFixture::CreateProduction(LPVOID context, const std::string& name,
                                                           const std::string& local,
                                                           const std::string& logon) {
  Script((logon.empty() ? "" : Logon(logon)) + "dialog 103 1 1005=" + name + " 1004=/\n");
  Binding binding{name, local, ""};
  BOOL is_new = 1;
  EXPECT_EQ(SCC_I_PROJECTCREATED, host_->GetProjPath(context, &binding, &is_new));
  return binding;
}

int ProviderFixture::LogCount(const std::string& pattern) const {
  int count = 0;
  for (const std::string& line : Split(server_.Log(), '\n')) {
    count += line.find(pattern) != std::string::npos;
  }
  return count;
}

void ProviderFixture::SyncLog(LPVOID context, const std::string& file) {
  // The server writes a command's log line after its reply: wait for the
  // line of this one, so that every command before it is in the log.
  const int before = LogCount("command=");
  std::vector<LONG> status;
  host_->QueryInfo(context, {file}, &status);
  for (int i = 0; i < 3000 && LogCount("command=") <= before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<LONG> ProviderFixture::Status(LPVOID context, const std::vector<std::string>& files) {
  std::vector<LONG> status;
  EXPECT_EQ(SCC_OK, host_->QueryInfo(context, files, &status));
  return status;
}

std::vector<std::string> ProviderFixture::Helper(const std::string& user, const Binding& binding,
                                                 const std::string& command,
                                                 const std::vector<std::string>& files,
                                                 const std::string& more_script) {
  const std::string script = env_.Path("helper" + std::to_string(++helpers_) + ".txt");
  WriteFile(script, Logon(user) + more_script);
  const std::string out = env_.Path("helper" + std::to_string(helpers_) + ".out");
  std::vector<std::string> args = {script, binding.project, binding.aux, binding.local, command};
  args.insert(args.end(), files.begin(), files.end());
  const pid_t pid = SpawnRedirected("provider_host_helper", args, "", out, out + ".err");
  EXPECT_GT(pid, 0);
  EXPECT_EQ(0, WaitExit(pid));
  helper_notices_ = ReadFile(out + ".err");
  std::vector<std::string> lines = Split(ReadFile(out), '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

}  // namespace tw::test
