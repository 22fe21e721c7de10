// The registry in its INI file: names and values as the machine registry
// treats them, the file replaced whole, and files that are read-only,
// unreadable or malformed refused without being touched.
#include "platform/registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_env.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

class RegistryTest : public ::testing::Test {
 protected:
  std::unique_ptr<Registry> Open() { return OpenRegistryFile(path_); }

  // A value read through a fresh object, so that it comes from the file.
  std::string Read(const std::string& key, const std::string& name) {
    std::string data = "<unread>";
    const long result = Open()->QueryString(key, name, 4096, &data);
    return result == kRegistryOk ? data : "<error " + std::to_string(result) + ">";
  }

  static ino_t Inode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }

  test::TestEnv env_;
  const std::string path_ = env_.Path("registry.ini");
};

TEST_F(RegistryTest, TheFileComesFromTheEnvironment) {
  EXPECT_EQ(path_, RegistryFilePath());
  EXPECT_EQ(path_, OpenMachineRegistry()->Location());
  unsetenv("VELTRANE_REGISTRY_FILE");
  EXPECT_EQ(env_.Path("home/.config/Halvorn/registry.ini"), RegistryFilePath());
}

TEST_F(RegistryTest, NamesIgnoreLetterCaseAndValuesComeBackExactly) {
  const std::vector<std::pair<std::string, std::string>> values = {
      {"SCCServerName", "Veltrane"},
      {"", "the default value"},
      {"@", "a value named @"},
      {"a/b", "slash in the name"},
      {"100%", "percent"},
      {"!bang", "leading bang"},
      {"with space=and[brackets]", "  blanks kept at both ends  "},
      {"Größe", "line one\nline two\ttab \"quoted\" back\\slash"},
      {"env", "$HOME and ${USER} stay as written"},
      {"empty", ""},
  };
  std::vector<RegistryValue> writes;
  for (const auto& [name, data] : values)
    writes.push_back({"Software\\Halvorn\\Veltrane", name, data});
  writes.push_back({"SOFTWARE\\odd\\.\\..\\a%2Fb", "x", "dots and an escape-like name"});
  auto registry = Open();
  ASSERT_EQ(kRegistryOk, registry->SetStrings(writes)) << registry->ErrorText();
  EXPECT_EQ("", registry->ErrorText());

  for (const auto& [name, data] : values)
    EXPECT_EQ(data, Read("SOFTWARE\\HALVORN\\veltrane", name)) << name;
  EXPECT_EQ("Veltrane", Read("software\\halvorn\\veltrane", "sccservername"));
  EXPECT_EQ("dots and an escape-like name", Read("Software\\ODD\\.\\..\\A%2fB", "X"));
  // The keys "." and ".." are keys of their own, not steps through the tree.
  EXPECT_EQ(kRegistryNotFound, Open()->OpenKey("SOFTWARE\\a%2Fb"));
  EXPECT_EQ(kRegistryOk, Open()->OpenKey("SOFTWARE\\odd\\."));

  // Writing again in other letter case replaces the value, not a second one.
  ASSERT_EQ(kRegistryOk,
            Open()->SetStrings({{"software\\HALVORN\\Veltrane", "SCCSERVERNAME", "V2"}}));
  EXPECT_EQ("V2", Read("Software\\Halvorn\\Veltrane", "SCCServerName"));
  const std::string text = test::ReadFile(path_);
  EXPECT_EQ(text.find("SCCServerName"), text.rfind("SCCServerName")) << text;
}

TEST_F(RegistryTest, MissingNamesSmallBuffersAndBadNamesGiveTheirCodes) {
  std::string data = "untouched";
  auto registry = Open();
  EXPECT_EQ(kRegistryNotFound, registry->QueryString("Software\\X", "v", 100, &data));
  EXPECT_EQ(kRegistryNotFound, registry->OpenKey("Software\\X"));
  ASSERT_EQ(kRegistryOk, registry->SetStrings({{"Software\\X", "v", "12345"}}));
  EXPECT_EQ(kRegistryNotFound, registry->QueryString("Software\\X", "w", 100, &data));
  EXPECT_NE(std::string::npos, registry->ErrorText().find("no value \"w\" of key Software\\X"));
  EXPECT_EQ(kRegistryNotFound, registry->QueryString("Software\\Y", "v", 100, &data));
  // The value and its terminating zero must fit.
  EXPECT_EQ(kRegistryMoreData, registry->QueryString("Software\\X", "v", 5, &data));
  EXPECT_EQ("untouched", data);
  EXPECT_EQ(kRegistryOk, registry->QueryString("Software\\X", "v", 6, &data));
  EXPECT_EQ("12345", data);

  const std::string before = test::ReadFile(path_);
  for (const std::string& key :
       {std::string("\\Software"), std::string("Software\\"), std::string("Software\\\\X"),
        std::string("A\0B", 3), std::string("bad\xff")}) {
    EXPECT_EQ(kRegistryInvalidParameter, registry->SetStrings({{key, "v", "1"}})) << key;
    EXPECT_EQ(kRegistryInvalidParameter, registry->OpenKey(key)) << key;
  }
  EXPECT_EQ(kRegistryInvalidParameter,
            registry->SetStrings({{"Software\\X", "v", std::string("nul\0inside", 10)}}));
  EXPECT_EQ(kRegistryInvalidParameter, registry->SetStrings({{"Software\\X", "v", "\xc3("}}));
  EXPECT_EQ(before, test::ReadFile(path_));
}

