#include "ui/terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <vector>

#include "platform/decimal.h"
#include "platform/letter_case.h"
#include "ui/record.h"
#include "ui/templates.h"

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

// The letter a caption marks as its key ("&Yes" -> 'y'), lower case; 0
// when it marks none.
char MnemonicLetter(const std::string& caption) {
  for (size_t i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != '&') continue;
    if (caption[i + 1] == '&') {
      ++i;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(caption[i + 1]);
    return std::isalnum(c) ? static_cast<char>(std::tolower(c)) : 0;
  }
  return 0;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// "y"/"yes" and "n"/"no" as OK and Cancel, for a question that offers
// those instead of Yes and No: the button among `choices`, else 0.
int OkOrCancelFromYesNo(const std::vector<int>& choices, const std::string& answer) {
  const bool yes = EqualIgnoringCase(answer, "y") || EqualIgnoringCase(answer, "yes");
  const bool no = EqualIgnoringCase(answer, "n") || EqualIgnoringCase(answer, "no");
  const int meant = yes ? kIdOk : no ? kIdCancel : 0;
  return std::find(choices.begin(), choices.end(), meant) != choices.end() ? meant : 0;
}

// The button `answer` names among `choices`: its id, its caption, the
// letter its caption marks, else the first letter of one caption alone;
// "y"/"yes" and "n"/"no" mean OK and Cancel where no button says Yes or No.
// 0 when it names none or more than one.
int ButtonFromAnswer(const DialogRequest& request, const std::vector<int>& choices,
                     const std::string& answer) {
  for (int id : choices) {
    if (answer == std::to_string(id) || EqualIgnoringCase(answer, ButtonCaption(request, id))) {
      return id;
    }
  }
  if (answer.size() == 1 && std::isalnum(static_cast<unsigned char>(answer[0]))) {
    const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(answer[0])));
    for (int id : choices) {
      if (MnemonicLetter(Lookup(request.texts, id)) == letter) return id;
    }
    int found = 0, count = 0;
    for (int id : choices) {
      const std::string caption = ButtonCaption(request, id);
      if (std::tolower(static_cast<unsigned char>(caption[0])) == letter) {
        found = id;
        ++count;
      }
    }
    if (count == 1) return found;
  }
  return OkOrCancelFromYesNo(choices, answer);
}

// The value controls in the order a person reads the dialog's template: top
// to bottom, then left to right; those the template lacks (or every one, for
// a template the table does not know) follow in id order.
std::vector<int> ValueControlsInReadingOrder(const OpenDialog& dialog) {
  std::vector<int> ordered;
  if (const UiDialogTemplate* layout = FindDialogTemplate(dialog.request().template_id)) {
    for (const UiControlTemplate& control : layout->controls) {
      if (control.id != 0 && dialog.values().count(control.id) &&
          std::find(ordered.begin(), ordered.end(), control.id) == ordered.end()) {
        ordered.push_back(control.id);
      }
    }
  }
  for (const auto& entry : dialog.values()) {
    if (std::find(ordered.begin(), ordered.end(), entry.first) == ordered.end()) {
      ordered.push_back(entry.first);
    }
  }
  return ordered;
}

}  // namespace

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
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Write(TerminalSafeText(text) + "\n");
}

