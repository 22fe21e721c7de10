// The Windows forms of the platform seam against the real system: mailslots,
// shared blocks, the recipient table, the registry, files and their
// attributes, narrow names in the ANSI code page, the runtime folder's
// owner and access list, identifiers, random bytes, junctions and the
// system factory.
// Every test works in its own temporary folder and under names of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/file_attributes.h"
#include "platform/file_move.h"
#include "platform/file_replace.h"
#include "platform/guid.h"
#include "platform/junction.h"
#include "platform/letter_case.h"
#include "platform/mailslot.h"
#include "platform/native_text.h"
#include "platform/path.h"
#include "platform/process.h"
#include "platform/random.h"
#include "platform/recipient_table.h"
#include "platform/registry.h"
#include "platform/runtime_dir.h"
#include "platform/shared_block.h"
#include "platform/small_file.h"
#include "platform/sync.h"
#include "platform/system_factory.h"
#include "settings/new_store_record.h"
#include "ui/record.h"
#include "ui/terminal.h"

// clang-format off
#include "platform/win32/win32_util.h"  // <windows.h> first
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>
// clang-format on

namespace tw {
namespace {

std::string UniqueName(const char* what) {
  return std::string("tw-test-") + what + "-" + Guid::New().ToHexName();
}

// A fresh folder under the system's temporary folder, removed with its
// files at the end.
class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    path_ = win32::Narrow(base) + UniqueName("dir");
    CreateDirectoryW(win32::Wide(path_).c_str(), nullptr);
  }
  ~TempFolder() {
    std::wstring from = win32::Wide(path_);
    from.push_back(L'\0');  // the list ends with an empty name
    SHFILEOPSTRUCTW op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NO_UI;
    SHFileOperationW(&op);
  }
  std::string File(const std::string& name) const { return path_ + "\\" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadAll(const std::string& path) {
  std::unique_ptr<FileObject> f = NewLocalFile();
  if (!f->Open(path, FileObject::kRead, FILE_SHARE_READ, FileObject::kOpenExisting, 0)) {
    return "<none>";
  }
  std::string out;
  char buffer[256];
  uint32_t n = 0;
  while (f->Read(buffer, sizeof buffer, &n)) out.append(buffer, n);
  return out;
}

void WriteAll(const std::string& path, const std::string& text) {
  std::unique_ptr<FileObject> f = NewLocalFile();
  ASSERT_TRUE(f->Open(path, FileObject::kWrite, 0, FileObject::kCreateAlways, 0));
  uint32_t n = 0;
  ASSERT_TRUE(f->Write(text.data(), static_cast<uint32_t>(text.size()), &n));
  f->Close();
}

TEST(Win32Mailslot, CarriesWholeMessagesAndReportsTheQueue) {
  const std::string name = UniqueName("slot");
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create(name, 65535, 0)) << reader->ErrorText();
  EXPECT_TRUE(MailslotIsAlive(name));
  EXPECT_EQ(kMailslotNoMessage, reader->NextMessageSize());

  auto writer = NewMailslotWriter();
  ASSERT_TRUE(writer->Open(".", name)) << writer->ErrorText();
  uint32_t written = 0;
  ASSERT_TRUE(writer->Write("hello", 5, &written));
  EXPECT_EQ(5u, written);
  const std::string big(60000, 'x');
  ASSERT_TRUE(writer->Write(big.data(), static_cast<uint32_t>(big.size()), &written));

  // Windows counts both; Wine reports whether any is there.
  EXPECT_GE(reader->MessageCount(), 1u);
  EXPECT_EQ(5u, reader->NextMessageSize());
  char small[2];
  uint32_t count = 0;
  EXPECT_FALSE(reader->Read(small, sizeof small, &count)) << "a short buffer leaves it queued";
  EXPECT_EQ(5u, count);
  char buffer[65536];
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, &count));
  EXPECT_EQ("hello", std::string(buffer, count));
  ASSERT_TRUE(reader->Read(buffer, sizeof buffer, &count));
  ASSERT_EQ(big.size(), count);
  EXPECT_EQ(0, std::memcmp(buffer, big.data(), count));
  EXPECT_FALSE(reader->HasMessage());
  EXPECT_FALSE(reader->Read(buffer, sizeof buffer, &count)) << "time-out 0 does not wait";

  // Writers open, write and close per message; once the reader has gone
  // too, the mailslot is gone.
  writer->Close();
  reader->Close();
  EXPECT_FALSE(MailslotIsAlive(name));
  EXPECT_FALSE(writer->Open(".", name));
}

TEST(Win32Mailslot, RefusesAbsentReadersAndOtherComputers) {
  auto writer = NewMailslotWriter();
  EXPECT_FALSE(writer->Open(".", UniqueName("nobody")));
  EXPECT_FALSE(writer->IsOpen());
  EXPECT_FALSE(writer->Open("elsewhere", "x"));
  auto reader = NewMailslotReader();
  const std::string name = UniqueName("twice");
  ASSERT_TRUE(reader->Create(name, 0, 0));
  EXPECT_FALSE(NewMailslotReader()->Create(name, 0, 0)) << "one reader per mailslot";
}

// A name from a peer is pasted into "\\.\mailslot\<name>": one that the
// system's path rules would lead elsewhere is refused before any call.
TEST(Win32Mailslot, RefusesNamesThatLeaveTheMailslotNamespace) {
  const std::vector<std::string> names = {
      "..\\..\\pipe\\x", "a/b", "c:x", "\\\\host\\share", "x y", "a.b", std::string(129, 'a')};
  for (const std::string& name : names) {
    auto writer = NewMailslotWriter();
    EXPECT_FALSE(writer->Open(".", name)) << name;
    EXPECT_NE(std::string::npos, writer->ErrorText().find("refused mailslot name")) << name;
    EXPECT_FALSE(NewMailslotReader()->Create(name, 0, 0)) << name;
    EXPECT_FALSE(MailslotIsAlive(name)) << name;
  }
  auto reader = NewMailslotReader();
  EXPECT_TRUE(reader->Create(Guid::New().ToText(), 0, 0)) << reader->ErrorText();
}