TEST_F(RegistryTest, ABatchIsStoredWholeOrNotAtAll) {
  auto registry = Open();
  EXPECT_EQ(kRegistryInvalidParameter, registry->SetStrings({{"Software\\A", "one", "1"},
                                                             {"Software\\A", "two", "2"},
                                                             {"Software\\A", "three", "\xff"}}));
  EXPECT_FALSE(fs::exists(path_));
  ASSERT_EQ(kRegistryOk, registry->SetStrings({{"Software\\A", "one", "1"}}));
  EXPECT_EQ(kRegistryInvalidParameter,
            registry->SetStrings({{"Software\\A", "one", "changed"}, {"Software\\\\B", "x", "y"}}));
  EXPECT_EQ("1", Read("Software\\A", "one"));
}

TEST_F(RegistryTest, SubkeysEnumerateInTheOrderOfTheirUpperCasedNames) {
  auto registry = Open();
  for (const char* name : {"b", "_x", "9.0", "A", "10.0"}) {
    ASSERT_EQ(kRegistryOk,
              registry->SetStrings({{std::string("Root\\") + name + "\\Leaf", "v", "1"}}));
  }
  std::vector<std::string> names;
  std::string name;
  uint32_t index = 0;
  for (; registry->EnumKey("ROOT", index, 256, &name) == kRegistryOk; ++index)
    names.push_back(name);
  EXPECT_EQ((std::vector<std::string>{"10.0", "9.0", "A", "b", "_x"}), names);
  EXPECT_EQ(kRegistryNoMoreItems, registry->EnumKey("Root", 5, 256, &name));
  EXPECT_EQ(kRegistryMoreData, registry->EnumKey("Root", 0, 4, &name));
  EXPECT_EQ(kRegistryOk, registry->EnumKey("Root", 0, 5, &name));
  EXPECT_EQ(kRegistryNoMoreItems, registry->EnumKey("Root\\A\\Leaf", 0, 256, &name));
  EXPECT_EQ(kRegistryNotFound, registry->EnumKey("Elsewhere", 0, 256, &name));
}

TEST_F(RegistryTest, DeletingAValueKeepsItsKeyAndTheOtherValues) {
  auto registry = Open();
  ASSERT_EQ(kRegistryOk,
            registry->SetStrings({{"K", "a", "1"}, {"K", "b", "2"}, {"K\\Sub", "c", "3"}}));
  EXPECT_EQ(kRegistryOk, registry->DeleteValue("k", "A"));
  EXPECT_EQ("<error 2>", Read("K", "a"));
  EXPECT_EQ("2", Read("K", "b"));
  EXPECT_EQ(kRegistryOk, registry->DeleteValue("K", "b"));
  EXPECT_EQ(kRegistryOk, Open()->OpenKey("K"));
  EXPECT_EQ("3", Read("K\\Sub", "c"));

  const ino_t inode = Inode(path_);
  EXPECT_EQ(kRegistryNotFound, registry->DeleteValue("K", "b"));
  EXPECT_EQ(kRegistryNotFound, registry->DeleteValue("Nowhere", "b"));
  EXPECT_EQ(inode, Inode(path_)) << "a failed delete rewrote the file";
}

