// Allocation failures on demand, for the calling thread only: the test
// binary's operator new fails the n-th allocation after FailAt(n).
#pragma once

namespace failing_new {

// The n-th allocation (from 0) of this thread from now on fails once;
// -1 disarms.
void FailAt(int n);
// True once the armed failure has happened.
bool Fired();

// While one exists on a thread, its allocations never fail (the scripted
// bus is not what is under test).
class Allowed {
 public:
  Allowed();
  ~Allowed();
  Allowed(const Allowed&) = delete;
  Allowed& operator=(const Allowed&) = delete;
};

}  // namespace failing_new
