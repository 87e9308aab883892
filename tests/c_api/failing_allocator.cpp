// The replaced global allocation functions behind AllocationsFail. Kept in a
// file of their own so that no caller sees malloc/free inlined into new/delete.
#include "c_api/failing_allocator.hpp"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace {
thread_local long t_allocation_budget = -1;
}  // namespace

namespace morvane::c_api_test {
void set_allocation_budget(long budget) noexcept { t_allocation_budget = budget; }
}  // namespace morvane::c_api_test

void* operator new(std::size_t size) {
  if (t_allocation_budget == 0) throw std::bad_alloc();
  if (t_allocation_budget > 0) --t_allocation_budget;
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
