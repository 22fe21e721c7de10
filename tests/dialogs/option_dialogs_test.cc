// The check-out and check-in option dialogs, answered by a script.
#include <gtest/gtest.h>

#include <memory>

#include "dialogs/option_dialogs.h"
#include "dialogs/ui_script.h"
#include "dialogs/user_interface.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_record_reader.h"

namespace tw {
namespace {

class OptionDialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELTRANE_UI_RECORD", env_.Path("record.jsonl").c_str(), 1);
    script_ = std::make_shared<ScriptedUserInterface>();
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
  std::shared_ptr<ScriptedUserInterface> script_;
};

TEST_F(OptionDialogsTest, CheckoutChoicesAreReadBackOnOk) {
  script_->QueueDialog(116, 1, {{1034, "1"}, {1036, "1"}});
  CheckoutOptions options;  // exclusive, synchronise
  ASSERT_TRUE(ShowCheckoutOptionsDialog(nullptr, &options));
  EXPECT_FALSE(options.synchronize);
  EXPECT_FALSE(options.exclusive);
  auto record = Record();
  ASSERT_EQ(1u, record.size());
  EXPECT_EQ(116, record[0].id);
  EXPECT_EQ("Veltrane", record[0].title);
  EXPECT_EQ("Replace with current from server", record[0].texts.at(1033));
}

TEST_F(OptionDialogsTest, CancelChangesNothing) {
  script_->QueueDialog(116, 2, {{1034, "1"}});
  script_->QueueDialog(119, 2, {{1037, "1"}});
  CheckoutOptions checkout;
  checkout.exclusive = false;
  EXPECT_FALSE(ShowCheckoutOptionsDialog(nullptr, &checkout));
  EXPECT_FALSE(checkout.exclusive);
  EXPECT_TRUE(checkout.synchronize);
  CheckinOptions checkin;
  EXPECT_FALSE(ShowCheckinOptionsDialog(nullptr, &checkin));
  EXPECT_FALSE(checkin.retain_lock);
}

TEST_F(OptionDialogsTest, ServerDemandingExclusiveLocksGreysShared) {
  script_->QueueDialog(116, 1, {{1036, "1"}});  // tries to pick the greyed choice
  CheckoutOptions options;
  options.exclusive = false;
  options.lock_policy = 1;
  ASSERT_TRUE(ShowCheckoutOptionsDialog(nullptr, &options));
  EXPECT_TRUE(options.exclusive);
  auto record = Record();
  ASSERT_EQ(1u, record.size());
  EXPECT_FALSE(record[0].enabled.at(1036));
}

TEST_F(OptionDialogsTest, ServerDemandingSharedLocksGreysExclusive) {
  script_->QueueDialog(116, 1);
  CheckoutOptions options;  // asks for exclusive
  options.lock_policy = 2;
  ASSERT_TRUE(ShowCheckoutOptionsDialog(nullptr, &options));
  EXPECT_FALSE(options.exclusive);
  EXPECT_FALSE(Record().at(0).enabled.at(1035));
}

TEST_F(OptionDialogsTest, CheckinBoxesStartFromTheGivenChoices) {
  script_->QueueDialog(119, 1, {{1038, "1"}});
  CheckinOptions options;
  options.retain_lock = true;
  ASSERT_TRUE(ShowCheckinOptionsDialog(nullptr, &options));
  EXPECT_TRUE(options.retain_lock);
  EXPECT_TRUE(options.work_in_progress);
}

}  // namespace
}  // namespace tw
