#include "pipe_routing.h"

#include <cstring>
#include <string>

namespace {

HANDLE WINAPI RoutedCreateFileA(LPCSTR name, DWORD access, DWORD sharing, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE templateFile) {
  static const char kDevice[] = "\\\\?\\";
  if (name != nullptr && std::strncmp(name, kDevice, 4) == 0 && std::strchr(name + 4, '\\') != nullptr) {
    std::string pipe = std::string("\\\\.\\pipe\\") + (name + 4);
    return CreateFileA(pipe.c_str(), access, sharing, security, disposition, flags, templateFile);
  }
  return CreateFileA(name, access, sharing, security, disposition, flags, templateFile);
}

}  // namespace

bool RoutePipeOpens(HMODULE library) {
  auto* base = reinterpret_cast<BYTE*>(library);
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  if (base == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return false;
  bool routed = false;
  for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); entry->Name != 0;
       ++entry) {
    if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), "kernel32.dll") != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "CreateFileA") != 0) continue;
      DWORD old = 0;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old)) return false;
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(&RoutedCreateFileA);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      routed = true;
    }
  }
  return routed;
}
