// The library's load and unload steps, run by the dynamic loader.
#include "library_state.h"
#include "platform/thread.h"

namespace {

__attribute__((constructor)) void LibraryLoaded() { wirelet::ProcessAttach(nullptr); }

// Nothing held here is needed by an ending thread, so watchers are joined.
__attribute__((destructor)) void LibraryUnloading() { wirelet::ProcessDetach(wirelet::WatcherEnd::kJoin); }

}  // namespace
