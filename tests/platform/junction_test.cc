// Junctions: the mount-point reparse buffer byte for byte, and real links
// made and removed in a private folder, with every refusal leaving the file
// system as it was.
#include "platform/junction.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Utf16(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

// The buffer as the table lays it out, for a substitute name of L bytes.
std::vector<uint8_t> Expected(const std::u16string& substitute) {
  const uint16_t l = static_cast<uint16_t>(substitute.size() * 2);
  std::vector<uint8_t> out = {0x03, 0x00, 0x00, 0xA0};
  for (uint16_t field : {static_cast<uint16_t>(l + 12), uint16_t{0}, uint16_t{0}, l,
                         static_cast<uint16_t>(l + 2), uint16_t{0}}) {
    out.push_back(static_cast<uint8_t>(field));
    out.push_back(static_cast<uint8_t>(field >> 8));
  }
  const std::vector<uint8_t> name = Utf16(substitute);
  out.insert(out.end(), name.begin(), name.end());
  out.insert(out.end(), 4, 0);
  return out;
}

TEST(ReparseBufferTest, DriveRootsKeepTheirBackslashOtherFoldersLoseIt) {
  EXPECT_EQ("\\??\\C:\\", MountPointSubstituteName("C:\\"));
  EXPECT_EQ("\\??\\C:\\Work\\Assets", MountPointSubstituteName("C:\\Work\\Assets\\"));
  EXPECT_EQ("\\??\\D:\\a\\b", MountPointSubstituteName("D:\\a\\b"));

  std::vector<uint8_t> buffer;
  ASSERT_TRUE(MountPointReparseBuffer("C:\\", &buffer));
  const std::vector<uint8_t> root = {0x03, 0x00, 0x00, 0xA0, 0x1A, 0x00, 0x00, 0x00, 0x00,
                                     0x00, 0x0E, 0x00, 0x10, 0x00, 0x00, 0x00, '\\', 0,
                                     '?',  0,    '?',  0,    '\\', 0,    'C',  0,    ':',
                                     0,    '\\', 0,    0,    0,    0,    0};
  EXPECT_EQ(root, buffer);
  EXPECT_EQ(34u, buffer.size());  // L + 20 with L = 14

  ASSERT_TRUE(MountPointReparseBuffer("C:\\Work\\Assets\\", &buffer));
  EXPECT_EQ(Expected(u"\\??\\C:\\Work\\Assets"), buffer);
  ASSERT_TRUE(MountPointReparseBuffer("E:\\Ärger\\\U0001F600", &buffer));
  EXPECT_EQ(Expected(u"\\??\\E:\\Ärger\\\U0001F600"), buffer);
}

TEST(ReparseBufferTest, NamesThatCannotBeEncodedAreRefused) {
  std::vector<uint8_t> buffer = {42};
  EXPECT_FALSE(MountPointReparseBuffer("C:\\bad\xff", &buffer));
  // The buffer may reach 16384 bytes: 20 + 2 * (4 + 8178).
  const std::string longest = "C:\\" + std::string(8178 - 3, 'a');
  ASSERT_TRUE(MountPointReparseBuffer(longest, &buffer));
  EXPECT_EQ(kMaxReparseBufferSize, buffer.size());
  buffer = {42};
  EXPECT_FALSE(MountPointReparseBuffer(longest + "a", &buffer));
  EXPECT_EQ(std::vector<uint8_t>{42}, buffer);
}

TEST(ReparseBufferTest, OnlyTheFatFamilyHoldsNoLinks) {
  EXPECT_FALSE(FileSystemSupportsLinks(0x4d44));      // msdos, vfat
  EXPECT_FALSE(FileSystemSupportsLinks(0x2011BAB0));  // exFAT
  EXPECT_TRUE(FileSystemSupportsLinks(0xEF53));       // ext2/3/4
  EXPECT_TRUE(FileSystemSupportsLinks(0x01021994));   // tmpfs
  EXPECT_TRUE(FileSystemSupportsLinks(0x5346544e));   // NTFS
}

class JunctionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::create_directories(target_));
    test::WriteFile(target_ + "/asset.bin", "payload");
  }

  test::TestEnv env_;
  const std::string target_ = env_.Path("store/assets");
  const std::string link_ = env_.Path("work/assets");
  JunctionHelper helper_;
};

TEST_F(JunctionTest, AJunctionLeadsToTheTargetAndGoesWithoutIt) {
  ASSERT_TRUE(fs::create_directory(env_.Path("work")));
  EXPECT_TRUE(helper_.SupportsLinks(target_));
  EXPECT_TRUE(helper_.SupportsLinks(env_.Path("not/yet/there")));
  // A relative target is made full, as the junction must name it.
  const fs::path previous = fs::current_path();
  fs::current_path(env_.Path("store"));
  const int created = helper_.CreateJunction(link_ + "/", "assets/");
  fs::current_path(previous);
  ASSERT_EQ(kJunctionOk, created) << helper_.LastError();
  EXPECT_TRUE(fs::is_symlink(link_));
  EXPECT_EQ(fs::canonical(target_), fs::read_symlink(link_));
  EXPECT_EQ("payload", test::ReadFile(link_ + "/asset.bin"));
  EXPECT_EQ("", helper_.LastError());

  EXPECT_TRUE(helper_.RemoveJunction(link_));
  EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
  EXPECT_EQ("payload", test::ReadFile(target_ + "/asset.bin"));
}

