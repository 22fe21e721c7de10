#include "tools/vscc/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/decimal.h"
#include "platform/json_text.h"
#include "platform/terminal_text.h"
#include "tools/vscc/options.h"
#include "tools/vscc/system.h"

namespace vscc {
namespace {

constexpr long kMessageWarning = 2;
constexpr long kMessageError = 3;
constexpr long kMessageStatus = 4;
constexpr int kBarWidth = 20;

// Cuts `text` to `columns` characters, counting each UTF-8 sequence as one.
std::string CutToColumns(const std::string& text, int columns) {
  std::string out;
  int used = 0;
  for (size_t i = 0; i < text.size();) {
    size_t length = tw::Utf8SequenceLength(text, i);
    if (length == 0) length = 1;
    if (used == columns) return out;
    out.append(text, i, length);
    ++used;
    i += length;
  }
  return out;
}

int Columns(const std::string& text) {
  int columns = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t length = tw::Utf8SequenceLength(text, i);
    i += length == 0 ? 1 : length;
    ++columns;
  }
  return columns;
}

}  // namespace

int PercentIn(const std::string& text) {
  for (size_t sign = text.find('%'); sign != std::string::npos; sign = text.find('%', sign + 1)) {
    size_t start = sign;
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
    if (start == sign || sign - start > 3) continue;
    const int value = tw::DecimalToInt(std::string_view(text).substr(start, sign - start));
    if (value <= 100) return value;
  }
  return -1;
}

std::string ProgressLine(const std::string& text, int width) {
  std::string flat;
  for (char c : text) flat += c == '\n' || c == '\r' || c == '\t' ? ' ' : c;
  flat = tw::TerminalSafeText(flat);
  std::string line;
  const int percent = PercentIn(flat);
  if (percent >= 0) {
    const int filled = percent * kBarWidth / 100;
    line = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] ";
  }
  const int room = width - 1 - static_cast<int>(line.size());
  if (room <= 3) return CutToColumns(line, width - 1);
  if (Columns(flat) > room) flat = CutToColumns(flat, room - 3) + "...";
  return line + flat;
}

bool ColourWanted(const std::string& mode, int fd) {
  if (mode == "always") return true;
  if (mode == "never") return false;
  // https://no-color.org: set and not empty turns colour off.
  const char* no_colour = std::getenv("NO_COLOR");
  if (no_colour != nullptr && *no_colour != '\0') return false;
  const char* term = std::getenv("TERM");
  if (term != nullptr && std::strcmp(term, "dumb") == 0) return false;
  return TerminalShowsColour(fd);
}

std::string Console::Paint(const std::string& text, Colour colour, bool on) {
  if (!on || colour == Colour::kNone || text.empty()) return text;
  const char* start = "";
  switch (colour) {
    case Colour::kRed:
      start = "\x1b[31m";
      break;
    case Colour::kGreen:
      start = "\x1b[32m";
      break;
    case Colour::kYellow:
      start = "\x1b[33m";
      break;
    case Colour::kCyan:
      start = "\x1b[36m";
      break;
    case Colour::kBoldGreen:
      start = "\x1b[1;32m";
      break;
    case Colour::kNone:
      break;
  }
  return start + text + "\x1b[0m";
}

Console::Console(int out_fd, int err_fd) : out_fd_(out_fd), err_fd_(err_fd) {
  terminal_ = IsTerminal(out_fd);
  if (terminal_) width_ = TerminalWidth(out_fd);
}

void Console::Write(int fd, const std::string& text) {
  WriteOutput(fd, text);  // a closed pipe: nothing more to say
}

void Console::ClearProgress() {
  if (!progress_shown_) return;
  Write(out_fd_, "\r\x1b[K");
  progress_shown_ = false;
}

namespace {

// A notice that lists files, one a line below its heading ("Succeeded
// adding files:\n/w/a.txt\n/w/b.txt."), ends in a full stop glued to the
// last path; it is left off, so that every line is a path as it is.
std::string WithoutListStop(const std::string& text) {
  const size_t heading = text.find('\n');
  if (heading == std::string::npos || heading == 0 || text[heading - 1] != ':' ||
      text.size() < heading + 3 || text.back() != '.') {
    return text;
  }
  return text.substr(0, text.size() - 1);
}

}  // namespace

void Console::Notice(const std::string& text, long type) {
  std::string safe = tw::TerminalSafeText(WithoutListStop(text));
  if (type == kMessageStatus) {
    if (quiet_ && !progress_forced_) return;
    if (terminal_) {
      Write(out_fd_, "\r" + ProgressLine(text, width_) + "\x1b[K");
      progress_shown_ = true;
    } else if (progress_forced_) {
      std::string flat = text;
      for (char& c : flat) {
        if (c == '\n' || c == '\r') c = ' ';
      }
      Write(err_fd_, tw::TerminalSafeText(flat) + "\n");
    }
    return;
  }
  ClearProgress();
  if (!safe.empty() && safe.back() != '\n') safe += '\n';
  if (type == kMessageWarning || type == kMessageError) {
    // The line feed stays outside the colour, so that a pager's line ends plain.
    if (!safe.empty()) safe.pop_back();
    Write(err_fd_,
          Paint(safe, type == kMessageError ? Colour::kRed : Colour::kYellow, colour_err_) + "\n");
  } else if (!quiet_) {
    Write(notices_to_stderr_ ? err_fd_ : out_fd_, safe);
  }
}

void Console::Out(const std::string& text) {
  ClearProgress();
  // What is printed carries names and comments the server sent: control
  // characters are shown, never obeyed, wherever the output goes.
  Write(out_fd_, tw::TerminalSafeText(text));
}

void Console::Out(const std::vector<Painted>& pieces) {
  ClearProgress();
  std::string text;
  for (const Painted& piece : pieces) {
    text += Paint(tw::TerminalSafeText(piece.text), piece.colour, colour_out_);
  }
  Write(out_fd_, text);
}

void Console::Error(const std::string& text) {
  ClearProgress();
  const std::string line = "vscc: " + tw::TerminalSafeText(text);
  // A suggestion stands out from the error around it.
  const size_t hint = line.find(kSuggestion);
  const size_t end = hint == std::string::npos ? hint : line.find('?', hint);
  if (end == std::string::npos) {
    Write(err_fd_, Paint(line, Colour::kRed, colour_err_) + "\n");
    return;
  }
  Write(err_fd_, Paint(line.substr(0, hint), Colour::kRed, colour_err_) +
                     Paint(line.substr(hint, end + 1 - hint), Colour::kBoldGreen, colour_err_) +
                     Paint(line.substr(end + 1), Colour::kRed, colour_err_) + "\n");
}

void Console::Note(const std::string& text) {
  if (quiet_) return;
  ClearProgress();
  Write(err_fd_, Paint("vscc: " + tw::TerminalSafeText(text), Colour::kYellow, colour_err_) + "\n");
}

void Console::Finish() {
  ClearProgress();
}

Console& TheConsole() {
  static Console console(STDOUT_FILENO, STDERR_FILENO);
  return console;
}

}  // namespace vscc
