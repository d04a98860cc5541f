// The few system calls the integration tests make, on POSIX systems and on Windows.
#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

namespace testsys {

// Sets (or, with null, removes) an environment variable of this process; the module shares the
// C runtime's environment with the test program on either system.
inline void setEnv(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value ? value : "");
#else
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

inline struct tm localTime(time_t when) {
  struct tm local = {};
#ifdef _WIN32
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  return local;
}

// The variable that names the folder of default exports, and what joins it to the name.
#ifdef _WIN32
constexpr const char* kHomeVariable = "USERPROFILE";
constexpr char kFolderSeparator = '\\';
#else
constexpr const char* kHomeVariable = "HOME";
constexpr char kFolderSeparator = '/';
#endif

}  // namespace testsys
