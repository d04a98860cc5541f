// Names of export files: the default name, and the rules that turn the "exportPath" value into
// the path actually written.
#pragma once

#include <cstddef>
#include <ctime>

// Room for a resolved path and its terminating zero.
constexpr size_t kExportPathSize = 1024;

enum class ExportKind { Cube, CDL };

// Local calendar time of an instant (all zero when it cannot be had).
struct tm localTimeOf(time_t instant);

// The folder of a default name, as UTF-8. POSIX systems: $HOME, null when it is unset (for
// /tmp). Windows: %USERPROFILE%, else the system's temporary folder; buffer holds the text.
const char* defaultExportFolder(char (&buffer)[kExportPathSize]);

// What joins that folder to the name: '/' on POSIX systems, '\\' on Windows.
extern const char kExportFolderSeparator;

// "<home>/Vantrel_YYYYMMDD_HHMMSS<ext>", or "/tmp/..." when home is null (an empty home gives
// "/Vantrel_..."), with separator in place of the '/' after home. Writes at most size - 1
// characters; returns the length the full name needs, so a result of size or more means the
// name was cut.
size_t formatDefaultExportPath(char* buffer, size_t size, const char* home, const struct tm& when, ExportKind kind,
                               char separator = '/');

// Resolves the parameter value (null or empty for the default) into out. Returns false, with out
// holding an empty string, when the resolved path would not fit in kExportPathSize - 1 characters.
bool resolveExportPath(const char* value, ExportKind kind, const char* home, const struct tm& when,
                       char (&out)[kExportPathSize], char separator = '/');
