#include "export/safe_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool copyString(char* out, size_t size, const char* text) {
  size_t n = strlen(text);
  if (n >= size) return false;
  memcpy(out, text, n + 1);
  return true;
}

// Writing past RLIMIT_FSIZE raises SIGXFSZ, which by default kills the whole host, so writes
// are checked against the limit before they are made.
uint64_t fileSizeLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
  return uint64_t(limit.rlim_cur);
}

}  // namespace

bool safeFileOpen(SafeFile& file, const char* target) {
  file = SafeFile{};
  if (!target || !*target || !copyString(file.target, sizeof file.target, target)) return false;

  // Write through a symbolic link to the file it names, as opening the link would.
  struct stat info;
  bool exists = lstat(file.target, &info) == 0;
  if (exists && S_ISLNK(info.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(target, resolved)) {
      if (!copyString(file.target, sizeof file.target, resolved)) return false;
      exists = lstat(file.target, &info) == 0;
    }
  }
  // Replacing a directory, device or pipe by a regular file would be wrong in every case.
  if (exists && !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return false;
  // Renaming over a file needs only the folder's permission; a file the user made read-only
  // must stay as it is, as it would when opened for writing in place.
  if (exists && S_ISREG(info.st_mode) && faccessat(AT_FDCWD, file.target, W_OK, AT_EACCESS) != 0) return false;

  const char* slash = strrchr(file.target, '/');
  int dirLength = slash ? int(slash - file.target + 1) : 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    // Process, thread and instant keep names apart; creation with O_EXCL settles any tie.
    snprintf(file.temp, sizeof file.temp, "%.*s.Vantrel-%ld-%ld-%ld.tmp", dirLength, file.target, long(getpid()),
             long(gettid()), long(now.tv_nsec) + attempt);
    // Mode 0666 under the umask, the permissions a newly created file gets from fopen.
    file.fd = open(file.temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file.fd >= 0 || errno != EEXIST) break;
  }
  if (file.fd < 0) {
    file.temp[0] = '\0';
    return false;
  }
  // An existing target keeps its permissions, as when it is overwritten in place.
  if (exists && S_ISREG(info.st_mode)) fchmod(file.fd, info.st_mode & 07777);
  file.sizeLimit = fileSizeLimit();
  return true;
}

bool safeFileWrite(SafeFile& file, const void* data, size_t size) {
  if (file.fd < 0) return false;
  if (size > file.sizeLimit || file.written > file.sizeLimit - size) return false;
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(file.fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= size_t(n);
    file.written += uint64_t(n);
  }
  return true;
}

bool safeFileCommit(SafeFile& file) {
  if (file.fd < 0) return false;
  // Errors of delayed writes (a full disk, an I/O error) surface only at fsync or close.
  bool ok = fsync(file.fd) == 0;
  ok = close(file.fd) == 0 && ok;
  file.fd = -1;
  ok = ok && rename(file.temp, file.target) == 0;
  if (!ok) unlink(file.temp);
  file.temp[0] = '\0';
  return ok;
}

void safeFileDiscard(SafeFile& file) {
  if (file.fd >= 0) close(file.fd);
  file.fd = -1;
  if (file.temp[0]) unlink(file.temp);
  file.temp[0] = '\0';
}
