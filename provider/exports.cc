// The housekeeping exports: creating and releasing provider contexts,
// describing the provider to the host, and the operations it does not
// support. Every export catches everything: no exception reaches the host.
#include <cstring>
#include <new>
#include <string>

#include "dialogs/option_dialogs.h"
#include "platform/debug_output.h"
#include "platform/native_text.h"
#include "provider/context.h"
#include "provider/export_support.h"
#include "provider/msscci.h"
#include "session/client_config.h"
#include "session/client_session.h"
#include "ui/user_interface.h"

namespace tw {
namespace {

constexpr LONG kCapabilities = SCC_CAP_REMOVE | SCC_CAP_RENAME | SCC_CAP_DIFF | SCC_CAP_HISTORY |
                               SCC_CAP_PROPERTIES | SCC_CAP_RUNSCC | SCC_CAP_GETCOMMANDOPTIONS |
                               SCC_CAP_QUERYINFO | SCC_CAP_GETPROJPATH | SCC_CAP_TEXTOUT |
                               SCC_CAP_POPULATELIST | SCC_CAP_DIFFALWAYS | SCC_CAP_REENTRANT;
static_assert(kCapabilities == 0x520082FF, "capability word");

constexpr LONG kInterfaceVersion = 0x00010002;  // 1.2
constexpr LONG kCheckinCommentLength = 255;

void CopyOut(LPSTR target, const char* text, size_t capacity) {
  if (target == nullptr) return;
  std::strncpy(target, text, capacity - 1);
  target[capacity - 1] = '\0';
}

SCCRTN Initialize(LPVOID* ppvContext, HWND hWnd, LPCSTR lpCallerName, LPSTR lpSccName,
                  LPLONG lpSccCaps, LPSTR lpAuxPathLabel, LPLONG pnCheckoutCommentLen,
                  LPLONG pnCommentLen) {
  if (ppvContext == nullptr) return SCC_E_INITIALIZEFAILED;
  // Names are split at path separators byte by byte: under a code page
  // where a separator byte can end a character, a name could reach outside
  // its folder. The module does not start there.
  if (std::string why; !NarrowTextIsByteSafe(&why)) {
    DebugLog("SccInitialize - %s", why.c_str());
    ShowMessageBox(hWnd, "Veltrane", "Veltrane cannot work here: " + why + ".",
                   MessageBoxButtons::kOk, MessageBoxIcon::kError);
    return SCC_E_INITIALIZEFAILED;
  }
  auto context = std::unique_ptr<ProviderContext>(new (std::nothrow) ProviderContext);
  if (!context) return SCC_E_INITIALIZEFAILED;
  context->caller_name = lpCallerName ? lpCallerName : "";
  context->slot = std::make_unique<SharedSessionSlot>();
  if (!context->slot->IsValid()) return SCC_E_INITIALIZEFAILED;

  CopyOut(lpSccName, "Veltrane", SCC_NAME_LEN + 1);
  CopyOut(lpAuxPathLabel, "Halvorn Veltrane", SCC_AUXLABEL_LEN + 1);
  if (lpSccCaps) *lpSccCaps = kCapabilities;
  if (pnCheckoutCommentLen) *pnCheckoutCommentLen = 0;
  if (pnCommentLen) *pnCommentLen = kCheckinCommentLength;
  context->host_window = hWnd;

  {
    SlotLock lock(context->slot.get());
    if (!lock.locked()) return SCC_E_INITIALIZEFAILED;
    SharedSessionSlot& slot = *context->slot;
    if (slot.ExistedBefore()) {
      slot.set_count(slot.count() + 1);
    } else {
      slot.ClearSessionField();
      slot.set_count(1);
    }
  }
  *ppvContext = context.release();
  return SCC_OK;
}

SCCRTN Uninitialize(LPVOID pvContext) {
  std::unique_ptr<ProviderContext> context(ContextFrom(pvContext));
  if (!context) return SCC_OK;
  SlotLock lock(context->slot.get());
  if (lock.locked()) {
    SharedSessionSlot& slot = *context->slot;
    // Called from a callback of one of this context's own operations: the
    // operation still uses the context, which therefore stays.
    if (slot.busy_here()) {
      TextOut(*context, "The provider cannot be released while one of its operations runs.");
      DebugLog("SccUninitialize - refused inside an operation of the same context");
      context.release();
      return SCC_E_NONSPECIFICERROR;
    }
    slot.set_count(slot.count() > 0 ? slot.count() - 1 : 0);
    // Another context's operation below on this thread still uses the
    // session: what the count asks of it waits until that one ends.
    if (slot.busy() > 0) {
      slot.DeferCountChange();
    } else {
      slot.ApplyCount();
    }
  }
  return SCC_OK;  // the lock is released before the slot and the context go
}

// The two-byte options object handed to the host; it is allocated with
// plain new[] and owned by the host from then on.
void StoreOptions(LPCMDOPTS* ppvOptions, bool byte0, bool byte1) {
  auto* options = new unsigned char[2];
  options[0] = byte0 ? 1 : 0;
  options[1] = byte1 ? 1 : 0;
  *ppvOptions = options;
}

SCCRTN GetCommandOptions(LPVOID pvContext, HWND hWnd, int iCommand, LPCMDOPTS* ppvOptions) {
  const bool advanced = iCommand == SCC_COMMAND_CHECKOUT || iCommand == SCC_COMMAND_CHECKIN;
  if (ppvOptions == nullptr) return advanced ? SCC_I_ADV_SUPPORT : SCC_OK;
  if (!advanced) return SCC_OK;
  ProviderContext* context = ContextFrom(pvContext);
  if (context == nullptr) return SCC_E_NONSPECIFICERROR;

  const auto* current = static_cast<const unsigned char*>(*ppvOptions);
  // The slot is held around the dialog, which may ask the session; no
  // logon is made for it.
  ExportSession hold(context);
  if (iCommand == SCC_COMMAND_CHECKOUT) {
    CheckoutOptions options;  // defaults: exclusive, synchronise
    if (current) {
      options.exclusive = current[0] != 0;
      options.synchronize = current[1] != 0;
    }
    options.lock_policy = CurrentLockPolicy();
    if (ShowCheckoutOptionsDialog(hWnd, &options)) {
      StoreOptions(ppvOptions, options.exclusive, options.synchronize);
    }
  } else {
    CheckinOptions options;  // defaults: release the lock, not a work in progress
    if (current) {
      options.retain_lock = current[0] != 0;
      options.work_in_progress = current[1] != 0;
    }
    if (ShowCheckinOptionsDialog(hWnd, &options)) {
      StoreOptions(ppvOptions, options.retain_lock, options.work_in_progress);
    }
  }
  return SCC_OK;
}

// Remove, rename, events and add-from-source-control share this one answer,
// although the capability word announces remove and rename.
SCCRTN UnsupportedOperation() {
  return SCC_E_OPNOTSUPPORTED;
}

}  // namespace
}  // namespace tw

