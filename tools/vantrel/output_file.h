// Where outputs may go and how they get there: only to a regular file (or a symbolic link to
// one) or to a new path, always through a temporary file beside the target that is renamed
// over it once complete.
#pragma once

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
// existing file's permissions. On failure the
// temporary file is left for its owner to remove and `error` says why.
bool moveIntoPlace(const std::string& temporary, const std::string& target, std::string& error);
