#include "plugin_path.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace {

const char* const kBundleName = "Brenvale.ofx.bundle";

bool isFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The bundle directly in `dir`, else in one of its subdirectories (vendor folders), in name order.
std::string bundleUnder(const std::string& dir) {
  const std::string direct = bundleBinary(dir + "/" + kBundleName);
  if (isFile(direct)) return direct;
  DIR* handle = opendir(dir.c_str());
  if (!handle) return "";
  std::string best;
  while (dirent* entry = readdir(handle)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string candidate = bundleBinary(dir + "/" + name + "/" + kBundleName);
    if (isFile(candidate) && (best.empty() || candidate < best)) best = candidate;
  }
  closedir(handle);
  return best;
}

}  // namespace

std::string bundleBinary(const std::string& bundleDir) {
  const std::string dir = withoutTrailingSlashes(bundleDir);
  const size_t slash = dir.find_last_of('/');
  std::string name = slash == std::string::npos ? dir : dir.substr(slash + 1);
  if (endsWith(name, ".bundle")) name.resize(name.size() - 7);
  return dir + "/Contents/Linux-x86-64/" + name;
}

std::string executableDirectory() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "";
  std::string path(buffer, size_t(n));
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

bool findPlugin(const std::string& explicitPath, const char* pluginPathEnv, const std::string& executableDir,
                std::string& found, std::string& error) {
  if (!explicitPath.empty()) {
    if (isFile(explicitPath)) {
      found = explicitPath;
      return true;
    }
    if (isDirectory(explicitPath) && isFile(bundleBinary(explicitPath))) {
      found = bundleBinary(explicitPath);
      return true;
    }
    error = "--plugin '" + explicitPath + "': no such plug-in file or bundle";
    return false;
  }
  // An installed vantrel: PREFIX/bin/vantrel and PREFIX/OFX/Plugins/Brenvale.ofx.bundle.
  const std::string installed = executableDir.empty() ? "" : executableDir + "/../OFX/Plugins";
  if (searchPlugin(pluginPathEnv, installed, executableDir, found)) return true;
  error = std::string("plug-in not found: no ") + kBundleName +
          " on OFX_PLUGIN_PATH, in OFX/Plugins beside the program's folder, beside or above the program, or in "
          "/usr/OFX/Plugins (give --plugin PATH)";
  return false;
}

bool searchPlugin(const char* pluginPathEnv, const std::string& installedPlugins, const std::string& startDir,
                  std::string& found) {
  if (pluginPathEnv) {
    const std::string list = pluginPathEnv;
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      const std::string dir = withoutTrailingSlashes(list.substr(start, end - start));
      if (!dir.empty()) {
        found = bundleUnder(dir);
        if (!found.empty()) return true;
      }
      start = end + 1;
    }
  }
  if (!installedPlugins.empty()) {
    const std::string installed = bundleBinary(installedPlugins + "/" + kBundleName);
    if (isFile(installed)) {
      found = installed;
      return true;
    }
  }
  for (std::string dir = startDir; !dir.empty();) {
    for (const std::string& candidate : {dir + "/bundle/" + kBundleName, dir + "/" + kBundleName}) {
      if (isFile(bundleBinary(candidate))) {
        found = bundleBinary(candidate);
        return true;
      }
    }
    const size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos || slash == 0 ? "" : dir.substr(0, slash);
  }
  const std::string system = bundleBinary(std::string("/usr/OFX/Plugins/") + kBundleName);
  if (isFile(system)) {
    found = system;
    return true;
  }
  return false;
}