TEST(Win32Mailslot, ReadWaitsForTheTimeOut) {
  const std::string name = UniqueName("wait");
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create(name, 0, 5000));
  std::thread late([&name] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto writer = NewMailslotWriter();
    if (writer->Open(".", name)) writer->Write("late", 4, nullptr);
  });
  char buffer[16];
  uint32_t count = 0;
  EXPECT_TRUE(reader->Read(buffer, sizeof buffer, &count));
  EXPECT_EQ("late", std::string(buffer, count));
  late.join();
}

TEST(Win32SharedBlock, SecondHolderSeesTheFirstSize) {
  EXPECT_EQ("Global\\", SharedObjectPrefix(5));
  EXPECT_EQ("", SharedObjectPrefix(4));
  const std::string name = UniqueName("block");
  SharedBlock first(name, 64);
  ASSERT_TRUE(first.IsValid());
  EXPECT_FALSE(first.ExistedBefore());
  SharedBlock second(name, 16);
  ASSERT_TRUE(second.IsValid());
  EXPECT_TRUE(second.ExistedBefore());
  EXPECT_EQ(64u, second.Size());
  SharedBlock opened(name, 0);
  EXPECT_EQ(64u, opened.Size());

  char* data = static_cast<char*>(first.Lock(1000));
  ASSERT_NE(nullptr, data);
  ASSERT_NE(nullptr, first.Lock(0)) << "recursive for its owner";
  std::strcpy(data, "shared");
  first.Unlock();
  first.Unlock();
  char* seen = static_cast<char*>(second.Lock(1000));
  ASSERT_NE(nullptr, seen);
  EXPECT_STREQ("shared", seen);
  second.Unlock();

  EXPECT_FALSE(SharedBlock(UniqueName("absent"), 0).IsValid());
}

TEST(Win32SharedBlock, LockTimesOutWhileAnotherThreadHoldsIt) {
  const std::string name = UniqueName("held");
  SharedBlock block(name, 8);
  ASSERT_NE(nullptr, block.Lock(1000));
  void* other = &block;
  std::thread([&] { other = SharedBlock(name, 0).Lock(20); }).join();
  EXPECT_EQ(nullptr, other);
  block.Unlock();
}

TEST(Win32RecipientTable, FindsOnlyLiveRecipients) {
  const std::string recipient = UniqueName("recipient");
  const std::string slot = UniqueName("rslot");
  std::string found, error;
  EXPECT_FALSE(LookupRecipient(recipient, &found));
  auto reader = NewMailslotReader();
  ASSERT_TRUE(reader->Create(slot, 0, 0));
  {
    RecipientRegistration registration;
    ASSERT_TRUE(registration.Register(recipient, slot, &error)) << error;
    ASSERT_TRUE(LookupRecipient(recipient, &found));
    EXPECT_EQ(slot, found);
    reader->Close();
    EXPECT_FALSE(LookupRecipient(recipient, &found)) << "its mailslot is gone";
    ASSERT_TRUE(reader->Create(slot, 0, 0));
  }
  EXPECT_FALSE(LookupRecipient(recipient, &found)) << "unregistered";
}

TEST(Win32Registry, WritesReadsEnumeratesAndDeletes) {
  auto registry = OpenMachineRegistry();
  EXPECT_EQ("HKEY_LOCAL_MACHINE", registry->Location());
  const std::string key = "SOFTWARE\\VeltraneTest\\" + UniqueName("key");
  ASSERT_EQ(kRegistryOk, registry->SetStrings(
                             {{key, "SCCServerName", "Veltrane"}, {key + "\\Sub", "", "default"}}))
      << registry->ErrorText();
  std::string data;
  ASSERT_EQ(kRegistryOk, registry->QueryString(key, "sccservername", 64, &data));
  EXPECT_EQ("Veltrane", data);
  EXPECT_EQ(kRegistryMoreData, registry->QueryString(key, "SCCServerName", 8, &data));
  EXPECT_EQ(kRegistryOk, registry->QueryString(key + "\\Sub", "", 64, &data));
  EXPECT_EQ("default", data);
  std::string sub;
  EXPECT_EQ(kRegistryOk, registry->EnumKey(key, 0, 64, &sub));
  EXPECT_EQ("Sub", sub);
  EXPECT_EQ(kRegistryNoMoreItems, registry->EnumKey(key, 1, 64, &sub));
  EXPECT_EQ(kRegistryOk, registry->DeleteValue(key, "SCCServerName"));
  EXPECT_EQ(kRegistryNotFound, registry->QueryString(key, "SCCServerName", 64, &data));
  EXPECT_EQ(kRegistryOk, registry->OpenKey(key)) << "the key stays";
  EXPECT_EQ(kRegistryNotFound, registry->OpenKey(key + "\\Missing"));
  EXPECT_FALSE(registry->ErrorText().empty());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, win32::Wide("SOFTWARE\\VeltraneTest").c_str());
}

TEST(Win32Registry, OnlyAnEmptyKeyIsDeleted) {
  auto registry = OpenMachineRegistry();
  const std::string key = "SOFTWARE\\VeltraneTest\\" + UniqueName("key");
  ASSERT_EQ(kRegistryOk, registry->SetStrings({{key, "a", "1"},
                                               {key + "\\Default", "", "default"},
                                               {key + "\\Empty\\Leaf", "b", "2"}}))
      << registry->ErrorText();
  ASSERT_EQ(kRegistryOk, registry->DeleteValue(key + "\\Empty\\Leaf", "b"));
  EXPECT_EQ(kRegistryKeyNotEmpty, registry->DeleteKey(key + "\\Default"));
  EXPECT_EQ(kRegistryKeyNotEmpty, registry->DeleteKey(key + "\\Empty"));
  EXPECT_EQ(kRegistryNotFound, registry->DeleteKey(key + "\\Missing"));
  EXPECT_EQ(kRegistryOk, registry->DeleteKey(key + "\\Empty\\Leaf")) << registry->ErrorText();
  EXPECT_EQ(kRegistryOk, registry->DeleteKey(key + "\\Empty")) << registry->ErrorText();
  EXPECT_EQ(kRegistryNotFound, registry->OpenKey(key + "\\Empty"));
  std::string data;
  EXPECT_EQ(kRegistryOk, registry->QueryString(key + "\\Default", "", 64, &data));
  EXPECT_EQ(kRegistryOk, registry->DeleteValue(key + "\\Default", ""));
  EXPECT_EQ(kRegistryOk, registry->DeleteKey(key + "\\Default"));
  EXPECT_EQ(kRegistryKeyNotEmpty, registry->DeleteKey(key)) << "the value a keeps it";
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, win32::Wide("SOFTWARE\\VeltraneTest").c_str());
}

