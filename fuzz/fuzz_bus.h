// A bus with one printer of the model whose bulk-in pipe returns the frames
// queued for it, one per read, and fails a read when none is queued (a
// printer that stays silent is the time limit's business, not the decoder's).
#pragma once
#include <cstdint>
#include <vector>

namespace fuzzbus {

void QueueFrame(std::vector<uint8_t> frame);
void ClearFrames();

}  // namespace fuzzbus
