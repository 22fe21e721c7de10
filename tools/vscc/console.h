// Where vscc writes: the provider's text-out notices ("Veltrane: ..."),
// vscc's own messages, and the transfer progress line.
//
// Notices (message types 0 and 1) go to standard output, or to standard
// error when standard output carries data for machines (--json), or
// nowhere with --quiet; warnings and errors (types 2 and 3) always go to
// standard error. Status notices (type 4) are transient: on a terminal the
// latest one is drawn as one line rewritten in place, with a bar when the
// text holds a percentage ("Veltrane: Sending NAME: 45% (12.0 of 26.7 MiB,
// 31 MB/s)"); when standard output is no terminal they are not printed,
// unless progress is forced (--progress): then each is a line of its own on
// standard error. Any other output first clears the progress line. Text from the provider is
// made safe to print on a terminal.
//
// Colour, where it is on for a stream (ColourWanted): vscc's errors and the
// provider's errors in red, warnings and vscc's notes in yellow, the
// suggestion in a usage error ("did you mean 'checkin'?") in bold green,
// and what a command paints (the states of status) in its colour.
//
// Threads: the provider calls text-out on the thread that called the
// export; the console is used by that one thread.
#ifndef TW_TOOLS_VSCC_CONSOLE_H_
#define TW_TOOLS_VSCC_CONSOLE_H_

#include <cstdio>
#include <string>
#include <vector>

namespace vscc {

enum class Colour { kNone, kRed, kGreen, kYellow, kCyan, kBoldGreen };

// A piece of output and its colour.
struct Painted {
  std::string text;
  Colour colour = Colour::kNone;
};

// Whether output to descriptor `fd` (1 or 2) is coloured, for --color
// `mode`: "always", "never", or "auto" (and empty): when `fd` is a terminal
// that shows colour, NO_COLOR is unset or empty and TERM is not "dumb".
bool ColourWanted(const std::string& mode, int fd);

class Console {
 public:
  // `out` and `err` are the streams' descriptors (1 and 2, or test pipes).
  Console(int out_fd, int err_fd);

  void set_quiet(bool quiet) { quiet_ = quiet; }
  bool quiet() const { return quiet_; }
  // Status notices are shown even without a terminal, and despite quiet.
  void set_progress_forced(bool forced) { progress_forced_ = forced; }
  void set_notices_to_stderr(bool to_stderr) { notices_to_stderr_ = to_stderr; }
  // Whether standard output is a terminal (decided at construction; tests
  // may force it) and how wide it is.
  void set_terminal(bool terminal, int width) {
    terminal_ = terminal;
    width_ = width;
  }

  // Colour on standard output and on standard error (default: off).
  void set_colour(bool out, bool err) {
    colour_out_ = out;
    colour_err_ = err;
  }

  // A notice from the provider's text-out callback.
  void Notice(const std::string& text, long type);
  // vscc's own output (a result, a table) and messages.
  void Out(const std::string& text);             // to standard output, control characters shown
  void Out(const std::vector<Painted>& pieces);  // the same, each piece in its colour
  void Error(const std::string& text);           // "vscc: " + text + "\n", to standard error
  void Note(const std::string& text);            // like Error, for what is not a failure
  // Clears the progress line (before the program ends).
  void Finish();

 private:
  void Write(int fd, const std::string& text);
  // `text` (made safe already) in `colour` when `on`.
  static std::string Paint(const std::string& text, Colour colour, bool on);
  void ClearProgress();

  const int out_fd_;
  const int err_fd_;
  bool quiet_ = false;
  bool notices_to_stderr_ = false;
  bool progress_forced_ = false;
  bool terminal_ = false;
  int width_ = 80;
  bool progress_shown_ = false;
  bool colour_out_ = false;
  bool colour_err_ = false;
};

// The progress line for a status notice, at most `width` - 1 columns (so
// that the terminal never wraps it): a bar of the percentage the text holds
// (none without one) and the text, cut with "..." when too long.
std::string ProgressLine(const std::string& text, int width);

// The percentage a status text holds ("45%" -> 45), or -1.
int PercentIn(const std::string& text);

// The process's console, for the text-out callback (a plain function).
Console& TheConsole();

}  // namespace vscc

#endif  // TW_TOOLS_VSCC_CONSOLE_H_
