/* A small Windows host of TWSccApi.dll, as a development environment is
 * one: it loads the DLL with LoadLibrary, finds its functions by their plain
 * names and drives one project through bind, add, check-out, check-in, a
 * get into a second folder and the status query, answering the module's
 * dialogs from script files (VELTRANE_UI=script:<file>). It checks the
 * working files and their read-only attributes as Windows sees them.
 *
 *   scc_smoke_host.exe <TWSccApi.dll> <server port> <empty work folder>
 *
 * Prints one line per step; exits 0 when every step passed, 1 otherwise.
 * Single-threaded. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

typedef LONG SCCRTN_;
typedef LONG (*TextOutFn)(LPCSTR, LONG);
typedef SCCRTN_ (*InitializeFn)(void**, HWND, LPCSTR, LPSTR, LONG*, LPSTR, LONG*, LONG*);
typedef SCCRTN_ (*UninitializeFn)(void*);
typedef SCCRTN_ (*GetProjPathFn)(void*, HWND, LPSTR, LPSTR, LPSTR, LPSTR, BOOL, BOOL*);
typedef SCCRTN_ (*OpenProjectFn)(void*, HWND, LPSTR, LPCSTR, LPCSTR, LPSTR, LPCSTR, TextOutFn,
                                 LONG);
typedef SCCRTN_ (*CloseProjectFn)(void*);
typedef SCCRTN_ (*AddFn)(void*, HWND, LONG, LPCSTR*, LPCSTR, LONG*, void*);
typedef SCCRTN_ (*CheckoutFn)(void*, HWND, LONG, LPCSTR*, LPCSTR, LONG, void*);
typedef SCCRTN_ (*CheckinFn)(void*, HWND, LONG, LPCSTR*, LPCSTR, LONG, void*);
typedef SCCRTN_ (*GetFn)(void*, HWND, LONG, LPCSTR*, LONG, void*);
typedef SCCRTN_ (*QueryInfoFn)(void*, LONG, LPCSTR*, LONG*);

enum { kOk = 0, kProjectCreated = 3, kControlled = 0x0001, kOutByUser = 0x1000 };

static int failures = 0;
static char root[MAX_PATH];
static int scripts = 0;

static void Check(int ok, const char* format, ...) {
  va_list args;
  va_start(args, format);
  printf("%s ", ok ? "ok    " : "FAILED");
  vprintf(format, args);
  printf("\n");
  fflush(stdout);
  va_end(args);
  if (!ok) ++failures;
}

/* From now on the module answers its dialogs from these lines. A new file
 * each time: the module keeps a script while its name stays the same. */
static void Script(const char* lines) {
  char path[MAX_PATH + 32], setting[MAX_PATH + 64];
  FILE* file;
  snprintf(path, sizeof path, "%s\\script%d.txt", root, ++scripts);
  file = fopen(path, "wb");
  if (file != NULL) {
    fputs(lines, file);
    fclose(file);
  }
  snprintf(setting, sizeof setting, "VELTRANE_UI=script:%s", path);
  _putenv(setting);
}

static void WriteText(const char* path, const char* text) {
  FILE* file = fopen(path, "wb");
  if (file == NULL) return;
  fputs(text, file);
  fclose(file);
}

static int ReadsAs(const char* path, const char* text) {
  char buffer[256] = {0};
  size_t got;
  FILE* file = fopen(path, "rb");
  if (file == NULL) return 0;
  got = fread(buffer, 1, sizeof buffer - 1, file);
  fclose(file);
  return got == strlen(text) && memcmp(buffer, text, got) == 0;
}

/* Moves the file's modification time `seconds` ahead: the state cache
 * stamps files to the second, and an edit within the second of the
 * check-out would look like no edit at all. */
static void Later(const char* path, int seconds) {
  FILETIME written;
  ULARGE_INTEGER t;
  HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, NULL,
                         OPEN_EXISTING, 0, NULL);
  if (h == INVALID_HANDLE_VALUE) return;
  if (GetFileTime(h, NULL, NULL, &written)) {
    t.LowPart = written.dwLowDateTime;
    t.HighPart = written.dwHighDateTime;
    t.QuadPart += (ULONGLONG)seconds * 10000000;
    written.dwLowDateTime = t.LowPart;
    written.dwHighDateTime = t.HighPart;
    SetFileTime(h, NULL, NULL, &written);
  }
  CloseHandle(h);
}

