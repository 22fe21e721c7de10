// Test isolation: every test gets a fresh private folder and points the
// system's environment at it (runtime folder, home, temp, global folder,
// registry file, debug output, user interface), so tests can run side by
// side and never write outside their folder.
#ifndef TW_TESTS_SUPPORT_TEST_ENV_H_
#define TW_TESTS_SUPPORT_TEST_ENV_H_

#include <sys/types.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace tw::test {

class TestEnv {
 public:
  // Creates the folder and sets the environment variables of this process.
  TestEnv();
  // Removes the folder and everything below it.
  ~TestEnv();

  TestEnv(const TestEnv&) = delete;
  TestEnv& operator=(const TestEnv&) = delete;

  const std::string& root() const { return root_; }
  // A path below the root.
  std::string Path(const std::string& relative) const;

 private:
  std::string root_;
};

// The folder of the built programs (where the module lies).
std::string BinDir();

// Starts a program from BinDir() with the given arguments (argv[0] is the
// program name) and the current environment; returns its pid, or -1.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args);
// Spawn with standard input, output and error taken from / written to files
// (an empty path leaves that stream to the child as this process has it).
pid_t SpawnRedirected(const std::string& program, const std::vector<std::string>& args,
                      const std::string& in_path, const std::string& out_path,
                      const std::string& err_path);
// Waits for a child; returns its exit status (128 + signal when killed).
int WaitExit(pid_t pid);

// What a program run to its end left behind.
struct ProgramOutcome {
  int exit = -1;  // -1 when it could not be started (a test failure too)
  std::string out;
  std::string err;
};
// Runs `program` (from BinDir() unless it holds a "/") with `args` and
// `input` as its standard input until it ends; its streams pass through the
// files stdin, stdout and stderr in `folder`.
ProgramOutcome RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::string& folder, const std::string& input = std::string());

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);

// Sets (or with nullopt unsets) one environment variable for a scope, and
// puts back what it was.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Set(const std::optional<std::string>& value) {
    value ? setenv(name_, value->c_str(), 1) : unsetenv(name_);
  }
  const char* const name_;
  std::optional<std::string> old_;
};

}  // namespace tw::test

#endif  // TW_TESTS_SUPPORT_TEST_ENV_H_
