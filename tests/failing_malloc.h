// Large allocations fail while gFailLargeAllocations is set. The module's operator new calls
// malloc, and a definition in the executable comes first in symbol lookup, so the module gets
// this one. On Windows the module imports malloc from the C runtime DLL, so the first time the
// switch is set, the module's import of malloc is pointed here instead. Include it in one file
// of a test executable only. Sanitizers own malloc, so there the failing cases are compiled out
// and run in the normal build.
#pragma once

#include <atomic>
#include <cstddef>

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VANTREL_FAILING_MALLOC 1
#ifdef _WIN32
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

std::atomic<bool> gFailLarge{false};

void* failingMalloc(size_t size) {
  if (size >= 1000000 && gFailLarge.load(std::memory_order_relaxed)) return nullptr;
  return malloc(size);
}

// Loads the module (it stays loaded; a host loading it later gets the same one) and points its
// import of msvcrt's malloc at failingMalloc.
void redirectModuleMalloc() {
  auto* base = reinterpret_cast<unsigned char*>(LoadLibraryA(VANTREL_MODULE_PATH));
  if (base == nullptr) return;
  const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); dll->Name; ++dll) {
    if (_stricmp(reinterpret_cast<char*>(base + dll->Name), "msvcrt.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "malloc") != 0) continue;
      DWORD previous = 0;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &previous);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(&failingMalloc);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, previous, &previous);
    }
  }
}

struct FailSwitch {
  FailSwitch& operator=(bool on) {
    static const bool redirected = (redirectModuleMalloc(), true);
    (void)redirected;
    gFailLarge = on;
    return *this;
  }
};

FailSwitch gFailLargeAllocations;

}  // namespace
#else
extern "C" void* __libc_malloc(size_t size);
namespace {
std::atomic<bool> gFailLargeAllocations{false};
}
extern "C" void* malloc(size_t size) {
  if (size >= 1000000 && gFailLargeAllocations.load(std::memory_order_relaxed)) return nullptr;
  return __libc_malloc(size);
}
#endif
#endif
