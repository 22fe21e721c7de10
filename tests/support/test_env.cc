#include "tests/support/test_env.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tw::test {

namespace fs = std::filesystem;

TestEnv::TestEnv() {
  const char* base = std::getenv("TW_TEST_TMP");
  std::string templ = std::string(base ? base : "/tmp") + "/twtest-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = buf.data();
  for (const char* sub : {"runtime", "home", "home/.config", "tmp", "global"}) {
    fs::create_directories(Path(sub));
  }
  chmod(Path("runtime").c_str(), 0700);
  setenv("VELTRANE_RUNTIME_DIR", Path("runtime").c_str(), 1);
  setenv("HOME", Path("home").c_str(), 1);
  setenv("XDG_CONFIG_HOME", Path("home/.config").c_str(), 1);
  setenv("TMPDIR", Path("tmp").c_str(), 1);
  setenv("VELTRANE_GLOBAL_DIR", Path("global").c_str(), 1);
  setenv("VELTRANE_REGISTRY_FILE", Path("registry.ini").c_str(), 1);
  setenv("VELTRANE_DEBUG_OUTPUT", Path("debug.log").c_str(), 1);
  setenv("VELTRANE_UI", "none", 1);
  unsetenv("VELTRANE_UI_RECORD");
}

TestEnv::~TestEnv() {
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string TestEnv::Path(const std::string& relative) const {
  return root_ + "/" + relative;
}

std::string BinDir() {
  if (const char* dir = std::getenv("TW_BIN_DIR")) return dir;
  return fs::read_symlink("/proc/self/exe").parent_path().string();
}

pid_t Spawn(const std::string& program, const std::vector<std::string>& args) {
  std::string path = program.find('/') == std::string::npos ? BinDir() + "/" + program : program;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  return pid;
}

pid_t SpawnRedirected(const std::string& program, const std::vector<std::string>& args,
                      const std::string& in_path, const std::string& out_path,
                      const std::string& err_path) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!in_path.empty()) posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
  const int write_flags = O_WRONLY | O_CREAT | O_TRUNC;
  if (!out_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), write_flags, 0600);
  }
  if (!err_path.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), write_flags, 0600);
  }
  std::string path = program.find('/') == std::string::npos ? BinDir() + "/" + program : program;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) < 0) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

ProgramOutcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::string& folder, const std::string& input) {
  const std::string in_path = folder + "/stdin";
  const std::string out_path = folder + "/stdout";
  const std::string err_path = folder + "/stderr";
  WriteFile(in_path, input);
  const pid_t pid = SpawnRedirected(program, args, in_path, out_path, err_path);
  if (pid <= 0) {
    ADD_FAILURE() << "cannot start " << program;
    return ProgramOutcome();
  }
  return {WaitExit(pid), ReadFile(out_path), ReadFile(err_path)};
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

}  // namespace tw::test
