// Where default exports go and the local time of their names, on POSIX systems.
#include <cstdlib>
#include <cstring>

#include "export/export_path.h"

const char kExportFolderSeparator = '/';

struct tm localTimeOf(time_t instant) {
  struct tm when;
  if (!localtime_r(&instant, &when)) memset(&when, 0, sizeof when);
  return when;
}

const char* defaultExportFolder(char (&)[kExportPathSize]) { return getenv("HOME"); }
