// The notice window. Until it has an implementation the run goes on without
// one, as it does wherever no window can be created.
#include "notice_window.h"

uint32_t NoticeThread(void* /*argument*/) { return 0; }

void DestroyNoticeWindow() {}
