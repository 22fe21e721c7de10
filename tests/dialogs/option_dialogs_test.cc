// The check-out and check-in option dialogs, answered by a script.
#include "dialogs/option_dialogs.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/ui_script.h"
#include "platform/user_interface.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"

namespace tw {
namespace {

class OptionDialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1);
    SetUserInterface(script_);
  }
  void TearDown() override {
    SetUserInterface(nullptr);
    unsetenv("VELTRANE_UI_RECORD");
  }
  std::vector<test::UiRecordEntry> Record() {
    return test::ReadUiRecord(env_.Path("record.jsonl"));
  }

  test::TestEnv env_;
  std::shared_ptr<ScriptedUserInterface> script_ = std::make_shared<ScriptedUserInterface>();
};

TEST_F(OptionDialogsTest, ChoicesAreReadBackOnOkOnly) {
  script_->QueueDialog(116, 1, {{1034, "1"}, {1036, "1"}});
  script_->QueueDialog(119, 1, {{1038, "1"}});
  script_->QueueDialog(116, 2, {{1034, "1"}});
  CheckoutOptions checkout;  // exclusive, synchronise
  ASSERT_TRUE(ShowCheckoutOptionsDialog(nullptr, &checkout));
  EXPECT_FALSE(checkout.synchronize);
  EXPECT_FALSE(checkout.exclusive);
  CheckinOptions checkin;
  checkin.retain_lock = true;
  ASSERT_TRUE(ShowCheckinOptionsDialog(nullptr, &checkin));
  EXPECT_TRUE(checkin.retain_lock);
  EXPECT_TRUE(checkin.work_in_progress);
  CheckoutOptions cancelled;
  EXPECT_FALSE(ShowCheckoutOptionsDialog(nullptr, &cancelled));
  EXPECT_TRUE(cancelled.synchronize);

  const auto record = Record();
  ASSERT_EQ(3u, record.size());
  EXPECT_EQ(116, record[0].id);
  EXPECT_EQ("Veltrane", record[0].title);
  EXPECT_EQ("Replace with current from server", record[0].texts.at(1033));
  EXPECT_EQ("OK", record[0].texts.at(1));
  EXPECT_EQ(119, record[1].id);
  EXPECT_EQ("Check In As Works In Progress", record[1].texts.at(1038));
  EXPECT_EQ("Cancel", record[1].texts.at(2));
}

TEST_F(OptionDialogsTest, ServerLockPolicyGreysTheOtherChoice) {
  script_->QueueDialog(116, 1, {{1036, "1"}});  // tries to pick the greyed choice
  script_->QueueDialog(116, 1);
  CheckoutOptions exclusive_only;
  exclusive_only.exclusive = false;
  exclusive_only.lock_policy = 1;
  ASSERT_TRUE(ShowCheckoutOptionsDialog(nullptr, &exclusive_only));
  EXPECT_TRUE(exclusive_only.exclusive);
  CheckoutOptions shared_only;  // asks for exclusive
  shared_only.lock_policy = 2;
  ASSERT_TRUE(ShowCheckoutOptionsDialog(nullptr, &shared_only));
  EXPECT_FALSE(shared_only.exclusive);

  const auto record = Record();
  ASSERT_EQ(2u, record.size());
  EXPECT_FALSE(record[0].enabled.at(1036));
  EXPECT_FALSE(record[1].enabled.at(1035));
}

}  // namespace
}  // namespace tw