TEST(Win32File, ReadsWritesSeeksAndStampsTheLastWriteTime) {
  TempFolder dir;
  const std::string path = dir.File("a.txt");
  std::unique_ptr<FileObject> f = NewLocalFile();
  EXPECT_FALSE(f->SetModifiedTime(DateTime::FromMilliseconds(0))) << "no file open";
  ASSERT_TRUE(f->Open(path, FileObject::kRead | FileObject::kWrite, 0, FileObject::kCreateNew, 0));
  uint32_t n = 0;
  ASSERT_TRUE(f->Write("0123456789", 10, &n));
  EXPECT_EQ(10, f->Size());
  EXPECT_EQ(4, f->Seek(4, FileObject::kBegin));
  EXPECT_EQ('4', f->ReadByte());
  EXPECT_EQ(5, f->Tell()) << "Size keeps the position";
  EXPECT_EQ(10, f->Seek(0, FileObject::kEnd));
  char c;
  EXPECT_FALSE(f->Read(&c, 1, &n));
  EXPECT_TRUE(f->IsEndOfFile());
  // 2005-03-07 14:05:09.120 UTC
  EXPECT_TRUE(f->SetModifiedTime(DateTime::FromMilliseconds(1110204309120)));
  f->Close();
  int64_t seconds = 0;
  ASSERT_TRUE(LocalFileModifiedSeconds(path, &seconds));
  EXPECT_EQ(1110204309, seconds);
  EXPECT_FALSE(NewLocalFile()->Open(path, FileObject::kWrite, 0, FileObject::kCreateNew, 0));
}

