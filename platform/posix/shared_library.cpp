#include <dlfcn.h>

#include "platform/shared_library.h"

namespace platform {

LibraryHandle LoadSharedLibrary(const char* path) {
  // RTLD_LOCAL keeps the library's symbols out of the process namespace, so
  // nothing else binds to them and dlclose can unload it.
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return dlsym(library, name);
}

void UnloadSharedLibrary(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

}  // namespace platform
