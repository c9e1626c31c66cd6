// The library's load and unload steps, run by the dynamic loader.
#include "library_state.h"
#include "platform/thread.h"

namespace {

__attribute__((constructor)) void LibraryLoaded() { wirelet::ProcessAttach(nullptr); }

// Nothing holds a loader lock here that a ending thread would need, so the
// watchers are waited for without a limit.
__attribute__((destructor)) void LibraryUnloading() { wirelet::ProcessDetach(platform::kInfinite); }

}  // namespace