TEST(Win32File, ReadOnlyAttributeMoveAndReplace) {
  TempFolder dir;
  const std::string target = dir.File("work.c");
  WriteAll(target, "old");
  EXPECT_TRUE(LocalFileExists(target));
  EXPECT_FALSE(LocalFileExists(dir.path())) << "a folder is no file";
  ASSERT_TRUE(SetLocalFileReadOnly(target, true));
  EXPECT_TRUE(GetFileAttributesW(win32::Wide(target).c_str()) & FILE_ATTRIBUTE_READONLY);
  // The mode a replacing file takes over is the read-only attribute.
  uint32_t mode = 0;
  ASSERT_TRUE(ReadLocalFileMode(target, &mode));
  EXPECT_EQ(0444u, mode);

  const std::string received = dir.File("CRL1.tmp");
  WriteAll(received, "new contents");
  std::string error;
  ASSERT_TRUE(MoveFileReplacing(received, target, &error)) << error;
  EXPECT_EQ("new contents", ReadAll(target));
  EXPECT_FALSE(GetFileAttributesW(win32::Wide(target).c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(LocalFileExists(received));
  EXPECT_FALSE(MoveFileReplacing(received, target, &error));
  EXPECT_FALSE(error.empty());

  ASSERT_TRUE(SetLocalFileMode(target, mode));
  EXPECT_TRUE(GetFileAttributesW(win32::Wide(target).c_str()) & FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(SetLocalFileMode(target, 0644));
  EXPECT_FALSE(GetFileAttributesW(win32::Wide(target).c_str()) & FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(SetLocalFileReadOnly(target, false));
  EXPECT_FALSE(GetFileAttributesW(win32::Wide(target).c_str()) & FILE_ATTRIBUTE_READONLY);
  ASSERT_EQ(0, ReplaceFileWhole(target, "whole", -1, &error)) << error;
  EXPECT_EQ("whole", ReadAll(target));

  const std::string canonical = CanonicalLocalPath(dir.File("a\\..\\work.c"));
  EXPECT_EQ("work.c", canonical.substr(canonical.size() - 6));
  EXPECT_EQ(std::string::npos, canonical.find("..")) << canonical;
  EXPECT_EQ("", CanonicalLocalPath(dir.File("missing")));
  EXPECT_TRUE(RemoveLocalFile(target));
  EXPECT_FALSE(LocalPathExists(target));
  EXPECT_FALSE(RemoveLocalFile(target));
  EXPECT_TRUE(MakeLocalDirectories(dir.File("a\\b/c"), 0700));
  EXPECT_TRUE(LocalPathExists(dir.File("a\\b\\c")));
  EXPECT_FALSE(RemoveLocalFile(dir.File("a"))) << "a folder is no file";
}

TEST(Win32File, CopyReplacingLeavesAWritableCopyAndNoSideFile) {
  TempFolder dir;
  const std::string from = dir.File("from.txt");
  const std::string to = dir.File("to.txt");
  WriteAll(from, "fresh");
  WriteAll(to, "stale");
  ASSERT_TRUE(SetLocalFileReadOnly(from, true));
  ASSERT_TRUE(SetLocalFileReadOnly(to, true));
  std::string error;
  ASSERT_TRUE(CopyFileReplacing(from, to, &error)) << error;
  EXPECT_EQ("fresh", ReadAll(to));
  EXPECT_EQ("fresh", ReadAll(from));
  EXPECT_FALSE(GetFileAttributesW(win32::Wide(to).c_str()) & FILE_ATTRIBUTE_READONLY);
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(win32::Wide(dir.File("*")).c_str(), &entry);
  int files = 0;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++files;
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  EXPECT_EQ(2, files) << "no copy is left beside the target";
  EXPECT_FALSE(CopyFileReplacing(dir.File("missing"), to, &error));
  EXPECT_EQ("fresh", ReadAll(to));

  EXPECT_FALSE(SetLocalFileReadOnly(dir.path(), true, &error));
  EXPECT_NE(std::string::npos, error.find("folder")) << error;
  uint64_t available = 0, total = 0;
  ASSERT_TRUE(DiskSpace(dir.path(), &available, &total));
  EXPECT_GT(total, 0u);
  EXPECT_LE(available, total);
}

// Appending without following links writes only to the file the name
// itself gives: a symbolic link in its place is refused and what it leads
// to stays as it was; following links, the text arrives there.
TEST(Win32SmallFile, AppendingWithoutFollowingLinksRefusesALink) {
  TempFolder dir;
  std::string error;
  const std::string plain = dir.File("plain.log");
  EXPECT_TRUE(AppendToFile(plain, "one\n", &error, /*follow_links=*/false)) << error;
  EXPECT_TRUE(AppendToFile(plain, "two\n", &error, /*follow_links=*/false)) << error;
  EXPECT_EQ("one\ntwo\n", ReadAll(plain));
  EXPECT_FALSE(AppendToFile("NUL", "x", &error)) << "a device is no regular file";

  const std::string target = dir.File("elsewhere.txt");
  const std::string log = dir.File("update.log");
  WriteAll(target, "kept");
  if (!CreateSymbolicLinkW(win32::Wide(log).c_str(), win32::Wide(target).c_str(),
                           SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
    GTEST_SKIP() << "no symbolic link can be made here: " << win32::SystemMessage(GetLastError());
  }
  // Some systems that run Windows programs make such a link without a
  // reparse point behind it; there is nothing to refuse then.
  const DWORD attributes = GetFileAttributesW(win32::Wide(log).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    GTEST_SKIP() << "this system's symbolic links are no reparse points";
  }
  EXPECT_FALSE(AppendToFile(log, "forged\n", &error, /*follow_links=*/false));
  EXPECT_NE(std::string::npos, error.find("symbolic link")) << error;
  EXPECT_EQ("kept", ReadAll(target));
  EXPECT_TRUE(AppendToFile(log, "!", &error)) << error;
  EXPECT_EQ("kept!", ReadAll(target));
}

// TWPMSvr makes a store only of an empty file that a client recorded as
// made for one: the record names the very file, and goes when dropped.
TEST(Win32RuntimeFolder, NewStoreRecordsNameTheirFile) {
  TempFolder dir;
  const std::string runtime = dir.File("runtime");
  _putenv_s("VELTRANE_RUNTIME_DIR", runtime.c_str());
  std::string folder, error;
  bool absent = false;
  EXPECT_FALSE(RuntimeSubdirectory("new-stores", false, &folder, &error, &absent));
  EXPECT_TRUE(absent);

  const std::string made = dir.File("user.dat");
  const std::string other = dir.File("other.dat");
  WriteAll(made, "");
  WriteAll(other, "");
  ASSERT_TRUE(RecordNewStoreFile(made));
  const int fd = _wopen(win32::Wide(made).c_str(), _O_RDONLY);
  const int other_fd = _wopen(win32::Wide(other).c_str(), _O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_GE(other_fd, 0);
  EXPECT_TRUE(HasNewStoreRecord(runtime, fd));
  EXPECT_FALSE(HasNewStoreRecord(runtime, other_fd)) << "another empty file is not recorded";
  DropNewStoreRecord(runtime, fd);
  EXPECT_FALSE(HasNewStoreRecord(runtime, fd));
  _close(fd);
  _close(other_fd);
  _putenv_s("VELTRANE_RUNTIME_DIR", "");
}

// Sets an environment variable for the test's scope (the C runtime's copy
// and the process's own), then clears it.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
    _putenv_s(name, value.c_str());
  }
  ~ScopedEnvironment() { _putenv_s(name_, ""); }

 private:
  const char* name_;
};

// A narrow name is in the ANSI code page, as the host's own A functions
// take it: "caf\xE9.txt" from a host in code page 1252 is the file whose
// UTF-16 name holds U+00E9, and the seam hands the name back as it came.
TEST(Win32NarrowText, NamesAreInTheAnsiCodePage) {
  const UINT acp = GetACP();
  CPINFO info = {};
  ASSERT_TRUE(GetCPInfo(CP_ACP, &info));
  if (acp == CP_UTF8 || info.MaxCharSize > 1) {
    GTEST_SKIP() << "the ANSI code page is " << acp
                 << ", a multi-byte one: a lone byte 0xE9 is no character there, so the "
                    "single-byte names of this test cannot be checked";
  }
  TempFolder dir;
  const std::string name = "caf\xE9.txt";
  const std::string path = dir.File(name);
  WriteAll(path, "x");

  // The host's own A functions find it under the same bytes.
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW(win32::Wide(dir.File("*.txt")).c_str(), &entry);
  ASSERT_NE(INVALID_HANDLE_VALUE, find);
  const std::wstring found = entry.cFileName;
  FindClose(find);
  if (acp == 1252) {
    EXPECT_EQ(L"caf\u00E9.txt", found);
  }
  EXPECT_EQ(name, win32::Narrow(found)) << "the name comes back as the host gave it";

  EXPECT_TRUE(LocalFileExists(path));
  const std::string canonical = CanonicalLocalPath(path);
  ASSERT_GE(canonical.size(), name.size());
  EXPECT_EQ(name, canonical.substr(canonical.size() - name.size()));
  ASSERT_TRUE(SetLocalFileReadOnly(path, true));
  const std::wstring wide_path = win32::Wide(dir.path()) + L"\\" + found;
  EXPECT_TRUE(GetFileAttributesW(wide_path.c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(path, FsText(FsPath(path)));
  EXPECT_EQ(wide_path, FsPath(path).native());
  ASSERT_TRUE(SetLocalFileReadOnly(path, false));
  EXPECT_FALSE(GetFileAttributesW(wide_path.c_str()) & FILE_ATTRIBUTE_READONLY);

  if (acp == 1252) {
    // A character the code page lacks is "?", never a look-alike that
    // could name another file ("\u0100" is no "A").
    EXPECT_EQ("?.txt", win32::Narrow(std::wstring(L"\u0100.txt")));
    // A path the system hands back with such a character (a temporary
    // folder under a user name the code page lacks) is given in its short
    // form, which still names the file.
    const std::wstring odd = win32::Wide(dir.path()) + L"\\\u0100 long folder name";
    ASSERT_TRUE(CreateDirectoryW(odd.c_str(), nullptr));
    ASSERT_TRUE(CloseHandle(CreateFileW((odd + L"\\f.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_NEW, 0, nullptr)));
    wchar_t short_form[MAX_PATH + 1];
    const DWORD n = GetShortPathNameW(odd.c_str(), short_form, MAX_PATH + 1);
    if (n == 0 || std::wstring(short_form, n) == odd) {
      std::printf("note: this volume keeps no short names: a path outside the code page is lost\n");
    } else {
      const std::string narrow = win32::NarrowPath(odd + L"\\f.txt");
      EXPECT_EQ(std::string::npos, narrow.find('?')) << narrow;
      EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(narrow.c_str())) << narrow;
      EXPECT_TRUE(LocalFileExists(narrow)) << narrow;
    }
    EXPECT_EQ(path, win32::NarrowPath(win32::Wide(path))) << "a name in the code page stays long";

    // JSON is UTF-8 whatever the code page; a terminal gets the text in the
    // code page it came in.
    EXPECT_EQ("\"caf\xC3\xA9\"", JsonQuote("caf\xE9"));
    EXPECT_EQ("caf\xE9", NativeFromUtf8("caf\xC3\xA9"));
    EXPECT_EQ("caf\xE9 \x80", TerminalSafeText("caf\xE9 \x80"));
    const std::string c1 = std::string("a\x81") + "b";
    EXPECT_EQ("a?b", TerminalSafeText(c1)) << "0x81 is the C1 control U+0081";
  }
}

// A machine may make UTF-8 its ANSI code page; UTF-8 (as GB18030 and the
// ISO-2022 family) takes no conversion flags, and a conversion asking for
// "no best fit" there must still give the text, not "" (which made the
// runtime folder "\\Veltrane" at the root of the drive).
TEST(Win32NarrowText, CodePagesThatTakeNoFlagsStillConvert) {
  const std::wstring cafe = L"caf\u00E9 \u0100\u4E2D.txt";
  EXPECT_EQ("caf\xC3\xA9 \xC4\x80\xE4\xB8\xAD.txt",
            win32::NarrowIn(CP_UTF8, cafe.data(), cafe.size()));
  EXPECT_EQ("", win32::NarrowIn(CP_UTF8, L"", 0));
  TempFolder dir;
  const std::wstring odd = win32::Wide(dir.path()) + L"\\\u0100\u4E2D folder";
  ASSERT_TRUE(CreateDirectoryW(odd.c_str(), nullptr));
  const std::string narrow = win32::NarrowPathIn(CP_UTF8, odd);
  EXPECT_EQ(win32::NarrowIn(CP_UTF8, odd.data(), odd.size()), narrow)
      << "every name is in UTF-8: the long form stays";
  EXPECT_EQ("", win32::NarrowPathIn(CP_UTF8, L""));
  // A single-byte code page still gives "?" for what it lacks, never a
  // look-alike.
  EXPECT_EQ("?.txt", win32::NarrowIn(1252, L"\u0100.txt", 5));
}

// The current user's SID, or nothing.
std::vector<BYTE> CurrentUser() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  std::vector<BYTE> sid;
  if (size > 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    sid.assign(static_cast<BYTE*>(user), static_cast<BYTE*>(user) + GetLengthSid(user));
  }
  CloseHandle(token);
  return sid;
}

// Whether the descriptor is owned by `user` and has a protected DACL whose
// one entry grants `user` full access, inherited by files and folders;
// otherwise what differs.
std::string NotPrivateTo(PSECURITY_DESCRIPTOR descriptor, PSID user) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || owner == nullptr ||
      !EqualSid(owner, user)) {
    return "another owner";
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
      !(control & SE_DACL_PROTECTED)) {
    return "an access list that inherits from the folder above";
  }
  BOOL present = FALSE;
  ACL* dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present ||
      dacl == nullptr) {
    return "no access list (everyone may enter)";
  }
  if (dacl->AceCount != 1) return std::to_string(dacl->AceCount) + " access entries";
  void* ace = nullptr;
  if (!GetAce(dacl, 0, &ace)) return "an unreadable access entry";
  const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
  if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
      (allowed->Mask & FILE_ALL_ACCESS) != FILE_ALL_ACCESS ||
      !EqualSid(const_cast<DWORD*>(&allowed->SidStart), user)) {
    return "an entry that is not the user's full access";
  }
  const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  if ((allowed->Header.AceFlags & inherit) != inherit)
    return "an entry the contents do not inherit";
  return "";
}

// The owner of `path` as a SID string, or "?".
std::string OwnerOf(const std::string& path) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(win32::Wide(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                            &owner, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "?";
  }
  wchar_t* text = nullptr;
  std::string out = "?";
  if (owner != nullptr && ConvertSidToStringSidW(owner, &text)) {
    out = win32::Narrow(text, wcslen(text));
    LocalFree(text);
  }
  LocalFree(descriptor);
  return out;
}

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The runtime folder is the user's own: made with a descriptor that only
// the user is on, owned by the user.
TEST(Win32RuntimeFolder, IsMadeTheUsersOwn) {
  std::vector<BYTE> user = CurrentUser();
  ASSERT_FALSE(user.empty());
  wchar_t* user_text = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(user.data(), &user_text));
  const std::string user_sid = win32::Narrow(user_text, wcslen(user_text));
  LocalFree(user_text);

  win32::PrivateFolderSecurity security(user.data());
  ASSERT_NE(nullptr, security.get());
  EXPECT_EQ("", NotPrivateTo(security.get()->lpSecurityDescriptor, user.data()));
  EXPECT_FALSE(security.get()->bInheritHandle);

  TempFolder dir;
  const std::string runtime = dir.File("runtime");
  const ScopedEnvironment scope("VELTRANE_RUNTIME_DIR", runtime);
  std::string path, error;
  ASSERT_TRUE(RuntimeDirectory(&path, &error)) << error;
  EXPECT_EQ(runtime, path);
  ASSERT_TRUE(RuntimeSubdirectory(kMailslotFolder, true, &path, &error)) << error;
  EXPECT_EQ(user_sid, OwnerOf(runtime));
  EXPECT_EQ(user_sid, OwnerOf(path));
  ASSERT_TRUE(RuntimeDirectory(&path, &error)) << "an existing folder of the user's: " << error;

  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(DWORD{ERROR_SUCCESS},
            GetNamedSecurityInfoW(win32::Wide(runtime).c_str(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, nullptr, nullptr, &descriptor));
  const std::string differs = NotPrivateTo(descriptor, user.data());
  LocalFree(descriptor);
  if (UnderWine()) {
    // Wine keeps no descriptor for a file: it reports one made from the Unix
    // owner and mode bits. The descriptor handed to the system is checked
    // above; the folder's own access list is checked on Windows only.
    std::printf("note: under Wine the folder's access list is not kept (it reports %s)\n",
                differs.empty() ? "the private one" : differs.c_str());
  } else {
    EXPECT_EQ("", differs);
  }
}

// The DACL of `path` against the private one: "" when it is private.
std::string DaclOf(const std::string& path, PSID user) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(win32::Wide(path).c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "an unreadable descriptor";
  }
  std::string differs = NotPrivateTo(descriptor, user);
  LocalFree(descriptor);
  return differs;
}

// An existing runtime folder of the user's that lets everyone in (a null
// DACL) is made private again before it is used, sub-folders too.
TEST(Win32RuntimeFolder, AnOpenFolderOfTheUsersIsMadePrivateAgain) {
  std::vector<BYTE> user = CurrentUser();
  ASSERT_FALSE(user.empty());
  TempFolder dir;
  const std::string runtime = dir.File("open");
  win32::NullDaclSecurity open;
  ASSERT_NE(nullptr, open.get());
  ASSERT_TRUE(CreateDirectoryW(win32::Wide(runtime).c_str(), open.get()));
  const std::string sub = runtime + "\\" + kMailslotFolder;
  ASSERT_TRUE(CreateDirectoryW(win32::Wide(sub).c_str(), open.get()));
  const std::string before = DaclOf(runtime, user.data());

  const ScopedEnvironment scope("VELTRANE_RUNTIME_DIR", runtime);
  std::string path, error;
  ASSERT_TRUE(RuntimeDirectory(&path, &error)) << error;
  ASSERT_TRUE(RuntimeSubdirectory(kMailslotFolder, false, &path, &error)) << error;
  EXPECT_EQ(sub, path);
  const std::string after = DaclOf(runtime, user.data());
  const std::string sub_after = DaclOf(sub, user.data());
  if (UnderWine()) {
    // Wine keeps no access list; it reports one made from the Unix mode.
    std::printf("note: under Wine an open folder reports %s before, %s / %s after\n",
                before.empty() ? "the private list" : before.c_str(),
                after.empty() ? "the private list" : after.c_str(),
                sub_after.empty() ? "the private list" : sub_after.c_str());
  } else {
    EXPECT_NE("", before) << "the folder was made open";
    EXPECT_EQ("", after);
    EXPECT_EQ("", sub_after);
  }
}

// A runtime folder owned by anyone but the user is refused, and nothing is
// made in it. Windows lets the test give a folder to SYSTEM; Wine reports a
// folder's Unix owner instead, so there scripts/test-windows (running as
// root) names a folder of another Unix user in VELTRANE_TEST_FOREIGN_FOLDER.
TEST(Win32RuntimeFolder, RefusesAFolderOfAnotherOwner) {
  TempFolder dir;
  std::string foreign = dir.File("foreign");
  ASSERT_TRUE(CreateDirectoryW(win32::Wide(foreign).c_str(), nullptr));
  PSID system = nullptr;
  ASSERT_TRUE(ConvertStringSidToSidW(L"S-1-5-18", &system));
  std::wstring wide = win32::Wide(foreign);
  SetNamedSecurityInfoW(&wide[0], SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, system, nullptr,
                        nullptr, nullptr);
  LocalFree(system);
  if (OwnerOf(foreign) != "S-1-5-18") {
    const char* given = std::getenv("VELTRANE_TEST_FOREIGN_FOLDER");
    if (given == nullptr || *given == '\0') {
      GTEST_SKIP() << "this system keeps no owner a test may give away (" << foreign << " stays "
                   << OwnerOf(foreign)
                   << "), and VELTRANE_TEST_FOREIGN_FOLDER names no folder of another user";
    }
    foreign = given;
  }
  const std::vector<BYTE> user = CurrentUser();
  wchar_t* user_text = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(const_cast<BYTE*>(user.data()), &user_text));
  const std::string user_sid = win32::Narrow(user_text, wcslen(user_text));
  LocalFree(user_text);
  const std::string owner = OwnerOf(foreign);
  ASSERT_NE(user_sid, owner) << foreign << " is the user's own";

  const ScopedEnvironment scope("VELTRANE_RUNTIME_DIR", foreign);
  std::string path, error;
  EXPECT_FALSE(RuntimeDirectory(&path, &error));
  EXPECT_NE(std::string::npos, error.find(owner)) << error;
  EXPECT_NE(std::string::npos, error.find("refused")) << error;
  error.clear();
  EXPECT_FALSE(RuntimeSubdirectory(kSharedBlockFolder, true, &path, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(LocalPathExists(foreign + "\\" + kSharedBlockFolder)) << "nothing made inside";
}

// The native form on Windows is the backslash form: a host's paths are
// joined and split as they come, and a server's name never reaches another
// drive, a stream or a parent folder.
TEST(Win32Path, NativeIsTheBackslashForm) {
  EXPECT_EQ("C:\\w\\a.txt", NativeJoin("C:\\w\\", "a.txt"));
  EXPECT_EQ("a.txt", NativeLastComponent("C:\\w\\a.txt"));
  EXPECT_EQ("C:\\w", NativeParent("C:\\w\\a.txt"));
  EXPECT_EQ("C:\\w\\src\\main.c", NativeToWire("C:/w/src\\main.c"));
  std::string native = "untouched";
  ASSERT_TRUE(WireToNative("src\\main.c", &native));
  EXPECT_EQ("src\\main.c", native);
  for (const char* bad :
       {"C:main.c", "src\\a.txt:stream", "..\\a", "a\\..\\..\\b", "a/b", "\\a", "/a", "a\\\\b"}) {
    native = "untouched";
    EXPECT_FALSE(WireToNative(bad, &native)) << bad;
    EXPECT_EQ("untouched", native) << bad;
  }
}

// The client is started only from a full path: a drive letter's or a
// share's, never one that depends on the current folder or drive.
TEST(Win32Path, FullPathsNameADriveOrAShare) {
  for (const char* full : {"C:\\Program Files\\Veltrane\\ZORadevu.exe", "C:/Veltrane/ZORadevu.exe",
                           "\\\\server\\share\\ZORadevu.exe"}) {
    EXPECT_TRUE(IsFullNativePath(full)) << full;
  }
  for (const char* partial : {"ZORadevu.exe", "C:ZORadevu.exe", "\\Veltrane\\ZORadevu.exe",
                              "/opt/veltrane/ZORadevu", "\\\\.\\C:\\ZORadevu.exe"}) {
    EXPECT_FALSE(IsFullNativePath(partial)) << partial;
  }
  // The system's own temporary folder is a full path.
  TempFolder dir;
  EXPECT_TRUE(IsFullNativePath(dir.path()));
}

// A server's name that Windows would read as another file or as a device
// is refused, not written: "a.txt." would be written to "a.txt", "nul.txt"
// to the null device, "con" would read the console.
// The C runtime's letter case follows setlocale, and a host may set one
// where "\xe9" has an upper case; the system's keys keep their form.
TEST(Win32Path, LetterCaseIgnoresTheLocale) {
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = current != nullptr ? current : "C";
  if (std::setlocale(LC_CTYPE, ".1252") == nullptr) GTEST_SKIP() << "no code page 1252 locale";
  const std::string upper = UpperCase("a\xe9z");
  const bool equal = EqualIgnoringCase("\xe9", "\xc9");
  std::setlocale(LC_CTYPE, saved.c_str());
  EXPECT_EQ("A\xe9Z", upper);
  EXPECT_FALSE(equal);
}

TEST(Win32Path, RefusesNamesWindowsReadsAsAnotherFileOrADevice) {
  for (const char* bad :
       {"a.txt.",  "src\\a.txt ", "dir.\\a", "dir \\a",  "CON",     "con.txt",  "src\\Nul",
        "aux.c.h", "PRN",         "com1",    "COM9.log", "lpt1",    "Lpt9.txt", "con .txt",
        "CONOUT$", "com\xB9",     "LPT0",    "a<b",      "a>b",     "a\"b",     "a|b",
        "a?b",     "a*b",         "a\x01b",  "a\x1F",    "src\\\tx"}) {
    std::string native = "untouched";
    EXPECT_FALSE(WireToNative(bad, &native)) << bad;
    EXPECT_EQ("untouched", native) << bad;
  }
  // Near misses are ordinary files.
  for (const char* good : {"console.txt", "conx", "com10", "lpt", "nul_", "a.b.c", ".git", "a .txt",
                           "src\\CONFIG", "auxiliary\\x", "caf\xE9.txt"}) {
    std::string native;
    EXPECT_TRUE(WireToNative(good, &native)) << good;
    EXPECT_EQ(good, native);
  }
  // Such a name really is another file here: what the refusal prevents.
  TempFolder dir;
  WriteAll(dir.File("a.txt."), "x");
  EXPECT_TRUE(LocalFileExists(dir.File("a.txt")));
}

TEST(Win32Guid, TextFormMatchesTheWindowsLayout) {
  // Data1 0x00112233 little-endian in memory, then Data2, Data3, Data4.
  const uint8_t memory[16] = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                              0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  const Guid g = Guid::FromBytes(memory);
  EXPECT_EQ("00112233-4455-6677-8899-aabbccddeeff", g.ToText());
  EXPECT_EQ("33221100554477668899AABBCCDDEEFF", g.ToHexName());
  Guid parsed;
  ASSERT_TRUE(Guid::FromText("00112233-4455-6677-8899-AABBCCDDEEFF", &parsed));
  EXPECT_EQ(g, parsed);
  EXPECT_FALSE(Guid::FromText("{00112233-4455-6677-8899-aabbccddeeff}", &parsed));
  EXPECT_FALSE(Guid::FromText("00112233-4455-6677-8899_aabbccddeeff", &parsed));
  const Guid a = Guid::New();
  EXPECT_NE(a, Guid::New());
  EXPECT_EQ(0x40, a.bytes[7] & 0xF0) << "a random (version 4) identifier";
}

TEST(Win32Random, FillsTheBuffer) {
  std::vector<unsigned char> a(64), b(64);
  ASSERT_TRUE(SystemRandomBytes(a.data(), a.size()));
  ASSERT_TRUE(SystemRandomBytes(b.data(), b.size()));
  EXPECT_NE(a, b);
}

TEST(Win32Junction, RedirectsAFolderAndRemovesOnlyTheLink) {
  TempFolder dir;
  const std::string target = dir.File("target");
  ASSERT_TRUE(CreateDirectoryW(win32::Wide(target).c_str(), nullptr));
  WriteAll(target + "\\inside.txt", "x");
  JunctionHelper helper;
  if (!helper.SupportsLinks(dir.path())) {
    EXPECT_EQ(kJunctionFailed, helper.CreateJunction(dir.File("link"), target));
    EXPECT_FALSE(LocalPathExists(dir.File("link")));
    GTEST_SKIP() << "this volume holds no reparse points";
  }
  WriteAll(dir.File("file.txt"), "x");
  EXPECT_EQ(kJunctionBadName, helper.CreateJunction(dir.File("bad"), dir.File("file.txt")));
  EXPECT_FALSE(LocalPathExists(dir.File("bad")));
  const int rc = helper.CreateJunction(dir.File("link"), target);
  if (rc == kJunctionFailed) {
    EXPECT_FALSE(LocalPathExists(dir.File("link"))) << "a failure leaves nothing behind";
    GTEST_SKIP() << "the file system refused the reparse point: " << helper.LastError();
  }
  ASSERT_EQ(kJunctionOk, rc) << helper.LastError();
  EXPECT_EQ("x", ReadAll(dir.File("link\\inside.txt")));
  EXPECT_TRUE(helper.RemoveJunction(dir.File("link")));
  EXPECT_FALSE(LocalPathExists(dir.File("link")));
  EXPECT_EQ("x", ReadAll(target + "\\inside.txt"));

  // A target that does not exist yet is linked all the same and reached
  // once it is made.
  const std::string later = dir.File("later");
  ASSERT_EQ(kJunctionOk, helper.CreateJunction(dir.File("early"), later)) << helper.LastError();
  ASSERT_TRUE(CreateDirectoryW(win32::Wide(later).c_str(), nullptr));
  WriteAll(later + "\\made.txt", "made later");
  EXPECT_EQ("made later", ReadAll(dir.File("early\\made.txt")));
  EXPECT_TRUE(helper.RemoveJunction(dir.File("early")));
  EXPECT_EQ("made later", ReadAll(later + "\\made.txt"));
}

TEST(Win32SystemFactory, FoldersNamesAndTheUpdateQueue) {
  TempFolder dir;
  CRLsystemFactory& factory = GetSystemFactory();
  const std::string temp = factory.TempFileName(true);
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ("CRL", temp.substr(temp.find_last_of("\\/") + 1, 3));
  EXPECT_TRUE(LocalFileExists(temp));
  EXPECT_TRUE(IsTempFileName(temp));
  EXPECT_FALSE(IsTempFileName(dir.File("CRL1.tmp"))) << "not in the temporary folder";
  RemoveLocalFile(temp);
  EXPECT_FALSE(IsTempFileName(temp)) << "gone";
  EXPECT_FALSE(LocalFileExists(factory.TempFileName(false)));

  EXPECT_FALSE(factory.ModuleDirectory().empty());
  const std::string app_data = factory.AppDataDirectory();
  ASSERT_GE(app_data.size(), 8u);
  EXPECT_EQ("\\Halvorn", app_data.substr(app_data.size() - 8));
  EXPECT_FALSE(factory.UserName().empty());

  _putenv_s("VELTRANE_GLOBAL_DIR", dir.path().c_str());
  EXPECT_EQ(dir.File("update.ini"), factory.UpdateFilePath());
  EXPECT_TRUE(factory.QueueFileUpdate("TWSccApi.dll", "C:\\new\\TWSccApi.dll"));
  EXPECT_TRUE(factory.QueueRun("TWPMSvr.exe"));
  EXPECT_TRUE(factory.UnqueueFileUpdate("TWSccApi.dll"));
  EXPECT_FALSE(factory.QueueRun("a=b"));
  wchar_t value[64];
  GetPrivateProfileStringW(L"UpdateFiles", L"TWSccApi.dll", L"", value, 64,
                           win32::Wide(dir.File("update.ini")).c_str());
  EXPECT_EQ(L"NULL", std::wstring(value));
  GetPrivateProfileStringW(L"Run", L"TWPMSvr.exe", L"", value, 64,
                           win32::Wide(dir.File("update.ini")).c_str());
  EXPECT_EQ(L"1", std::wstring(value));
  _putenv_s("VELTRANE_GLOBAL_DIR", "");

  EXPECT_FALSE(factory.Run("", "", false)) << "an empty name fails at once";
}

// A bare program name is looked for in the absolute folders of %PATH%
// only: the current folder and a relative entry (".") never supply it.
TEST(Win32Process, FindProgramSearchesOnlyAbsolutePathFolders) {
  TempFolder current;
  TempFolder listed;
  const std::string name = UniqueName("prog");
  WriteAll(current.File(name + ".exe"), "MZ");
  wchar_t saved_folder[MAX_PATH + 1];
  ASSERT_NE(0u, GetCurrentDirectoryW(MAX_PATH + 1, saved_folder));
  std::wstring saved_path(32768, L'\0');
  saved_path.resize(GetEnvironmentVariableW(L"PATH", &saved_path[0], 32768));
  ASSERT_TRUE(SetCurrentDirectoryW(win32::Wide(current.path()).c_str()));

  SetEnvironmentVariableW(L"PATH", L".;relative");
  EXPECT_EQ("", FindProgram(name, std::string())) << "not from the current folder";
  EXPECT_EQ("", FindProgram(name + ".exe", std::string()));
  WriteAll(listed.File(name + ".exe"), "MZ");
  WriteAll(listed.File(name + ".com"), "MZ");
  SetEnvironmentVariableW(L"PATH", win32::Wide(".;" + listed.path()).c_str());
  EXPECT_EQ(listed.File(name + ".exe"), FindProgram(name, std::string()));
  EXPECT_EQ("", FindProgram(name + ":x", std::string()));

  // A %PATH% folder whose name the code page lacks is found through its
  // short form, where the volume keeps one.
  const std::wstring odd = win32::Wide(listed.path()) + L"\\\u0100\u4E2D tools";
  ASSERT_TRUE(CreateDirectoryW(odd.c_str(), nullptr));
  ASSERT_TRUE(CloseHandle(CreateFileW((odd + L"\\" + win32::Wide(name) + L"2.exe").c_str(),
                                      GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr)));
  SetEnvironmentVariableW(L"PATH", (L"\"" + odd + L"\";C:\\nowhere").c_str());
  const std::string found = FindProgram(name + "2", std::string());
  wchar_t short_form[MAX_PATH + 1];
  const DWORD n = GetShortPathNameW(odd.c_str(), short_form, MAX_PATH + 1);
  if (n == 0 || std::wstring(short_form, n) == odd) {
    std::printf(
        "note: this volume keeps no short names: a %%PATH%% folder outside the code "
        "page is not searched\n");
  } else if (GetACP() != CP_UTF8) {
    EXPECT_NE("", found);
    EXPECT_EQ(std::string::npos, found.find('?')) << found;
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(found.c_str())) << found;
  }

  SetEnvironmentVariableW(L"PATH", saved_path.c_str());
  SetCurrentDirectoryW(saved_folder);
}

TEST(Win32Sync, ConditionWaitsAndWakes) {
  Mutex mutex;
  Condition condition(mutex);
  bool ready = false;
  {
    MutexLocker lock(mutex);
    EXPECT_FALSE(condition.WaitTimeout(10));
  }
  std::thread signaller([&] {
    MutexLocker lock(mutex);
    ready = true;
    condition.Broadcast();
  });
  {
    MutexLocker lock(mutex);
    while (!ready) condition.Wait();
  }
  signaller.join();
  CriticalSection section;
  CriticalSectionLocker outer(section);
  CriticalSectionLocker inner(section);  // recursive for its owner
  EXPECT_TRUE(ready);
}

}  // namespace
}  // namespace tw
