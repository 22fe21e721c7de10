#include "tools/vscc/host_ui.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/vscc/json.h"

namespace vscc {

namespace {

// A user's script larger than this is refused (the seam refuses the same).
constexpr size_t kMaxScriptBytes = 1 << 20;

std::string Getenv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Newlines become blanks, so that a message box's text reads as one line.
std::string OneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') {
      if (!out.empty() && out.back() != ' ') out += ' ';
      continue;
    }
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string FirstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

// A question's first paragraph: what it is about, without the explanation
// of its buttons.
std::string FirstParagraph(const std::string& text) {
  return OneLine(text.substr(0, text.find("\n\n")));
}

const char* DialogName(int id) {
  switch (id) {
    case kLogonDialog:
      return "logon dialog";
    case kAddDialog:
      return "add-Production dialog";
    case kBindDialog:
      return "bind dialog";
    case kOverwriteDialog:
      return "overwrite question";
    case kHistoryDialog:
      return "history dialog";
    case kPropertiesDialog:
      return "properties dialog";
    case kCheckoutOptionsDialog:
      return "check-out options dialog";
    case kCheckinOptionsDialog:
      return "check-in options dialog";
    case kEnvironmentDialog:
      return "environment settings dialog";
  }
  return "dialog";
}

const char* DialogHint(int id) {
  switch (id) {
    case kLogonDialog:
      return "Give --user, --server and --port, and the password in VELTRANE_PASSWORD.";
    case kBindDialog:
      return "Give --production PATH.";
    case kAddDialog:
      return "Give --parent PATH.";
    case kOverwriteDialog:
      return "Give --yes to overwrite or --no to keep the local files.";
    case kEnvironmentDialog:
      return "Run it on a terminal.";
  }
  return "";
}

}  // namespace

// A file that holds a script or the record: a memory file named by
// /proc/self/fd/N, or a file in a private temporary folder.
class ScratchFile {
 public:
  static std::unique_ptr<ScratchFile> Create(const char* name, std::string* error) {
    auto file = std::unique_ptr<ScratchFile>(new ScratchFile);
    file->fd_ = ::memfd_create(name, MFD_CLOEXEC);
    if (file->fd_ >= 0) {
      file->path_ = "/proc/self/fd/" + std::to_string(file->fd_);
      if (::access(file->path_.c_str(), R_OK | W_OK) == 0) return file;
      ::close(file->fd_);
    }
    std::string base = Getenv("TMPDIR");
    if (base.empty()) base = "/tmp";
    std::string folder = base + "/vscc-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
      *error = "cannot make a private folder in " + base + ": " + std::strerror(errno);
      return nullptr;
    }
    file->folder_ = folder;
    file->path_ = folder + "/" + name;
    file->fd_ = ::open(file->path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (file->fd_ < 0) {
      *error = "cannot create " + file->path_ + ": " + std::strerror(errno);
      return nullptr;
    }
    return file;
  }