TEST_F(RegistryTest, OnlyAnEmptyKeyIsDeleted) {
  auto registry = Open();
  ASSERT_EQ(kRegistryOk, registry->SetStrings({{"Maker\\Product", "a", "1"},
                                               {"Maker\\Other\\Deep", "", "default"},
                                               {"Maker\\Empty\\Leaf", "b", "2"}}));
  ASSERT_EQ(kRegistryOk, registry->DeleteValue("Maker\\Empty\\Leaf", "b"));
  const ino_t inode = Inode(path_);
  // A value, a default value or a subkey keeps a key.
  EXPECT_EQ(kRegistryKeyNotEmpty, registry->DeleteKey("maker\\PRODUCT"));
  EXPECT_EQ(kRegistryKeyNotEmpty, registry->DeleteKey("Maker\\Other\\Deep"));
  EXPECT_EQ(kRegistryKeyNotEmpty, registry->DeleteKey("Maker\\Empty"));
  EXPECT_EQ(kRegistryNotFound, registry->DeleteKey("Maker\\Missing"));
  EXPECT_EQ(kRegistryInvalidParameter, registry->DeleteKey(""));
  EXPECT_EQ(inode, Inode(path_)) << "a refused delete rewrote the file";

  EXPECT_EQ(kRegistryOk, registry->DeleteKey("Maker\\Empty\\Leaf"));
  EXPECT_EQ(kRegistryNotFound, Open()->OpenKey("Maker\\Empty\\Leaf"));
  EXPECT_EQ(kRegistryOk, registry->DeleteKey("Maker\\Empty"));
  EXPECT_EQ(kRegistryNotFound, Open()->OpenKey("Maker\\Empty"));
  EXPECT_EQ("1", Read("Maker\\Product", "a"));
  EXPECT_EQ("default", Read("Maker\\Other\\Deep", ""));
  EXPECT_EQ(std::string::npos, test::ReadFile(path_).find("Empty"));
}

TEST_F(RegistryTest, AChangeReplacesTheFileWholeKeepingModeCommentsAndLinks) {
  test::WriteFile(path_,
                  "\xEF\xBB\xBF; written by hand\r\n[Keep]\r\nold = value ; not a comment\r\n\r\n");
  ASSERT_EQ(0, chmod(path_.c_str(), 0640));
  const ino_t inode = Inode(path_);
  EXPECT_EQ("value ; not a comment", Read("keep", "OLD"));
  ASSERT_EQ(kRegistryOk, Open()->SetStrings({{"Keep", "new", "1"}}));
  EXPECT_NE(inode, Inode(path_));
  struct stat st {};
  ASSERT_EQ(0, stat(path_.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_NE(std::string::npos, test::ReadFile(path_).find("; written by hand"));
  EXPECT_EQ("value ; not a comment", Read("Keep", "old"));
  for (const auto& entry : fs::directory_iterator(env_.root())) {
    EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".tw-")) << entry.path();
  }

  // A registry file reached through a link is changed where it lies.
  const std::string real = env_.Path("real.ini");
  const std::string link = env_.Path("link.ini");
  test::WriteFile(real, "[A]\nx=1\n");
  ASSERT_EQ(0, symlink(real.c_str(), link.c_str()));
  ASSERT_EQ(kRegistryOk, OpenRegistryFile(link)->SetStrings({{"A", "y", "2"}}));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_NE(std::string::npos, test::ReadFile(real).find("y=2"));

  // Missing folders are made, private to the user.
  const std::string nested = env_.Path("new/deeper/registry.ini");
  ASSERT_EQ(kRegistryOk, OpenRegistryFile(nested)->SetStrings({{"A", "x", "1"}}));
  ASSERT_EQ(0, stat(env_.Path("new/deeper").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 07777);
}

TEST_F(RegistryTest, AReadOnlyFileIsReadButNeverChanged) {
  ASSERT_EQ(kRegistryOk, Open()->SetStrings({{"K", "v", "1"}}));
  ASSERT_EQ(0, chmod(path_.c_str(), 0444));
  const std::string before = test::ReadFile(path_);
  auto registry = Open();
  EXPECT_EQ(kRegistryAccessDenied, registry->SetStrings({{"K", "v", "2"}}));
  EXPECT_NE(std::string::npos, registry->ErrorText().find("read-only")) << registry->ErrorText();
  EXPECT_EQ(kRegistryAccessDenied, registry->DeleteValue("K", "v"));
  EXPECT_EQ(before, test::ReadFile(path_));
  EXPECT_EQ("1", Read("K", "v"));
}

TEST_F(RegistryTest, AMalformedFileIsRefusedAndLeftAsItIs) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[Good]\na=1\n[unclosed\nb=2\n", "line 3"}, {"[Good] trailing words\n", "line 1"},
      {"; fine\n[G]\njust words\n", "line 3"},     {"[G]\n = no name\n", "line 2"},
      {"[G]\r\na=1\rbroken\r\n", "line 3"},        {"[G]\na=\xff\xfe\n", "UTF-8"},
      {std::string("[G]\na=b\0c\n", 10), "UTF-8"},
  };
  for (const auto& [text, where] : cases) {
    test::WriteFile(path_, text);
    auto registry = Open();
    std::string data;
    EXPECT_EQ(kRegistryCorrupt, registry->QueryString("G", "a", 100, &data)) << text;
    EXPECT_NE(std::string::npos, registry->ErrorText().find("malformed")) << registry->ErrorText();
    EXPECT_NE(std::string::npos, registry->ErrorText().find(where)) << registry->ErrorText();
    EXPECT_EQ(kRegistryCorrupt, registry->SetStrings({{"G", "a", "new"}}));
    EXPECT_EQ(kRegistryCorrupt, registry->DeleteValue("G", "a"));
    EXPECT_EQ(text, test::ReadFile(path_));
  }
  // Escaped brackets and comments after a header are well-formed.
  test::WriteFile(path_, "[A\\]B] ; comment\nx\\=y = 1\n#c\n");
  EXPECT_EQ("1", Read("A]B", "x=y"));
}

