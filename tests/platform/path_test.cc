// The path helper: the edge cases the exports rely on (trailing separators,
// roots, empty parts) and the refusal of server names that would leave the
// working folder.
#include "platform/path.h"

#include <gtest/gtest.h>

#include "platform/letter_case.h"
#include "platform/native_text.h"

namespace tw {
namespace {

TEST(Path, LastComponentAndParentIgnoreTrailingSeparators) {
  EXPECT_EQ(WireLastComponent("1a\\2b\\3c\\"), "3c");
  EXPECT_EQ(WireLastComponent(NativeToWire("1a/2b/3c")), "3c");
  EXPECT_EQ(WireLastComponent("leaf"), "leaf");
  EXPECT_EQ(NativeLastComponent("/"), "");
  EXPECT_EQ(NativeParent("/home/u/work/"), "/home/u");
  EXPECT_EQ(NativeParent("/work"), "/");
  EXPECT_EQ(NativeParent("work"), "");
  EXPECT_EQ(WireParent("\\Games\\Level1"), "\\Games");
  EXPECT_EQ(DropTrailingSeparator("/a//", '/'), "/a");
  EXPECT_EQ(DropTrailingSeparator("/", '/'), "/");
}

TEST(Path, JoinPutsExactlyOneSeparatorBetween) {
  EXPECT_EQ(NativeJoin("/w", "a.c"), "/w/a.c");
  EXPECT_EQ(NativeJoin("/w/", "/a.c"), "/w/a.c");
  EXPECT_EQ(NativeJoin("", "a.c"), "a.c");
  EXPECT_EQ(WireJoin("5f\\6e", ""), "5f\\6e");
  EXPECT_EQ(WireJoin("\\Games", "Level1"), "\\Games\\Level1");
}

TEST(Path, ServerNamesBecomeNativeOnlyWhenTheyStayBelowTheFolder) {
  std::string native = "unchanged";
  EXPECT_TRUE(WireToNative("src\\main.c", &native));
  EXPECT_EQ(native, "src/main.c");
  for (const char* bad : {"", "\\etc\\passwd", "/etc/passwd", "..\\x", "a\\..\\..\\x", "a\\.\\b",
                          "a\\\\b", "a\\", "a/../../b"}) {
    native = "unchanged";
    EXPECT_FALSE(WireToNative(bad, &native)) << bad;
    EXPECT_EQ(native, "unchanged") << bad;
  }
  EXPECT_FALSE(WireToNative(std::string_view("a\0b", 3), &native));
}

// A full path names one file whatever the current folder and drive: the
// client is started only from such a path.
TEST(Path, FullPathsAreTheSystemsOwnAbsoluteForms) {
  for (const char* full : {"C:\\Program Files\\Veltrane\\TWSccApi.dll", "c:/veltrane/a.dll", "Z:\\",
                           "D:/", "\\\\server\\share\\Veltrane\\TWSccApi.dll",
                           "//server/share/a.dll", "\\\\server\\share", "\\\\srv/share\\x"}) {
    EXPECT_TRUE(IsFullWindowsPath(full)) << full;
    EXPECT_EQ(full[0] == '/', IsFullPosixPath(full)) << full;
  }
  for (const char* partial :
       {"", "TWSccApi.dll", "Veltrane\\TWSccApi.dll", "C:", "C:TWSccApi.dll", "C:foo\\a.dll",
        "\\Veltrane\\a.dll", "/opt/veltrane/libTWSccApi.so", "\\\\", "\\\\server", "\\\\server\\",
        "\\\\server\\\\share", "\\\\\\share\\a", "\\\\.\\C:\\a.dll", "\\\\?\\C:\\a.dll",
        "1:\\a.dll", ":\\a.dll", "CC:\\a.dll"}) {
    EXPECT_FALSE(IsFullWindowsPath(partial)) << partial;
  }
  EXPECT_TRUE(IsFullPosixPath("/opt/veltrane/libTWSccApi.so"));
  EXPECT_TRUE(IsFullPosixPath("/"));
  for (const char* partial : {"", "libTWSccApi.so", "./libTWSccApi.so", "~/lib"}) {
    EXPECT_FALSE(IsFullPosixPath(partial)) << partial;
  }
#ifdef _WIN32
  EXPECT_TRUE(IsFullNativePath("C:\\a.dll"));
  EXPECT_FALSE(IsFullNativePath("/opt/a"));
#else
  EXPECT_TRUE(IsFullNativePath("/opt/a"));
  EXPECT_FALSE(IsFullNativePath("C:\\a.dll"));
#endif
}

TEST(Path, CaseInsensitiveComparisonUpperCases) {
  EXPECT_TRUE(SamePathIgnoringCase("/Work/Src", "/work/SRC"));
  EXPECT_FALSE(SamePathIgnoringCase("/work/src", "/work/src2"));
  // Only ASCII letters fold: a stored key must not depend on the locale.
  EXPECT_EQ(UpperCase("a\xe9z~"), "A\xe9Z~");
  EXPECT_EQ(LowerCase("A\xc9Z@"), "a\xc9z@");
  EXPECT_TRUE(EqualIgnoringCase("Yes", "yES"));
  EXPECT_FALSE(EqualIgnoringCase("Yes", "Yes "));
  EXPECT_FALSE(EqualIgnoringCase(std::string_view("Yes\0no", 6), "Yes"));
  EXPECT_FALSE(EqualIgnoringCase("\xe9", "\xc9"));
  EXPECT_FALSE(EqualIgnoringCase("[", "{"));  // '[' + 32 is '{', but neither is a letter
}

// The helpers above split and fold byte by byte, which holds only where no
// character has a byte below 0x80 after its first: the double-byte code
// pages (where "\" or a letter can be a second byte) are refused.
TEST(Path, ByteWiseSplittingIsRefusedUnderDoubleByteCodePages) {
  for (unsigned cp : {1252u, 1251u, 437u, 65001u}) EXPECT_TRUE(CodePageIsByteSafe(cp)) << cp;
  for (unsigned cp : {932u, 936u, 949u, 950u, 54936u}) EXPECT_FALSE(CodePageIsByteSafe(cp)) << cp;
#ifndef _WIN32
  EXPECT_TRUE(NarrowTextIsByteSafe(nullptr));
#endif
}

}  // namespace
}  // namespace tw
