#include <windows.h>

#include "platform/shared_library.h"

namespace platform {

LibraryHandle LoadSharedLibrary(const char* path) {
  if (path == nullptr) return nullptr;
  return reinterpret_cast<LibraryHandle>(LoadLibraryA(path));
}

void* FindSymbol(LibraryHandle library, const char* name) {
  if (library == nullptr || name == nullptr) return nullptr;
  FARPROC address = GetProcAddress(static_cast<HMODULE>(library), name);
  return reinterpret_cast<void*>(address);
}

// FreeLibrary unloads the module once its reference count reaches zero;
// nothing here keeps an extra reference, so a later load starts fresh.
void UnloadSharedLibrary(LibraryHandle library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace platform
