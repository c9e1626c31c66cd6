// Loading a shared library at run time.
#pragma once

namespace platform {

using LibraryHandle = void*;

// null: the file is missing or cannot be loaded.
LibraryHandle LoadSharedLibrary(const char* path);

// null: the library exports no symbol of that exact name.
void* FindSymbol(LibraryHandle library, const char* name);

// Releases the library; once the last reference is gone it is really unloaded,
// so a later load starts with fresh state.
void UnloadSharedLibrary(LibraryHandle library);

}  // namespace platform
