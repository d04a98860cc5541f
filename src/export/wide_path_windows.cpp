#include "export/wide_path.h"

#include <windows.h>

#include <cwchar>

bool toExtendedPath(const char* utf8, wchar_t* out, size_t size) {
  if (!utf8 || !*utf8 || size < 8) return false;
  wchar_t given[4096];
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, given, int(sizeof given / sizeof *given)) == 0)
    return false;
  // A path already in the extended form is taken as it stands; a device is never a file.
  if (wcsncmp(given, L"\\\\?\\", 4) == 0) {
    if (wcslen(given) >= size) return false;
    wcscpy(out, given);
    return true;
  }
  if (wcsncmp(given, L"\\\\.\\", 4) == 0 || wcsncmp(given, L"//./", 4) == 0) return false;

  wchar_t full[4096];
  const DWORD n = GetFullPathNameW(given, DWORD(sizeof full / sizeof *full), full, nullptr);
  if (n == 0 || n >= sizeof full / sizeof *full) return false;
  // Reserved names (NUL, COM1, ...) come back as devices.
  if (wcsncmp(full, L"\\\\.\\", 4) == 0) return false;
  const bool share = wcsncmp(full, L"\\\\", 2) == 0;
  const wchar_t* prefix = share ? L"\\\\?\\UNC" : L"\\\\?\\";
  const wchar_t* rest = share ? full + 1 : full;
  if (wcslen(prefix) + wcslen(rest) >= size) return false;
  wcscpy(out, prefix);
  wcscat(out, rest);
  return true;
}

bool toUtf8(const wchar_t* wide, char* out, size_t size) {
  if (!wide || size == 0 || size > 0x7fffffff) return false;
  return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, out, int(size), nullptr, nullptr) != 0;
}
