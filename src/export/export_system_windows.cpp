// Where default exports go and the local time of their names, on Windows: the user's profile
// folder, else the temporary folder (never null, so no POSIX path is ever made up).
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "export/export_path.h"
#include "export/wide_path.h"

const char kExportFolderSeparator = '\\';

struct tm localTimeOf(time_t instant) {
  struct tm when;
  if (localtime_s(&when, &instant) != 0) memset(&when, 0, sizeof when);
  return when;
}

const char* defaultExportFolder(char (&buffer)[kExportPathSize]) {
  wchar_t folder[kExportPathSize];
  DWORD n = GetEnvironmentVariableW(L"USERPROFILE", folder, DWORD(kExportPathSize));
  if (n == 0 || n >= kExportPathSize || !toUtf8(folder, buffer, sizeof buffer)) {
    n = GetTempPathW(DWORD(kExportPathSize), folder);
    if (n == 0 || n >= kExportPathSize) return ".";
    // GetTempPathW ends the folder with a separator; the name adds its own.
    while (n > 1 && (folder[n - 1] == L'\\' || folder[n - 1] == L'/') && folder[n - 2] != L':') folder[--n] = L'\0';
    if (!toUtf8(folder, buffer, sizeof buffer)) return ".";
  }
  return buffer;
}
