// Writing a file so that a failure never leaves a partial file in place of a good one: the data
// goes to a new file beside the target, which replaces the target only once everything has been
// written, flushed to the device and closed without error. Paths are UTF-8 on every system.
#pragma once

#include <cstddef>
#include <cstdint>

struct SafeFile {
#ifdef _WIN32
  void* handle = nullptr;  // the temporary's HANDLE
  bool replacing = false;  // the target exists and is replaced in place of being created
  // Full paths in the "\\?\" form, which no length limit or reserved device name applies to.
  wchar_t target[4096] = {};
  wchar_t temp[4096 + 64] = {};
#else
  int fd = -1;
  char target[4096] = {};
  char temp[4096 + 64] = {};
#endif
  uint64_t written = 0;
  uint64_t sizeLimit = 0;  // the process's file size limit, or UINT64_MAX
};

// Creates the temporary file. False when the target cannot be written (missing or unwritable
// directory, or an existing target that is read-only or not a regular file); nothing is left
// behind.
bool safeFileOpen(SafeFile& file, const char* target);

// False on any write error, and, without writing, when the data would pass the file size limit.
bool safeFileWrite(SafeFile& file, const void* data, size_t size);

// Flushes, closes and moves the file over the target. On failure the temporary is removed and
// the target keeps its previous content.
bool safeFileCommit(SafeFile& file);

// Drops the temporary file; the target is untouched.
void safeFileDiscard(SafeFile& file);
