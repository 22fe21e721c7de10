// Program launching for the system factory: a program is started from an
// argument vector with posix_spawn or fork/exec, never through a shell.
//
// A started program inherits only standard input, output and error: every
// other descriptor is closed in the child even if someone forgot
// close-on-exec. Its signal mask is emptied and every signal disposition
// reset, so that a host that blocks or ignores signals (SIGCHLD, SIGPIPE)
// does not pass that on.
//
// Stateless; every function may be called from any thread.
#ifndef TW_PLATFORM_PROCESS_H_
#define TW_PLATFORM_PROCESS_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tw {

struct LaunchRequest {
  // argv[0] is the path of the program as FindProgram gave it; it is also
  // the program's own argv[0].
  std::vector<std::string> argv;
  // The child's working directory; empty keeps the caller's.
  std::string directory;
};

// Starts the program and waits for it to end. True when it was started and
// has ended, whatever its exit status; an ECHILD from waitpid (the host
// ignores SIGCHLD, so the kernel reaped the child) counts as ended. False
// when it could not be started (missing program, bad directory, no
// resources).
bool LaunchAndWait(const LaunchRequest& request);

#ifndef _WIN32
// How a program that LaunchAndWait ran with a limit ended.
struct LaunchOutcome {
  enum class End {
    kExited,     // by itself: `status` is its exit status
    kSignalled,  // by the signal `status`
    kTimedOut,   // it ran past the limit and was killed
    kUnknown,    // reaped elsewhere (the host ignores SIGCHLD)
  };
  End end = End::kUnknown;
  int status = 0;
};

// LaunchAndWait for a program that must not run for ever: when it still
// runs `limit` after its start it is killed (SIGKILL) and reaped. True when
// it was started and has ended, with `outcome` telling how; false when it
// could not be started.
bool LaunchAndWait(const LaunchRequest& request, std::chrono::milliseconds limit,
                   LaunchOutcome* outcome);
#endif

// Starts the program detached: a short-lived intermediate child makes a new
// session and forks the program, then exits and is reaped here, so that the
// program is adopted by init (or the nearest subreaper), leaves no zombie in
// the caller and survives the caller's terminal. Its standard input, output
// and error are /dev/null, never the caller's: a caller whose output is
// read to its end does not wait for the program. True when the program's
// exec succeeded; false when it failed (the failure is reported back through
// a close-on-exec pipe).
bool LaunchDetached(const LaunchRequest& request);

// A program StartProgram started: its process id on POSIX systems; on
// Windows what holds its process and job handles, until StopProgram or
// LetProgramGo.
using StartedProgram = intptr_t;

// Starts the program as LaunchDetached does (a session of its own, its
// streams /dev/null), but as a child of this process, handed back in
// *program, so that it can still be stopped (StopProgram) or let go
// (LetProgramGo). A program let go, or still running when this process
// ends, runs on as a detached one does. False when it could not be started
// (on POSIX systems: the exec failed).
bool StartProgram(const LaunchRequest& request, StartedProgram* program);

// Stops a program StartProgram started, with what it started in its
// session (POSIX: its process group), and reaps it: asked to end first
// (SIGTERM), killed when it is still there after `grace`, and waited for
// at most as long again. Windows has no request to end for a program
// without windows: it is terminated at once, with what it started (its
// job), and waited for at most twice `grace`. True when it is gone.
bool StopProgram(StartedProgram program, std::chrono::milliseconds grace);

// Lets go of a program StartProgram started: it runs on, this process no
// longer stops it (on Windows its handle is closed).
void LetProgramGo(StartedProgram program);

// Resolves the program named `name`: a name holding "/" stands as it is,
// made absolute against `base` (against the current directory when `base`
// is empty); a bare name is looked up on $PATH. Empty when no executable
// regular file of that name exists.
std::string FindProgram(const std::string& name, const std::string& base);

// The start time of the user's own live process `pid`, in the system's
// units (POSIX: clock ticks since boot; Windows: its creation time); with
// the pid it tells a process from a later one given the same pid. False
// when there is none, or it is another user's.
bool ProcessStartTime(int pid, unsigned long long* start);

// `path` made absolute against `base`, or against the current directory
// when `base` is empty or relative itself. Empty when the current directory
// cannot be read.
std::string AbsolutePath(const std::string& path, const std::string& base);

}  // namespace tw

#endif  // TW_PLATFORM_PROCESS_H_
