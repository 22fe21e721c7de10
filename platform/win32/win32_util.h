// Helpers shared by the Windows forms of the platform seam: text between
// the process's ANSI code page (the system's narrow strings: what a host
// passes to the exports, what the wire carries) and UTF-16 (the wide system
// calls), the system's message for an error code, and the security
// attributes with a null DACL that the machine-wide objects are created with
// (every user of the machine may open them).
//
// Internal to platform/win32; includes <windows.h>, so no header outside
// this folder includes it. Stateless; any thread.
#ifndef TW_PLATFORM_WIN32_WIN32_UTIL_H_
#define TW_PLATFORM_WIN32_WIN32_UTIL_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <vector>

namespace tw {
namespace win32 {

// Narrow text in the ANSI code page (CP_ACP) to UTF-16 and back: the one
// place where the system's narrow strings meet the wide system calls, so
// that a host's "caf\xE9.txt" in code page 1252 is the file whose name holds
// U+00E9, exactly as the host's own narrow (A) calls would name it. A wide
// character the code page lacks becomes "?" (never a best-fit look-alike,
// which could name another, existing file; "?" is no file-name character).
std::wstring Wide(const std::string& narrow);
std::string Narrow(const std::wstring& wide);
std::string Narrow(const wchar_t* wide, size_t length);

// A path the system handed back (a module's file, the temporary folder, a
// full path), narrow: as Narrow, but one holding a character the code page
// lacks becomes its short (8.3) form where the volume keeps one, so that it
// still names the same file; otherwise the "?" form, which names no file.
// "" when the path could not be converted at all.
std::string NarrowPath(const std::wstring& path);

// Narrow and NarrowPath in a code page named by the caller, so that a test
// can try one the process does not run in. A code page that refuses
// WC_NO_BEST_FIT_CHARS (UTF-8, GB18030, the ISO-2022 family...) is
// converted without flags. "" for non-empty text means the text could not
// be converted: a caller making a path of it must fail, not go on with "".
std::string NarrowIn(UINT code_page, const wchar_t* wide, size_t length);
std::string NarrowPathIn(UINT code_page, const std::wstring& path);

// UTF-16 to UTF-8 and back, for the few texts whose format is UTF-8 by
// definition (JSON); everything else is narrow in the ANSI code page.
std::string Utf8FromWide(const std::wstring& wide);
std::wstring WideFromUtf8(const std::string& utf8);

// The system's message for `code` (FormatMessageW, system table, default
// language), narrow, without the trailing line end.
std::string SystemMessage(DWORD code);

// "<what> <name>: <system message>" for `code`.
std::string ErrorText(const std::string& what, const std::string& name, DWORD code);

// Security attributes whose descriptor has a null DACL, not inheritable.
class NullDaclSecurity {
 public:
  NullDaclSecurity();
  NullDaclSecurity(const NullDaclSecurity&) = delete;
  NullDaclSecurity& operator=(const NullDaclSecurity&) = delete;
  SECURITY_ATTRIBUTES* get() { return ok_ ? &attributes_ : nullptr; }

 private:
  SECURITY_DESCRIPTOR descriptor_;
  SECURITY_ATTRIBUTES attributes_;
  bool ok_ = false;
};

// Security attributes that make a new folder one user's own: owned by
// `user`, with a protected DACL (nothing inherited from the folder above)
// whose one entry grants `user` full access, inherited by the files and
// folders inside. `user` must outlive the attributes.
class PrivateFolderSecurity {
 public:
  explicit PrivateFolderSecurity(PSID user);
  PrivateFolderSecurity(const PrivateFolderSecurity&) = delete;
  PrivateFolderSecurity& operator=(const PrivateFolderSecurity&) = delete;
  SECURITY_ATTRIBUTES* get() { return ok_ ? &attributes_ : nullptr; }
  // The DACL alone, to put on a folder that exists already.
  ACL* acl() { return ok_ ? reinterpret_cast<ACL*>(acl_.data()) : nullptr; }

 private:
  std::vector<DWORD> acl_;  // DWORDs keep the ACL aligned
  SECURITY_DESCRIPTOR descriptor_;
  SECURITY_ATTRIBUTES attributes_;
  bool ok_ = false;
};

// Closes a kernel handle when it goes out of scope.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE h) : h_(h) {}
  ~ScopedHandle() { Reset(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE h = nullptr) {
    if (valid()) CloseHandle(h_);
    h_ = h;
  }
  HANDLE Release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }

 private:
  HANDLE h_ = nullptr;
};

// A 100 ns FILETIME count from milliseconds since 1970 UTC, and back.
FILETIME FileTimeFromUnixMs(long long ms);
long long UnixSecondsFromFileTime(const FILETIME& ft);

}  // namespace win32
}  // namespace tw

#endif  // TW_PLATFORM_WIN32_WIN32_UTIL_H_
