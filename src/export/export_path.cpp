#include "export/export_path.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* extensionOf(ExportKind kind) { return kind == ExportKind::Cube ? ".cube" : ".cdl"; }

bool endsWith(const char* text, size_t length, const char* suffix) {
  size_t n = strlen(suffix);
  return length >= n && memcmp(text + length - n, suffix, n) == 0;
}

// Appends text after the first `length` characters of out; false when the whole would not fit.
bool appendFitting(char (&out)[kExportPathSize], size_t length, const char* text) {
  size_t n = strlen(text);
  if (length + n > kExportPathSize - 1) return false;
  memcpy(out + length, text, n + 1);
  return true;
}

}  // namespace

size_t formatDefaultExportPath(char* buffer, size_t size, const char* home, const struct tm& when, ExportKind kind,
                               char separator) {
  int n = snprintf(buffer, size, "%s%cVantrel_%04d%02d%02d_%02d%02d%02d%s", home ? home : "/tmp", separator,
                   when.tm_year + 1900, when.tm_mon + 1, when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec,
                   extensionOf(kind));
  return n < 0 ? size : size_t(n);
}

bool resolveExportPath(const char* value, ExportKind kind, const char* home, const struct tm& when,
                       char (&out)[kExportPathSize], char separator) {
  memset(out, 0, sizeof out);
  size_t length = value ? strnlen(value, kExportPathSize) : 0;
  bool fits = true;
  if (length == 0) {
    fits = formatDefaultExportPath(out, sizeof out, home, when, kind, separator) < sizeof out;
  } else if (length > kExportPathSize - 1) {
    fits = false;
  } else {
    memcpy(out, value, length);
    char last = out[length - 1];
    if (last == '/' || last == '\\') {
      char name[64];
      snprintf(name, sizeof name, "Vantrel_%04d%02d%02d_%02d%02d%02d%s", when.tm_year + 1900, when.tm_mon + 1,
               when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec, extensionOf(kind));
      fits = appendFitting(out, length, name);
    } else if (endsWith(out, length, ".cube")) {
      if (kind == ExportKind::CDL) memcpy(out + length - 5, ".cdl", 5);
    } else if (!(kind == ExportKind::CDL && endsWith(out, length, ".cdl"))) {
      fits = appendFitting(out, length, extensionOf(kind));
    }
  }
  if (!fits) memset(out, 0, sizeof out);
  return fits;
}
