// The terminal user interface, talked to through pipes (the conversation)
// and through a pseudo-terminal (echo off for a secret).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <thread>

#include "dialogs/ui_terminal.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"

namespace tw {
namespace {

// A terminal form fed from a pipe holding `input`; what it prints is
// collected from a second pipe.
class PipeTerminal {
 public:
  explicit PipeTerminal(const std::string& input) {
    EXPECT_EQ(0, pipe2(in_, O_CLOEXEC));
    EXPECT_EQ(0, pipe2(out_, O_CLOEXEC));
    EXPECT_EQ(static_cast<ssize_t>(input.size()), write(in_[1], input.data(), input.size()));
    close(in_[1]);
    ui_ = std::make_unique<TerminalUserInterface>(in_[0], out_[1]);
  }
  ~PipeTerminal() {
    ui_.reset();
    close(in_[0]);
    close(out_[0]);
  }
  TerminalUserInterface& ui() { return *ui_; }
  // Everything printed so far (closes the writing end).
  std::string Output() {
    close(out_[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(out_[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    return text;
  }

 private:
  int in_[2];
  int out_[2];
  std::unique_ptr<TerminalUserInterface> ui_;
};

class TerminalUi : public ::testing::Test {
 protected:
  test::TestEnv env_;
};

DialogRequest Logon() {
  DialogRequest r;
  r.template_id = 101;
  r.title = "Halvorn Veltrane";
  r.values = {{1000, "alpha"}, {1001, "alice"}, {1002, "old secret"}, {1003, "2100"}};
  r.labels = {{1000, "Server:"}, {1001, "User Name:"}, {1002, "Password:"}, {1003, "Port:"}};
  r.secret = {1002};
  r.enabled = {{1003, false}};
  return r;
}

TEST_F(TerminalUi, DialogPromptsForValuesAndButton) {
  PipeTerminal t("beta\n\nnew secret\nmaybe\ncancel\n");
  const DialogResult r = t.ui().ShowDialog(Logon());
  EXPECT_EQ(kIdCancel, r.button);
  EXPECT_EQ((std::map<int, std::string>{
                {1000, "beta"}, {1001, "alice"}, {1002, "new secret"}, {1003, "2100"}}),
            r.values);
  const std::string out = t.Output();
  EXPECT_NE(std::string::npos, out.find("== Halvorn Veltrane =="));
  EXPECT_NE(std::string::npos, out.find("Server [alpha]: "));
  EXPECT_NE(std::string::npos, out.find("User Name [alice]: "));
  EXPECT_NE(std::string::npos, out.find("Password: "));
  EXPECT_EQ(std::string::npos, out.find("old secret"));
  EXPECT_NE(std::string::npos, out.find("Port: 2100 (cannot be changed)"));
  EXPECT_NE(std::string::npos, out.find("Close with (1 OK, 2 Cancel) [1]: "));
  EXPECT_NE(std::string::npos, out.find("Please answer"));
}

TEST_F(TerminalUi, DisabledButtonsAreNotOfferedAndInputEndCancels) {
  DialogRequest q;
  q.template_id = 110;
  q.title = "Veltrane";
  q.texts = {{1025, "'a.c' is 'Old'.\x1b[2J"}, {1000, "&Yes"}, {1032, "Merge"}, {2, "&Cancel"}};
  q.enabled = {{1032, false}};
  q.buttons = {1000, 1032, 2};
  {
    PipeTerminal t("1032\nmerge\nyes\n");
    EXPECT_EQ(1000, t.ui().ShowDialog(q).button);
    const std::string out = t.Output();
    EXPECT_NE(std::string::npos, out.find("'a.c' is 'Old'.^[[2J\n"));  // no raw escape
    EXPECT_NE(std::string::npos, out.find("(1000 Yes, 2 Cancel) [1000]"));
  }
  {
    PipeTerminal t("");
    q.values = {{1040, "kept"}};
    const DialogResult r = t.ui().ShowDialog(q);
    EXPECT_EQ(kIdCancel, r.button);
    EXPECT_EQ(q.values, r.values);
  }
}

TEST_F(TerminalUi, MessageBoxAnswersAndIsRecorded) {
  setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1);
  MessageBoxRequest box;
  box.title = "Keep Merge Results?";
  box.text = "Do you want to keep your merged file?";
  box.buttons = MessageBoxButtons::kYesNo;
  PipeTerminal t("ok\nN\n\n");
  EXPECT_EQ(kIdNo, t.ui().MessageBox(box));   // "ok" is not offered, then "N"
  EXPECT_EQ(kIdYes, t.ui().MessageBox(box));  // empty: the default
  EXPECT_EQ(kIdYes, t.ui().MessageBox(box));  // input ended: the default
  const std::string out = t.Output();
  EXPECT_NE(std::string::npos, out.find("Do you want to keep your merged file?\nYes/No [Yes]: "));
  const auto record = test::ReadUiRecord(env_.Path("record.jsonl"));
  ASSERT_EQ(3u, record.size());
  EXPECT_EQ("No", record[0].answer);
  EXPECT_EQ("Keep Merge Results?", record[0].title);
}

TEST_F(TerminalUi, SafeText) {
  EXPECT_EQ("a^Gb\tc\n^?", TerminalSafeText("a\x07" "b\tc\n\x7f"));
  EXPECT_EQ("\xc3\xa9?x?", TerminalSafeText("\xc3\xa9\xc2\x9bx\xff"));
}

// Reads from the pty master until `wanted` has appeared (generous bound).
bool ReadUntil(int master, const std::string& wanted, std::string* seen) {
  for (int rounds = 0; rounds < 200 && seen->find(wanted) == std::string::npos; ++rounds) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[512];
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) return false;
    seen->append(buf, static_cast<size_t>(n));
  }
  return seen->find(wanted) != std::string::npos;
}

TEST_F(TerminalUi, SecretIsNotEchoedOnATerminal) {
  int master = -1, slave = -1;
  ASSERT_EQ(0, openpty(&master, &slave, nullptr, nullptr, nullptr));
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  DialogResult result;
  std::string seen;
  bool talked = false;
  {
    TerminalUserInterface ui(slave, slave);
    std::thread asker([&] { result = ui.ShowDialog(Logon()); });
    auto answer = [&](const std::string& prompt, const std::string& line) {
      return ReadUntil(master, prompt, &seen) &&
             write(master, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    };
    talked = answer("Server [alpha]: ", "gamma\n") && answer("User Name [alice]: ", "\n") &&
             answer("Password: ", "hunter2\n") && answer("[1]: ", "1\n");
    if (!talked) close(master);  // ends the asker's input
    asker.join();
  }
  ASSERT_TRUE(talked) << seen;
  close(master);
  close(slave);
  EXPECT_NE(std::string::npos, seen.find("gamma"));  // echoed as typed
  EXPECT_EQ(std::string::npos, seen.find("hunter2"));
  EXPECT_EQ(kIdOk, result.button);
  EXPECT_EQ("gamma", result.values.at(1000));
  EXPECT_EQ("hunter2", result.values.at(1002));
}

}  // namespace
}  // namespace tw