using tw::Guarded;

TW_EXPORT SCCRTN SccInitialize(LPVOID* ppvContext, HWND hWnd, LPCSTR lpCallerName, LPSTR lpSccName,
                               LPLONG lpSccCaps, LPSTR lpAuxPathLabel, LPLONG pnCheckoutCommentLen,
                               LPLONG pnCommentLen) {
  SCCRTN result = Guarded("SccInitialize", [&]() -> SCCRTN {
    return tw::Initialize(ppvContext, hWnd, lpCallerName, lpSccName, lpSccCaps, lpAuxPathLabel,
                          pnCheckoutCommentLen, pnCommentLen);
  });
  // Whatever failed, the host gets the initialisation failure code.
  return result == SCC_E_NONSPECIFICERROR ? SCC_E_INITIALIZEFAILED : result;
}

TW_EXPORT SCCRTN SccUninitialize(LPVOID pvContext) {
  return Guarded("SccUninitialize", [&]() -> SCCRTN { return tw::Uninitialize(pvContext); });
}

TW_EXPORT LONG SccGetVersion(void) {
  return tw::kInterfaceVersion;
}

TW_EXPORT SCCRTN SccSetOption(LPVOID, LONG, LONG) {
  return SCC_OK;
}

TW_EXPORT SCCRTN SccGetCommandOptions(LPVOID pvContext, HWND hWnd, enum SCCCOMMAND iCommand,
                                      LPCMDOPTS* ppvOptions) {
  return Guarded("SccGetCommandOptions", [&]() -> SCCRTN {
    return tw::GetCommandOptions(pvContext, hWnd, static_cast<int>(iCommand), ppvOptions);
  });
}

TW_EXPORT SCCRTN SccRemove(LPVOID, HWND, LONG, LPCSTR*, LPCSTR, LONG, LPCMDOPTS) {
  return tw::UnsupportedOperation();
}

TW_EXPORT SCCRTN SccRename(LPVOID, HWND, LPCSTR, LPCSTR) {
  return tw::UnsupportedOperation();
}

TW_EXPORT SCCRTN SccGetEvents(LPVOID, LPSTR, LPLONG, LPLONG) {
  return tw::UnsupportedOperation();
}

TW_EXPORT SCCRTN SccAddFromScc(LPVOID, HWND, LPLONG, LPCSTR**) {
  return tw::UnsupportedOperation();
}
