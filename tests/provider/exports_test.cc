// The housekeeping exports, called the way a host calls them: through the
// built module loaded with dlopen.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/shared_block.h"
#include "provider/context.h"
#include "provider/msscci.h"
#include "tests/support/test_env.h"

namespace tw {
namespace {

using InitializeFn = SCCRTN (*)(LPVOID*, HWND, LPCSTR, LPSTR, LPLONG, LPSTR, LPLONG, LPLONG);
using UninitializeFn = SCCRTN (*)(LPVOID);
using GetVersionFn = LONG (*)();
using SetOptionFn = SCCRTN (*)(LPVOID, LONG, LONG);
using GetCommandOptionsFn = SCCRTN (*)(LPVOID, HWND, SCCCOMMAND, LPCMDOPTS*);
using RemoveFn = SCCRTN (*)(LPVOID, HWND, LONG, LPCSTR*, LPCSTR, LONG, LPCMDOPTS);
using RenameFn = SCCRTN (*)(LPVOID, HWND, LPCSTR, LPCSTR);
using GetEventsFn = SCCRTN (*)(LPVOID, LPSTR, LPLONG, LPLONG);
using AddFromSccFn = SCCRTN (*)(LPVOID, HWND, LPLONG, LPCSTR**);

class ExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = dlopen((test::BinDir() + "/libTWSccApi.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, module_) << dlerror();
  }
  void TearDown() override {
    if (module_) dlclose(module_);
  }
  template <typename Fn>
  Fn Export(const char* name) {
    auto fn = reinterpret_cast<Fn>(dlsym(module_, name));
    EXPECT_NE(nullptr, fn) << name;
    return fn;
  }
  LPVOID Initialize(const char* caller = "TestHost") {
    char name[SCC_NAME_LEN + 1] = {};
    char label[SCC_AUXLABEL_LEN + 1] = {};
    LONG caps = 0, checkout_len = -1, comment_len = -1;
    LPVOID context = nullptr;
    EXPECT_EQ(SCC_OK, Export<InitializeFn>("SccInitialize")(&context, nullptr, caller, name, &caps,
                                                            label, &checkout_len, &comment_len));
    return context;
  }
  // The live context count of this process's slot, or -1 when the slot is gone.
  static int SlotCount() {
    SharedBlock block(SharedSessionSlot::NameFor(getpid()), 0);
    if (!block.IsValid()) return -1;
    auto* data = static_cast<unsigned char*>(block.Lock(kInfiniteWait));
    uint32_t count = 0;
    std::memcpy(&count, data + sizeof(void*), sizeof count);
    block.Unlock();
    return static_cast<int>(count);
  }

  test::TestEnv env_;
  void* module_ = nullptr;
};

TEST_F(ExportsTest, InitializeDescribesTheProvider) {
  char name[SCC_NAME_LEN + 1];
  char label[SCC_AUXLABEL_LEN + 1];
  std::memset(name, 'x', sizeof name);
  std::memset(label, 'x', sizeof label);
  LONG caps = 0, checkout_len = -1, comment_len = -1;
  LPVOID context = nullptr;
  ASSERT_EQ(SCC_OK, Export<InitializeFn>("SccInitialize")(&context, nullptr, "VsScc", name, &caps,
                                                          label, &checkout_len, &comment_len));
  ASSERT_NE(nullptr, context);
  EXPECT_STREQ("Veltrane", name);
  EXPECT_STREQ("Halvorn Veltrane", label);
  EXPECT_EQ(0x520082FF, caps);
  EXPECT_EQ(0, checkout_len);
  EXPECT_EQ(255, comment_len);
  EXPECT_EQ(SCC_OK, Export<UninitializeFn>("SccUninitialize")(context));
}

TEST_F(ExportsTest, ContextsOfOneProcessShareOneSlot) {
  EXPECT_EQ(-1, SlotCount());
  LPVOID first = Initialize();
  EXPECT_EQ(1, SlotCount());
  LPVOID second = Initialize();
  EXPECT_EQ(2, SlotCount());
  auto uninitialize = Export<UninitializeFn>("SccUninitialize");
  EXPECT_EQ(SCC_OK, uninitialize(first));
  EXPECT_EQ(1, SlotCount());
  EXPECT_EQ(SCC_OK, uninitialize(second));
  EXPECT_EQ(-1, SlotCount()) << "the slot outlived its last context";
  // A new context after that starts a fresh slot.
  LPVOID third = Initialize();
  EXPECT_EQ(1, SlotCount());
  EXPECT_EQ(SCC_OK, uninitialize(third));
}

TEST_F(ExportsTest, HousekeepingAnswers) {
  EXPECT_EQ(0x00010002, Export<GetVersionFn>("SccGetVersion")());
  EXPECT_EQ(SCC_OK, Export<UninitializeFn>("SccUninitialize")(nullptr));
  LPVOID context = Initialize();
  EXPECT_EQ(SCC_OK, Export<SetOptionFn>("SccSetOption")(context, 1, 2));
  EXPECT_EQ(SCC_OK, Export<SetOptionFn>("SccSetOption")(nullptr, -7, 0));
  EXPECT_EQ(SCC_E_OPNOTSUPPORTED,
            Export<RemoveFn>("SccRemove")(context, nullptr, 0, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(SCC_E_OPNOTSUPPORTED, Export<RenameFn>("SccRename")(context, nullptr, "a", "b"));
  EXPECT_EQ(SCC_E_OPNOTSUPPORTED,
            Export<GetEventsFn>("SccGetEvents")(nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(SCC_E_OPNOTSUPPORTED,
            Export<AddFromSccFn>("SccAddFromScc")(context, nullptr, nullptr, nullptr));
  EXPECT_EQ(SCC_OK, Export<UninitializeFn>("SccUninitialize")(context));
}

TEST_F(ExportsTest, InitializeRefusesANullContextPointer) {
  LONG caps = 0;
  EXPECT_EQ(SCC_E_INITIALIZEFAILED,
            Export<InitializeFn>("SccInitialize")(nullptr, nullptr, "x", nullptr, &caps, nullptr,
                                                  nullptr, nullptr));
  EXPECT_EQ(-1, SlotCount());
}

TEST_F(ExportsTest, CommandOptionsWithoutAnObjectAnnounceAdvancedSupport) {
  auto options = Export<GetCommandOptionsFn>("SccGetCommandOptions");
  LPVOID context = Initialize();
  EXPECT_EQ(SCC_I_ADV_SUPPORT, options(context, nullptr, SCC_COMMAND_CHECKOUT, nullptr));
  EXPECT_EQ(SCC_I_ADV_SUPPORT, options(context, nullptr, SCC_COMMAND_CHECKIN, nullptr));
  for (SCCCOMMAND other : {SCC_COMMAND_GET, SCC_COMMAND_UNCHECKOUT, SCC_COMMAND_ADD,
                           SCC_COMMAND_HISTORY, SCC_COMMAND_OPTIONS}) {
    EXPECT_EQ(SCC_OK, options(context, nullptr, other, nullptr));
    LPCMDOPTS object = nullptr;
    EXPECT_EQ(SCC_OK, options(context, nullptr, other, &object));
    EXPECT_EQ(nullptr, object);
  }
  EXPECT_EQ(SCC_OK, Export<UninitializeFn>("SccUninitialize")(context));
}

TEST_F(ExportsTest, CancelledOptionsDialogLeavesTheObjectAlone) {
  // With no user interface every dialog answers Cancel.
  auto options = Export<GetCommandOptionsFn>("SccGetCommandOptions");
  LPVOID context = Initialize();
  unsigned char existing[2] = {0, 1};
  LPCMDOPTS object = existing;
  EXPECT_EQ(SCC_OK, options(context, nullptr, SCC_COMMAND_CHECKOUT, &object));
  EXPECT_EQ(static_cast<LPCMDOPTS>(existing), object);
  EXPECT_EQ(SCC_OK, options(context, nullptr, SCC_COMMAND_CHECKIN, &object));
  EXPECT_EQ(static_cast<LPCMDOPTS>(existing), object);
  EXPECT_EQ(SCC_OK, Export<UninitializeFn>("SccUninitialize")(context));
}

// The module shows the host nothing but its entry points.
TEST(ModuleSymbols, OnlyTheExportsAreVisible) {
  std::string command = "nm -D --defined-only '" + test::BinDir() + "/libTWSccApi.so'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(pipe);
  char line[512];
  int exports = 0;
  while (fgets(line, sizeof line, pipe.get())) {
    std::string symbol(line);
    symbol = symbol.substr(symbol.find_last_of(' ') + 1);
    symbol.erase(symbol.find_last_not_of("\n") + 1);
    const bool ours = symbol.rfind("Scc", 0) == 0 || symbol.rfind("VelScc", 0) == 0;
    EXPECT_TRUE(ours) << "unexpected exported symbol " << symbol;
    exports += ours;
  }
  EXPECT_GE(exports, 9);
}

}  // namespace
}  // namespace tw
