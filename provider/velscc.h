// The module's own exports beside the Source Code Control Interface, for
// hosts that know Veltrane: an application's editor actions (environment
// settings) with a dialog to edit them, plain access to string values of
// the user's property file (user.dat), a check of a Production path, and,
// for hosts that know only a folder, the whole tree of Documents below the
// bound Production, the local state of files and any stored version of a
// file. They take zero-terminated strings and return an integer; each catches
// everything, so nothing reaches the host but a result.
//
// Every property access opens user.dat for the call and closes it after.
// Property paths are names joined with "/"; a name may hold any character
// but "/" (the store escapes the rest), and "UserProperties/<application>"
// is where the environment settings of an application live, as integers
// "OpenAction", "CloseAction", "SaveAction" and "NewAction": 0 ask, 1
// always, 2 never. The module only stores them; acting on them is the
// host's business.
//
// Threads: called on the host's thread, like the other exports.
#ifndef TW_PROVIDER_VELSCC_H_
#define TW_PROVIDER_VELSCC_H_

#include "platform/export.h"
#include "provider/msscci.h"

// Shows the environment settings dialog (template 120) for the application
// `lpAppName`, filled from its stored values (all "ask" when it has none);
// OK stores the four choices, Cancel stores nothing. Returns 0.
TW_EXPORT int VelSccShowEnvironmentSettings(LPCSTR lpAppName);

// When the application has stored settings, sets the four outputs to 0 and
// then to each stored value; otherwise leaves them as they were. A null
// output is skipped. Returns 0.
TW_EXPORT int VelSccGetEnvironmentSettings(LPCSTR lpAppName, int* pOpenAction, int* pCloseAction,
                                           int* pSaveAction, int* pNewAction);

// Writes `lpValue` (not encrypted) as the string value `lpName` of the node
// at the property path `lpPath`, creating the node as needed. Returns 0,
// whether or not the store took the value.
TW_EXPORT int VelSccSetProperty(LPCSTR lpPath, LPCSTR lpName, LPCSTR lpValue);

// When the node at `lpPath` exists, copies the string value `lpName` with
// its terminating zero into `lpValueOut` (the empty string when the node
// has no such value); when it does not, the buffer is left untouched.
// Returns 0.
//
// The buffer's size is not passed: the caller must provide room for at
// least the longest value it stored there, plus the terminating zero. The
// module never writes more than the value's own length plus one byte, so a
// caller that knows its values knows how much is written.
TW_EXPORT int VelSccGetProperty(LPCSTR lpPath, LPCSTR lpName, LPSTR lpValueOut);

// Checks that the server can list the Production named by `lpPath`: a path
// of identifiers from the root joined with "\" (as the project name of
// SccGetProjPath) when `bIsIdentifierPath` is non-zero, else a path of
// display names (as the auxiliary project path, "\Games\Level1"); "/" may
// stand for "\". Logs on first when needed (the logon dialog over `hWnd`).
// 0 when the server lists the Production's children; -15
// (SCC_E_NONSPECIFICERROR) for a null context or a Production the server
// does not know; -29 (SCC_E_CONNECTIONFAILURE) when the logon failed.
TW_EXPORT int VelSccGetDirs(LPVOID pvContext, HWND hWnd, LPCSTR lpPath, BOOL bIsIdentifierPath);

// Lists every Document below the bound Production of the open project, in
// every sub-Production at any depth, in one request of the server's
// recursive name list (a second one finds the Production of `lpFolder`).
// Each Document is handed to `pfnPopulate` as a local path, in the order
// the server lists them: the project's root folder joined with the
// Document's name below the bound Production, a sub-Production being a
// subfolder ("src\lib\x.c" -> "<root>/src/lib/x.c"); the callback gets
// `pvCallerData`, TRUE and SCC_STATUS_CONTROLLED with it, and may return
// FALSE to end the listing early.
//
// `lpFolder` null or empty lists the whole tree; a local folder at or below
// the project's root (which need not exist locally) lists the Documents of
// the Production that mirrors it and of everything below that, as paths
// below that folder. The folder's Production is found by its display-name
// path, without regard to letter case; a folder without one lists nothing.
//
// A name the server gives that could leave the folder it is joined to (an
// empty, "." or ".." element, an absolute name), or whose folder leads out
// of the project's root through a symbolic link, is not handed on: a
// warning through the text-out callback (SCC_MSG_WARNING) names it. Nothing is created or changed
// locally and nothing is asked. Logs on first when needed (no window).
//
// Returns 0 (SCC_OK) when every Document was handed on (or the callback
// ended the listing), -24 (SCC_E_INVALIDFILEPATH) when some were left out
// (the others were handed on), -25 (SCC_E_PROJNOTOPEN) without an open
// project, -24 also for a folder that is not below the project's root, -29
// (SCC_E_CONNECTIONFAILURE) when the logon failed, -15
// (SCC_E_NONSPECIFICERROR) for a null context or callback or a listing the
// server refused (the callback is then not called).
TW_EXPORT SCCRTN VelSccPopulateTree(LPVOID pvContext, LPCSTR lpFolder, POPLISTFUNC pfnPopulate,
                                    LPVOID pvCallerData);

