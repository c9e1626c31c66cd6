// The notice window over the Windows user interface and GDI.
#include <windows.h>

#include <cstring>

#include "platform/notice_window.h"

namespace platform {
namespace {

const NoticeLook* LookOf(HWND window) {
  return reinterpret_cast<const NoticeLook*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

// A fresh font for each paint; the caller deletes it.
HFONT CreateNoticeFont(const NoticeLook& look) {
  return CreateFontA(look.fontHeight, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, ANSI_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, PROOF_QUALITY, FF_MODERN | DEFAULT_PITCH,
                     look.fontFace);
}

void PaintNotice(HWND window) {
  const NoticeLook* look = LookOf(window);
  RECT client;
  GetClientRect(window, &client);
  RECT below = client;
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  if (dc == nullptr) return;
  if (look != nullptr) {
    below.top += look->secondTextTop;
    const COLORREF colour = RGB(look->red, look->green, look->blue);
    SetTextColor(dc, colour);
    HFONT font = CreateNoticeFont(*look);
    HGDIOBJ previous = font != nullptr ? SelectObject(dc, font) : nullptr;
    TextOutA(dc, 0, 0, look->firstLine, static_cast<int>(std::strlen(look->firstLine)));
    SetTextColor(dc, colour);
    DrawTextA(dc, look->secondText, -1, &below, DT_WORDBREAK);
    if (font != nullptr) {
      SelectObject(dc, previous);
      DeleteObject(font);
    }
  }
  EndPaint(window, &paint);
}

LRESULT CALLBACK NoticeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      break;
    case WM_PAINT:
      PaintNotice(window);
      break;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

NoticeWindowHandle OpenNoticeWindow(const NoticeLook& look) {
  WNDCLASSA windowClass = {};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = NoticeWindowProc;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = 0;
  windowClass.hInstance = nullptr;
  windowClass.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = look.className;
  // A class left registered by an earlier window of this process is ours and
  // serves as well.
  if (RegisterClassA(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;

  // WS_VISIBLE alone: title bar and border, no system menu, so no close box.
  HWND window = CreateWindowExA(0, look.className, look.title, WS_VISIBLE, look.x, look.y, look.width,
                                look.height, nullptr, nullptr, nullptr, nullptr);
  if (window == nullptr) return nullptr;
  // The first WM_PAINT comes from the message loop, after this.
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&look));
  return reinterpret_cast<NoticeWindowHandle>(window);
}

void RunNoticeWindow(NoticeWindowHandle window) {
  if (window == nullptr) return;
  MSG message;
  // -1 is an error, not a message: stop rather than spin on it.
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
}

// Posted, so the window's own thread destroys it (WM_CLOSE reaches
// DefWindowProcA, which destroys the window; WM_DESTROY ends the loop). A
// window already gone makes the post fail, harmlessly.
void CloseNoticeWindow(NoticeWindowHandle window) {
  if (window == nullptr) return;
  PostMessageA(reinterpret_cast<HWND>(window), WM_CLOSE, 0, 0);
}

}  // namespace platform
