#include "platform/ui_terminal.h"

#include <fcntl.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/ui_record.h"

namespace tw {

namespace {

constexpr size_t kMaxAnswerBytes = 4096;

// A caption without its mnemonic marks ("&Yes" -> "Yes", "&&" -> "&").
std::string StripMnemonic(const std::string& caption) {
  std::string out;
  for (size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && i + 1 < caption.size()) ++i;
    out += caption[i];
  }
  return out;
}

std::string Lookup(const std::map<int, std::string>& map, int id) {
  auto it = map.find(id);
  return it == map.end() ? std::string() : it->second;
}

std::string ButtonCaption(const DialogRequest& request, int id) {
  std::string caption = StripMnemonic(Lookup(request.texts, id));
  if (!caption.empty()) return caption;
  if (*MessageBoxAnswerName(id)) return MessageBoxAnswerName(id);
  return "button " + std::to_string(id);
}

std::string ValueLabel(const DialogRequest& request, int id) {
  std::string label = Lookup(request.labels, id);
  if (label.empty()) label = Lookup(request.texts, id);
  label = StripMnemonic(label);
  if (label.empty()) return "Control " + std::to_string(id);
  if (label.back() == ':') label.pop_back();
  return label;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string TerminalSafeText(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F)) {
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      out += '^';
      out += static_cast<char>(c ^ 0x40);
      ++i;
    } else {
      const size_t length = Utf8SequenceLength(text, i);
      const bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
      if (length == 0 || c1) {
        out += '?';
        i += length == 0 ? 1 : length;
      } else {
        out.append(text, i, length);
        i += length;
      }
    }
  }
  return out;
}

TerminalUserInterface::TerminalUserInterface(int in_fd, int out_fd)
    : in_fd_(in_fd), out_fd_(out_fd) {}

TerminalUserInterface::~TerminalUserInterface() {
  if (owned_fd_ >= 0) ::close(owned_fd_);
}

std::shared_ptr<TerminalUserInterface> TerminalUserInterface::OpenTty() {
  const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return nullptr;
  auto ui = std::make_shared<TerminalUserInterface>(fd, fd);
  ui->owned_fd_ = fd;
  return ui;
}

void TerminalUserInterface::Write(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(out_fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the terminal is gone; the next read ends the talk
    done += static_cast<size_t>(n);
  }
}

bool TerminalUserInterface::ReadLine(std::string* line) {
  line->clear();
  bool any = false;
  while (true) {
    char c;
    const ssize_t n = ::read(in_fd_, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any;  // a last line without a line feed still counts
    any = true;
    if (c == '\n') break;
    if (line->size() < kMaxAnswerBytes) *line += c;
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool TerminalUserInterface::Ask(const std::string& prompt, std::string* answer, bool secret) {
  struct termios saved;
  const bool quiet = secret && ::isatty(in_fd_) && ::tcgetattr(in_fd_, &saved) == 0;
  if (quiet) {
    // Echo goes off before the prompt shows, so nothing typed after it echoes.
    struct termios no_echo = saved;
    no_echo.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(in_fd_, TCSANOW, &no_echo);
  }
  Write(prompt);
  const bool ok = ReadLine(answer);
  if (quiet) {
    ::tcsetattr(in_fd_, TCSANOW, &saved);
    Write("\n");  // the person's line feed was not echoed
  }
  return ok;
}

void TerminalUserInterface::ShowStatus(void*, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  Write(TerminalSafeText(text) + "\n");
}

DialogResult TerminalUserInterface::RunDialog(const DialogRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<int> buttons = request.buttons;
  if (buttons.empty()) buttons = {kIdOk, kIdCancel};

  Write("\n== " + TerminalSafeText(request.title) + " ==\n");
  for (const auto& [id, text] : request.texts) {
    const bool is_button = std::find(buttons.begin(), buttons.end(), id) != buttons.end();
    if (is_button || request.values.count(id) || text.empty()) continue;
    Write(TerminalSafeText(StripMnemonic(text)) + "\n");
  }

  DialogResult result = CancelledDialog(request);
  for (auto& [id, value] : result.values) {
    const std::string label = TerminalSafeText(ValueLabel(request, id));
    const bool secret = request.secret.count(id) != 0;
    if (!request.IsEnabled(id)) {
      if (!secret) Write(label + ": " + TerminalSafeText(value) + " (cannot be changed)\n");
      continue;
    }
    auto offered = request.items.find(id);
    if (offered != request.items.end() && !offered->second.empty()) {
      std::string list;
      for (const std::string& item : offered->second) {
        list += (list.empty() ? "" : ", ") + TerminalSafeText(item);
      }
      Write(label + " (known: " + list + ")\n");
    }
    std::string answer;
    const std::string prompt = secret ? label + ": " : label + " [" + TerminalSafeText(value) + "]: ";
    if (!Ask(prompt, &answer, secret)) return CancelledDialog(request);
    if (!answer.empty()) value = answer;
  }

  std::vector<int> choices;
  for (int id : buttons) {
    if (request.IsEnabled(id)) choices.push_back(id);
  }
  if (choices.empty()) return CancelledDialog(request);
  int default_button = choices.front();
  if (std::find(choices.begin(), choices.end(), request.default_button) != choices.end()) {
    default_button = request.default_button;
  }
  std::string menu;
  for (int id : choices) {
    menu += (menu.empty() ? "" : ", ") + std::to_string(id) + " " +
            TerminalSafeText(ButtonCaption(request, id));
  }
  const std::string prompt = "Close with (" + menu + ") [" + std::to_string(default_button) + "]: ";
  while (true) {
    std::string answer;
    if (!Ask(prompt, &answer)) return CancelledDialog(request);
    answer = Trimmed(answer);
    if (answer.empty()) {
      result.button = default_button;
      return result;
    }
    for (int id : choices) {
      if (answer == std::to_string(id) ||
          strcasecmp(answer.c_str(), ButtonCaption(request, id).c_str()) == 0) {
        result.button = id;
        return result;
      }
    }
    Write("Please answer with one of the buttons listed.\n");
  }
}

UserInterface::MessageBoxOutcome TerminalUserInterface::RunMessageBox(
    const MessageBoxRequest& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  MessageBoxOutcome outcome;
  outcome.answer = DefaultMessageBoxAnswer(request);
  const std::vector<int> ids = MessageBoxButtonIds(request.buttons);
  std::string menu;
  for (int id : ids) menu += std::string(menu.empty() ? "" : "/") + MessageBoxAnswerName(id);
  Write("\n== " + TerminalSafeText(request.title) + " ==\n" + TerminalSafeText(request.text) +
        "\n");
  const std::string prompt = menu + " [" + MessageBoxAnswerName(outcome.answer) + "]: ";
  while (true) {
    std::string answer;
    if (!Ask(prompt, &answer)) return outcome;
    answer = Trimmed(answer);
    if (answer.empty()) return outcome;
    for (int id : ids) {
      const char* name = MessageBoxAnswerName(id);
      if (strcasecmp(answer.c_str(), name) == 0 ||
          (answer.size() == 1 && (answer[0] | 0x20) == (name[0] | 0x20))) {
        outcome.answer = id;
        return outcome;
      }
    }
    Write("Please answer " + menu + ".\n");
  }
}

}  // namespace tw
