/* A planted msi.dll, as an attacker would drop it into a Downloads folder
   beside the hotfix. Loading it is the fault the tests look for: DllMain
   leaves a marker file "hostile_msi_loaded.txt" in the DLL's own folder
   naming the program that loaded it, and every export appends its own name.
   It exports the fourteen functions the hotfix uses, so a program that
   imported msi.dll statically would bind to it and run. */
#include <windows.h>

static HMODULE self;

/* Appends one line to the marker file beside this DLL. */
static void Mark(const wchar_t* what, const wchar_t* detail) {
  wchar_t path[MAX_PATH + 32];
  DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  while (length > 0 && path[length - 1] != L'\\' && path[length - 1] != L'/') --length;
  lstrcpyW(path + length, L"hostile_msi_loaded.txt");
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  char line[3 * MAX_PATH + 64];
  int used = WideCharToMultiByte(CP_UTF8, 0, what, -1, line, sizeof line, NULL, NULL);
  if (used > 0) {
    --used;
    if (detail != NULL) {
      line[used++] = ' ';
      int more = WideCharToMultiByte(CP_UTF8, 0, detail, -1, line + used,
                                     (int)sizeof line - used - 2, NULL, NULL);
      if (more > 0) used += more - 1;
    }
    line[used++] = '\r';
    line[used++] = '\n';
    DWORD written = 0;
    WriteFile(file, line, (DWORD)used, &written, NULL);
  }
  CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    self = instance;
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, program, MAX_PATH);
    Mark(L"loaded-by", length > 0 && length < MAX_PATH ? program : L"?");
  }
  return TRUE;
}

/* What a service that refuses everything answers. */
#define kServiceFailure 1601u

typedef unsigned long Handle; /* MSIHANDLE */

__declspec(dllexport) UINT WINAPI MsiGetSummaryInformationW(Handle database, LPCWSTR path,
                                                            UINT updateCount, Handle* summary) {
  (void)database; (void)updateCount;
  Mark(L"MsiGetSummaryInformationW", path);
  if (summary != NULL) *summary = 0;
  return kServiceFailure;
}

__declspec(dllexport) UINT WINAPI MsiSummaryInfoGetPropertyW(Handle summary, UINT property,
                                                             UINT* type, INT* value,
                                                             FILETIME* time, LPWSTR buffer,
                                                             DWORD* length) {
  (void)summary; (void)property; (void)type; (void)value; (void)time; (void)buffer; (void)length;
  Mark(L"MsiSummaryInfoGetPropertyW", NULL);
  return kServiceFailure;
}

__declspec(dllexport) INT WINAPI MsiQueryProductStateW(LPCWSTR product) {
  Mark(L"MsiQueryProductStateW", product);
  return -1; /* INSTALLSTATE_UNKNOWN */
}

__declspec(dllexport) UINT WINAPI MsiGetProductInfoW(LPCWSTR product, LPCWSTR property,
                                                     LPWSTR buffer, DWORD* length) {
  (void)product; (void)buffer; (void)length;
  Mark(L"MsiGetProductInfoW", property);
  return kServiceFailure;
}

__declspec(dllexport) UINT WINAPI MsiOpenDatabaseW(LPCWSTR path, LPCWSTR persist,
                                                   Handle* database) {
  (void)persist;
  Mark(L"MsiOpenDatabaseW", path);
  if (database != NULL) *database = 0;
  return kServiceFailure;
}

__declspec(dllexport) UINT WINAPI MsiDatabaseOpenViewW(Handle database, LPCWSTR query,
                                                       Handle* view) {
  (void)database;
  Mark(L"MsiDatabaseOpenViewW", query);
  if (view != NULL) *view = 0;
  return kServiceFailure;
}

__declspec(dllexport) UINT WINAPI MsiViewExecute(Handle view, Handle parameters) {
  (void)view; (void)parameters;
  Mark(L"MsiViewExecute", NULL);
  return kServiceFailure;
}

__declspec(dllexport) UINT WINAPI MsiViewFetch(Handle view, Handle* record) {
  (void)view;
  Mark(L"MsiViewFetch", NULL);
  if (record != NULL) *record = 0;
  return kServiceFailure;
}

__declspec(dllexport) UINT WINAPI MsiRecordGetStringW(Handle record, UINT field, LPWSTR buffer,
                                                      DWORD* length) {
  (void)record; (void)field; (void)buffer; (void)length;
  Mark(L"MsiRecordGetStringW", NULL);
  return kServiceFailure;
}

__declspec(dllexport) UINT WINAPI MsiRecordSetStringW(Handle record, UINT field, LPCWSTR value) {
  (void)record; (void)field;
  Mark(L"MsiRecordSetStringW", value);
  return kServiceFailure;
}

__declspec(dllexport) UINT WINAPI MsiViewModify(Handle view, INT mode, Handle record) {
  (void)view; (void)mode; (void)record;
  Mark(L"MsiViewModify", NULL);
  return kServiceFailure;
}

__declspec(dllexport) UINT WINAPI MsiDatabaseCommit(Handle database) {
  (void)database;
  Mark(L"MsiDatabaseCommit", NULL);
  return kServiceFailure;
}

__declspec(dllexport) UINT WINAPI MsiCloseHandle(Handle handle) {
  (void)handle;
  Mark(L"MsiCloseHandle", NULL);
  return 0;
}

__declspec(dllexport) UINT WINAPI MsiConfigureProductExW(LPCWSTR product, INT level, INT state,
                                                         LPCWSTR commandLine) {
  (void)product; (void)level; (void)state;
  Mark(L"MsiConfigureProductExW", commandLine);
  return kServiceFailure;
}
