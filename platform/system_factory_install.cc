// The process-wide factory: the one a test installs, else the system's own
// (GetDefaultSystemFactory, in the platform's form of system_factory.cc);
// and the wrapper's Log, which cannot forward its arguments as they are.
// Shared by every platform.
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/system_factory.h"

namespace tw {
namespace {

constexpr size_t kLogBufferSize = 4096;

std::atomic<CRLsystemFactory*> installed_factory{nullptr};

}  // namespace

CRLsystemFactory& GetSystemFactory() {
  CRLsystemFactory* installed = installed_factory.load(std::memory_order_acquire);
  return installed != nullptr ? *installed : GetDefaultSystemFactory();
}

CRLsystemFactory* InstallSystemFactory(CRLsystemFactory* factory) {
  return installed_factory.exchange(factory, std::memory_order_acq_rel);
}

void SystemFactoryWrapper::Log(const char* format, ...) {
  if (format == nullptr) return;
  char buffer[kLogBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  target_->Log("%s", buffer);
}

}  // namespace tw
