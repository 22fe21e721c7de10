// Helpers of the Windows forms of the platform seam; see win32_util.h.
#include "platform/win32/win32_util.h"

namespace tw {
namespace win32 {

namespace {
// Between 1601-01-01 and 1970-01-01, in 100 ns units.
constexpr long long kEpochDifference = 116444736000000000LL;

std::wstring ToWide(UINT code_page, const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n =
      MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::string FromWide(UINT code_page, DWORD flags, const wchar_t* wide, size_t length) {
  if (length == 0) return std::string();
  const int n = WideCharToMultiByte(code_page, flags, wide, static_cast<int>(length), nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  if (WideCharToMultiByte(code_page, flags, wide, static_cast<int>(length), &out[0], n, nullptr,
                          nullptr) != n) {
    return std::string();
  }
  return out;
}

// Some code pages (UTF-8 among them, which a machine may make its ANSI code
// page) take no conversion flags at all: WC_NO_BEST_FIT_CHARS is refused
// with ERROR_INVALID_FLAGS (ERROR_INVALID_PARAMETER on older systems). They
// are converted without it; whether a text survives is told by the round
// trip, not by the system's default-character report.
bool TakesNoFlags(UINT code_page, const wchar_t* wide, size_t length) {
  BOOL used_default = FALSE;
  if (WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide, static_cast<int>(length), nullptr,
                          0, nullptr, &used_default) > 0) {
    return false;
  }
  const DWORD code = GetLastError();
  return code == ERROR_INVALID_FLAGS || code == ERROR_INVALID_PARAMETER;
}

}  // namespace

std::wstring Wide(const std::string& narrow) {
  return ToWide(CP_ACP, narrow);
}

std::string NarrowIn(UINT code_page, const wchar_t* wide, size_t length) {
  if (length == 0) return std::string();
  std::string out = FromWide(code_page, WC_NO_BEST_FIT_CHARS, wide, length);
  if (out.empty() && TakesNoFlags(code_page, wide, length)) {
    out = FromWide(code_page, 0, wide, length);
  }
  return out;
}

std::string Narrow(const wchar_t* wide, size_t length) {
  return NarrowIn(CP_ACP, wide, length);
}

std::string Narrow(const std::wstring& wide) {
  return Narrow(wide.data(), wide.size());
}

namespace {

// Whether `wide` comes back unchanged from its narrow form in `code_page`:
// then the narrow form names the same file in the system's A functions.
bool InCodePage(UINT code_page, const std::wstring& wide) {
  const std::string narrow = NarrowIn(code_page, wide.data(), wide.size());
  return !narrow.empty() && ToWide(code_page, narrow) == wide;
}

}  // namespace

std::string NarrowPathIn(UINT code_page, const std::wstring& path) {
  if (path.empty()) return std::string();
  if (InCodePage(code_page, path)) return NarrowIn(code_page, path.data(), path.size());
  const DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
  if (size > 0) {
    std::wstring short_path(size, L'\0');
    const DWORD n = GetShortPathNameW(path.c_str(), &short_path[0], size);
    if (n > 0 && n < size) {
      short_path.resize(n);
      if (InCodePage(code_page, short_path)) {
        return NarrowIn(code_page, short_path.data(), short_path.size());
      }
    }
  }
  return NarrowIn(code_page, path.data(), path.size());
}

std::string NarrowPath(const std::wstring& path) {
  return NarrowPathIn(CP_ACP, path);
}

std::string Utf8FromWide(const std::wstring& wide) {
  return FromWide(CP_UTF8, 0, wide.data(), wide.size());
}

std::wstring WideFromUtf8(const std::string& utf8) {
  return ToWide(CP_UTF8, utf8);
}

std::string SystemMessage(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message;
  if (n > 0 && text != nullptr) message = Narrow(text, n);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  if (message.empty()) message = "error " + std::to_string(code);
  return message;
}

std::string ErrorText(const std::string& what, const std::string& name, DWORD code) {
  return what + " " + name + ": " + SystemMessage(code);
}

NullDaclSecurity::NullDaclSecurity() {
  ok_ = InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor_, TRUE, nullptr, FALSE);
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = &descriptor_;
  attributes_.bInheritHandle = FALSE;
}

PrivateFolderSecurity::PrivateFolderSecurity(PSID user) {
  if (user == nullptr || !IsValidSid(user)) return;
  const DWORD acl_size = static_cast<DWORD>(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) -
                                            sizeof(DWORD) + GetLengthSid(user));
  acl_.resize((acl_size + sizeof(DWORD) - 1) / sizeof(DWORD));
  ACL* acl = reinterpret_cast<ACL*>(acl_.data());
  ok_ = InitializeAcl(acl, acl_size, ACL_REVISION) &&
        AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                              FILE_ALL_ACCESS, user) &&
        InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorOwner(&descriptor_, user, FALSE) &&
        SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
        SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = &descriptor_;
  attributes_.bInheritHandle = FALSE;
}

FILETIME FileTimeFromUnixMs(long long ms) {
  const unsigned long long ticks = static_cast<unsigned long long>(ms * 10000LL + kEpochDifference);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

long long UnixSecondsFromFileTime(const FILETIME& ft) {
  const long long ticks = static_cast<long long>(
      (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  const long long since = ticks - kEpochDifference;
  return since >= 0 ? since / 10000000LL : -((-since + 9999999LL) / 10000000LL);
}

}  // namespace win32
}  // namespace tw
