#include <windows.h>

#include <string>

#include "module_loader.h"

namespace ofxhost {

namespace {

std::string lastErrorText() {
  const DWORD code = GetLastError();
  char text[512] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                 sizeof text, nullptr);
  std::string s(text, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return (s.empty() ? "error" : s) + " (" + std::to_string(code) + ")";
}

}  // namespace

void* loadModule(const std::string& path, std::string& error) {
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, nullptr, 0);
  if (n <= 0) {
    error = "the path is not UTF-8";
    return nullptr;
  }
  std::wstring wide(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(), n);
  // The module's own folder is searched for the DLLs it needs, as hosts load bundles.
  HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) error = lastErrorText();
  return reinterpret_cast<void*>(module);
}

void* moduleSymbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

}  // namespace ofxhost