TEST_F(JunctionTest, ATargetThatIsNoFolderIsABadName) {
  ASSERT_TRUE(fs::create_directory(env_.Path("work")));
  EXPECT_EQ(kJunctionBadName, helper_.CreateJunction(link_, target_ + "/asset.bin"));
  EXPECT_EQ(target_ + "/asset.bin is an invalid file name: Not a directory\n", helper_.LastError());
  EXPECT_EQ(kJunctionBadName, helper_.CreateJunction(link_, ""));
  EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
}

TEST_F(JunctionTest, ATargetThatDoesNotExistYetIsLinkedAndReachedOnceMade) {
  ASSERT_TRUE(fs::create_directory(env_.Path("work")));
  // Reached through a link to the store, two levels missing, with "." and
  // ".." in the part that does not exist.
  fs::create_directory_symlink(env_.Path("store"), env_.Path("shelf"));
  const int created = helper_.CreateJunction(link_, env_.Path("shelf/later/./gone/../deeper/"));
  ASSERT_EQ(kJunctionOk, created) << helper_.LastError();
  EXPECT_EQ("", helper_.LastError());
  const fs::path expected = fs::canonical(env_.Path("store")) / "later" / "deeper";
  EXPECT_EQ(expected, fs::read_symlink(link_));
  EXPECT_FALSE(fs::exists(link_)) << "nothing is made at the target";

  ASSERT_TRUE(fs::create_directories(env_.Path("store/later/deeper")));
  test::WriteFile(env_.Path("store/later/deeper/level.txt"), "made later");
  EXPECT_EQ("made later", test::ReadFile(link_ + "/level.txt"));
  EXPECT_TRUE(helper_.RemoveJunction(link_));
  EXPECT_EQ("made later", test::ReadFile(env_.Path("store/later/deeper/level.txt")));

  // A relative name that does not exist yet is made full as well.
  const fs::path previous = fs::current_path();
  fs::current_path(env_.Path("store"));
  const int relative = helper_.CreateJunction(link_, "missing");
  fs::current_path(previous);
  ASSERT_EQ(kJunctionOk, relative) << helper_.LastError();
  EXPECT_EQ(fs::canonical(env_.Path("store")) / "missing", fs::read_symlink(link_));
}

TEST_F(JunctionTest, ALinkThatCannotBeMadeLeavesNothingAndTouchesNothing) {
  // No folder to hold the link.
  EXPECT_EQ(kJunctionFailed, helper_.CreateJunction(link_, target_));
  EXPECT_EQ("Error creating " + link_ + ": No such file or directory\n", helper_.LastError());
  EXPECT_FALSE(fs::exists(env_.Path("work")));

  // Something is there already: it stays as it was.
  ASSERT_TRUE(fs::create_directories(link_));
  test::WriteFile(link_ + "/mine.txt", "mine");
  EXPECT_EQ(kJunctionFailed, helper_.CreateJunction(link_, target_));
  EXPECT_EQ("Error creating " + link_ + ": File exists\n", helper_.LastError());
  EXPECT_EQ("mine", test::ReadFile(link_ + "/mine.txt"));
}

TEST_F(JunctionTest, AVolumeWithoutLinksFailsBeforeAnythingIsCreated) {
  struct FatVolume : JunctionHelper {
    bool SupportsLinks(const std::string&) override { return false; }
  } fat;
  ASSERT_TRUE(fs::create_directory(env_.Path("work")));
  EXPECT_EQ(kJunctionFailed, fat.CreateJunction(link_, target_));
  EXPECT_EQ("Selected volume does not support links", fat.LastError());
  EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
}

TEST_F(JunctionTest, RemovingSomethingElseFailsAndLeavesItAlone) {
  EXPECT_FALSE(helper_.RemoveJunction(link_));
  EXPECT_EQ("Failed to remove link " + link_ + ": No such file or directory\n",
            helper_.LastError());
  // A folder with contents is not a junction.
  EXPECT_FALSE(helper_.RemoveJunction(target_));
  EXPECT_EQ(0u, helper_.LastError().find("Failed to remove link " + target_ + ": "));
  EXPECT_EQ("payload", test::ReadFile(target_ + "/asset.bin"));
  EXPECT_FALSE(helper_.RemoveJunction(target_ + "/asset.bin"));
  EXPECT_TRUE(fs::exists(target_ + "/asset.bin"));
  // An empty folder goes, as a junction whose reparse data was never set.
  ASSERT_TRUE(fs::create_directories(link_));
  EXPECT_TRUE(helper_.RemoveJunction(link_));
  EXPECT_FALSE(fs::exists(link_));
}

}  // namespace
}  // namespace tw
