// The diff launcher's command lines: the default templates and the filling
// of placeholders after the template is split.
#include "provider/diff_launcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tw {
namespace {

using Args = std::vector<std::string>;

TEST(DiffLauncherTemplate, DefaultsFollowTheProgramName) {
  const std::string merge_tool =
      "\"[File1]\" \"[File2]\" /project1 [Project1] /project2 [Project2] /user [User]";
  EXPECT_EQ(merge_tool, DefaultDiffCommandLine(kMergeKind, "C:\\Tools\\VLMerge.exe"));
  EXPECT_EQ(merge_tool + " -wl -wr", DefaultDiffCommandLine(kDiffKind, "C:\\Tools\\VLMerge.exe"));
  EXPECT_EQ(merge_tool + " -wl -wr", DefaultDiffCommandLine(kDiffKind, "/opt/vl/VLMerge.exe"));
  // The name as stored, letter case included, and only as a whole name.
  EXPECT_EQ("\"[File1]\" \"[File2]\"", DefaultDiffCommandLine(kDiffKind, "/opt/vl/vlmerge.exe"));
  EXPECT_EQ("\"[File1]\" \"[File2]\"", DefaultDiffCommandLine(kDiffKind, "VLMerge.exe"));
  EXPECT_EQ("\"[File1]\" \"[File2]\"", DefaultDiffCommandLine(kMergeKind, "/usr/bin/meld"));
}

TEST(DiffLauncherTemplate, PlaceholdersAreFilledAfterTheSplit) {
  DiffArguments values{"/w/my file.txt.[Tip]", "/w/my file.txt", "\\Games\\Level 1",
                       "\\Games\\Level 1", "Alice \"A\" Smith"};
  EXPECT_EQ((Args{"/w/my file.txt.[Tip]", "/w/my file.txt"}),
            FillDiffCommandLine("\"[File1]\" \"[File2]\"", values));
  EXPECT_EQ((Args{"/w/my file.txt.[Tip]", "/w/my file.txt", "/project1", "\\Games\\Level 1",
                  "/project2", "\\Games\\Level 1", "/user", "Alice \"A\" Smith", "-wl", "-wr"}),
            FillDiffCommandLine(DefaultDiffCommandLine(kDiffKind, "/x/VLMerge.exe"), values));
  // Every occurrence, inside larger arguments too.
  EXPECT_EQ((Args{"--left=/w/my file.txt.[Tip]", "--right=/w/my file.txt",
                  "</w/my file.txt.[Tip]|/w/my file.txt.[Tip]>"}),
            FillDiffCommandLine("--left=[File1] \"--right=[File2]\" <[File1]|[File1]>",
                                DiffArguments{values.file1, values.file2, "", "", ""}));
  // A value that reads like a placeholder is not filled again.
  EXPECT_EQ((Args{"/w/a[Project1][User].c", "\\P"}),
            FillDiffCommandLine("[File1] [Project1]",
                                DiffArguments{"/w/a[Project1][User].c", "", "\\P", "", "u"}));
}

TEST(DiffLauncherTemplate, EmptyValuesAndBadTemplates) {
  const DiffArguments values{"a.[Tip]", "a", "", "", ""};
  // An argument of placeholders alone that comes out empty is left out; an
  // empty quoted argument of the template stays.
  EXPECT_EQ((Args{"a.[Tip]", "a", "/project1", "/project2", "/user", "-wl", "-wr"}),
            FillDiffCommandLine(DefaultDiffCommandLine(kDiffKind, "/x/VLMerge.exe"), values));
  EXPECT_EQ((Args{"a", "", "a.[Tip]"}), FillDiffCommandLine("[File2] \"\" [File1]", values));
  // An unbalanced quote groups the rest of the template.
  EXPECT_EQ((Args{"a", "a.[Tip] -x"}), FillDiffCommandLine("\"[File2]\" \"[File1] -x", values));
  EXPECT_EQ((Args{}), FillDiffCommandLine("", values));
  EXPECT_EQ((Args{}), FillDiffCommandLine("   [User]  ", values));
}

}  // namespace
}  // namespace tw
