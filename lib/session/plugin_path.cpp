#include "session/plugin_path.h"

#include "support/paths.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const char* const kBundleName = "Brenvale.ofx.bundle";

bool isFile(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool isDirectory(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The bundle directly in `dir`, else in one of its subdirectories (vendor folders), in name order.
std::string bundleUnder(const std::string& dir) {
  const std::string direct = bundleBinary(dir + "/" + kBundleName);
  if (isFile(direct)) return direct;
  std::error_code ec;
  std::string best;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string candidate = bundleBinary(dir + "/" + it->path().filename().string() + "/" + kBundleName);
    if (isFile(candidate) && (best.empty() || candidate < best)) best = candidate;
  }
  return best;
}

}  // namespace

std::string bundleBinary(const std::string& bundleDir) {
  const std::string dir = withoutTrailingSlashes(bundleDir);
  std::string name = fs::path(dir).filename().string();
  if (endsWith(name, ".bundle")) name.resize(name.size() - 7);
  return dir + "/Contents/Linux-x86-64/" + name;
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
    for (size_t start = 0; start <= list.size();) {
      const size_t end = std::min(list.find(':', start), list.size());
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
    // Up a folder; the search ends after the root's child (and for a relative start, at its top).
    const std::string up = folderOf(dir);
    dir = up == "." || up == "/" ? "" : up;
  }
  const std::string system = bundleBinary(std::string("/usr/OFX/Plugins/") + kBundleName);
  if (isFile(system)) {
    found = system;
    return true;
  }
  return false;
}
