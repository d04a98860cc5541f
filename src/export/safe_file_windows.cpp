// The safe file on Windows. The temporary is created beside the target, written, flushed to the
// device and closed; then ReplaceFileW puts it in place of an existing target (which keeps the
// target's attributes and security settings, as an overwrite in place would), and MoveFileExW
// names a new one. Either way readers see the old file or the new one, never a part.
#include <windows.h>

#include <climits>
#include <cstdint>
#include <cwchar>

#include "export/safe_file.h"
#include "export/wide_path.h"

namespace {

constexpr size_t kTargetSize = sizeof SafeFile::target / sizeof(wchar_t);
constexpr size_t kTempSize = sizeof SafeFile::temp / sizeof(wchar_t);

// A symbolic link (or any reparse point that names a file) is written through to its file.
bool followLink(SafeFile& file) {
  HANDLE h = CreateFileW(file.target, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return true;  // a dangling link: the link itself is replaced
  wchar_t resolved[kTargetSize];
  const DWORD n = GetFinalPathNameByHandleW(h, resolved, DWORD(kTargetSize), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(h);
  if (n == 0 || n >= kTargetSize) return false;
  wcscpy(file.target, resolved);
  return true;
}

}  // namespace

bool safeFileOpen(SafeFile& file, const char* target) {
  file = SafeFile{};
  if (!toExtendedPath(target, file.target, kTargetSize)) return false;

  DWORD attributes = GetFileAttributesW(file.target);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    if (!followLink(file)) return false;
    attributes = GetFileAttributesW(file.target);
  }
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  // A folder is never replaced by a file, and a file the user made read-only stays as it is.
  if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE)))
    return false;
  file.replacing = exists;

  const wchar_t* slash = wcsrchr(file.target, L'\\');
  if (!slash) return false;
  const int dirLength = int(slash - file.target + 1);
  static volatile LONG counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Process, thread and a counter keep names apart; CREATE_NEW settles any tie.
    swprintf(file.temp, kTempSize, L"%.*ls.Vantrel-%lu-%lu-%ld.tmp", dirLength, file.target,
             static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long>(GetCurrentThreadId()),
             long(InterlockedIncrement(&counter)));
    HANDLE h = CreateFileW(file.temp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      file.handle = h;
      break;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  if (!file.handle) {
    file.temp[0] = L'\0';
    return false;
  }
  // Windows has no file size limit of the kind POSIX systems signal.
  file.sizeLimit = UINT64_MAX;
  return true;
}

bool safeFileWrite(SafeFile& file, const void* data, size_t size) {
  if (!file.handle) return false;
  if (size > file.sizeLimit || file.written > file.sizeLimit - size) return false;
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD chunk = size > (1u << 30) ? DWORD(1u << 30) : DWORD(size);
    DWORD n = 0;
    if (!WriteFile(static_cast<HANDLE>(file.handle), bytes, chunk, &n, nullptr) || n == 0) return false;
    bytes += n;
    size -= n;
    file.written += n;
  }
  return true;
}

bool safeFileCommit(SafeFile& file) {
  if (!file.handle) return false;
  // Errors of delayed writes (a full disk, an I/O error) surface when the data is flushed.
  bool ok = FlushFileBuffers(static_cast<HANDLE>(file.handle)) != 0;
  ok = CloseHandle(static_cast<HANDLE>(file.handle)) != 0 && ok;
  file.handle = nullptr;
  if (ok) {
    bool moved = false;
    if (file.replacing) {
      moved = ReplaceFileW(file.target, file.temp, nullptr,
                           REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr) != 0;
      // Unless the target went away meanwhile (the new file then simply takes its name), a
      // failure leaves the target as it was.
      if (!moved && GetLastError() != ERROR_FILE_NOT_FOUND) ok = false;
    }
    if (ok && !moved)
      moved = MoveFileExW(file.temp, file.target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    ok = ok && moved;
  }
  if (!ok) DeleteFileW(file.temp);
  file.temp[0] = L'\0';
  return ok;
}

void safeFileDiscard(SafeFile& file) {
  if (file.handle) CloseHandle(static_cast<HANDLE>(file.handle));
  file.handle = nullptr;
  if (file.temp[0]) DeleteFileW(file.temp);
  file.temp[0] = L'\0';
}
