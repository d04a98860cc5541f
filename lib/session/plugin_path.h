// Where the plug-in binary is found, for any program or library that loads it. The caller hands
// in what a library may not read itself: OFX_PLUGIN_PATH's value and its own folder.
#pragma once

#include <string>

// The binary inside an OpenFX bundle directory: NAME.ofx.bundle/Contents/Linux-x86-64/NAME.ofx.
std::string bundleBinary(const std::string& bundleDir);

// Search order, first hit wins:
//  1. `explicitPath` (--plugin): a .ofx file or a .ofx.bundle directory;
//  2. a Brenvale.ofx.bundle in a directory of OFX_PLUGIN_PATH (or one level below it);
//  3. ../OFX/Plugins/Brenvale.ofx.bundle from the executable's directory (an installed tool),
//     then bundle/Brenvale.ofx.bundle or Brenvale.ofx.bundle in the executable's directory or any
//     directory above it (the build tree, then the source tree the bundle is installed into);
//  4. /usr/OFX/Plugins/Brenvale.ofx.bundle.
// On failure `error` names what was searched.
bool findPlugin(const std::string& explicitPath, const char* pluginPathEnv, const std::string& executableDir,
                std::string& found, std::string& error);

// The search after an explicit path: a folder of OFX_PLUGIN_PATH, the folder `installedPlugins`
// (where the installation keeps its bundles; "" for none), `startDir` and every folder above it,
// /usr/OFX/Plugins.
bool searchPlugin(const char* pluginPathEnv, const std::string& installedPlugins, const std::string& startDir,
                  std::string& found);
