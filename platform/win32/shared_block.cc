// Named shared blocks on Windows: a paging-file mapping "<prefix><name>_
// SharedMemory" whose first 32-bit word holds the data size, guarded by the
// mutex "<prefix><name>_Mutex", both created with a null DACL. A Win32
// mutex is recursive for its owner and reports an owner that died as
// abandoned, which counts as acquired. See platform/shared_block.h.
#include "platform/shared_block.h"

#include <cstring>

#include "platform/win32/win32_util.h"

namespace tw {

namespace {
constexpr uint32_t kHeaderSize = 4;
}  // namespace

std::string SharedObjectPrefix(int os_major_version) {
  return os_major_version >= 5 ? "Global\\" : "";
}

int PlatformMajorVersion() {
  OSVERSIONINFOA info;
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  if (!GetVersionExA(&info)) return 5;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  return static_cast<int>(info.dwMajorVersion);
}

struct SharedBlock::Impl {
  ~Impl() {
    if (view != nullptr) UnmapViewOfFile(view);
    if (mapping != nullptr) CloseHandle(mapping);
    if (mutex != nullptr) CloseHandle(mutex);
  }

  // Creates or opens the mutex and the mapping under `prefix`; false when
  // the namespace refused them (a user without the right to create global
  // objects), so that the caller can try the session's own namespace.
  bool Open(const std::string& prefix, const std::string& name, uint32_t size) {
    win32::NullDaclSecurity security;
    mutex = CreateMutexA(security.get(), FALSE, (prefix + name + "_Mutex").c_str());
    if (mutex == nullptr) return GetLastError() != ERROR_ACCESS_DENIED;
    const std::string mapping_name = prefix + name + "_SharedMemory";
    if (size != 0) {
      const uint64_t length = uint64_t{kHeaderSize} + size;
      mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, security.get(), PAGE_READWRITE,
                                   static_cast<DWORD>(length >> 32),
                                   static_cast<DWORD>(length & 0xFFFFFFFFu), mapping_name.c_str());
      if (mapping == nullptr) {
        const bool refused = GetLastError() == ERROR_ACCESS_DENIED;
        CloseHandle(mutex);
        mutex = nullptr;
        return !refused;
      }
      if (GetLastError() == ERROR_ALREADY_EXISTS) {
        existed_before = true;
        size = 0;
      }
    } else {
      mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, TRUE, mapping_name.c_str());
      existed_before = true;
      if (mapping == nullptr) return true;  // absent: no view
    }
    view = static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (view == nullptr) {
      CloseHandle(mapping);
      CloseHandle(mutex);
      mapping = nullptr;
      mutex = nullptr;
      return true;
    }
    if (size != 0) {
      std::memcpy(view, &size, kHeaderSize);
      data_size = size;
    } else {
      // The creator's size, but never more than the mapping really holds.
      MEMORY_BASIC_INFORMATION region;
      uint32_t header = 0;
      std::memcpy(&header, view, kHeaderSize);
      if (VirtualQuery(view, &region, sizeof region) == sizeof region &&
          region.RegionSize >= kHeaderSize && header <= region.RegionSize - kHeaderSize) {
        data_size = header;
      } else {
        UnmapViewOfFile(view);
        view = nullptr;
      }
    }
    return true;
  }

  HANDLE mutex = nullptr;
  HANDLE mapping = nullptr;
  uint8_t* view = nullptr;
  uint32_t data_size = 0;
  bool existed_before = false;
};

SharedBlock::SharedBlock(const std::string& name, uint32_t size) : impl_(new Impl) {
  if (name.empty()) return;
  const std::string prefix = SharedObjectPrefix(PlatformMajorVersion());
  if (!impl_->Open(prefix, name, size) && !prefix.empty()) {
    impl_.reset(new Impl);
    impl_->Open(std::string(), name, size);
  }
}

SharedBlock::~SharedBlock() = default;

bool SharedBlock::IsValid() const {
  return impl_->view != nullptr;
}
bool SharedBlock::ExistedBefore() const {
  return impl_->existed_before;
}
uint32_t SharedBlock::Size() const {
  return impl_->data_size;
}

void* SharedBlock::Lock(uint32_t timeout_ms) {
  if (impl_->view == nullptr || impl_->mutex == nullptr) return nullptr;
  const DWORD result = WaitForSingleObject(impl_->mutex, timeout_ms);
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) return nullptr;
  return impl_->view + kHeaderSize;
}

void SharedBlock::Unlock() {
  if (impl_->mutex != nullptr) ReleaseMutex(impl_->mutex);
}

}  // namespace tw
