// The notice window that warns the operator not to switch the printer off
// or unplug it while the update runs.
#pragma once
#include <cstdint>

// Thread procedure of the notice window; the argument is not used. Ends with 0.
uint32_t NoticeThread(void* argument);

// Asks the notice window to go away; nothing happens when there is none.
void DestroyNoticeWindow();
