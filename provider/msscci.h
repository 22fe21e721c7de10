// The Source Code Control Interface as the provider exports it: types,
// result codes, capability bits, commands and callback types, with the
// values of the published interface. Windows integer types keep their
// widths (LONG is 32-bit); window handles are opaque pointers.
#ifndef TW_PROVIDER_MSSCCI_H_
#define TW_PROVIDER_MSSCCI_H_

#include <cstdint>

#include "platform/export.h"

typedef int32_t SCCRTN;
typedef int32_t LONG;
typedef LONG* LPLONG;
typedef int32_t BOOL;
typedef BOOL* LPBOOL;
typedef void* HWND;
typedef void* LPVOID;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef void* LPCMDOPTS;

// Buffer sizes the host provides.
enum : int {
  SCC_NAME_LEN = 31,      // lpSccName
  SCC_AUXLABEL_LEN = 31,  // lpAuxPathLabel
  SCC_USER_LEN = 31,
  SCC_PRJPATH_LEN = 300,
};

// Result codes.
enum : SCCRTN {
  SCC_OK = 0,
  SCC_I_ADV_SUPPORT = 1,
  SCC_I_OPERATIONCANCELED = 2,
  SCC_I_PROJECTCREATED = 3,
  SCC_I_FILENOTAFFECTED = 4,
  SCC_I_RELOADFILE = 5,
  SCC_I_FILEDIFFERS = 6,
  SCC_I_SHARESUBPROJOK = 7,
  SCC_E_INITIALIZEFAILED = -1,
  SCC_E_UNKNOWNPROJECT = -2,
  SCC_E_COULDNOTCREATEPROJECT = -3,
  SCC_E_NOTCHECKEDOUT = -4,
  SCC_E_ALREADYCHECKEDOUT = -5,
  SCC_E_FILEISLOCKED = -6,
  SCC_E_FILEOUTEXCLUSIVE = -7,
  SCC_E_ACCESSFAILURE = -8,
  SCC_E_CHECKINCONFLICT = -9,
  SCC_E_FILEALREADYEXISTS = -10,
  SCC_E_FILENOTCONTROLLED = -11,
  SCC_E_FILEISCHECKEDOUT = -12,
  SCC_E_NOSPECIFIEDVERSION = -13,
  SCC_E_OPNOTSUPPORTED = -14,
  SCC_E_NONSPECIFICERROR = -15,
  SCC_E_OPNOTPERFORMED = -16,
  SCC_E_TYPENOTSUPPORTED = -17,
  SCC_E_VERIFYMERGE = -18,
  SCC_E_FIXMERGE = -19,
  SCC_E_SHELLFAILURE = -20,
  SCC_E_INVALIDUSER = -21,
  SCC_E_PROJECTALREADYOPEN = -22,
  SCC_E_PROJSYNTAXERR = -23,
  SCC_E_INVALIDFILEPATH = -24,
  SCC_E_PROJNOTOPEN = -25,
  SCC_E_NOTAUTHORIZED = -26,
  SCC_E_FILESYNTAXERR = -27,
  SCC_E_FILENOTEXIST = -28,
  SCC_E_CONNECTIONFAILURE = -29,
  SCC_E_UNKNOWNERROR = -30,
  SCC_E_BACKGROUNDGETINPROGRESS = -31,
};

// Capability bits announced by SccInitialize.
enum : LONG {
  SCC_CAP_REMOVE = 0x00000001,
  SCC_CAP_RENAME = 0x00000002,
  SCC_CAP_DIFF = 0x00000004,
  SCC_CAP_HISTORY = 0x00000008,
  SCC_CAP_PROPERTIES = 0x00000010,
  SCC_CAP_RUNSCC = 0x00000020,
  SCC_CAP_GETCOMMANDOPTIONS = 0x00000040,
  SCC_CAP_QUERYINFO = 0x00000080,
  SCC_CAP_GETPROJPATH = 0x00000200,
  SCC_CAP_TEXTOUT = 0x00008000,
  SCC_CAP_POPULATELIST = 0x02000000,
  SCC_CAP_DIFFALWAYS = 0x10000000,
  SCC_CAP_REENTRANT = 0x40000000,
};

// Commands, as SccGetCommandOptions and SccPopulateList receive them.
enum SCCCOMMAND {
  SCC_COMMAND_GET = 0,
  SCC_COMMAND_CHECKOUT = 1,
  SCC_COMMAND_CHECKIN = 2,
  SCC_COMMAND_UNCHECKOUT = 3,
  SCC_COMMAND_ADD = 4,
  SCC_COMMAND_REMOVE = 5,
  SCC_COMMAND_DIFF = 6,
  SCC_COMMAND_HISTORY = 7,
  SCC_COMMAND_RENAME = 8,
  SCC_COMMAND_PROPERTIES = 9,
  SCC_COMMAND_OPTIONS = 10,
};

// File status bits of SccQueryInfo and SccPopulateList.
enum : LONG {
  SCC_STATUS_INVALID = -1,  // the status of the file could not be obtained
  SCC_STATUS_NOTCONTROLLED = 0x0000,
  SCC_STATUS_CONTROLLED = 0x0001,
  SCC_STATUS_CHECKEDOUT = 0x0002,
  SCC_STATUS_OUTOTHER = 0x0004,
  SCC_STATUS_OUTEXCLUSIVE = 0x0008,
  SCC_STATUS_OUTMULTIPLE = 0x0010,
  SCC_STATUS_OUTOFDATE = 0x0020,
  SCC_STATUS_DELETED = 0x0040,
  SCC_STATUS_LOCKED = 0x0080,
  SCC_STATUS_MERGED = 0x0100,
  SCC_STATUS_SHARED = 0x0200,
  SCC_STATUS_PINNED = 0x0400,
  SCC_STATUS_MODIFIED = 0x0800,
  SCC_STATUS_OUTBYUSER = 0x1000,
  SCC_STATUS_NOMERGE = 0x2000,
};

// Option bits of the file commands and of SccPopulateList.
enum : LONG {
  SCC_KEEP_CHECKEDOUT = 0x1000,  // SccCheckin, SccAdd: keep the files checked out
  SCC_PL_DIR = 0x00000001,       // SccPopulateList: the host asks for a folder's files
};

// Message types of the text-out callback.
enum : LONG {
  SCC_MSG_INFO = 1,
  SCC_MSG_WARNING = 2,
  SCC_MSG_ERROR = 3,
  SCC_MSG_STATUS = 4,
};

// The host's callbacks.
typedef LONG (*LPTEXTOUTPROC)(LPCSTR text, LONG message_type);
typedef BOOL (*POPLISTFUNC)(LPVOID caller_data, BOOL add_keep, LONG status, LPCSTR file_name);

#endif  // TW_PROVIDER_MSSCCI_H_
