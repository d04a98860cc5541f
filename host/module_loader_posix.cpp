#include <dlfcn.h>

#include "module_loader.h"

namespace ofxhost {

void* loadModule(const std::string& path, std::string& error) {
  dlerror();
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* e = dlerror();
    error = e ? e : "unknown error";
  }
  return module;
}

void* moduleSymbol(void* module, const char* name) { return dlsym(module, name); }

}  // namespace ofxhost