/* 1 read-only, 0 writable, -1 missing. */
static int ReadOnly(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return -1;
  return (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

static LONG CollectNotice(LPCSTR text, LONG type) {
  (void)type;
  printf("       notice: %s\n", text != NULL ? text : "(null)");
  return 0;
}

#define FIND(type, name)                                           \
  type name = (type)(void (*)(void))GetProcAddress(module, #name); \
  Check(name != NULL, "export %s", #name);                         \
  if (name == NULL) return 1

int main(int argc, char** argv) {
  HMODULE module;
  void* context = NULL;
  char name[32] = {0}, aux_label[32] = {0}, user[32] = {0};
  char project[301] = "Smoke", local[MAX_PATH], aux[301] = "", copy[MAX_PATH];
  char file[MAX_PATH], copied[MAX_PATH], script[512];
  LONG caps = 0, checkout_comment = 0, comment = 0, add_flags[1] = {0}, status[2] = {0, 0};
  BOOL is_new = 1;
  SCCRTN_ rc;
  LPCSTR one[1], both[2];

  if (argc != 4) {
    fprintf(stderr, "usage: scc_smoke_host <TWSccApi.dll> <server port> <work folder>\n");
    return 2;
  }
  snprintf(root, sizeof root, "%s", argv[3]);
  snprintf(local, sizeof local, "%s\\work", root);
  snprintf(copy, sizeof copy, "%s\\copy", root);
  snprintf(file, sizeof file, "%s\\readme.txt", local);
  snprintf(copied, sizeof copied, "%s\\readme.txt", copy);
  CreateDirectoryA(local, NULL);
  CreateDirectoryA(copy, NULL);

  module = LoadLibraryA(argv[1]);
  Check(module != NULL, "LoadLibrary %s (error %lu)", argv[1],
        module != NULL ? 0ul : (unsigned long)GetLastError());
  if (module == NULL) return 1;
  {
    FIND(InitializeFn, SccInitialize);
    FIND(UninitializeFn, SccUninitialize);
    FIND(GetProjPathFn, SccGetProjPath);
    FIND(OpenProjectFn, SccOpenProject);
    FIND(CloseProjectFn, SccCloseProject);
    FIND(AddFn, SccAdd);
    FIND(CheckoutFn, SccCheckout);
    FIND(CheckinFn, SccCheckin);
    FIND(GetFn, SccGet);
    FIND(QueryInfoFn, SccQueryInfo);

    rc = SccInitialize(&context, NULL, "SmokeHost", name, &caps, aux_label, &checkout_comment,
                       &comment);
    Check(rc == kOk && context != NULL, "SccInitialize: %ld, provider \"%s\", caps 0x%lx", rc, name,
          caps);
    if (context == NULL) return 1;

    /* Bind: log on and create a Production below the root. */
    snprintf(script, sizeof script,
             "dialog 101 1 1001=alice 1002=\"alice pw\" 1000=127.0.0.1 1003=%s\n"
             "dialog 103 1 1005=Smoke 1004=/\n",
             argv[2]);
    Script(script);
    rc = SccGetProjPath(context, NULL, user, project, local, aux, 0, &is_new);
    Check(rc == kProjectCreated, "SccGetProjPath: %ld, user \"%s\", project \"%s\", aux \"%s\"", rc,
          user, project, aux);
    Script("");
    rc = SccOpenProject(context, NULL, user, project, local, aux, "", CollectNotice, 0);
    Check(rc == kOk, "SccOpenProject %s: %ld", local, rc);

    /* Add: the file is checked in and left read-only. */
    WriteText(file, "version 1\r\n");
    one[0] = file;
    rc = SccAdd(context, NULL, 1, one, "added", add_flags, NULL);
    Check(rc == kOk, "SccAdd: %ld", rc);
    Check(ReadOnly(file) == 1, "added file is read-only (%d)", ReadOnly(file));

    /* Check-out makes it writable; check-in of a change makes it read-only.
     * The state cache (kept by TWPMSvr.exe, which the module starts from
     * beside itself) knows the added file, so the check-out asks nothing:
     * a dialog here would be unexpected. */
    Script("");
    rc = SccCheckout(context, NULL, 1, one, "", 0, NULL);
    Check(rc == kOk, "SccCheckout: %ld", rc);
    Check(ReadOnly(file) == 0, "checked-out file is writable (%d)", ReadOnly(file));
    rc = SccQueryInfo(context, 1, one, status);
    Check(rc == kOk && (status[0] & kOutByUser) != 0, "SccQueryInfo checked out: %ld, 0x%lx", rc,
          status[0]);
    WriteText(file, "version 2\r\n");
    Later(file, 2);
    rc = SccCheckin(context, NULL, 1, one, "second", 0, NULL);
    Check(rc == kOk, "SccCheckin: %ld", rc);
    Script("");
    Check(ReadOnly(file) == 1, "checked-in file is read-only (%d)", ReadOnly(file));
    rc = SccCloseProject(context);
    Check(rc == kOk, "SccCloseProject: %ld", rc);

    /* The same Production in a second folder: get brings the new version. */
    rc = SccOpenProject(context, NULL, user, project, copy, aux, "", CollectNotice, 0);
    Check(rc == kOk, "SccOpenProject %s: %ld", copy, rc);
    one[0] = copied;
    rc = SccGet(context, NULL, 1, one, 0, NULL);
    Check(rc == kOk, "SccGet: %ld", rc);
    Check(ReadsAs(copied, "version 2\r\n"), "the copy holds version 2");
    Check(ReadOnly(copied) == 1, "the copy is read-only (%d)", ReadOnly(copied));
    both[0] = copied;
    snprintf(script, sizeof script, "%s\\unknown.txt", copy);
    WriteText(script, "not controlled\r\n");
    both[1] = script;
    rc = SccQueryInfo(context, 2, both, status);
    Check(rc == kOk && status[0] == kControlled && (status[1] & kControlled) == 0,
          "SccQueryInfo: %ld, 0x%lx 0x%lx", rc, status[0], status[1]);
    rc = SccCloseProject(context);
    Check(rc == kOk, "SccCloseProject: %ld", rc);
    rc = SccUninitialize(context);
    Check(rc == kOk, "SccUninitialize: %ld", rc);
  }
  FreeLibrary(module);
  printf("%s\n", failures == 0 ? "all steps passed" : "some steps failed");
  return failures == 0 ? 0 : 1;
}
