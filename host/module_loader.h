// Loading a plug-in module and finding its entry points: dlopen on POSIX systems, LoadLibraryW on
// Windows (module_loader_<system>.cpp). Modules stay loaded for the life of the process.
#pragma once

#include <string>

namespace ofxhost {

// Loads the module at path (UTF-8); null with error set when it cannot be loaded.
void* loadModule(const std::string& path, std::string& error);

// The address of an exported function, or null.
void* moduleSymbol(void* module, const char* name);

}  // namespace ofxhost
