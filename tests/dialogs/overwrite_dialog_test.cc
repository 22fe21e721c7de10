// The overwrite question: what it shows, when Merge can be pressed, and
// the merge action that keeps the question open or closes it with Merge.
#include "dialogs/overwrite_dialog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "platform/ui_script.h"
#include "platform/ui_terminal.h"
#include "platform/user_interface.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"

namespace tw {
namespace {

class OverwriteDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1);
    SetUserInterface(script_);
  }
  void TearDown() override {
    SetUserInterface(nullptr);
    unsetenv("VELTRANE_UI_RECORD");
  }
  static OverwriteQuestion Question() {
    OverwriteQuestion q;
    q.path = "/work/src/main.c";
    q.status_name = "Modified";
    q.current_project = "r\\p";
    q.document_id = "d7";
    return q;
  }
  std::vector<test::UiRecordEntry> Record() {
    return test::ReadUiRecord(env_.Path("record.jsonl"));
  }

  test::TestEnv env_;
  std::shared_ptr<ScriptedUserInterface> script_ = std::make_shared<ScriptedUserInterface>();
};

TEST_F(OverwriteDialogTest, ShowsTheQuestionAndEnablesMergeOnlyWithProjectAndDocument) {
  OverwriteQuestion no_project = Question();
  no_project.current_project.clear();
  OverwriteQuestion no_document = Question();
  no_document.document_id.clear();
  script_->AddScript("dialog 110 1001\ndialog 110 1032\ndialog 110 1032\n", "t");
  EXPECT_EQ(AskOverwrite(nullptr, Question()), kOverwriteYesToAll);
  // A Merge line for a greyed Merge is no answer: Cancel, and it waits.
  EXPECT_EQ(AskOverwrite(nullptr, no_project), kOverwriteCancel);
  EXPECT_EQ(AskOverwrite(nullptr, no_document), kOverwriteCancel);
  EXPECT_EQ(script_->Remaining(), 2u);

  const auto record = Record();
  ASSERT_EQ(record.size(), 3u);
  EXPECT_EQ(record[0].id, 110);
  EXPECT_EQ(record[0].title, "Veltrane");
  EXPECT_EQ(record[0].texts.at(1025),
            "'/work/src/main.c' is 'Modified'.\n\nContinuing will overwrite any changes made to "
            "the file.\n\nOverwrite this file?");
  EXPECT_EQ(record[0].texts.at(1003), "N&o To All");
  EXPECT_TRUE(record[0].enabled.at(kOverwriteMerge));
  EXPECT_FALSE(record[1].enabled.at(kOverwriteMerge));
  EXPECT_FALSE(record[2].enabled.at(kOverwriteMerge));
  EXPECT_TRUE(record[2].unexpected);
}

TEST_F(OverwriteDialogTest, NobodyCancelsAndConfirmingNeverOverwrites) {
  SetUserInterface(std::make_shared<NoUserInterface>());
  EXPECT_EQ(AskOverwrite(nullptr, Question()), kOverwriteCancel);

  int in[2], out[2];
  ASSERT_EQ(0, pipe2(in, O_CLOEXEC));
  ASSERT_EQ(0, pipe2(out, O_CLOEXEC));
  ASSERT_EQ(1, write(in[1], "\n", 1));
  close(in[1]);
  SetUserInterface(std::make_shared<TerminalUserInterface>(in[0], out[1]));
  EXPECT_EQ(AskOverwrite(nullptr, Question()), kOverwriteNo);
  SetUserInterface(nullptr);
  for (int fd : {in[0], out[0], out[1]}) close(fd);
}

}  // namespace
}  // namespace tw
