/* A Windows host that knows the provider only through the machine's
 * registry, as a development environment finds its source-code-control
 * provider: "ProviderRegKey" under HKEY_LOCAL_MACHINE\SOFTWARE\
 * SourceCodeControlProvider names the provider's key, whose "SCCServerPath"
 * names the module. It checks that the provider is listed under
 * "InstalledSCCProviders", loads the module, asks its interface version,
 * opens and closes a context, and has SccRunScc start the desktop client
 * that lies beside the module.
 *
 *   registered_host.exe
 *
 * A copy of this program named ZORadevu.exe plays that client: started, it
 * writes "client-started.txt" beside itself and ends.
 *
 * Prints one line per step; exits 0 when every step passed, 1 otherwise.
 * Single-threaded. */
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

typedef LONG SCCRTN_;
typedef LONG (*GetVersionFn)(void);
typedef SCCRTN_ (*InitializeFn)(void**, HWND, LPCSTR, LPSTR, LONG*, LPSTR, LONG*, LONG*);
typedef SCCRTN_ (*UninitializeFn)(void*);
typedef SCCRTN_ (*RunSccFn)(void*, HWND, LONG, LPCSTR*);

static const char kMarker[] = "client-started.txt";
static int failures = 0;

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

/* The string value `name` of HKEY_LOCAL_MACHINE\`key` into `data` (at most
 * `size` bytes with the zero), as a host reads it; 0 when it is missing. */
static int ReadValue(const char* key, const char* name, char* data, DWORD size) {
  HKEY handle;
  DWORD type = 0;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle);
  if (rc != ERROR_SUCCESS) return 0;
  data[0] = '\0';
  rc = RegQueryValueExA(handle, name, NULL, &type, (BYTE*)data, &size);
  RegCloseKey(handle);
  if (rc != ERROR_SUCCESS || type != REG_SZ || size == 0) return 0;
  data[size - 1] = '\0';
  return 1;
}

/* The folder of `path`, with its trailing backslash, into `folder`. */
static void FolderOf(const char* path, char* folder, size_t size) {
  const char* slash = strrchr(path, '\\');
  const size_t length = slash != NULL ? (size_t)(slash - path) + 1 : 0;
  snprintf(folder, size, "%.*s", (int)length, path);
}

/* Played as the desktop client: leave the marker beside this program. */
static int PlayClient(const char* self) {
  char marker[MAX_PATH + 32];
  FILE* file;
  FolderOf(self, marker, MAX_PATH);
  strncat(marker, kMarker, sizeof marker - strlen(marker) - 1);
  file = fopen(marker, "wb");
  if (file == NULL) return 1;
  fputs("started\r\n", file);
  fclose(file);
  return 0;
}

int main(void) {
  char self[MAX_PATH], key[1024], listed[1024], module_path[512], folder[MAX_PATH];
  char marker[MAX_PATH + 32], name[32] = {0}, label[32] = {0};
  const char* leaf;
  HMODULE module;
  void* context = NULL;
  LONG caps = 0, checkout_comment = 0, comment = 0;
  SCCRTN_ rc;
  int waited;

  GetModuleFileNameA(NULL, self, sizeof self);
  leaf = strrchr(self, '\\') != NULL ? strrchr(self, '\\') + 1 : self;
  if (_stricmp(leaf, "ZORadevu.exe") == 0) return PlayClient(self);

  Check(ReadValue("SOFTWARE\\SourceCodeControlProvider", "ProviderRegKey", key, sizeof key),
        "ProviderRegKey names \"%s\"", key);
  if (failures != 0) return 1;
  Check(ReadValue("SOFTWARE\\SourceCodeControlProvider\\InstalledSCCProviders", "Veltrane", listed,
                  sizeof listed) &&
            _stricmp(listed, key) == 0,
        "InstalledSCCProviders lists Veltrane as \"%s\"", listed);
  Check(ReadValue(key, "SCCServerPath", module_path, sizeof module_path), "SCCServerPath is \"%s\"",
        module_path);
  if (failures != 0) return 1;

  module = LoadLibraryA(module_path);
  Check(module != NULL, "LoadLibrary %s (error %lu)", module_path,
        module != NULL ? 0ul : (unsigned long)GetLastError());
  if (module == NULL) return 1;
  {
    GetVersionFn SccGetVersion =
        (GetVersionFn)(void (*)(void))GetProcAddress(module, "SccGetVersion");
    InitializeFn SccInitialize =
        (InitializeFn)(void (*)(void))GetProcAddress(module, "SccInitialize");
    UninitializeFn SccUninitialize =
        (UninitializeFn)(void (*)(void))GetProcAddress(module, "SccUninitialize");
    RunSccFn SccRunScc = (RunSccFn)(void (*)(void))GetProcAddress(module, "SccRunScc");
    Check(SccGetVersion != NULL && SccInitialize != NULL && SccUninitialize != NULL &&
              SccRunScc != NULL,
          "the module exports SccGetVersion, SccInitialize, SccUninitialize and SccRunScc");
    if (failures != 0) return 1;
    Check(SccGetVersion() == 0x00010002, "SccGetVersion: 0x%08lx", SccGetVersion());
    rc = SccInitialize(&context, NULL, "RegisteredHost", name, &caps, label, &checkout_comment,
                       &comment);
    Check(rc == 0 && context != NULL && strcmp(name, "Veltrane") == 0,
          "SccInitialize: %ld, provider \"%s\"", rc, name);
    if (context == NULL) return 1;

    /* The desktop client beside the module is started: a full Windows path
     * from the registry leads to it. */
    FolderOf(module_path, folder, sizeof folder);
    snprintf(marker, sizeof marker, "%s%s", folder, kMarker);
    DeleteFileA(marker);
    rc = SccRunScc(context, NULL, 0, NULL);
    Check(rc == 0, "SccRunScc: %ld", rc);
    for (waited = 0; waited < 600 && GetFileAttributesA(marker) == INVALID_FILE_ATTRIBUTES;
         ++waited) {
      Sleep(100);
    }
    Check(GetFileAttributesA(marker) != INVALID_FILE_ATTRIBUTES, "the client started (%s)", marker);
    rc = SccUninitialize(context);
    Check(rc == 0, "SccUninitialize: %ld", rc);
  }
  FreeLibrary(module);
  printf("%s\n", failures == 0 ? "all steps passed" : "some steps failed");
  return failures == 0 ? 0 : 1;
}
