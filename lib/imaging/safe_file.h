// The one way the tool's files are written: under a temporary name beside the target, moved
// over it once complete, and only to a regular file (or a symbolic link to one) or a new path.
// A temporary file that is not moved into place is removed, by its owner or, when a process is
// ended at once, by removeTemporaryFiles.
#pragma once

#include <functional>
#include <string>

// "" when `path` may be written, else why not ("is a directory", "is a FIFO", ...).
std::string refusedTarget(const std::string& path);

// The path a write to `target` replaces: the file a symbolic link leads to, else the target.
std::string outputDestination(const std::string& target);

// "dir/.vantrel-tmp-PID.NAME.EXT": beside the target (so the rename is atomic), with the
// target's extension (writers choose their format by it), hidden so a reader scanning the
// folder does not pick it up, and named so that a user knows whose it is.
std::string temporaryPathFor(const std::string& path);

// Renames a finished temporary file (made beside outputDestination(target)) over `target`:
// checks the target again, writes through a symbolic link to a regular file, and keeps an
// existing file's permissions. On failure the temporary file is left for its owner to remove
// and `error` says why.
bool moveIntoPlace(const std::string& temporary, const std::string& target, std::string& error);

// Writes `target`: `write` makes the file at the temporary path it is given (beside the target,
// `suffix` after its name), which is then moved into place. When `write` fails (false, with
// `error` set) or the move does, the temporary file is removed and the target left as it was.
using FileWriter = std::function<bool(const std::string& temporary, std::string& error)>;
bool replaceFile(const std::string& target, const FileWriter& write, std::string& error,
                 const std::string& suffix = "");

// A file being written under a temporary name. It is removed when the object goes away unless
// keep() was called (after it was renamed into place), and by removeTemporaryFiles.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path);
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& path() const { return path_; }
  void keep();

 private:
  std::string path_;
  int slot_ = -1;
  bool kept_ = false;
};

// Removes every temporary file not yet kept. Safe in a signal handler: it only walks fixed
// storage and unlinks.
void removeTemporaryFiles();