// The local state of each of the files `lpFileNames` (full local paths, as
// SccQueryInfo takes them) from one document-information request and the
// state cache: into `lpLocalStatus[i]` 1 Missing, 2 Current, 4 Old, 8
// Unknown, 16 Modified, 32 Renegade or 64 More Recent as the state cache
// decides it, 256 Uncontrolled for a file that names no Document, and 0 for
// a file whose name cannot be sent to the server. Unlike SccQueryInfo it
// changes no file's write permission (nor anything else) and asks nothing.
// Logs on first when needed (no window).
//
// Returns 0 (SCC_OK); -24 (SCC_E_INVALIDFILEPATH) when a name could not be
// sent (the others are answered); -29 (SCC_E_CONNECTIONFAILURE) when the
// logon failed; -15 (SCC_E_NONSPECIFICERROR) for a null context, a
// malformed list or a failed request (the outputs are then 0).
TW_EXPORT SCCRTN VelSccQueryLocalStatus(LPVOID pvContext, LONG nFiles, LPCSTR* lpFileNames,
                                        LPLONG lpLocalStatus);

// SccQueryInfo and VelSccQueryLocalStatus of the files `lpFileNames` from
// one document-information request, whatever folders below the project
// the files lie in: `lpStatus[i]` gets the status word SccQueryInfo gives
// (and each file's write permission is brought in line with its lock, as
// SccQueryInfo does), `lpLocalStatus[i]` the local state
// VelSccQueryLocalStatus gives. A file whose name cannot be sent to the
// server gets SCC_STATUS_INVALID (-1) and local state 0. Logs on first
// when needed (no window); asks nothing.
//
// Returns 0 (SCC_OK); -24 (SCC_E_INVALIDFILEPATH) when a name could not be
// sent (the others are answered); -29 (SCC_E_CONNECTIONFAILURE) when the
// logon failed; -15 (SCC_E_NONSPECIFICERROR) for a null context, a
// malformed list, a null output or a failed request (after a failed
// request every status word is -1 and every local state 0).
TW_EXPORT SCCRTN VelSccQueryStatus(LPVOID pvContext, LONG nFiles, LPCSTR* lpFileNames,
                                   LPLONG lpStatus, LPLONG lpLocalStatus);

// Brings version `nVersion` of the controlled file `lpFileName` (a working
// file of the open project, as the file exports take it; 0: the latest
// version) down from the server. With a non-empty `lpTargetPath` the
// version is written there (its folders made, a file there replaced) and
// the working file and its recorded state stay as they were. Otherwise it
// replaces the working file: a file with changes of its own raises the
// overwrite question first, and the state cache records the version
// brought down, so that an older version reads as "Old" and a check-in of
// it is refused until the latest version is brought down. The file is
// writable only while the user holds its lock. Logs on first when needed.
// 0 on success (also when the question kept the file); 2
// (SCC_I_OPERATIONCANCELED) when the question was cancelled; -11
// (SCC_E_FILENOTCONTROLLED) for a file the server does not know; -13
// (SCC_E_NOSPECIFIEDVERSION) for a version the Document does not have; -24
// (SCC_E_INVALIDFILEPATH) for a name that cannot be sent; -29
// (SCC_E_CONNECTIONFAILURE) without a connection; -15 for anything else.
TW_EXPORT SCCRTN VelSccGetVersion(LPVOID pvContext, HWND hWnd, LPCSTR lpFileName, LONG nVersion,
                                  LPCSTR lpTargetPath);

// The types a host that loads the module looks the functions up as.
typedef int (*VELSCCSHOWENVIRONMENTSETTINGS)(LPCSTR);
typedef int (*VELSCCGETENVIRONMENTSETTINGS)(LPCSTR, int*, int*, int*, int*);
typedef int (*VELSCCSETPROPERTY)(LPCSTR, LPCSTR, LPCSTR);
typedef int (*VELSCCGETPROPERTY)(LPCSTR, LPCSTR, LPSTR);
typedef int (*VELSCCGETDIRS)(LPVOID, HWND, LPCSTR, BOOL);
typedef SCCRTN (*VELSCCPOPULATETREE)(LPVOID, LPCSTR, POPLISTFUNC, LPVOID);
typedef SCCRTN (*VELSCCQUERYLOCALSTATUS)(LPVOID, LONG, LPCSTR*, LPLONG);
typedef SCCRTN (*VELSCCGETVERSION)(LPVOID, HWND, LPCSTR, LONG, LPCSTR);

#endif  // TW_PROVIDER_VELSCC_H_
