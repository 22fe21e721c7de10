// The overwrite question where nobody or a terminal answers: neither ever
// overwrites by default. (What it shows and when Merge can be pressed:
// gui_dialogs_test.)
#include "dialogs/overwrite_dialog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "tests/support/test_env.h"
#include "ui/terminal.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

TEST(OverwriteDialogTest, NobodyCancelsAndConfirmingNeverOverwrites) {
  test::TestEnv env;
  const OverwriteQuestion question{"/work/src/main.c", "Modified", "r\\p", "d7", nullptr};
  SetUserInterface(std::make_shared<NoUserInterface>());
  EXPECT_EQ(AskOverwrite(nullptr, question), kOverwriteCancel);

  int in[2], out[2];
  ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
  ASSERT_EQ(1, write(in[1], "\n", 1));
  close(in[1]);
  SetUserInterface(std::make_shared<TerminalUserInterface>(in[0], out[1]));
  EXPECT_EQ(AskOverwrite(nullptr, question), kOverwriteNo);
  SetUserInterface(nullptr);
  for (int fd : {in[0], out[0], out[1]}) close(fd);
}

}  // namespace
}  // namespace tw