// Text that would make wxFileConfig recurse too deep or build groups and
// values without end is refused like any malformed file, before it is
// parsed, and stays as it was; keys that deep are not written either.
TEST_F(RegistryTest, DeepOrHugeFilesAreRefusedBeforeTheyAreParsed) {
  std::string deep = "[";
  for (int i = 0; i < 100000; ++i) deep += "g/";
  deep += "]\na=1\n";
  std::string many_groups;
  for (int i = 0; i < 20000; ++i) many_groups += "[G" + std::to_string(i) + "]\n";
  std::string many_values = "[G]\n";
  for (int i = 200000; i > 0; --i) many_values += "v" + std::to_string(i) + "=1\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {deep, "nested 100000 deep"},
      {many_groups, "line 10001: more than 10000 groups"},
      {many_values, "line 100002: more than 100000 values"},
  };
  for (const auto& [text, reason] : cases) {
    test::WriteFile(path_, text);
    auto registry = Open();
    std::string data;
    EXPECT_EQ(kRegistryCorrupt, registry->QueryString("G", "a", 100, &data));
    EXPECT_NE(std::string::npos, registry->ErrorText().find(reason)) << registry->ErrorText();
    EXPECT_EQ(kRegistryCorrupt, registry->SetStrings({{"G", "a", "new"}}));
    EXPECT_TRUE(text == test::ReadFile(path_));
  }

  // At the limits the file is read.
  std::string key = "K";
  std::string header = "[K";
  for (int i = 1; i < 64; ++i) {
    key += "\\K";
    header += "/K";
  }
  test::WriteFile(path_, header + "]\nv=deepest\n");
  EXPECT_EQ("deepest", Read(key, "v"));
  EXPECT_EQ(kRegistryInvalidParameter, Open()->SetStrings({{key + "\\K", "v", "1"}}));
}

TEST_F(RegistryTest, AnUnreadableFileIsReportedNotReplaced) {
  ASSERT_EQ(0, mkdir(path_.c_str(), 0700));
  auto registry = Open();
  std::string data;
  EXPECT_EQ(kRegistryIoFailed, registry->QueryString("K", "v", 100, &data));
  EXPECT_NE(std::string::npos, registry->ErrorText().find("not a regular file"));
  EXPECT_EQ(kRegistryIoFailed, registry->SetStrings({{"K", "v", "1"}}));
  EXPECT_TRUE(fs::is_directory(path_));

  // No folder to hold the file at all.
  test::WriteFile(env_.Path("plain"), "");
  auto orphan = OpenRegistryFile(env_.Path("plain/registry.ini"));
  EXPECT_NE(kRegistryOk, orphan->SetStrings({{"K", "v", "1"}}));
  EXPECT_NE("", orphan->ErrorText());
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kValues = 15;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      auto registry = Open();
      for (int i = 0; i < kValues; ++i) {
        const std::string name = std::to_string(t) + "-" + std::to_string(i);
        EXPECT_EQ(kRegistryOk, registry->SetStrings({{"Shared", name, name}}))
            << registry->ErrorText();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kValues; ++i) {
      const std::string name = std::to_string(t) + "-" + std::to_string(i);
      EXPECT_EQ(name, Read("Shared", name));
    }
  }
}

TEST_F(RegistryTest, AWriterWaitsWhileAnotherProcessHoldsTheWritersLock) {
  ASSERT_EQ(kRegistryOk, Open()->SetStrings({{"K", "v", "1"}}));
  // Another writer, as another process holds it: its own open of the lock file.
  const int other = open((path_ + ".lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(0, flock(other, LOCK_EX));
  const std::string before = test::ReadFile(path_);
  std::thread writer([this] { EXPECT_EQ(kRegistryOk, Open()->SetStrings({{"K", "v", "2"}})); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(before, test::ReadFile(path_)) << "written while another writer held the lock";
  close(other);
  writer.join();
  EXPECT_EQ("2", Read("K", "v"));
}

}  // namespace
}  // namespace tw
