// "The set of devices changed" on Windows: the system broadcasts
// WM_DEVICECHANGE / DBT_DEVNODES_CHANGED to every top-level window. The
// broadcast is a sent message: PeekMessage hands it to the window procedure
// and never returns it, and the "STATIC" class procedure ignores it. So the
// hidden window is subclassed by a procedure that counts each notice and
// passes every message on; TakeChange pumps and takes one counted notice.
#include <windows.h>
#include <dbt.h>

#include <new>

#include "platform/usb_bus.h"

namespace platform {
namespace usb {

struct ChangeSource {
  HWND window = nullptr;
  WNDPROC classProcedure = nullptr;
  // Touched only on the thread that owns the window: sent messages reach
  // the procedure only while that thread pumps.
  uint32_t pending = 0;
};

namespace {

LRESULT CALLBACK CountingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* source = reinterpret_cast<ChangeSource*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (source == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  if (message == WM_DEVICECHANGE && wParam == DBT_DEVNODES_CHANGED) ++source->pending;
  return CallWindowProcA(source->classProcedure, window, message, wParam, lParam);
}

}  // namespace

ChangeSource* OpenChangeSource(void* ownerInstance) {
  auto* source = new (std::nothrow) ChangeSource;
  if (source == nullptr) return nullptr;
  // Top-level, so that the broadcasts reach this thread.
  source->window = CreateWindowExA(0, "STATIC", "", 0, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                   CW_USEDEFAULT, nullptr, nullptr,
                                   static_cast<HINSTANCE>(ownerInstance), nullptr);
  if (source->window == nullptr) {
    delete source;
    return nullptr;
  }
  SetWindowLongPtrA(source->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(source));
  source->classProcedure = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
      source->window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CountingProcedure)));
  if (source->classProcedure == nullptr) {
    DestroyWindow(source->window);
    delete source;
    return nullptr;
  }
  ShowWindow(source->window, SW_HIDE);
  UpdateWindow(source->window);
  return source;
}

bool TakeChange(ChangeSource* source) {
  if (source == nullptr) return false;
  MSG message;
  // Delivers every pending sent message to the procedure and takes at most
  // one posted message, which is counted the same way and not dispatched.
  if (PeekMessageA(&message, source->window, 0, 0, PM_REMOVE) &&
      message.message == WM_DEVICECHANGE && message.wParam == DBT_DEVNODES_CHANGED)
    ++source->pending;
  if (source->pending == 0) return false;
  --source->pending;
  return true;
}

void CloseChangeSource(ChangeSource* source) {
  if (source == nullptr) return;
  // Back to the class procedure first, so nothing reaches ours once the
  // record is gone.
  SetWindowLongPtrA(source->window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(source->classProcedure));
  SetWindowLongPtrA(source->window, GWLP_USERDATA, 0);
  DestroyWindow(source->window);
  delete source;
}

}  // namespace usb
}  // namespace platform
