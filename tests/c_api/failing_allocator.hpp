// Allocation failures on demand: this test executable replaces the global
// operator new so that a thread can make its allocations throw
// std::bad_alloc.
#pragma once

namespace morvane::c_api_test {

// Sets this thread's allocation budget: after `budget` more successful
// allocations every further one throws; -1 means unlimited.
void set_allocation_budget(long budget) noexcept;

// While alive, this thread's allocations fail once `after` more have succeeded.
class AllocationsFail {
 public:
  explicit AllocationsFail(long after = 0) noexcept { set_allocation_budget(after); }
  ~AllocationsFail() { set_allocation_budget(-1); }
  AllocationsFail(const AllocationsFail&) = delete;
  AllocationsFail& operator=(const AllocationsFail&) = delete;
};

}  // namespace morvane::c_api_test