  ~ScratchFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!folder_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(folder_, ec);
    }
  }

  bool Write(const std::string& text) {
    return ::ftruncate(fd_, 0) == 0 && ::lseek(fd_, 0, SEEK_SET) == 0 && WriteAll(fd_, text);
  }

  std::string ReadFrom(size_t offset) const {
    std::string text;
    char buffer[8192];
    while (true) {
      const ssize_t n =
          ::pread(fd_, buffer, sizeof buffer, static_cast<off_t>(offset + text.size()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
    return text;
  }

  const std::string& path() const { return path_; }

 private:
  ScratchFile() = default;
  int fd_ = -1;
  std::string path_;
  std::string folder_;
};

std::string UiEvent::Text(int control) const {
  auto it = texts.find(control);
  return it == texts.end() ? std::string() : it->second;
}

bool ParseUiEvent(const std::string& line, UiEvent* event) {
  JsonValue value;
  std::string error;
  if (!ParseJson(line, &value, &error) || value.type != JsonValue::kObject) return false;
  event->kind = value.StringAt("kind");
  event->id = static_cast<int>(value.NumberAt("id"));
  event->title = value.StringAt("title");
  if (const JsonValue* texts = value.Find("texts")) {
    for (const auto& [key, text] : texts->object) {
      if (text.type == JsonValue::kString) event->texts[std::atoi(key.c_str())] = text.string;
    }
  }
  if (const JsonValue* enabled = value.Find("enabled")) {
    for (const auto& [key, flag] : enabled->object) {
      if (flag.type == JsonValue::kBool) event->enabled[std::atoi(key.c_str())] = flag.boolean;
    }
  }
  if (const JsonValue* answer = value.Find("answer")) {
    if (answer->type == JsonValue::kNumber) {
      event->answer = std::to_string(static_cast<long>(answer->number));
    } else {
      event->answer = answer->string;
    }
  }
  event->unexpected = value.BoolAt("unexpected");
  return !event->kind.empty();
}

std::string ScriptWord(const std::string& value) {
  std::string word = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') word += '\\';
    word += c;
  }
  return word + "\"";
}

std::string TreePath(const std::string& path) {
  std::string tree = "/";
  std::string element;
  auto flush = [&] {
    if (element.empty()) return;
    tree += "\\" + element;
    element.clear();
  };
  for (char c : path) {
    if (c == '/' || c == '\\') {
      flush();
    } else {
      element += c;
    }
  }
  flush();
  return tree;
}

// Notices the provider shows as OK boxes: the script answers them and vscc
// prints them afterwards. "Veltrane" twice: a logon can fail and be tried
// again in one command.
constexpr const char* kNoticeTitles[] = {kProductTitle, kProductTitle, kDeferredAlreadyTitle,
                                         kClientNotFoundTitle};

HostUi::HostUi() {
  for (const char* title : kNoticeTitles) answered_titles_.insert(title);
}
HostUi::~HostUi() = default;

bool HostUi::Setup(const std::string& ui, std::string* error) {
  std::string mode = ui;
  const bool given = !mode.empty();
  if (mode.empty()) mode = Getenv("VELTRANE_UI");
  if (mode.empty()) mode = ::isatty(STDIN_FILENO) == 1 ? "tty" : "none";

  if (mode == "tty") {
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    terminal_ = fd >= 0;
    if (fd >= 0) ::close(fd);
    fallback_ = terminal_ ? "tty" : "none";
    person_ = terminal_;
  } else if (mode == "gui") {
    fallback_ = "gui";
    person_ = !Getenv("DISPLAY").empty() || !Getenv("WAYLAND_DISPLAY").empty();
  } else if (mode.rfind("script:", 0) == 0) {
    user_script_name_ = mode.substr(7);
    std::ifstream in(user_script_name_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in || text.str().size() > kMaxScriptBytes) {
      *error = "cannot read the script " + user_script_name_;
      return false;
    }
    user_script_ = text.str();
  } else if (mode != "none" && given) {
    *error = "--ui must be gui, tty, none or script:FILE, not '" + mode + "'";
    return false;
  }

  user_record_ = Getenv("VELTRANE_UI_RECORD");
  record_ = ScratchFile::Create("vscc-record", error);
  if (!record_) return false;
  ::setenv("VELTRANE_UI_RECORD", record_->path().c_str(), 1);
  return true;
}

void HostUi::SetLogon(const std::string& user, const std::string& server, const std::string& port) {
  user_ = user;
  server_ = server;
  port_ = port;
}

bool HostUi::AnswersLogon() const {
  return !person_ || !user_.empty() || !server_.empty() || !port_.empty() || have_password_;
}

void HostUi::Answer(const std::string& line) {
  lines_.push_back(line);
  if (line.rfind("msgbox ", 0) == 0) {
    // The title is the quoted word after "msgbox".
    const size_t open = line.find('"'), close = line.rfind('"');
    if (open != std::string::npos && close > open) {
      answered_titles_.insert(line.substr(open + 1, close - open - 1));
    }
  }
}

void HostUi::AnswerQuestion(const std::string& title, int yes, const std::string& hint) {
  if (yes < 0 && person_) return;
  if (yes < 0) defaulted_[title] = hint;
  Answer("msgbox " + ScriptWord(title) + (yes > 0 ? " Yes" : " No"));
}

std::string HostUi::ScriptText() const {
  std::string text = "# Answers from vscc's command line\n";
  if (!user_script_.empty()) {
    text += "# " + user_script_name_ + "\n" + user_script_;
    if (text.back() != '\n') text += '\n';
  }
  if (AnswersLogon()) {
    std::string line = "any dialog " + std::to_string(kLogonDialog) + " 1";
    if (!user_.empty()) line += " " + std::to_string(kLogonUser) + "=" + ScriptWord(user_);
    if (!server_.empty()) line += " " + std::to_string(kLogonServer) + "=" + ScriptWord(server_);
    if (!port_.empty()) line += " " + std::to_string(kLogonPort) + "=" + ScriptWord(port_);
    if (have_password_) {
      line += " " + std::to_string(kLogonPassword) + "=" + ScriptWord(password_);
    }
    text += line + "\n";
  }
  for (const char* title : kNoticeTitles) text += "any msgbox " + ScriptWord(title) + " OK\n";
  for (const std::string& line : lines_) text += "any " + line + "\n";
  text += "otherwise " + fallback_ + "\n";
  return text;
}

bool HostUi::Activate(std::string* error) {
  for (const std::string* value : {&user_, &server_, &port_, &password_}) {
    if (value->find_first_of("\r\n") != std::string::npos) {
      *error = "a logon value holds a line break";
      return false;
    }
  }
  std::unique_ptr<ScratchFile> next = ScratchFile::Create("vscc-script", error);
  if (!next) return false;
  if (!next->Write(ScriptText())) {
    *error = "cannot write the dialog script: " + std::string(std::strerror(errno));
    return false;
  }
  ::setenv("VELTRANE_UI", ("script:" + next->path()).c_str(), 1);
  scripts_.push_back(std::move(next));
  return true;
}

std::vector<UiEvent> HostUi::TakeEvents() {
  std::vector<UiEvent> events;
  if (!record_) return events;
  const std::string text = record_->ReadFrom(record_offset_);
  const size_t end = text.rfind('\n');
  if (end == std::string::npos) return events;
  record_offset_ += end + 1;
  const std::string lines = text.substr(0, end + 1);
  if (!user_record_.empty()) {
    const int fd = ::open(user_record_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd >= 0) {
      WriteAll(fd, lines);
      ::close(fd);
    }
  }
  std::istringstream in(lines);
  std::string line;
  while (std::getline(in, line)) {
    UiEvent event;
    if (ParseUiEvent(line, &event)) events.push_back(std::move(event));
  }
  return events;
}

void HostUi::Report(const std::vector<UiEvent>& events, Console* console) const {
  for (const UiEvent& e : events) {
    if (e.kind == "msgbox") {
      // A person saw it already when the terminal or the window showed it.
      if (person_ && !e.unexpected && answered_titles_.count(e.title) == 0) continue;
      auto defaulted = defaulted_.find(e.title);
      if (defaulted != defaulted_.end() && e.answer == "No") {
        console->Error("\"" + e.title + "\" " + FirstParagraph(e.Text(0)) +
                       " -- nobody to ask, answered No (" + defaulted->second + ")");
      } else if (answered_titles_.count(e.title) != 0 && e.answer != "OK") {
        console->Note("\"" + e.title + "\" " + FirstParagraph(e.Text(0)) + " -- answered " +
                      e.answer);
      } else {
        console->Error(e.title + ": " + OneLine(e.Text(0)));
      }
    } else if (e.kind == "dialog") {
      const std::string name = DialogName(e.id);
      if (e.unexpected) {
        std::string message = "nobody answered the " + name + " \"" + e.title + "\" (" +
                              std::to_string(e.id) + "), so it was cancelled";
        if (e.id == kOverwriteDialog) message += ": " + FirstLine(e.Text(kOverwriteText));
        const std::string hint = DialogHint(e.id);
        if (!hint.empty()) message += (e.id == kOverwriteDialog ? " " : ". ") + hint;
        console->Error(message);
      } else if (e.answer == "2") {
        console->Error("the " + name + " \"" + e.title + "\" was cancelled");
      } else if (e.id == kOverwriteDialog && !person_) {
        const char* answer = e.answer == std::to_string(kYesToAll)  ? "Yes To All"
                             : e.answer == std::to_string(kNoToAll) ? "No To All"
                                                                    : e.answer.c_str();
        console->Note(FirstLine(e.Text(kOverwriteText)) + " -- answered " + answer);
      }
    }
  }
}

bool HostUi::LogonRefused(const std::vector<UiEvent>& events) {
  for (const UiEvent& e : events) {
    if (e.kind == "msgbox" && e.Text(0) == "Invalid Logon") return true;
  }
  return false;
}

bool HostUi::Cancelled(const std::vector<UiEvent>& events, int id) {
  for (const UiEvent& e : events) {
    if (e.kind == "dialog" && e.id == id && (e.unexpected || e.answer == "2")) return true;
  }
  return false;
}

namespace {

// The terminal's settings while a secret is asked, so that a signal that
// ends vscc then gives the person back a terminal that echoes.
struct termios g_saved_terminal;
volatile sig_atomic_t g_terminal_fd = -1;

void RestoreTerminalAndDie(int signal_number) {
  if (g_terminal_fd >= 0) ::tcsetattr(g_terminal_fd, TCSANOW, &g_saved_terminal);
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

bool PromptSecret(const std::string& prompt, std::string* answer) {
  const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  struct sigaction previous[4];
  const bool quiet = ::tcgetattr(fd, &g_saved_terminal) == 0;
  if (quiet) {
    struct sigaction restore {};
    restore.sa_handler = RestoreTerminalAndDie;
    sigemptyset(&restore.sa_mask);
    for (int i = 0; i < 4; ++i) ::sigaction(kSignals[i], &restore, &previous[i]);
    g_terminal_fd = fd;
    struct termios no_echo = g_saved_terminal;
    no_echo.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(fd, TCSANOW, &no_echo);
  }
  WriteAll(fd, prompt);
  answer->clear();
  bool got = false;
  while (true) {
    char c;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got = true;
    if (c == '\n') break;
    if (answer->size() < 4096) *answer += c;
  }
  if (quiet) {
    ::tcsetattr(fd, TCSANOW, &g_saved_terminal);
    g_terminal_fd = -1;
    for (int i = 0; i < 4; ++i) ::sigaction(kSignals[i], &previous[i], nullptr);
  }
  WriteAll(fd, "\n");
  ::close(fd);
  if (!answer->empty() && answer->back() == '\r') answer->pop_back();
  return got;
}

}  // namespace vscc
