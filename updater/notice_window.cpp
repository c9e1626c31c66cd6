// The notice window. Not built yet: no window is shown on any platform, so
// nothing warns the operator not to switch a printer off during the update.
#include "notice_window.h"

uint32_t NoticeThread(void* /*argument*/) { return 0; }

void DestroyNoticeWindow() {}