bool TerminalUserInterface::AskValue(OpenDialog& dialog, int id) {
  const DialogRequest& request = dialog.request();
  const std::string label = TerminalSafeText(ValueLabel(request, id));
  const std::string value = dialog.Value(id);
  const bool secret = request.secret.count(id) != 0;
  if (!request.IsEnabled(id)) {
    if (!secret) Write(label + ": " + TerminalSafeText(value) + " (cannot be changed)\n");
    return true;
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
  const auto number = request.numbers.find(id);
  while (true) {
    if (!Ask(prompt, &answer, secret)) return false;
    if (answer.empty()) return true;
    int64_t parsed = 0;
    if (number == request.numbers.end() ||
        ParseDecimal(Trimmed(answer), number->second.first, number->second.second, &parsed)) {
      break;
    }
    // Never shown back: a secret typed into the wrong field stays unseen.
    Write("Please answer with a number from " + std::to_string(number->second.first) + " to " +
          std::to_string(number->second.second) + ".\n");
  }
  dialog.SetValue(id, answer);
  return true;
}

bool TerminalUserInterface::WalkTree(OpenDialog& dialog, int id) {
  const DialogRequest& request = dialog.request();
  const std::string label = TerminalSafeText(ValueLabel(request, id));
  TreeModel* tree = dialog.tree(id);
  if (!request.IsEnabled(id)) {
    Write(label + ": " + TerminalSafeText(dialog.Value(id)) + " (cannot be changed)\n");
    return true;
  }
  while (true) {
    TreeNode* at = tree->selected();
    // The items one can move to: the root while nothing is selected, else
    // the selected item's children (opening it lists them).
    std::vector<TreeNode*> offered;
    if (at == nullptr) {
      Write(label + ": nothing selected\n");
      offered.push_back(tree->root());
    } else {
      Write(label + ": " + TerminalSafeText(TreeModel::TextPath(at)) + "\n");
      if (!tree->Open(at)) Write("  (the items below cannot be listed)\n");
      for (const auto& child : at->children()) offered.push_back(child.get());
      if (offered.empty() && at->listed()) Write("  (no items below)\n");
    }
    for (size_t k = 0; k < offered.size(); ++k) {
      Write("  " + std::to_string(k + 1) + " " + TerminalSafeText(offered[k]->item().ShownText()) +
            "\n");
    }
    const std::string current = at == nullptr ? "none" : TerminalSafeText(TreeModel::TextPath(at));
    std::string answer;
    if (!Ask("Select by number, 0 for the item above, empty to keep [" + current + "]: ",
             &answer)) {
      return false;
    }
    answer = Trimmed(answer);
    if (answer.empty()) return true;
    int64_t chosen = 0;
    const bool number = ParseDecimal(answer, 0, 999999, &chosen);
    if (number && chosen == 0) {
      if (at != nullptr && at->parent() != nullptr) dialog.Select(id, at->parent());
    } else if (number && static_cast<size_t>(chosen) <= offered.size()) {
      dialog.Select(id, offered[static_cast<size_t>(chosen) - 1]);
    } else {
      Write("Please answer with one of the numbers listed.\n");
    }
  }
}

bool TerminalUserInterface::AskButton(const OpenDialog& dialog, int* button) {
  const DialogRequest& request = dialog.request();
  std::vector<int> choices;
  for (int id : request.ButtonsShown()) {
    if (dialog.CanPress(id)) choices.push_back(id);
  }
  if (choices.empty()) return false;
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
    if (!Ask(prompt, &answer)) return false;
    answer = Trimmed(answer);
    if (answer.empty()) {
      *button = default_button;
      return true;
    }
    const int chosen = ButtonFromAnswer(request, choices, answer);
    if (chosen != 0) {
      *button = chosen;
      return true;
    }
    Write("Please answer with one of the buttons listed (its number, its name or its letter).\n");
  }
}

void TerminalUserInterface::RunDialog(OpenDialog& dialog) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const DialogRequest& request = dialog.request();
  const std::vector<int> buttons = request.ButtonsShown();
  // One round per attempt: the dialog stays open while its callbacks say so.
  while (!dialog.closed()) {
    Write("\n== " + TerminalSafeText(request.title) + " ==\n");
    for (const auto& [id, text] : request.texts) {
      const bool is_button = std::find(buttons.begin(), buttons.end(), id) != buttons.end();
      if (is_button || dialog.values().count(id) || text.empty()) continue;
      Write(TerminalSafeText(StripMnemonic(text)) + "\n");
    }
    for (const auto& [id, list] : request.lists) {
      if (request.texts.count(id) == 0) Write(TerminalSafeText(ListText(list)) + "\n");
    }
    for (int id : ValueControlsInReadingOrder(dialog)) {
      const bool answered =
          dialog.tree(id) != nullptr ? WalkTree(dialog, id) : AskValue(dialog, id);
      if (!answered) return;  // the input ended: cancelled
    }
    int button = kIdCancel;
    if (!AskButton(dialog, &button)) return;
    dialog.Press(button);
  }
}

bool TerminalUserInterface::RunChooseFolder(void*, const std::string& title, std::string* folder) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  Write("\n== " + TerminalSafeText(title) + " ==\n");
  std::string answer;
  if (!Ask("Folder (empty: none) [" + TerminalSafeText(*folder) + "]: ", &answer)) return false;
  answer = Trimmed(answer);
  if (answer.empty()) return false;
  *folder = answer;
  return true;
}

UserInterface::MessageBoxOutcome TerminalUserInterface::RunMessageBox(
    const MessageBoxRequest& request) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
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
      if (EqualIgnoringCase(answer, name) ||
          (answer.size() == 1 && (answer[0] | 0x20) == (name[0] | 0x20))) {
        outcome.answer = id;
        return outcome;
      }
    }
    // Yes and no to a box that offers OK and Cancel instead.
    if (const int meant = OkOrCancelFromYesNo(ids, answer); meant != 0) {
      outcome.answer = meant;
      return outcome;
    }
    Write("Please answer " + menu + ".\n");
  }
}

}  // namespace tw
