#include "imaging/safe_file.h"

#include "support/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

const char* kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "not a regular file";
}

// The temporary files not yet kept, where a signal handler can walk them: a few slots of plain
// characters in fixed storage.
constexpr int kSlots = 32;
constexpr size_t kPathBytes = 4096;
struct Slot {
  std::atomic<bool> used{false};
  char path[kPathBytes];
};
Slot gSlots[kSlots];
std::atomic<bool> gClaimed[kSlots];

// Flushes a file or folder to the disk; errno says why not.
bool syncPath(const std::string& path, bool folder) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  const int saved = errno;
  close(fd);
  errno = saved;
  return synced;
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
  const std::filesystem::path target(path);
  return std::filesystem::path(target).remove_filename().string() + ".vantrel-tmp-" + std::to_string(long(getpid())) +
         "." + target.filename().string();
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
  // The data reaches the disk before the name does, so that a crash or power cut leaves the old
  // file or the whole new one, never a new name on missing blocks; errors of delayed writes (a
  // full disk, an I/O error) surface only here.
  if (!syncPath(temporary, false) || std::rename(temporary.c_str(), destination.c_str()) != 0) {
    error = "cannot write '" + target + "': " + std::strerror(errno);
    return false;
  }
  // The folder holds the new name: synced too, or the rename itself may be lost. Some file
  // systems cannot sync a folder; the file is whole by then, so that is no failure.
  syncPath(folderOf(destination), true);
  return true;
}

bool replaceFile(const std::string& target, const FileWriter& write, std::string& error, const std::string& suffix) {
  TemporaryFile temporary(temporaryPathFor(outputDestination(target)) + suffix);
  if (!write(temporary.path(), error) || !moveIntoPlace(temporary.path(), target, error)) return false;
  temporary.keep();
  return true;
}

TemporaryFile::TemporaryFile(std::string path) : path_(std::move(path)) {
  if (path_.size() >= kPathBytes) return;
  for (int i = 0; i < kSlots; ++i) {
    bool free = false;
    if (gClaimed[i].compare_exchange_strong(free, true)) {
      std::memcpy(gSlots[i].path, path_.c_str(), path_.size() + 1);
      gSlots[i].used.store(true);
      slot_ = i;
      return;
    }
  }
}

void TemporaryFile::keep() {
  kept_ = true;
  if (slot_ >= 0) {
    gSlots[slot_].used.store(false);
    gClaimed[slot_].store(false);
    slot_ = -1;
  }
}

TemporaryFile::~TemporaryFile() {
  if (!kept_) std::remove(path_.c_str());
  keep();
}

void removeTemporaryFiles() {
  for (Slot& slot : gSlots)
    if (slot.used.load()) unlink(slot.path);
}
