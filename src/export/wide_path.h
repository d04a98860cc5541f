// Windows only: UTF-8 paths, as hosts and users give them, and the wide paths of the system.
#pragma once

#include <cstddef>

// The full path of a UTF-8 path, in the "\\?\" form (or "\\?\UNC\" for a share) that the wide
// file functions take at any length and with any name. Both / and \ separate folders; a relative
// path is relative to the current folder. False for text that is not UTF-8, a device path
// ("\\.\...") and a result that does not fit in size characters.
bool toExtendedPath(const char* utf8, wchar_t* out, size_t size);

// Wide text as UTF-8; false when it cannot be converted or does not fit in size bytes.
bool toUtf8(const wchar_t* wide, char* out, size_t size);
