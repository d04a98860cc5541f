#include "output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

}  // namespace

std::string outputDestination(const std::string& target) {
  struct stat link;
  char buffer[PATH_MAX];
  if (lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && realpath(target.c_str(), buffer)) return buffer;
  return target;
}

std::string refusedTarget(const std::string& path) {
  if (path.empty()) return "is empty";
  if (path.back() == '/') return "names a directory";
  struct stat link, st;
  if (lstat(path.c_str(), &link) != 0) return "";  // a new path
  if (stat(path.c_str(), &st) != 0) return "is a symbolic link that leads nowhere";
  if (!S_ISREG(st.st_mode)) return std::string("is ") + kindOf(st.st_mode);
  return "";
}

std::string temporaryPathFor(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return dir + ".vantrel-tmp-" + std::to_string(long(getpid())) + "." + name;
}

bool moveIntoPlace(const std::string& temporary, const std::string& target, std::string& error) {
  // Checked again: the target may have changed since the run started.
  const std::string refused = refusedTarget(target);
  if (!refused.empty()) {
    error = "'" + target + "' " + refused;
    return false;
  }
  const std::string destination = outputDestination(target);
  struct stat st;
  if (stat(destination.c_str(), &st) == 0) chmod(temporary.c_str(), st.st_mode & 07777);
  if (std::rename(temporary.c_str(), destination.c_str()) != 0) {
    error = "cannot write '" + target + "': " + std::strerror(errno);
    return false;
  }
  return true;
}
