#include "failing_new.h"

#include <cstdlib>
#include <new>

namespace failing_new {
namespace {
thread_local int countdown = -1;
thread_local bool fired = false;
thread_local int allowed = 0;

bool ShouldFail() {
  if (allowed > 0 || countdown < 0) return false;
  if (countdown-- > 0) return false;
  fired = true;
  return true;
}

void* Allocate(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }
}  // namespace

void FailAt(int n) {
  countdown = n;
  fired = false;
}

bool Fired() { return fired; }

Allowed::Allowed() { ++allowed; }
Allowed::~Allowed() { --allowed; }

}  // namespace failing_new

void* operator new(std::size_t size) {
  void* p = failing_new::ShouldFail() ? nullptr : failing_new::Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return failing_new::ShouldFail() ? nullptr : failing_new::Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
